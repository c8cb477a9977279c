// A campaign task or follower stopped while its TAVO_L0 dumps a file: no
// process of the run outlives it, and a SIGTERM to a task reaches TAVO_L0,
// which stops cleanly.
#include <signal.h>

#include <chrono>
#include <thread>

#include "tavo_campaign/campaign_fixture.h"

namespace {

struct StopCase {
    const char* name;
    const char* command;  // "task" or "follow"
    int signal;
};

TEST_F(CampaignTest, AStoppedTaskOrFollowerLeavesNoProcessOfItsRun) {
    const std::string pids = dir_ / "dump-pids";
    const std::string stand_in = dir_ / "slow-dump";
    test_support::write_slow_dump(stand_in, pids, "", 30);
    plan({"--window", "1h", "H5DUMP_EXE=" + stand_in});
    const StopCase cases[] = {{"task killed", "task", SIGKILL},
                              {"task terminated", "task", SIGTERM},
                              {"follower killed", "follow", SIGKILL}};
    for (const StopCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(pids);
        const std::vector<std::string> argv =
            std::string(c.command) == "task"
                ? std::vector<std::string>{kCampaign, "task", campaign(), "1"}
                : std::vector<std::string>{kCampaign, "follow", "--dir", dir_ / "live", "--config", dir_ / "base.cfg",
                                           "--no-audit", "--no-quicklook", "--once", "--lag", "1ms", "H5DUMP_EXE=" + stand_in};
        const pid_t runner = test_support::start_program(argv, dir_ / (std::string(c.command) + ".out"));
        for (int i = 0; i < 300 && test_support::read_file(pids).empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        const std::vector<std::string> dumps = test_support::split_lines(test_support::read_file(pids));
        ASSERT_EQ(dumps.size(), 1u) << test_support::read_file(dir_ / (std::string(c.command) + ".out"));
        const pid_t dump = std::stoi(dumps[0]);
        const pid_t tavo_l0 = test_support::parent_of(dump);
        ASSERT_TRUE(test_support::process_alive(tavo_l0));
        kill(runner, c.signal);
        const int status = test_support::wait_for(runner);
        std::this_thread::sleep_for(std::chrono::seconds(2));
        EXPECT_FALSE(test_support::process_alive(tavo_l0)) << "TAVO_L0 outlived the " << c.command;
        EXPECT_FALSE(test_support::process_alive(dump)) << "the dump outlived the " << c.command;
        if (c.signal == SIGTERM) {
            EXPECT_EQ(status, 128 + SIGTERM);
            const std::string console = test_support::read_file(campaign() + "/windows/0001/tavo_l0.log");
            EXPECT_NE(console.find("ERROR - Run stopped by SIGTERM before it completed"), std::string::npos) << console;
        }
    }
}

}  // namespace
