// tavo_campaign follow on level-0 files that land as the simulator delivers
// them: every image once, as one TAVO_L0 run over the period writes it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "support/test_support.h"

namespace fs = std::filesystem;
using test_support::read_file;
using test_support::run_program;
using test_support::start_program;
using test_support::wait_for;
using test_support::TempDir;
using test_support::write_file;

namespace {

const std::string kCampaignProgram = TAVO_CAMPAIGN_BINARY;
const std::string kSimStart = "2017-03-01T23:30:00";
const std::string kFrom = "2017/03/01t23:30:00";
const std::string kUntil = "2017/03/02t00:29:59";
// Files of 361 s against images every 10 s: at some joins an image's packets
// run on into the next file.
const std::vector<std::string> kSimulation = {"--start", kSimStart, "--duration", "70min", "--cadence", "10s",
                                              "--file-span", "361s", "--size", "64", "--layout", "ordinal",
                                              "--seed", "5"};

std::string config_text(const std::string& l0, const std::string& out, const std::string& work,
                        const std::string& end) {
    return "INPUT_TYPE=HDF\nINPUT_ROOT_DIRECTORY=" + l0 + "/\nINPUT_SUBDIRECTORY=HIERARCHICAL\nWORKING_DIRECTORY=" +
           work + "/\nH5DUMP_EXE=/usr/bin/h5dump\nOUTPUT_ROOT_DIRECTORY=" + out +
           "/\nDESPIKE=YES\nISP_CSV=YES\nKITE=16\nSTART=" + kFrom + "\nEND=" + end + "\n";
}

// The simulation of kSimulation written into out at once; its manifest, or
// an empty object (the failure reported) when the simulator failed.
nlohmann::json simulate(const std::string& out) {
    std::vector<std::string> sim = {TAVO_L0SIM_BINARY, "--out", out};
    sim.insert(sim.end(), kSimulation.begin(), kSimulation.end());
    const auto r = run_program(sim);
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    return r.exit_status == 0 ? nlohmann::json::parse(read_file(out + "/manifest.json")) : nlohmann::json::object();
}

// Waits (at most a minute) until path exists.
bool wait_for_file(const std::string& path) {
    for (int i = 0; i < 600 && !fs::exists(path); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return fs::exists(path);
}

// Product files per day ("2017/03/02") below a product root, and the
// pictures of the day pages.
std::map<std::string, int> count_by_day(const std::string& root, const std::string& directory, const char* ext) {
    std::map<std::string, int> days;
    for (const auto& e : fs::recursive_directory_iterator(root + "/KITE-16/" + directory)) {
        if (e.path().extension() != ext || e.path().parent_path().filename() == "thumb") continue;
        const std::string rel = fs::relative(e.path(), root + "/KITE-16/" + directory).string();
        days[rel.substr(0, 10)] += 1;
    }
    return days;
}

// A file landed a while ago: settled.
void land(const fs::path& from, const fs::path& to) {
    fs::copy_file(from, to);
    fs::last_write_time(to, fs::file_time_type::clock::now() - std::chrono::hours(1));
}

class Follow : public ::testing::Test {
public:
    void SetUp() override {
        fs::create_directories(dir_ / "products");
        fs::create_directories(dir_ / "work");
        fs::create_directories(dir_ / "l0");  // the ground system's delivery directory
        write_file(dir_ / "base.cfg", config_text(dir_ / "l0", dir_ / "products", dir_ / "work", kUntil));
    }
    std::vector<std::string> follow_argv(std::vector<std::string> more) const {
        std::vector<std::string> argv = {kCampaignProgram, "follow", "--dir", dir_ / "campaign", "--config",
                                         dir_ / "base.cfg", "--lag", "100ms", "--poll", "200ms"};
        argv.insert(argv.end(), more.begin(), more.end());
        return argv;
    }
    nlohmann::json follow_state() const { return nlohmann::json::parse(read_file(dir_ / "campaign/follow.json")); }

    // One TAVO_L0 run over the followed period (to end), on every file.
    void expect_tree_of_one_run(const std::string& end = kUntil) {
        fs::create_directories(dir_ / "whole/out");
        fs::create_directories(dir_ / "whole/work");
        write_file(dir_ / "whole.cfg", config_text(dir_ / "l0", dir_ / "whole/out", dir_ / "whole/work", end));
        auto whole = run_program({TAVO_L0_BINARY, "CONFIG=" + dir_ / "whole.cfg"});
        ASSERT_EQ(whole.exit_status, 0) << whole.out;
        auto r = run_program({"/usr/bin/python3", std::string(TAVO_SOURCE_DIR) + "/bench/compare_products.py",
                              dir_ / "whole/out", dir_ / "products"});
        EXPECT_EQ(r.exit_status, 0) << r.out;
    }

    TempDir dir_{"tavo-follow"};
};

// Lines of every file below root/LOG that hold text.
std::vector<std::string> log_lines_with(const fs::path& root, const std::string& text) {
    std::vector<std::string> lines;
    for (const auto& e : fs::directory_iterator(root / "LOG")) {
        std::istringstream in(read_file(e.path()));
        for (std::string line; std::getline(in, line);) {
            if (line.find(text) != std::string::npos) lines.push_back(line);
        }
    }
    return lines;
}

// Names of the attempt directories (staging) left below dir.
std::vector<std::string> staging_left(const fs::path& dir) {
    std::vector<std::string> left;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        if (e.path().filename().string().rfind("attempt-", 0) == 0) left.push_back(e.path().string());
    }
    return left;
}

// An hour followed live across midnight: file 2 lands 20 minutes late,
// image 150 lost its final packet, file 4 arrives damaged and file 7 as
// text under its level-0 name. The follower is SIGKILLed during the late
// file's re-run and sent SIGTERM in the middle of a window, and started
// again each time. The products and tables are those of one run over the
// hour; LOG holds every product's line and the dump warnings; the damaged
// files are named; the day pages show each product once and the merged
// audit says why image 150 is missing.
TEST_F(Follow, LiveHourWithLateFileDropAndKillGivesTheTreeOfOneRun) {
    const std::vector<std::string> faults = {"--fault", "missing-final@150", "--fault", "damaged-file@150",
                                             "--fault", "not-hdf5@260"};
    // The late file's name, from the same data made at once.
    const auto at_once = simulate(dir_ / "all");
    ASSERT_FALSE(at_once.empty());
    const std::string late = at_once["files"][2]["path"].get<std::string>();

    std::vector<std::string> sim = {TAVO_L0SIM_BINARY, "--out", dir_ / "l0", "--live", "--speed", "200", "--late",
                                    "2:20min"};
    sim.insert(sim.end(), faults.begin(), faults.end());
    sim.insert(sim.end(), kSimulation.begin(), kSimulation.end());
    const pid_t simulator = start_program(sim, dir_ / "sim.out");

    // A TAVO_L0 that, while a flag file stands, waits before it begins: the
    // first window (to be stopped by SIGTERM), and a run of a window already
    // done whose view holds the late file (to be killed).
    const std::string slow = dir_ / "slow-tavo-l0";
    write_file(slow, "#!/bin/sh\nwindow=$(dirname \"${1#CONFIG=}\")\n"
                     "if [ -e " + dir_ / "term" + " ]; then touch " + dir_ / "term-started" + "; sleep 1; fi\n"
                     "if [ -e " + dir_ / "kill" + " ] && [ -e \"$window/inputs.json\" ] && [ -e \"$window/input/" + late +
                     "\" ]; then touch " + dir_ / "kill-started" + "; sleep 60; fi\nexec " + TAVO_L0_BINARY +
                     " \"$@\"\n");
    fs::permissions(slow, fs::perms::owner_all);
    write_file(dir_ / "term", "");
    write_file(dir_ / "kill", "");
    const std::vector<std::string> args = {"--until", kUntil, "--catalog", dir_ / "mission.sqlite", "--tavo-l0", slow};
    const pid_t first = start_program(follow_argv(args), dir_ / "follow1.out");
    ASSERT_TRUE(wait_for_file(dir_ / "term-started"));
    fs::remove(dir_ / "term");
    kill(first, SIGTERM);
    EXPECT_EQ(wait_for(first), 0) << read_file(dir_ / "follow1.out");
    const pid_t second = start_program(follow_argv(args), dir_ / "follow2.out");
    ASSERT_TRUE(wait_for_file(dir_ / "kill-started")) << read_file(dir_ / "follow2.out");
    kill(second, SIGKILL);
    wait_for(second);
    fs::remove(dir_ / "kill");
    auto third = run_program(follow_argv(args));
    EXPECT_EQ(third.exit_status, 0) << third.out << third.err;
    ASSERT_EQ(wait_for(simulator), 0) << read_file(dir_ / "sim.out");
    const std::string out = read_file(dir_ / "follow1.out") + read_file(dir_ / "follow2.out") + third.out;

    // One log line per window; the late file's windows ran again, and were recorded.
    EXPECT_NE(out.find("stopped on a signal"), std::string::npos) << out;
    EXPECT_NE(third.out.find("re-run: its last attempt did not complete"), std::string::npos) << third.out;
    EXPECT_FALSE(follow_state()["reruns"].empty());
    EXPECT_EQ(follow_state()["mark"], kUntil);
    EXPECT_TRUE(staging_left(dir_ / "campaign").empty()) << staging_left(dir_ / "campaign")[0];

    // Each damaged file named where an operator looks.
    const auto manifest = nlohmann::json::parse(read_file(dir_ / "l0/manifest.json"));
    auto status = run_program({kCampaignProgram, "status", "--dir", dir_ / "campaign"});
    EXPECT_NE(status.out.find("follow: processed to " + kUntil), std::string::npos) << status.out;
    int damaged = 0;
    for (const auto& file : manifest["files"]) {
        if (!file.contains("damage")) continue;
        ++damaged;
        const std::string named = "damaged input: " + dir_ / ("l0/" + file["path"].get<std::string>());
        EXPECT_NE(out.find(named), std::string::npos) << named << "\n" << out;
        EXPECT_NE(status.out.find(named), std::string::npos) << named << "\n" << status.out;
    }
    EXPECT_EQ(damaged, 2);

    // The dropped final packet and the damaged files are losses in the
    // telemetry: finish names them and exits 1.
    auto finish = run_program({kCampaignProgram, "finish", "--dir", dir_ / "campaign"});
    EXPECT_EQ(finish.exit_status, 1) << finish.out << finish.err;
    EXPECT_NE(finish.out.find("lost in the telemetry (only a re-sent downlink mends them)"), std::string::npos)
        << finish.out;
    expect_tree_of_one_run();

    // LOG: a "FITS - Generated" line for each product, and the dump warnings.
    int products = 0;
    for (const auto& [day, count] : count_by_day(dir_ / "products", "", ".fits")) products += count;
    std::set<std::string> generated;
    for (const std::string& line : log_lines_with(dir_ / "products", "FITS - Generated ")) {
        generated.insert(line.substr(line.find("FITS - Generated ")));
    }
    EXPECT_EQ(static_cast<int>(generated.size()), products);
    EXPECT_FALSE(log_lines_with(dir_ / "products", "DUMP WARNING - ").empty());

    const auto summary = nlohmann::json::parse(read_file(dir_ / "campaign/summary.json"));
    EXPECT_EQ(summary["audit"]["by_reason"].value("final_packet_missing", 0), 1) << summary["audit"].dump();
    EXPECT_EQ(summary["audit"]["written"].get<size_t>(), summary["products"].get<size_t>());
    EXPECT_EQ(count_by_day(dir_ / "products", "quicklook", ".png"), count_by_day(dir_ / "products", "", ".fits"));

    // The catalog, filled window by window, names the image without its final packet.
    auto missing = run_program({TAVO_CATALOG_BINARY, "--db", dir_ / "mission.sqlite", "missing", "--from",
                                "2017-03-01", "--to", "2017-03-02", "--csv"});
    EXPECT_EQ(missing.exit_status, 0) << missing.err;
    EXPECT_NE(missing.out.find("final_packet_missing"), std::string::npos) << missing.out;
}

// With only the first three files landed, the window ends where every
// image at or before its end is whole, although images run on into the
// fourth file. Early, the next window writes the images past it whose
// packets are all in, and leaves the one cut by the third file's end. Once
// the files are there the rest follows, the early products are rewritten
// with the same bytes, and files past a window's packets do not make it run
// again.
TEST_F(Follow, WindowEndLeavesNoImageCut) {
    const auto manifest = simulate(dir_ / "all");
    ASSERT_FALSE(manifest.empty());
    fs::create_directories(dir_ / "l0/K16_2017_060");
    std::set<std::string> landed;
    for (int f = 0; f < 3; ++f) {
        const std::string rel = manifest["files"][f]["path"];
        land(dir_ / ("all/" + rel), dir_ / ("l0/" + rel));
        landed.insert(rel);
    }
    auto once = run_program(follow_argv({"--once", "--no-audit", "--no-quicklook", "--no-early"}));
    ASSERT_EQ(once.exit_status, 0) << once.out << once.err;
    // The third file ends at 23:48:03; its packets are whole to 23:48:02.999.
    EXPECT_EQ(follow_state()["mark"], "2017/03/01t23:47:32");
    size_t by_rule = 0, whole = 0, cut = 0;
    for (const auto& image : manifest["images"]) {
        const std::string time = image["end_of_frame"]["calendar"];
        bool in_landed = true;
        for (const auto& file : image["files"]) in_landed = in_landed && landed.count(file.get<std::string>());
        by_rule += time < "2017-03-01T23:47:33";
        whole += in_landed;
        cut += !in_landed && time < "2017-03-01T23:48:03";
    }
    EXPECT_EQ(cut, 1u) << "an image runs on into the fourth file";
    EXPECT_EQ(count_by_day(dir_ / "products", "", ".fits")["2017/03/01"], static_cast<int>(by_rule));

    once = run_program(follow_argv({"--once", "--no-audit", "--no-quicklook"}));
    ASSERT_EQ(once.exit_status, 0) << once.out << once.err;
    EXPECT_NE(once.out.find("early"), std::string::npos) << once.out;
    EXPECT_EQ(follow_state()["mark"], "2017/03/01t23:47:32");
    EXPECT_EQ(count_by_day(dir_ / "products", "", ".fits")["2017/03/01"], static_cast<int>(whole));

    for (const auto& file : manifest["files"]) {
        const fs::path target = dir_ / ("l0/" + file["path"].get<std::string>());
        fs::create_directories(target.parent_path());
        if (!fs::exists(target)) land(dir_ / ("all/" + file["path"].get<std::string>()), target);
    }
    once = run_program(follow_argv({"--once", "--no-audit", "--no-quicklook", "--until", kUntil}));
    ASSERT_EQ(once.exit_status, 0) << once.out << once.err;
    EXPECT_EQ(once.out.find("re-run"), std::string::npos) << once.out;
    auto finish = run_program({kCampaignProgram, "finish", "--dir", dir_ / "campaign"});
    EXPECT_EQ(finish.exit_status, 0) << finish.out << finish.err;
    expect_tree_of_one_run();
}

// Three of the first four files landed and followed once; the second lands
// late, and a follower whose TAVO_L0 takes 3 s to begin is stopped by the
// signal during the late file's re-run.
std::string stop_during_rerun(Follow& f, const fs::path& dir, int signal) {
    const auto manifest = simulate(dir / "all");
    EXPECT_FALSE(manifest.empty());
    fs::create_directories(dir / "l0/K16_2017_060");
    const auto land_file = [&](int n) {
        const std::string rel = manifest["files"][n]["path"];
        land(dir / ("all/" + rel), dir / ("l0/" + rel));
    };
    for (const int n : {0, 2, 3}) land_file(n);
    // The campaign keeps the TAVO_L0 of its first start: one that takes 3 s to begin.
    const std::string slow = dir / "slow-tavo-l0";
    write_file(slow, std::string("#!/bin/sh\nsleep 3\nexec ") + TAVO_L0_BINARY + " \"$@\"\n");
    fs::permissions(slow, fs::perms::owner_all);
    const std::vector<std::string> args = {"--once", "--no-audit", "--no-quicklook", "--no-early", "--tavo-l0", slow};
    auto once = run_program(f.follow_argv(args));
    EXPECT_EQ(once.exit_status, 0) << once.out << once.err;
    land_file(1);
    const pid_t follower = start_program(f.follow_argv(args), dir / "follow.out");
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    kill(follower, signal);
    const int status = wait_for(follower);
    EXPECT_EQ(status, signal == SIGKILL ? 128 + SIGKILL : 0) << read_file(dir / "follow.out");
    return read_file(dir / "follow.out");
}

// A late file's re-run that TAVO_L0 completes after SIGTERM reached the
// follower is recorded before the follower stops.
TEST_F(Follow, ARerunCompletedAfterSigtermIsRecorded) {
    const std::string out = stop_during_rerun(*this, dir_.path(), SIGTERM);
    ASSERT_NE(out.find("re-run: late file"), std::string::npos) << out;
    EXPECT_FALSE(follow_state()["reruns"].empty()) << out;
}

// A re-run killed outright is not taken for done: the next cycle runs the
// window again, and the tree is then that of one run over what was processed.
TEST_F(Follow, AKilledRerunRunsAgainOnTheNextCycle) {
    stop_during_rerun(*this, dir_.path(), SIGKILL);
    auto again = run_program(follow_argv({"--once", "--no-audit", "--no-quicklook", "--no-early"}));
    EXPECT_EQ(again.exit_status, 0) << again.out << again.err;
    EXPECT_NE(again.out.find("re-run: its last attempt did not complete"), std::string::npos) << again.out;
    again = run_program(follow_argv({"--once", "--no-audit", "--no-quicklook", "--no-early"}));
    EXPECT_EQ(again.out.find("re-run"), std::string::npos) << again.out;
    for (const auto& e : fs::recursive_directory_iterator(dir_ / "campaign/windows")) {
        EXPECT_NE(e.path().filename().string().rfind("attempt-", 0), 0u) << "staging left: " << e.path();
    }
    auto finish = run_program({kCampaignProgram, "finish", "--dir", dir_ / "campaign"});
    EXPECT_EQ(finish.exit_status, 0) << finish.out << finish.err;
    expect_tree_of_one_run(follow_state()["mark"]);
}

// A level-0 file that is no HDF5 file: the follower's line and status name
// it, and the product tree's LOG holds the runs' warnings and a "FITS -
// Generated" line for each product, naming it where it lies.
TEST_F(Follow, DamagedInputsAreNamedAndTheRunLogReachesTheTree) {
    const auto manifest = simulate(dir_ / "l0");
    ASSERT_FALSE(manifest.empty());
    const std::string damaged = dir_ / ("l0/" + manifest["files"][2]["path"].get<std::string>());
    write_file(damaged, std::string(5000, 'x'));
    land(damaged, damaged + ".tmp");
    fs::rename(damaged + ".tmp", damaged);

    fs::create_directories(dir_ / "metrics");
    auto r = run_program(follow_argv({"--once", "--no-quicklook", "--until", kUntil, "--metrics", dir_ / "metrics"}));
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    const std::string named = "damaged input: " + damaged + ", 0 bytes of packets used";
    EXPECT_NE(r.out.find(named), std::string::npos) << r.out;
    auto status = run_program({kCampaignProgram, "status", "--dir", dir_ / "campaign"});
    EXPECT_NE(status.out.find(named), std::string::npos) << status.out;
    auto finish = run_program({kCampaignProgram, "finish", "--dir", dir_ / "campaign"});
    EXPECT_NE(finish.out.find("Damaged input: " + damaged + ", 0 bytes of packets used (window 1)"), std::string::npos)
        << finish.out;

    EXPECT_FALSE(log_lines_with(dir_ / "products", "DUMP WARNING - /usr/bin/h5dump exited with status 1 on input file")
                     .empty());
    const std::vector<std::string> generated = log_lines_with(dir_ / "products", "FITS - Generated ");
    EXPECT_EQ(static_cast<int>(generated.size()), count_by_day(dir_ / "products", "", ".fits")["2017/03/01"] +
                                                      count_by_day(dir_ / "products", "", ".fits")["2017/03/02"]);
    for (const std::string& line : generated) {
        EXPECT_NE(line.find("FITS - Generated " + dir_ / "products/KITE-16/"), std::string::npos) << line;
    }

    // The metrics file reads as Prometheus reads it, and counts the damaged
    // file and every product.
    const std::string metrics = dir_ / "metrics/tavo_l0_follow_k16.prom";
    auto check = run_program({"/bin/sh", "-c", "promtool check metrics < " + metrics});
    EXPECT_EQ(check.exit_status, 0) << check.out << check.err;
    const std::string text = read_file(metrics);
    EXPECT_NE(text.find("\ntavo_l0_follow_damaged_input_files{kite=\"16\"} 1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\ntavo_l0_images_written{kite=\"16\"} " + std::to_string(generated.size()) + "\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\ntavo_l0_images_lost{kite=\"16\",origin=\"telemetry\",reason=\"absent\"} "),
              std::string::npos)
        << text;
}

// A window whose run keeps failing is tried again, less and less often,
// named failing with its log's last line, and the follower exits 1; started
// again once mended, it runs the window at once.
TEST_F(Follow, AWindowThatKeepsFailingIsNamedAndRetried) {
    ASSERT_FALSE(simulate(dir_ / "l0").empty());
    const std::string program = dir_ / "tavo-l0";
    write_file(program, "#!/bin/sh\necho 'ERROR - the disk is away'\nexit 1\n");
    fs::permissions(program, fs::perms::owner_all);
    const pid_t follower =
        start_program({kCampaignProgram, "follow", "--dir", dir_ / "campaign", "--config", dir_ / "base.cfg", "--lag",
                       "100ms", "--poll", "100ms", "--no-audit", "--no-quicklook", "--tavo-l0", program},
                      dir_ / "follow.out");
    for (int i = 0; i < 300 && read_file(dir_ / "follow.out").find("failing") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    kill(follower, SIGTERM);
    EXPECT_EQ(wait_for(follower), 1);
    const std::string out = read_file(dir_ / "follow.out");
    EXPECT_NE(out.find("window 1 failing: 3 attempts in a row failed, tried again in "), std::string::npos) << out;
    EXPECT_NE(out.find("last: ERROR - the disk is away"), std::string::npos) << out;
    EXPECT_NE(out.find("windows failing: 1"), std::string::npos) << out;
    auto status = run_program({kCampaignProgram, "status", "--dir", dir_ / "campaign"});
    EXPECT_EQ(status.exit_status, 1);
    EXPECT_NE(status.out.find("failing: window 1, 3 attempts: ERROR - the disk is away"), std::string::npos)
        << status.out;

    write_file(program, std::string("#!/bin/sh\nexec ") + TAVO_L0_BINARY + " \"$@\"\n");
    auto mended = run_program(follow_argv({"--once", "--no-audit", "--no-quicklook"}));
    EXPECT_EQ(mended.exit_status, 0) << mended.out;
    EXPECT_NE(mended.out.find("window 1 2017/03/01t23:30:00.."), std::string::npos) << mended.out;
    EXPECT_EQ(follow_state()["failing"].size(), 0u);
}

// Files renamed into place wake the follower and are taken at once, however
// long --lag and --poll; files written in place wait for --lag.
TEST_F(Follow, AFileRenamedIntoPlaceIsTakenAtOnce) {
    const auto manifest = simulate(dir_ / "all");
    ASSERT_FALSE(manifest.empty());
    fs::create_directories(dir_ / "l0/K16_2017_060");
    const pid_t follower = start_program({kCampaignProgram, "follow", "--dir", dir_ / "campaign", "--config",
                                          dir_ / "base.cfg", "--lag", "1h", "--poll", "1h", "--no-audit",
                                          "--no-quicklook", "--no-early"},
                                         dir_ / "follow.out");
    ASSERT_TRUE(wait_for_file(dir_ / "campaign/follow.json"));
    for (int n = 0; n < 3; ++n) {
        const std::string rel = manifest["files"][n]["path"];
        fs::copy_file(dir_ / ("all/" + rel), dir_ / ("l0/" + rel));
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_FALSE(fs::exists(dir_ / "campaign/windows/0001/result.json")) << "taken before --lag";
    for (int n = 0; n < 3; ++n) {
        const std::string rel = manifest["files"][n]["path"];
        fs::copy_file(dir_ / ("all/" + rel), dir_ / ("l0/" + rel + ".part"));
        fs::rename(dir_ / ("l0/" + rel + ".part"), dir_ / ("l0/" + rel));
    }
    EXPECT_TRUE(wait_for_file(dir_ / "campaign/windows/0001/result.json")) << read_file(dir_ / "follow.out");
    kill(follower, SIGTERM);
    EXPECT_EQ(wait_for(follower), 0);
    EXPECT_EQ(follow_state()["mark"], "2017/03/01t23:47:32");
}

// A catalog that cannot take the window's audit: the follower exits 1 and
// status names the report, until a later cycle's ingest lands it.
TEST_F(Follow, AFailedIngestIsRetriedUntilItLands) {
    ASSERT_FALSE(simulate(dir_ / "l0").empty());
    const std::string catalog = dir_ / "catalog/mission.sqlite";  // its directory is not there yet
    auto r = run_program(follow_argv({"--once", "--no-quicklook", "--no-early", "--catalog", catalog}));
    EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("tavo_catalog ingest failed (exit status 2) for 1 reports, tried again next cycle"),
              std::string::npos)
        << r.out;
    auto status = run_program({kCampaignProgram, "status", "--dir", dir_ / "campaign"});
    EXPECT_NE(status.out.find("not in the catalog yet: " + dir_ / "campaign/windows/0001/audit.json"),
              std::string::npos)
        << status.out;
    fs::create_directories(dir_ / "catalog");
    r = run_program(follow_argv({"--once", "--no-quicklook", "--no-early"}));
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_TRUE(follow_state()["uncatalogued"].empty());
    auto summary = run_program({TAVO_CATALOG_BINARY, "--db", catalog, "summary", "--from", "2017-03-01", "--to", "2017-03-02"});
    EXPECT_EQ(summary.exit_status, 0) << summary.err;
    EXPECT_NE(summary.out.find("2017-03-01"), std::string::npos) << summary.out;
}

// A file that runs on past midnight lies in the day before's directory,
// which a run searches only when its window starts by 00:02:00: the window
// ends there, and the next waits until it can take all of the file's images.
TEST_F(Follow, AFileRunningOnPastMidnightIsReadByTheNextDaysWindow) {
    std::vector<std::string> sim = {TAVO_L0SIM_BINARY, "--out", dir_ / "all", "--start", "2017-03-01T23:40:00",
                                    "--duration", "40min", "--cadence", "10s", "--file-span", "361s", "--size",
                                    "64", "--layout", "ordinal", "--seed", "16"};
    ASSERT_EQ(run_program(sim).exit_status, 0);
    const auto manifest = nlohmann::json::parse(read_file(dir_ / "all/manifest.json"));
    const auto land_files = [&](int from, int to) {
        for (int n = from; n <= to; ++n) {
            const std::string rel = manifest["files"][n]["path"];
            fs::create_directories(fs::path(dir_ / ("l0/" + rel)).parent_path());
            land(dir_ / ("all/" + rel), dir_ / ("l0/" + rel));
        }
    };
    land_files(0, 3);  // file 3 runs from 23:58:03 to 00:04:04
    auto once = run_program(follow_argv({"--once", "--no-audit", "--no-quicklook"}));
    ASSERT_EQ(once.exit_status, 0) << once.out << once.err;
    EXPECT_EQ(follow_state()["mark"], "2017/03/02t00:02:00") << once.out;
    land_files(4, 5);
    const std::string end = "2017/03/02t00:15:35";
    once = run_program(follow_argv({"--once", "--no-audit", "--no-quicklook", "--until", end}));
    ASSERT_EQ(once.exit_status, 0) << once.out << once.err;
    EXPECT_EQ(follow_state()["mark"], end) << once.out;
    auto finish = run_program({kCampaignProgram, "finish", "--dir", dir_ / "campaign"});
    EXPECT_EQ(finish.exit_status, 0) << finish.out << finish.err;
    expect_tree_of_one_run(end);
}

// SIGTERM between cycles: a clean stop, resumed from the same mark.
TEST_F(Follow, StopsOnSigtermAndResumesFromTheMark) {
    ASSERT_FALSE(simulate(dir_ / "l0").empty());
    const pid_t follower = start_program(follow_argv({"--no-audit", "--no-quicklook"}), dir_ / "follow.out");
    ASSERT_TRUE(wait_for_file(dir_ / "campaign/follow.json"));
    kill(follower, SIGTERM);
    EXPECT_EQ(wait_for(follower), 0);
    EXPECT_NE(read_file(dir_ / "follow.out").find("stopped on a signal"), std::string::npos);
    const std::string mark = follow_state()["mark"];
    // On a terminal, standard error shows the status line.
    auto again = test_support::run_program_with_terminal_stderr(follow_argv({"--once", "--no-audit", "--no-quicklook"}));
    EXPECT_EQ(again.exit_status, 0);
    EXPECT_NE(again.out.find("from " + mark), std::string::npos) << again.out;
    EXPECT_NE(again.err.find("Following: processed to "), std::string::npos) << again.err;
}

// Failures of the follower itself: one message, exit status 2.
TEST_F(Follow, RefusesWhatCannotRun) {
    struct Case {
        std::vector<std::string> args;
        const char* message;
    };
    const std::string base = dir_ / "base.cfg";
    const Case cases[] = {
        {{"--config", base, "--lag", "soon"}, "--lag"},
        {{"--config", "/nonexistent.cfg"}, "nonexistent.cfg"},
        {{"--config", base, "--until", "2017/13/01"}, "2017/13/01"},
        {{"--config", dir_ / "no-start.cfg"}, "the base configuration has no START: set it there, or give --from"},
    };
    std::string no_start = read_file(base);
    no_start.erase(no_start.find("START="), no_start.find('\n', no_start.find("START=")) + 1 - no_start.find("START="));
    write_file(dir_ / "no-start.cfg", no_start);
    for (const Case& c : cases) {
        std::vector<std::string> argv = {kCampaignProgram, "follow", "--dir", dir_ / "campaign"};
        EXPECT_FALSE(fs::exists(dir_ / "campaign/campaign.json")) << "a refused follow planned";
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        auto r = run_program(argv);
        EXPECT_EQ(r.exit_status, 2) << c.message << r.out;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
}

// The service unit: systemd-analyze verify accepts an instance of it (with
// the programs where this build has them), and its command line, with the
// instance's files under a test directory, follows and stops on the unit's
// KillSignal. The installed unit runs under a real systemd in the package's
// own test.
TEST_F(Follow, ServiceUnitVerifiesAndItsCommandFollows) {
    std::string unit = read_file(std::string(TAVO_SOURCE_DIR) + "/config/tavo-l0-follow@.service.in");
    const std::string build = fs::path(kCampaignProgram).parent_path().string();
    auto replace_all = [](std::string text, const std::string& from, const std::string& to) {
        for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
            text.replace(at, from.size(), to);
        }
        return text;
    };
    unit = replace_all(unit, "@TAVO_BINDIR@/", build + "/");
    write_file(dir_ / "tavo-l0-follow@k16.service", unit);
    // The manual pages it names are installed by the package, not here.
    auto verify =
        run_program({"/usr/bin/systemd-analyze", "verify", "--man=no", dir_ / "tavo-l0-follow@k16.service"});
    EXPECT_EQ(verify.exit_status, 0) << verify.out << verify.err;
    EXPECT_NE(unit.find("KillSignal=SIGTERM"), std::string::npos);
    EXPECT_NE(unit.find("Restart=on-failure"), std::string::npos);

    std::string command = unit.substr(unit.find("ExecStart=") + 10);
    command = command.substr(0, command.find('\n'));
    command = replace_all(command, "%i", "k16");
    command = replace_all(command, "/etc/tavo-l0/", dir_ / "etc/");
    command = replace_all(command, "/var/lib/tavo-l0/", dir_ / "var/");
    fs::create_directories(dir_ / "etc");
    fs::copy_file(dir_ / "base.cfg", dir_ / "etc/k16.cfg");
    std::vector<std::string> argv;
    for (size_t begin = 0, end; begin < command.size(); begin = end + 1) {
        end = command.find(' ', begin);
        if (end == std::string::npos) end = command.size();
        argv.push_back(command.substr(begin, end - begin));
    }
    const pid_t service = start_program(argv, dir_ / "service.out");
    ASSERT_TRUE(wait_for_file(dir_ / "var/k16/campaign/follow.json"));
    kill(service, SIGTERM);
    EXPECT_EQ(wait_for(service), 0) << read_file(dir_ / "service.out");
}

}  // namespace
