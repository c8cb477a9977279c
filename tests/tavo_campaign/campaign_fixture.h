// The fixture of the campaign tests: two hours of simulated data crossing
// midnight, one TAVO_L0 run over the whole period as the reference, and a
// campaign directory and product root per test.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support/test_support.h"

inline const std::string kCampaign = TAVO_CAMPAIGN_BINARY;
inline const std::string kFrom = "2017/03/01t23:00:00";
inline const std::string kTo = "2017/03/02t00:59:59";

inline std::string base_config(const std::string& root, const std::string& out, const std::string& work) {
    return "INPUT_TYPE=HDF\nINPUT_ROOT_DIRECTORY=" + root + "/l0/\nINPUT_SUBDIRECTORY=HIERARCHICAL\n" +
           "WORKING_DIRECTORY=" + work + "/\nH5DUMP_EXE=/usr/bin/h5dump\nOUTPUT_ROOT_DIRECTORY=" + out +
           "/\nDESPIKE=YES\nISP_CSV=YES\nKITE=16\nSTART=" + kFrom + "\nEND=" + kTo + "\n";
}

// The level-0 data and the product tree of one run over the whole period,
// made once for all tests.
class CampaignTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        data_ = new test_support::TempDir("tavo-campaign-data");
        const std::string root = data_->path();
        auto sim = test_support::run_program({TAVO_L0SIM_BINARY, "--kite", "16", "--start", "2017-03-01T22:59:58", "--duration",
                                "2h", "--cadence", "10s", "--size", "64", "--layout", "ordinal", "--out",
                                root + "/l0", "--seed", "3"});
        ASSERT_EQ(sim.exit_status, 0) << sim.err;
        std::filesystem::create_directories(root + "/whole/out");
        std::filesystem::create_directories(root + "/whole/work");
        test_support::write_file(root + "/whole.cfg", base_config(root, root + "/whole/out", root + "/whole/work"));
        auto whole = test_support::run_program({TAVO_L0_BINARY, "CONFIG=" + root + "/whole.cfg"});
        ASSERT_EQ(whole.exit_status, 0) << whole.out;
    }
    static void TearDownTestSuite() {
        delete data_;
        data_ = nullptr;
    }

    // A campaign directory and product root of this test, planned with args.
    void plan(std::vector<std::string> args, bool audit = false) {
        std::filesystem::create_directories(dir_ / "products");
        test_support::write_file(dir_ / "base.cfg", base_config(data_->path(), dir_ / "products", dir_ / "unused-work"));
        std::filesystem::create_directories(dir_ / "unused-work");
        std::vector<std::string> argv = {kCampaign, "plan", "--dir", campaign(), "--config", dir_ / "base.cfg"};
        if (!audit) argv.push_back("--no-audit");
        argv.insert(argv.end(), args.begin(), args.end());
        auto r = test_support::run_program(argv);
        ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
    }
    test_support::ProgramResult campaign_command(const std::string& command, std::vector<std::string> args = {}) {
        std::vector<std::string> argv = {kCampaign, command, "--dir", campaign()};
        argv.insert(argv.end(), args.begin(), args.end());
        return test_support::run_program(argv);
    }
    std::string campaign() const { return campaign_dir_.empty() ? dir_ / "campaign" : campaign_dir_; }
    std::string products() const { return dir_ / "products"; }

    // The campaign's tree (products, CSV tables) against the whole run's,
    // byte for byte apart from the creation-time cards.
    void expect_same_tree_as_one_run() {
        auto r = test_support::run_program({"/usr/bin/python3", std::string(TAVO_SOURCE_DIR) + "/bench/compare_products.py",
                              data_->path() + "/whole/out", products()});
        EXPECT_EQ(r.exit_status, 0) << r.out;
    }
    void finish_ok() {
        auto r = campaign_command("finish");
        EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
        expect_same_tree_as_one_run();
    }

    static inline test_support::TempDir* data_ = nullptr;
    test_support::TempDir dir_{"tavo-campaign"};
    std::string campaign_dir_;  // when not under dir_
};

// A single-node Slurm cluster of the project's script for one test, with
// its state under state_dir and SLURM_CONF pointing at it while it runs;
// stopped by the pids it wrote. Its ports are a pair of this test process
// from port_base, so that two builds' suites never meet.
class SlurmCluster {
public:
    SlurmCluster(const std::string& state_dir, int port_base) : state_(state_dir) {
        setenv("SLURM_TEST_PORT", std::to_string(port_base + getpid() % 14000 * 2).c_str(), 1);
        start_ = test_support::run_program({"/bin/bash", script(), "start", state_});
        if (start_.exit_status == 0) setenv("SLURM_CONF", (state_ + "/slurm.conf").c_str(), 1);
    }
    ~SlurmCluster() { stop(); }
    SlurmCluster(const SlurmCluster&) = delete;
    SlurmCluster& operator=(const SlurmCluster&) = delete;
    // The script's output when the cluster did not come up; "" when it did.
    std::string failure() const { return start_.exit_status == 0 ? "" : start_.out + start_.err; }
    void stop() {
        if (stopped_) return;
        stopped_ = true;
        unsetenv("SLURM_CONF");
        test_support::run_program({"/bin/bash", script(), "stop", state_});
    }

private:
    static std::string script() { return std::string(TAVO_SOURCE_DIR) + "/scripts/slurm_cluster.sh"; }

    std::string state_;
    test_support::ProgramResult start_;
    bool stopped_ = false;
};
