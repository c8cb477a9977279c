// TAVO_L0 on simulated level-0 files with one telemetry fault each: every
// complete image of the manifest becomes a product, wherever the fault sits
// (first, middle or last image of a file; a pair that is the last or not),
// and day directories of both forms give every day.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>
#include <string>

#include "support/test_support.h"

using json = nlohmann::json;
using test_support::TempDir;

namespace {

using IdSet = std::set<uint32_t>;

struct Outcome {
    int exit_status;
    std::string console;
    IdSet complete;  // ids of the manifest's complete images
    IdSet written;   // ids of the products in the tree
};

// Simulates with the extra arguments (satellite 16 from 2017-03-01 12:00
// unless they say otherwise), then runs TAVO_L0 over start .. end.
Outcome simulate_and_run(const std::vector<std::string>& extra, const std::string& start, const std::string& end,
                         bool hierarchical) {
    TempDir t("tavo-complete");
    std::vector<std::string> argv = {TAVO_L0SIM_BINARY, "--out", t / "l0", "--start", "2017-03-01T12:00:00",
                                     "--seed", "11", "--spike-rate", "0"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    const auto sim = test_support::run_program(argv);
    EXPECT_EQ(sim.exit_status, 0) << sim.err;

    test_support::RunConfiguration c{t / "l0/", t / "work", t / "out"};
    c.start = start;
    c.end = end;
    if (hierarchical) c.subdirectory = "HIERARCHICAL";
    test_support::make_dirs(c.work);
    test_support::make_dirs(c.output_root);
    test_support::write_file(t / "TAVO_configuration.cfg", test_support::configuration_text(c));
    const auto run = test_support::run_program({TAVO_L0_BINARY}, t.path());

    Outcome outcome{run.exit_status, run.out, {}, {}};
    const json manifest = json::parse(test_support::read_file(t / "l0/manifest.json"));
    for (const json& image : manifest["images"])
        if (image["complete"].get<bool>()) outcome.complete.insert(image["id"].get<uint32_t>());
    for (const auto& entry : std::filesystem::recursive_directory_iterator(t / "out/KITE-16")) {
        const std::string name = entry.path().filename().string();  // ..._00000042.fits
        if (entry.path().extension() == ".fits") outcome.written.insert(std::stoul(name.substr(name.size() - 13, 8)));
    }
    return outcome;
}

struct FaultCase {
    std::string fault;
};

// One hour of images every 10 s in 6-minute files: file m holds images 36m
// to 36m + 35, and the pair of files 8 and 9 is the last.
class OneFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(OneFault, EveryCompleteImageIsWritten) {
    const FaultCase& c = GetParam();
    const Outcome o = simulate_and_run({"--duration", "1h", "--cadence", "10s", "--file-span", "6min", "--size",
                                        "32", "--fault", c.fault},
                                       "2017/03/01t12:00:00", "2017/03/01t12:59:59", false);
    ASSERT_EQ(o.exit_status, 0) << o.console;
    EXPECT_EQ(o.written, o.complete);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, OneFault,
    ::testing::Values(FaultCase{"missing-final@0"},    // first image of the run
                      FaultCase{"missing-final@3"},    // early in the first file
                      FaultCase{"missing-final@35"},   // last of the first file
                      FaultCase{"missing-final@36"},   // first of the second file
                      FaultCase{"missing-final@40"},   // middle of a file
                      FaultCase{"missing-final@324"},  // first of the last file
                      FaultCase{"missing-final@340"},  // middle of the last file
                      FaultCase{"missing-final@359"},  // last of the run
                      FaultCase{"duplicate@40"}, FaultCase{"truncate@40"},
                      FaultCase{"id-repeat@40"},       // carries image 39's id: one product for the id
                      FaultCase{"foreign-apid@40"}, FaultCase{"alias-apid@40"},
                      FaultCase{"bad-header-bits@40"}, FaultCase{"bad-index@40"},
                      FaultCase{"sel-bits@40"}, FaultCase{"bit15@40"}, FaultCase{"gap@40"}),
    [](const ::testing::TestParamInfo<FaultCase>& info) {
        std::string name = info.param.fault;
        for (char& ch : name)
            if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return name;
    });

// Two faults in one file, both with a later complete image after them.
TEST(TwoFaults, EveryCompleteImageIsWritten) {
    const Outcome o = simulate_and_run({"--duration", "20min", "--cadence", "10s", "--file-span", "6min", "--size",
                                        "32", "--fault", "missing-final@5", "--fault", "missing-final@9"},
                                       "2017/03/01t12:00:00", "2017/03/01t12:19:59", false);
    ASSERT_EQ(o.exit_status, 0) << o.console;
    EXPECT_EQ(o.written, o.complete);
    EXPECT_EQ(o.written.count(7), 1u);  // image 6 (ids start at 1), between the two
}

// Day directories K16_2017_060, K16_20170302, K16_2017_062.
TEST(MixedDayDirectories, EveryDayIsWritten) {
    const Outcome o = simulate_and_run({"--duration", "3d", "--cadence", "60s", "--file-span", "2h", "--size", "16",
                                        "--layout", "mixed", "--start", "2017-03-01T00:00:00"},
                                       "2017/03/01t00:00:00", "2017/03/03t23:59:59", true);
    ASSERT_EQ(o.exit_status, 0) << o.console;
    EXPECT_EQ(o.complete.size(), 4320u);
    EXPECT_EQ(o.written, o.complete);
}

}  // namespace
