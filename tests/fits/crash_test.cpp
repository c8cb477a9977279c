// TAVO_L0 killed in the middle of a write to a product, at its first writes
// and in its despike (the spike tables, the replaced pixels and the header
// written into the same temporary file): no product under its final name is
// ever truncated, and a rerun gives the tree of a run never killed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/test_support.h"

using test_support::TempDir;

namespace {

class KilledRun : public ::testing::Test {
protected:
    void SetUp() override {
        const auto sim = test_support::run_program(
            {TAVO_L0SIM_BINARY, "--out", t / "l0", "--start", "2017-03-01T12:00:00", "--duration", "10min",
             "--cadence", "10s", "--file-span", "3min", "--size", "48", "--spike-rate", "0.003", "--seed", "3"});
        ASSERT_EQ(sim.exit_status, 0) << sim.err;
        ASSERT_EQ(run_into("reference").exit_status, 0);
    }

    // Runs TAVO_L0 into t/name (a fresh tree and working directory unless
    // they are there) with DESPIKE and the CSV tables on.
    test_support::ProgramResult run_into(const std::string& name) {
        const std::string out = t / name;
        test_support::make_dirs(out + "/products");
        std::filesystem::remove_all(out + "/work");
        test_support::make_dirs(out + "/work");
        test_support::RunConfiguration c{t / "l0", out + "/work", out + "/products"};
        c.end = "2017/03/01t12:09:59";
        c.despike = c.isp_csv = "YES";
        test_support::write_file(out + "/TAVO_configuration.cfg", test_support::configuration_text(c));
        return test_support::run_program({TAVO_L0_BINARY}, out);
    }

    test_support::ProgramResult python(const std::string& script, const std::string& a, const std::string& b = "") {
        std::vector<std::string> argv = {"/usr/bin/python3", std::string(TAVO_SOURCE_DIR) + "/" + script, a};
        if (!b.empty()) argv.push_back(b);
        return test_support::run_program(argv);
    }

    TempDir t{"tavo-crash"};
};

bool any_temporary_file(const std::string& root) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        const std::string name = entry.path().filename().string();
        if (name.size() > 4 && name.compare(name.size() - 4, 4, "-tmp") == 0) return true;
    }
    return false;
}

TEST_F(KilledRun, LeavesNoTruncatedProductAndARerunGivesTheUninterruptedTree) {
    // Each product takes three writes, then a few in its despike.
    const int kill_points[] = {1, 2, 3, 4, 6, 8, 12, 20, 33, 61};
    int killed_in_temporary = 0;
    for (const int k : kill_points) {
        const std::string name = "killed" + std::to_string(k);
        SCOPED_TRACE(name);
        setenv("LD_PRELOAD", KILL_AT_WRITE_LIBRARY, 1);
        setenv("KILL_AT_WRITE", std::to_string(k).c_str(), 1);
        setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
        const auto killed = run_into(name);
        unsetenv("LD_PRELOAD");
        unsetenv("KILL_AT_WRITE");
        unsetenv("ASAN_OPTIONS");
        ASSERT_EQ(killed.exit_status, -1) << killed.out << killed.err;
        killed_in_temporary += killed.err.find(".write-tmp") != std::string::npos;
        ASSERT_TRUE(any_temporary_file(t / name + "/products")) << killed.err;

        const auto check = python("tests/fits/products_complete.py", t / name + "/products");
        EXPECT_EQ(check.exit_status, 0) << check.out << check.err;

        const auto rerun = run_into(name);
        ASSERT_EQ(rerun.exit_status, 0) << rerun.out;
        EXPECT_FALSE(any_temporary_file(t / name + "/products"));
        const auto same = python("bench/compare_products.py", t / "reference/products", t / name + "/products");
        EXPECT_EQ(same.exit_status, 0) << same.out;
    }
    EXPECT_EQ(killed_in_temporary, static_cast<int>(std::size(kill_points)));
}

}  // namespace
