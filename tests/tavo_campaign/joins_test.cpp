// Losses at window joins: each counted once, by the window that owns its
// time or by the join record of the window after it, so that finish's
// problems and a catalog fed the windows' audits and join records tell what
// one audit over the whole period tells.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <sstream>

#include "campaign.h"
#include "campaign_fixture.h"
#include "joins.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using test_support::read_file;
using test_support::run_program;
using test_support::write_file;

namespace {

// Uneven bounds: a window of under three minutes ending at midnight, where
// the image at 00:00:00.014 is the last of its window, then one of a second.
const std::vector<std::string> kUnevenBounds = {
    "--bounds", "2017/03/01t23:57:13,2017/03/02t00:00:00,2017/03/02t00:00:01"};

class Joins : public CampaignTest {
protected:
    // The fixture's two hours simulated again with more options, in dir_/name/l0.
    std::string simulate(const std::string& name, std::vector<std::string> more) {
        std::vector<std::string> argv = {TAVO_L0SIM_BINARY, "--kite", "16", "--start", "2017-03-01T22:59:58",
                                         "--duration", "2h", "--cadence", "10s", "--size", "64", "--layout",
                                         "ordinal", "--seed", "3", "--out", dir_ / (name + "/l0")};
        argv.insert(argv.end(), more.begin(), more.end());
        const auto sim = run_program(argv);
        EXPECT_EQ(sim.exit_status, 0) << sim.err;
        return dir_ / name;
    }
    // A campaign on the level-0 below root (root/l0), with the audit and a catalog.
    void plan_on(const std::string& root, std::vector<std::string> args) {
        fs::create_directories(products());
        fs::create_directories(dir_ / "unused-work");
        write_file(base(), base_config(root, products(), dir_ / "unused-work"));
        std::vector<std::string> argv = {kCampaign, "plan", "--dir", campaign(), "--config", base(), "--catalog",
                                         catalog()};
        argv.insert(argv.end(), args.begin(), args.end());
        const auto r = run_program(argv);
        ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
    }
    std::string base() const { return dir_ / "base.cfg"; }
    std::string catalog() const { return dir_ / "windows.sqlite"; }

    // finish's PROBLEM lines.
    static std::vector<std::string> problems(const std::string& out) {
        std::vector<std::string> lines;
        std::istringstream in(out);
        for (std::string line; std::getline(in, line);)
            if (line.rfind("PROBLEM: ", 0) == 0) lines.push_back(line);
        return lines;
    }

    // The catalog answers missing and summary as one fed a single audit of
    // the whole period over the campaign's products.
    void expect_catalog_of_one_audit() {
        const std::string one = dir_ / "one.sqlite";
        const auto audit = run_program({TAVO_L0AUDIT_BINARY, "CONFIG=" + base(), "--quiet", "--report",
                                        dir_ / "one.json"});
        ASSERT_NE(audit.exit_status, 2) << audit.err;
        ASSERT_EQ(run_program({TAVO_CATALOG_BINARY, "--db", one, "ingest", dir_ / "one.json"}).exit_status, 0);
        for (const char* query : {"missing", "summary"}) {
            const auto of_one = run_program({TAVO_CATALOG_BINARY, "--db", one, query, "--from", "2017-03-01", "--to",
                                             "2017-03-02"});
            const auto of_windows = run_program({TAVO_CATALOG_BINARY, "--db", catalog(), query, "--from",
                                                 "2017-03-01", "--to", "2017-03-02"});
            EXPECT_EQ(of_windows.out, of_one.out) << query;
        }
    }
};

// One dropped final packet, of the image at 00:00:00.014 whose window ends
// at midnight: the windows after it read its packets too, but only its own
// window counts it, on every engine.
TEST_F(Joins, DroppedFinalPacketAtMidnightIsOneProblemOnEveryEngine) {
    if (!fs::exists(TAVO_L0AUDIT_BINARY)) GTEST_SKIP() << "tavo_l0audit not built";
    const std::string data = simulate("dropped", {"--fault", "missing-final@360"});
    struct Engine {
        std::vector<std::string> args;
        bool slurm;
    };
    const std::vector<Engine> engines = {
        {{"--engine", "serial"}, false}, {{"--engine", "parallel", "-j", "2"}, false}, {{"--engine", "slurm"}, true}};
    for (const Engine& engine : engines) {
        SCOPED_TRACE(engine.args[1]);
        if (engine.slurm && (geteuid() != 0 || !fs::exists("/usr/sbin/slurmctld"))) continue;
        campaign_dir_ = dir_ / ("campaign-" + engine.args[1]);
        fs::remove_all(products());
        fs::remove(catalog());
        plan_on(data, kUnevenBounds);
        std::optional<SlurmCluster> cluster;
        if (engine.slurm) {
            cluster.emplace(dir_ / "slurm", 20100);
            ASSERT_EQ(cluster->failure(), "");
        }
        const auto run = campaign_command("run", engine.args);
        if (cluster) cluster->stop();
        ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
        const auto finish = campaign_command("finish");
        EXPECT_EQ(finish.exit_status, 1) << finish.out << finish.err;
        const std::vector<std::string> lines = problems(finish.out);
        ASSERT_EQ(lines.size(), 1u) << finish.out;
        EXPECT_EQ(lines[0], "PROBLEM: window 2: the audit found 0 images lost by the run (a reprocessing mends them) "
                            "and 1 lost in the telemetry (only a re-sent downlink mends them)");
        const nlohmann::json audit = campaign::read_json(campaign() + "/summary.json")["audit"];
        EXPECT_EQ(audit["not_written_images"].size(), 1u);
        EXPECT_EQ(audit["not_written_images"][0]["image_id"], 361);
        EXPECT_EQ(audit["not_written_images"][0]["window"], 2);
        expect_catalog_of_one_audit();
    }
}

// Clean data over the same bounds: nothing lost, in finish and in the catalog.
TEST_F(Joins, CleanDataOverUnevenBoundsReportsNoLoss) {
    if (!fs::exists(TAVO_L0AUDIT_BINARY)) GTEST_SKIP() << "tavo_l0audit not built";
    plan_on(data_->path(), kUnevenBounds);
    ASSERT_EQ(campaign_command("run").exit_status, 0);
    const auto finish = campaign_command("finish");
    EXPECT_EQ(finish.exit_status, 0) << finish.out << finish.err;
    EXPECT_TRUE(problems(finish.out).empty()) << finish.out;
    expect_catalog_of_one_audit();
}

// A level-0 file lost at a join (23:53:58 to 23:59:58, the join at 23:57):
// no window's audit holds its images; the join record of window 2 counts
// them, once.
TEST_F(Joins, FileLostAtAJoinIsCountedOnce) {
    if (!fs::exists(TAVO_L0AUDIT_BINARY)) GTEST_SKIP() << "tavo_l0audit not built";
    const std::string lost = "K16_2017_060/OR_TAVO-L0_K16_s20170602353580_e20170602359579_c20170610000580.nc";
    for (const auto& day : fs::directory_iterator(data_->path() + "/l0")) {
        if (!day.is_directory()) continue;
        fs::create_directories(fs::path(dir_ / "gap/l0") / day.path().filename());
        for (const auto& file : fs::directory_iterator(day.path())) {
            const fs::path rel = fs::relative(file.path(), data_->path() + "/l0");
            if (rel != lost) fs::create_symlink(file.path(), fs::path(dir_ / "gap/l0") / rel);
        }
    }
    plan_on(dir_ / "gap", {"--bounds", "2017/03/01t23:57:00"});
    ASSERT_EQ(campaign_command("run").exit_status, 0);
    const auto finish = campaign_command("finish");
    EXPECT_EQ(finish.exit_status, 1) << finish.out << finish.err;
    EXPECT_EQ(problems(finish.out),
              std::vector<std::string>{"PROBLEM: images absent from the level-0 between windows 1 and 2: ids 325 to "
                                       "360 (36 images; only a re-sent downlink mends them)"});
    const auto missing = run_program({TAVO_CATALOG_BINARY, "--db", catalog(), "missing", "--from", "2017-03-01",
                                      "--to", "2017-03-02", "--csv"});
    EXPECT_EQ(missing.out,
              "kite,first_time,last_time,first_id,last_id,images,passband,reason\n"
              "16,2017-03-01T23:54:00.123,2017-03-01T23:59:50.017,325,360,36,unknown,absent\n");
    expect_catalog_of_one_audit();

    // Found again, the record is left as it is: the catalog takes it as unchanged.
    const std::string record = campaign() + "/windows/0002/join.json";
    const std::string before = read_file(record);
    const campaign::Campaign c = campaign::load_campaign(campaign());
    EXPECT_EQ(campaign::write_join_records(c, 1), std::vector<std::string>{record});
    EXPECT_EQ(read_file(record), before);
}

// Followed as its files land, files of 361 s so that images run on into
// the next file: a window that begins after a file join sees the tail of
// an image whose header lies in a file it does not select. Clean data
// report no loss, and the catalog the follower fills, with the join
// records finish adds, is that of one audit.
TEST_F(Joins, FollowOverCleanDataReportsNoLoss) {
    if (!fs::exists(TAVO_L0AUDIT_BINARY)) GTEST_SKIP() << "tavo_l0audit not built";
    const std::string all = simulate("all", {"--file-span", "361s", "--duration", "70min"});
    const auto manifest = nlohmann::json::parse(read_file(all + "/l0/manifest.json"));
    fs::create_directories(products());
    fs::create_directories(dir_ / "work");
    std::string config = base_config(dir_ / "landed", products(), dir_ / "work");
    config.replace(config.find("END=" + kTo), 4 + kTo.size(), "END=2017/03/02t00:08:59");
    write_file(base(), config);
    for (const auto& file : manifest["files"]) {
        const fs::path to = fs::path(dir_ / "landed/l0") / file["path"].get<std::string>();
        fs::create_directories(to.parent_path());
        fs::copy_file(fs::path(all) / "l0" / file["path"].get<std::string>(), to);
        fs::last_write_time(to, fs::file_time_type::clock::now() - std::chrono::hours(1));
        const auto once = run_program({kCampaign, "follow", "--dir", campaign(), "--config", base(), "--once",
                                       "--lag", "1ms", "--no-quicklook", "--until", "2017/03/02t00:08:59",
                                       "--catalog", catalog()});
        ASSERT_EQ(once.exit_status, 0) << once.out << once.err;
    }
    const auto finish = campaign_command("finish");
    EXPECT_EQ(finish.exit_status, 0) << finish.out << finish.err;
    EXPECT_TRUE(problems(finish.out).empty()) << finish.out;
    expect_catalog_of_one_audit();
}

}  // namespace
