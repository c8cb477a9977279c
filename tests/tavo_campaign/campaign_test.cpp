// tavo_campaign end to end: two hours of simulated data crossing midnight
// (an image at 00:00:00.014), one TAVO_L0 run over the whole period as the
// reference, and campaigns over the same period on the real engines, with
// failures, resumption and killed tasks.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include "campaign.h"
#include "campaign_fixture.h"
#include "layout/layout.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using test_support::read_file;
using test_support::run_program;
using test_support::TempDir;
using test_support::write_file;

namespace {


// The joins fall on image seconds: 23:30:00 ends window 1 with the image at
// 23:30:00.054, 23:59:59 hands the midnight image (00:00:00.014) to window 3,
// which 00:00:00 ends; 00:00:01 is a window of one second with no image.
TEST_F(CampaignTest, SerialUnevenWindowsGiveTheTreeOfOneRun) {
    plan({"--bounds", "2017/03/01t23:30:00,2017/03/01t23:59:59,2017/03/02t00:00:00,2017/03/02t00:00:01", "--audit",
          dir_ / "not-built/tavo_l0audit"},
         true);
    auto r = campaign_command("run", {"--engine", "serial"});
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Running: " + kCampaign + " task " + campaign() + " 1\n"), std::string::npos) << r.out;
    // Two finishes at once into one product root (as several satellites' campaigns share one) both succeed.
    const int other = test_support::start_program({kCampaign, "finish", "--dir", campaign()}, dir_ / "other.out");
    finish_ok();
    EXPECT_EQ(test_support::wait_for(other), 0) << test_support::read_file(dir_ / "other.out");
    const nlohmann::json summary = campaign::read_json(campaign() + "/summary.json");
    ASSERT_EQ(summary["joins"].size(), 3u);  // the one-second window has no product
    EXPECT_EQ(summary["joins"][1]["next"], "KITE-16/2017/03/02/H0000/20170302_000000_014_00000361.fits");
    EXPECT_EQ(summary["joins"][2]["last"], "KITE-16/2017/03/02/H0000/20170302_000000_014_00000361.fits");
    EXPECT_EQ(summary["audit"], "tavo_l0audit not built: audits skipped");
}

// A failed window is shown with its log's last line; --resume-failed reruns
// it alone through parallel's joblog.
TEST_F(CampaignTest, ParallelFailureAndResume) {
    plan({"--window", "30min"});
    const std::string config = campaign() + "/windows/0002/TAVO_configuration.cfg";
    const std::string good = read_file(config);
    std::string bad = good;
    bad.replace(bad.find("KITE=16"), 7, "KITE=20");
    write_file(config, bad);

    auto r = campaign_command("run", {"--engine", "parallel", "-j", "2"});
    EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("Running: parallel --will-cite -j 2 --joblog " + campaign() + "/logs/joblog -a " +
                         campaign() + "/tasks.txt\n"),
              std::string::npos)
        << r.out;
    fs::create_directories(dir_ / "metrics");
    auto status = campaign_command("status", {"--metrics", dir_ / "metrics"});
    EXPECT_EQ(status.exit_status, 1);
    EXPECT_NE(status.out.find("task    2  failed   exit 1, 0 products  "), std::string::npos) << status.out;
    const std::string metrics = dir_ / "metrics/tavo_l0_campaign_campaign.prom";
    EXPECT_NE(read_file(metrics).find("tavo_l0_campaign_windows{kite=\"16\",campaign=\"campaign\",state=\"failed\"} 1\n"),
              std::string::npos)
        << read_file(metrics);
    auto check = run_program({"/bin/sh", "-c", "promtool check metrics < " + metrics});
    EXPECT_EQ(check.exit_status, 0) << check.out << check.err;
    EXPECT_NE(status.out.find("ERROR - parameter KITE must be 16, 17, 18, or 19, got: 20"), std::string::npos);
    EXPECT_NE(status.out.find("done 3, failed 1, pending 0"), std::string::npos);
    auto early = campaign_command("finish");
    EXPECT_EQ(early.exit_status, 2);
    EXPECT_NE(early.err.find("tasks not done: 2 failed"), std::string::npos) << early.err;

    const std::string first_result = read_file(campaign() + "/windows/0001/result.json");
    write_file(config, good);
    r = campaign_command("run", {"--engine", "parallel", "-j", "2", "--resume-failed"});
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_EQ(read_file(campaign() + "/windows/0001/result.json"), first_result);  // not run again
    finish_ok();
}

// A real single-node Slurm cluster, started and stopped by the project's script.
TEST_F(CampaignTest, SlurmJobArrayGivesTheTreeOfOneRun) {
    if (geteuid() != 0 || !fs::exists("/usr/sbin/slurmctld")) GTEST_SKIP() << "needs root and Slurm";
    SlurmCluster cluster(dir_ / "slurm", 20000);
    ASSERT_EQ(cluster.failure(), "");
    plan({"--window", "1h"});
    auto r = campaign_command("run", {"--engine", "slurm", "-j", "2"});
    cluster.stop();
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Running: sbatch --wait " + campaign() + "/logs/campaign.sbatch\n"), std::string::npos);
    EXPECT_NE(read_file(campaign() + "/logs/campaign.sbatch").find("#SBATCH --array=1-2%2\n"), std::string::npos);
    EXPECT_NE(read_file(campaign() + "/logs/slurm-task-2.log").find("window 2 "), std::string::npos);
    finish_ok();
}

// Every file under a final name in the product tree is a complete product of
// the reference run (a copy killed midway leaves only a temporary name, which
// the rerun replaces and finish would report).
void expect_only_complete_products(const std::string& tree, const std::string& reference) {
    for (const std::string& rel : campaign::files_below(tree)) {
        if (rel.rfind("LOG/", 0) == 0 || is_temporary_name(rel.c_str())) continue;
        std::string a = read_file(tree + "/" + rel);
        std::string b = read_file(reference + "/" + rel);
        ASSERT_EQ(a.size(), b.size()) << rel;
        for (const auto& [begin, end] : {std::pair{0, 80}, std::pair{640, 720}}) {
            a.replace(begin, end - begin, end - begin, ' ');
            b.replace(begin, end - begin, end - begin, ' ');
        }
        ASSERT_TRUE(a == b) << rel;
    }
}

// The whole campaign killed (engine, tasks and TAVO_L0 runs) at random times,
// then resumed. With the campaign directory in /dev/shm the products cross
// file systems: copied under a temporary name, then renamed.
TEST_F(CampaignTest, KilledAtRandomTimesThenResumed) {
    char shm[] = "/dev/shm/tavo-campaign-XXXXXX";
    if (fs::is_directory("/dev/shm") && mkdtemp(shm) != nullptr) campaign_dir_ = std::string(shm) + "/campaign";
    plan({"--window", "20min"});
    std::mt19937 random(20170301);
    for (int round = 0; round < 5; ++round) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            setpgid(0, 0);
            if (freopen("/dev/null", "w", stdout) == nullptr) _exit(127);
            execl(kCampaign.c_str(), kCampaign.c_str(), "run", "--dir", campaign().c_str(), "--engine", "parallel",
                  "-j", "2", "--resume-failed", static_cast<char*>(nullptr));
            _exit(127);
        }
        setpgid(child, child);
        std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(100, 1500)(random)));
        kill(-child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        // GNU parallel runs its jobs in process groups of their own: the
        // tasks it started are killed too, as a killed job's would be.
        for (const auto& window : fs::directory_iterator(campaign() + "/windows")) {
            if (const auto lease = campaign::read_lease(window.path().string())) {
                kill(static_cast<pid_t>(lease->pid), SIGKILL);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the dump utility of a killed run ends
        expect_only_complete_products(products(), data_->path() + "/whole/out");
    }
    auto r = campaign_command("run", {"--engine", "parallel", "-j", "2", "--resume-failed"});
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    finish_ok();
    if (!campaign_dir_.empty()) fs::remove_all(fs::path(campaign_dir_).parent_path());
}

// The join check: an image taken out at a join is reported, and an audit
// report that says why it was not written explains it.
TEST_F(CampaignTest, FinishFindsAnImageMissingAtAJoin) {
    plan({"--window", "1h"});
    ASSERT_EQ(campaign_command("run").exit_status, 0);
    const std::string result_path = campaign() + "/windows/0002/result.json";
    nlohmann::json result = campaign::read_json(result_path);
    const std::string first = result["products"][0];
    result["products"].erase(0);
    write_file(result_path, result.dump());
    fs::remove(products() + "/" + first);

    auto r = campaign_command("finish");
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.out.find("PROBLEM: images missing between windows 1 and 2: ids after 361 up to 363"),
              std::string::npos)
        << r.out;

    const nlohmann::json audit = {
        {"schema_version", 1},
        {"images", {{{"image_id", 362}, {"status", "not_written"}, {"reason", "final_packet_missing"}}}},
        {"products", {{"problems", nlohmann::json::array()}, {"temporary_files", nlohmann::json::array()}}}};
    write_file(campaign() + "/windows/0002/audit.json", audit.dump());
    r = campaign_command("finish");
    EXPECT_EQ(r.exit_status, 0) << r.out;
    EXPECT_NE(r.out.find("Audit: 1 images, 0 written, 1 not written"), std::string::npos) << r.out;
    const nlohmann::json summary = campaign::read_json(campaign() + "/summary.json");
    EXPECT_EQ(summary["audit"]["by_reason"]["final_packet_missing"], 1);
    EXPECT_EQ(summary["joins"][0]["explained_by_audit"], true);
}

// The real audit of every window, merged: each image of the period once;
// finish ingests the windows' reports into the campaign's catalog.
TEST_F(CampaignTest, AuditsOfTheWindowsMerged) {
    if (!fs::exists(TAVO_L0AUDIT_BINARY)) GTEST_SKIP() << "tavo_l0audit not built";
    plan({"--window", "1h", "--catalog", dir_ / "mission.sqlite"}, true);
    ASSERT_EQ(campaign_command("run").exit_status, 0);
    EXPECT_TRUE(fs::exists(campaign() + "/windows/0002/audit.json"));
    finish_ok();
    const nlohmann::json audit = campaign::read_json(campaign() + "/summary.json")["audit"];
    EXPECT_EQ(audit["reports"], 2);
    EXPECT_EQ(audit["images"], 719);
    EXPECT_EQ(audit["written"], 719);
    EXPECT_EQ(audit["not_written"], 0);
    const nlohmann::json catalog = campaign::read_json(campaign() + "/summary.json")["catalog"];
    EXPECT_EQ(catalog["exit_status"], 0) << catalog.dump();
    const auto days = run_program({TAVO_CATALOG_BINARY, "--db", dir_ / "mission.sqlite", "summary", "--from",
                                   "2017-02-28", "--to", "2017-03-03", "--json"});
    ASSERT_EQ(days.exit_status, 0) << days.err;
    int images = 0;
    for (const nlohmann::json& row : nlohmann::json::parse(days.out))
        if (row["passband"] == "all") images += row["images"].get<int>();
    EXPECT_EQ(images, 719);

    // A window whose audit found losses: finish names it, the run's losses
    // apart from the telemetry's, and exits 1. The tables stay whole.
    const std::string report_path = campaign() + "/windows/0002/audit.json";
    nlohmann::json report = campaign::read_json(report_path);
    report["summary"]["losses"] = {{"run", {{"images", 1}, {"by_reason", {{"id_not_above_last", 1}}}}},
                                   {"telemetry", {{"images", 2}, {"by_reason", {{"absent", 2}}}}}};
    write_file(report_path, report.dump());
    auto r = campaign_command("finish");
    EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("PROBLEM: window 2: the audit found 1 images lost by the run (a reprocessing mends them) and "
                         "2 lost in the telemetry (only a re-sent downlink mends them)"),
              std::string::npos)
        << r.out;
    const nlohmann::json lossy = campaign::read_json(campaign() + "/summary.json")["audit"]["windows_with_losses"];
    ASSERT_EQ(lossy.size(), 1u);
    EXPECT_EQ(lossy[0]["window"], 2);
    EXPECT_EQ(lossy[0]["telemetry"]["images"], 2);
    expect_same_tree_as_one_run();
    EXPECT_FALSE(fs::exists(products() + "/.tavo_campaign-tables-tmp"));
}

// A window without input files is planned as such and done with nothing.
TEST_F(CampaignTest, WindowWithoutInputIsDoneWithNothing) {
    plan({"--from", "2017/03/01t10:00:00", "--to", "2017/03/01t11:59:59", "--window", "1h"});
    auto r = campaign_command("run");
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("window 2 2017/03/01t11:00:00..2017/03/01t11:59:59: done, exit status 0, 0 products"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(campaign::read_json(campaign() + "/windows/0001/result.json")["note"],
              "no input files for this window at plan time");
    EXPECT_EQ(campaign_command("finish").exit_status, 0);
}

// Plans refused with one message, TAVO_L0's own where its rules decide.
TEST_F(CampaignTest, PlansRefused) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"--from", "2017/03/01t25"}, "ERROR - bad START format (expected YYYY/MM/DDtHH:MM:SS or YYYY/DOYtHH:MM:SS), got: 2017/03/01t25"},
        {{"--from", "2017/01/01", "--to", "2017/03/31", "--window", "40d"},
         "ERROR - More than 33 days with +/-5 miutes of margin from START of 2017/01/01t00:00:00 to END of "
         "2017/02/10t00:00:00"},
        {{"--bounds", "2017/03/02t00:00:00,2017/03/01t23:30:00"}, "window bound 2017/03/01t23:30:00 is not after"},
        {{"--window", "90ms"}, "--window: 90ms is not whole seconds"},
        {{"--tavo-l0", "/nonexistent/TAVO_L0"}, "TAVO_L0 program not found: /nonexistent/TAVO_L0"},
        {{"KITE=15"}, "ERROR - parameter KITE must be 16, 17, 18, or 19, got: 15"},
        {{"--no-audit", "--catalog", "mission.sqlite"}, "--catalog needs the audit"},
        {{"--config", dir_ / "no-START.cfg"}, "the base configuration has no START: set it there, or give --from"},
        {{"--config", dir_ / "no-END.cfg"}, "the base configuration has no END: set it there, or give --to"},
    };
    fs::create_directories(dir_ / "unused-work");
    const std::string base = base_config(data_->path(), dir_ / "products", dir_ / "unused-work");
    write_file(dir_ / "base.cfg", base);
    for (const std::string name : {"START=", "END="}) {
        std::string without = base;
        const size_t at = without.find("\n" + name) + 1;
        without.erase(at, without.find('\n', at) + 1 - at);
        write_file(dir_ / ("no-" + name.substr(0, name.size() - 1) + ".cfg"), without);
    }
    fs::create_directories(products());
    int n = 0;
    for (const Case& c : cases) {
        std::vector<std::string> argv = {kCampaign, "plan", "--dir", dir_ / std::to_string(n++)};
        if (c.args.empty() || c.args[0] != "--config") argv.insert(argv.end(), {"--config", dir_ / "base.cfg"});
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        auto r = run_program(argv);
        EXPECT_EQ(r.exit_status, 2) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    plan({});
    auto again = run_program({kCampaign, "plan", "--dir", campaign(), "--config", dir_ / "base.cfg"});
    EXPECT_NE(again.err.find("a campaign is already planned in " + campaign()), std::string::npos) << again.err;
}

// Campaign directories this user cannot write: the cause named, exit
// status 2, and a window whose lease cannot be written is not taken for one
// running elsewhere. Root runs the commands as nobody.
TEST_F(CampaignTest, UnwritableCampaignDirectoriesAreNamed) {
    plan({});
    const auto readable = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                          fs::perms::others_read | fs::perms::others_exec;
    fs::permissions(dir_.path(), readable);
    fs::permissions(campaign() + "/windows/0001", readable & ~fs::perms::owner_write);
    fs::create_directories(dir_ / "locked");
    fs::permissions(dir_ / "locked", readable & ~fs::perms::owner_write);
    std::vector<std::string> as_user;
    if (geteuid() == 0) as_user = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    const auto run_as_user = [&](std::vector<std::string> argv) {
        argv.insert(argv.begin(), as_user.begin(), as_user.end());
        return run_program(argv);
    };
    auto task = run_as_user({kCampaign, "task", campaign(), "1"});
    EXPECT_EQ(task.exit_status, 2) << task.out << task.err;
    EXPECT_NE(task.err.find("cannot take the lease of " + campaign() + "/windows/0001: "), std::string::npos) << task.err;
    EXPECT_NE(task.err.find("Permission denied"), std::string::npos) << task.err;
    auto planned = run_as_user({kCampaign, "plan", "--dir", dir_ / "locked/c", "--config", dir_ / "base.cfg"});
    EXPECT_EQ(planned.exit_status, 2) << planned.out << planned.err;
    EXPECT_NE(planned.err.find("cannot create the campaign directory " + dir_ / "locked/c" + ": Permission denied"),
              std::string::npos)
        << planned.err;
    fs::permissions(campaign() + "/windows/0001", fs::perms::owner_write, fs::perm_options::add);
}

// Window splits: whole lengths, the last window cut at the period's end.
TEST(CampaignSplit, WindowsCoverThePeriodOnce) {
    struct Case {
        std::string from, to;
        int64_t seconds;
        std::vector<std::string> expected;  // start of each window, then the period's end
    };
    const std::vector<Case> cases = {
        {"2017/03/01", "2017/03/03", 86400,
         {"2017/03/01t00:00:00", "2017/03/02t00:00:00", "2017/03/03t00:00:00", "2017/03/03t23:59:59"}},
        {"2016/02/28t22", "2016/03/01t01", 86400, {"2016/02/28t22:00:00", "2016/02/29t22:00:00", "2016/03/01t01:59:59"}},
        {"2017/365t23", "2018/001t01", 3600,
         {"2017/12/31t23:00:00", "2018/01/01t00:00:00", "2018/01/01t01:00:00", "2018/01/01t01:59:59"}},
    };
    for (const Case& c : cases) {
        const auto [from, to] = campaign::parse_period(c.from, c.to);
        const auto windows = campaign::split_period(from, to, c.seconds, {});
        ASSERT_EQ(windows.size() + 1, c.expected.size()) << c.from;
        for (size_t i = 0; i < windows.size(); ++i) {
            EXPECT_EQ(campaign::instant_text(windows[i].start), c.expected[i]);
            EXPECT_EQ(campaign::instant_text(windows[i].end), c.expected[i + 1]);
            EXPECT_EQ(windows[i].number, static_cast<int>(i + 1));
        }
    }
}

}  // namespace

namespace {

// Task lines and printed commands: paths with shell characters stay one word.
TEST(CampaignCommands, ShellWords) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/data/campaign", "/data/campaign"},
        {"/data/my campaign", "'/data/my campaign'"},
        {"/data/it's", "'/data/it'\\''s'"},
        {"--partition=x", "--partition=x"},
        {"", "''"},
    };
    for (const auto& [text, word] : cases) EXPECT_EQ(campaign::shell_word(text), word);
}

}  // namespace
