// The exit statuses every program shares: 0 success, 1 the work failed or
// found losses, 2 bad usage or bad input (TAVO_L0: 1 for both, as it has
// always done), each failure one line on standard error naming the program.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

struct ExitCase {
    const char* what;
    std::vector<std::string> argv;  // "@" stands for the test's scratch directory
    int status;
};

TEST(ExitStatus, EveryProgramFollowsTheTable) {
    test_support::TempDir dir{"tavo-exit"};
    test_support::write_file(dir / "not-hdf5.nc", "not an HDF5 file");
    const std::vector<ExitCase> cases = {
        {"simulator: a run", {TAVO_L0SIM_BINARY, "--out", "@/l0", "--duration", "30s", "--size", "32"}, 0},
        {"simulator: bad option", {TAVO_L0SIM_BINARY, "--out", "@/x", "--no-such-option"}, 2},
        {"simulator: bad value", {TAVO_L0SIM_BINARY, "--out", "@/x", "--duration", "0s"}, 2},
        {"dump: help", {TAVO_L0DUMP_BINARY, "--help"}, 0},
        {"dump: bad option", {TAVO_L0DUMP_BINARY, "--no-such-option"}, 2},
        {"dump: missing option", {TAVO_L0DUMP_BINARY, "-d", "x", "-b", "BE", "@/not-hdf5.nc"}, 2},
        {"dump: unreadable input", {TAVO_L0DUMP_BINARY, "-o", "@/o.bin", "-d", "x", "-b", "BE", "@/not-hdf5.nc"}, 1},
        {"audit: help", {TAVO_L0AUDIT_BINARY, "--help"}, 0},
        {"audit: bad option", {TAVO_L0AUDIT_BINARY, "--no-such-option"}, 2},
        {"audit: bad parameter", {TAVO_L0AUDIT_BINARY, "CONFIG=/dev/null", "KITE=99"}, 2},
        {"quicklook: help", {TAVO_QUICKLOOK_BINARY, "--help"}, 0},
        {"quicklook: bad option", {TAVO_QUICKLOOK_BINARY, "--no-such-option"}, 2},
        {"quicklook: bad day", {TAVO_QUICKLOOK_BINARY, "--root", "@", "--kite", "16", "--day", "2017-13-45"}, 2},
        {"quicklook: unreadable product", {TAVO_QUICKLOOK_BINARY, "--out", "@/pics", "@/not-hdf5.nc"}, 1},
        {"catalog: help", {TAVO_CATALOG_BINARY, "--help"}, 0},
        {"catalog: bad option", {TAVO_CATALOG_BINARY, "--db", "@/c.sqlite", "--no-such-option"}, 2},
        {"catalog: missing report", {TAVO_CATALOG_BINARY, "--db", "@/c.sqlite", "ingest", "@/none.json"}, 2},
        {"campaign: help", {TAVO_CAMPAIGN_BINARY, "--help"}, 0},
        {"campaign: bad option", {TAVO_CAMPAIGN_BINARY, "status", "--no-such-option"}, 2},
        {"campaign: bad number", {TAVO_CAMPAIGN_BINARY, "task", "@", "abc"}, 2},
        {"campaign: no campaign", {TAVO_CAMPAIGN_BINARY, "status", "--dir", "@/none"}, 2},
        {"TAVO_L0: help", {TAVO_L0_BINARY, "--help"}, 0},
        {"TAVO_L0: bad parameter", {TAVO_L0_BINARY, "CONFIG=/dev/null", "NOPE=1"}, 1},
    };
    for (const ExitCase& c : cases) {
        std::vector<std::string> argv;
        for (std::string a : c.argv) {
            if (a.rfind("@", 0) == 0) a = dir.path() + a.substr(1);
            argv.push_back(a);
        }
        const test_support::ProgramResult result = test_support::run_program(argv, dir.path());
        EXPECT_EQ(result.exit_status, c.status) << c.what << "\n" << result.err;
        // A companion's failure is one line naming it; TAVO_L0's console is its own.
        const std::string program = argv[0].substr(argv[0].rfind('/') + 1);
        if (c.status != 0 && program != "TAVO_L0") {
            EXPECT_EQ(result.err.rfind(program + ": ", 0), 0u) << c.what << ": " << result.err;
            EXPECT_EQ(test_support::split_lines(result.err).size(), 1u) << c.what << ": " << result.err;
        }
    }
}

}  // namespace
