// TAVO_L0 on a file system others use too: two runs on one working
// directory, a run stopped by a signal while its dump is under way, and a
// level-0 file name that tries to start a log line of its own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"

extern char** environ;

namespace fs = std::filesystem;
using test_support::TempDir;

namespace {

const std::string kDumpUtility = "/usr/bin/h5dump";

// A started TAVO_L0 whose console goes to a file.
struct StartedRun {
    pid_t pid = -1;
    std::string console;

    int wait() const {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
};

StartedRun start_run(const std::vector<std::string>& args, const std::string& console) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, console.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> argv = {TAVO_L0_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (std::string& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    StartedRun run;
    run.console = console;
    posix_spawn(&run.pid, raw[0], &actions, nullptr, raw.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return run;
}

// Ten minutes of level-0 data (one file a minute, an image every 10 s) and
// the parameters of a run over them.
class SharedUse : public ::testing::Test {
protected:
    void SetUp() override {
        test_support::make_dirs(work);
        const test_support::ProgramResult sim =
            test_support::run_program({TAVO_L0SIM_BINARY, "--out", input, "--size", "64", "--duration", "10min",
                                       "--cadence", "10s", "--file-span", "1min", "--seed", "5", "--layout", "flat"});
        ASSERT_EQ(sim.exit_status, 0) << sim.err;
    }

    std::vector<std::string> parameters(const std::string& output, const std::string& dump = kDumpUtility) const {
        test_support::make_dirs(output);
        return {"CONFIG=/dev/null",         "INPUT_TYPE=HDF",          "INPUT_ROOT_DIRECTORY=" + input,
                "INPUT_SUBDIRECTORY=FLAT",  "WORKING_DIRECTORY=" + work, "H5DUMP_EXE=" + dump,
                "OUTPUT_ROOT_DIRECTORY=" + output, "DESPIKE=YES", "ISP_CSV=NO",
                "KITE=16",                  "START=2017/03/01t12",     "END=2017/03/01t12"};
    }

    static size_t product_count(const std::string& output) {
        size_t count = 0;
        for (const auto& entry : fs::recursive_directory_iterator(output)) count += entry.path().extension() == ".fits";
        return count;
    }

    TempDir dir{"tavo-shared"};
    std::string input = dir / "in";
    std::string work = dir / "work";
};

bool contains_line(const std::string& text, const std::string& line) {
    for (const std::string& l : test_support::strip_log_stamps(text)) {
        if (l == line) return true;
    }
    return false;
}

// Two runs started together on one working directory: each writes every
// product a lone run writes, or stops at set-up because the other holds it.
TEST_F(SharedUse, TwoRunsOnOneWorkingDirectoryNeverLoseProductsSilently) {
    const size_t lone = [&] {
        const std::string output = dir / "lone";
        EXPECT_EQ(test_support::run_program([&] {
                      std::vector<std::string> a = {TAVO_L0_BINARY};
                      for (const std::string& p : parameters(output)) a.push_back(p);
                      return a;
                  }())
                      .exit_status,
                  0);
        return product_count(output);
    }();
    ASSERT_GT(lone, 50u);
    const std::string in_use = "ERROR - WORKING_DIRECTORY " + work + "/ is in use by another run; wait for it to "
                               "end or choose another directory";
    std::map<std::string, int> outcomes;
    for (int trial = 0; trial < 20; ++trial) {
        StartedRun runs[2];
        std::string outputs[2];
        for (int i = 0; i < 2; ++i) {
            outputs[i] = dir / ("out-" + std::to_string(trial) + "-" + std::to_string(i));
            runs[i] = start_run(parameters(outputs[i]), outputs[i] + ".console");
        }
        for (int i = 0; i < 2; ++i) {
            const int status = runs[i].wait();
            const std::string console = test_support::read_file(runs[i].console);
            if (status == 0) {
                EXPECT_EQ(product_count(outputs[i]), lone) << "trial " << trial << " run " << i;
                ++outcomes["completed"];
            } else {
                EXPECT_EQ(status, 1) << console;
                EXPECT_TRUE(contains_line(console, in_use)) << console;
                EXPECT_EQ(product_count(outputs[i]), 0u);
                ++outcomes["refused"];
            }
        }
    }
    EXPECT_GE(outcomes["completed"], 20);
}

std::map<std::string, fs::file_time_type> listing(const std::string& directory) {
    std::map<std::string, fs::file_time_type> files;
    for (const auto& entry : fs::directory_iterator(directory)) files[entry.path().filename()] = entry.last_write_time();
    return files;
}

// A run stopped while the dump of its third file is under way (a stand-in
// that waits 4 s, then dumps): nothing of the run lives on, nothing writes
// into the working directory afterwards; a stop asked for by SIGTERM also
// empties the directory, logs one line, and leaves it to a rerun.
TEST_F(SharedUse, AStoppedRunLeavesNoDumpBehind) {
    const std::string pids = dir / "dump-pids";
    const std::string stand_in = dir / "slow-dump";
    test_support::write_slow_dump(stand_in, pids, "_s2017060120200", 4);
    for (const int signal : {SIGTERM, SIGKILL}) {
        SCOPED_TRACE(signal == SIGTERM ? "SIGTERM" : "SIGKILL");
        fs::remove(pids);
        fs::remove(pids + ".slow");
        const std::string output = dir / ("out-" + std::to_string(signal));
        const StartedRun run = start_run(parameters(output, stand_in), output + ".console");
        for (int i = 0; i < 200 && !fs::exists(pids + ".slow"); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_TRUE(fs::exists(pids + ".slow"));
        kill(run.pid, signal);
        const int status = run.wait();
        std::this_thread::sleep_for(std::chrono::seconds(2));
        for (const std::string& pid : test_support::split_lines(test_support::read_file(pids))) {
            EXPECT_FALSE(test_support::process_alive(std::stoi(pid))) << "dump " << pid << " outlived the run";
        }
        const auto left = listing(work);
        std::this_thread::sleep_for(std::chrono::seconds(3));
        EXPECT_EQ(listing(work), left) << "something wrote into the working directory after the run";
        if (signal == SIGTERM) {
            EXPECT_EQ(status, 128 + SIGTERM);
            EXPECT_TRUE(left.empty());
            const std::string console = test_support::read_file(run.console);
            const std::vector<std::string> lines = test_support::strip_log_stamps(console);
            ASSERT_FALSE(lines.empty());
            EXPECT_EQ(lines.back(), "ERROR - Run stopped by SIGTERM before it completed; products written so far are kept");
            const std::vector<std::string> rerun = [&] {
                std::vector<std::string> a = {TAVO_L0_BINARY};
                for (const std::string& p : parameters(dir / "rerun")) a.push_back(p);
                return a;
            }();
            EXPECT_EQ(test_support::run_program(rerun).exit_status, 0);
        }
        for (const auto& [name, time] : listing(work)) fs::remove(work + "/" + name);
    }
}

// A level-0 file whose name holds a line end and a message of its own: the
// name is logged with the line end escaped, so no line begins with it.
TEST_F(SharedUse, AFileNameCannotStartALogLine) {
    const std::string forged = "OR_TAVO-L0_K16_s20170601200000_e20170601200590\nERROR - forged.nc";
    test_support::write_file(input + "/" + forged, "not an HDF5 file");
    const std::string output = dir / "out";
    std::vector<std::string> argv = {TAVO_L0_BINARY};
    for (const std::string& p : parameters(output)) argv.push_back(p);
    const test_support::ProgramResult result = test_support::run_program(argv);
    const std::string log = test_support::read_file(output + "/LOG/" + test_support::today_log_name());
    for (const std::string* text : {&result.out, &log}) {
        ASSERT_NE(text->find("e20170601200590\\nERROR - forged.nc"), std::string::npos) << *text;
        for (const std::string& line : test_support::split_lines(*text)) {
            EXPECT_NE(line.rfind("ERROR - forged", 0), 0u) << line;
        }
    }
}

}  // namespace
