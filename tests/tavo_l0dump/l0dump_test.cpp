// tavo_l0dump against Debian's h5dump: the same bytes on the simulator's
// files and on files of another writer (h5py), the failures h5dump meets
// with one message and the output h5dump leaves (or better), and the
// command line.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "level0_reader.h"
#include "input/input.h"
#include "support/test_support.h"

namespace {

using test_support::read_file;
using test_support::run_program;
using test_support::TempDir;
namespace fs = std::filesystem;

constexpr const char* kH5dump = "/usr/bin/h5dump";
constexpr const char* kPython = "/usr/bin/python3";
constexpr const char* kCaseDataset = "data";  // the dataset of every file write_cases.py writes
constexpr size_t kCaseChunkBytes = 4096;      // chunk of write_cases.py's byte datasets

// The level-0 file the simulator writes into dir/sim<level> at deflate level.
std::string simulated_file(const TempDir& dir, int level) {
    const std::string out = dir / ("sim" + std::to_string(level));
    if (!fs::exists(out)) {
        const auto sim = run_program({TAVO_L0SIM_BINARY, "--size", "256", "--duration", "3min", "--deflate",
                                      std::to_string(level), "--seed", "3", "--out", out});
        EXPECT_EQ(sim.exit_status, 0) << sim.err;
    }
    for (const auto& entry : fs::directory_iterator(out)) {
        if (entry.path().extension() == ".nc") return entry.path();
    }
    ADD_FAILURE() << "no level-0 file in " << out;
    return "";
}

// A file of write_cases.py, all of which are written into dir/cases at first use.
std::string case_file(const TempDir& dir, const std::string& name) {
    const std::string out = dir / "cases";
    if (!fs::exists(out)) {
        fs::create_directories(out);
        const auto written = run_program({kPython, TAVO_SOURCE_DIR "/tests/tavo_l0dump/write_cases.py", out});
        EXPECT_EQ(written.exit_status, 0) << written.err;
    }
    return out + "/" + name;
}

test_support::ProgramResult dump(const std::string& program, const std::string& output, const std::string& dataset,
                                 const std::string& input) {
    return run_program({program, "-o", output, "-d", dataset, "-b", "BE", input});
}

// --- Sameness ----------------------------------------------------------------

struct SameCase {
    const char* name;
    int deflate;        // simulator file at this level; -1: file of write_cases.py
    const char* file;   // write_cases.py's file
    bool raw_chunks;    // inflated by tavo_l0dump itself rather than by the library
};

const SameCase kSameCases[] = {
    {"simulator_deflate_0", 0, "", false},
    {"simulator_deflate_1", 1, "", true},
    {"simulator_deflate_9", 9, "", true},
    {"length_not_a_multiple_of_the_chunk", -1, "partial.h5", true},
    {"empty", -1, "empty.h5", true},
    {"contiguous", -1, "contiguous.h5", false},
    {"bytes_shuffled_and_deflated", -1, "shuffle_u8.h5", true},
    {"int32_shuffled_and_deflated", -1, "shuffle_i32.h5", true},
    {"uint16_little_endian", -1, "u16.h5", true},
    {"int16_big_endian_shuffled", -1, "i16_big_endian.h5", true},
    {"uint16_contiguous", -1, "u16_contiguous.h5", false},
    {"fletcher32_checksum", -1, "fletcher32.h5", false},
    {"two_dimensions", -1, "matrix.h5", false},
    {"float", -1, "float.h5", false},
    {"unallocated_chunks_hold_the_fill_value", -1, "unallocated.h5", true},
    {"deflate_skipped_for_one_chunk", -1, "skipped_filter.h5", true},
};

void PrintTo(const SameCase& c, std::ostream* os) { *os << c.name; }

class SameAsH5dump : public testing::TestWithParam<SameCase> {};

TEST_P(SameAsH5dump, WritesTheSameBytes) {
    const SameCase& c = GetParam();
    TempDir dir("l0dump");
    const bool simulated = c.deflate >= 0;
    const std::string input = simulated ? simulated_file(dir, c.deflate) : case_file(dir, c.file);
    const std::string dataset = simulated ? kPacketDatasetName : kCaseDataset;

    tavo_level0::Dataset opened;
    std::string error;
    ASSERT_TRUE(tavo_level0::open_dataset(input, dataset, opened, error)) << error;
    EXPECT_EQ(tavo_level0::reads_raw_chunks(opened), c.raw_chunks);

    const auto expected = dump(kH5dump, dir / "h5dump.bin", dataset, input);
    ASSERT_EQ(expected.exit_status, 0) << expected.err;
    const auto got = dump(TAVO_L0DUMP_BINARY, dir / "l0dump.bin", dataset, input);
    ASSERT_EQ(got.exit_status, 0) << got.err;
    EXPECT_EQ(got.out + got.err, "");
    const std::string want = read_file(dir / "h5dump.bin");
    EXPECT_EQ(read_file(dir / "l0dump.bin"), want);
    EXPECT_EQ(want.size(), opened.byte_count());
}

INSTANTIATE_TEST_SUITE_P(Cases, SameAsH5dump, testing::ValuesIn(kSameCases),
                         [](const testing::TestParamInfo<SameCase>& info) { return info.param.name; });

// Parts of a dataset, as the audit reads a file in two halves: the bytes of
// the whole dump from the range's first row, cut at the extent.
struct RangeCase {
    const char* file;
    uint64_t first, count;  // rows
};

TEST(LevelZeroReader, ReadsRowRangesOfTheStream) {
    const RangeCase cases[] = {
        {"partial.h5", 0, UINT64_MAX},    {"partial.h5", 4096, 4096},   {"partial.h5", 1000, 5000},
        {"partial.h5", 8000, UINT64_MAX}, {"partial.h5", 20000, 10},    {"u16.h5", 4095, 2},
        {"contiguous.h5", 7, 12000},      {"matrix.h5", 63, 2},         {"unallocated.h5", 4000, 200},
    };
    TempDir dir("l0dump");
    for (const RangeCase& c : cases) {
        SCOPED_TRACE(std::string(c.file) + " from " + std::to_string(c.first));
        const std::string input = case_file(dir, c.file);
        ASSERT_EQ(dump(kH5dump, dir / "whole.bin", kCaseDataset, input).exit_status, 0);
        const std::string whole = read_file(dir / "whole.bin");
        tavo_level0::Dataset opened;
        std::string error;
        ASSERT_TRUE(tavo_level0::open_dataset(input, kCaseDataset, opened, error)) << error;
        const uint64_t row_bytes = opened.byte_count() / opened.dims[0];
        std::string got;
        const auto append = [&got](const uint8_t* bytes, size_t count, std::string&) {
            got.append(reinterpret_cast<const char*>(bytes), count);
            return true;
        };
        ASSERT_TRUE(tavo_level0::stream_dataset(opened, append, error, {c.first, c.count})) << error;
        const uint64_t first = std::min<uint64_t>(c.first * row_bytes, whole.size());
        EXPECT_EQ(got, whole.substr(first, std::min<uint64_t>(c.count, whole.size() / row_bytes) * row_bytes));
    }
}

// --- Failures ----------------------------------------------------------------

enum class Left { kNothing, kEmpty, kChunksBefore };

struct FailureCase {
    const char* name;
    const char* input;    // file of write_cases.py, or a special input below
    const char* dataset;
    const char* message;  // part of the one line on standard error
    Left h5dump_leaves;   // as measured, shown in docs/dump-utility.md
    Left l0dump_leaves;
};

constexpr const char* kMissing = "missing.h5";
constexpr const char* kText = "text.h5";
constexpr const char* kTruncated = "truncated.nc";
constexpr const char* kNoDirectory = "no-such-directory";

const FailureCase kFailureCases[] = {
    {"missing_file", kMissing, kCaseDataset, "missing.h5: No such file or directory", Left::kEmpty, Left::kEmpty},
    {"not_hdf5", kText, kCaseDataset, "text.h5: not an HDF5 file", Left::kEmpty, Left::kEmpty},
    {"no_such_dataset", "partial.h5", "other", "partial.h5: no dataset other", Left::kEmpty, Left::kEmpty},
    // h5dump writes whole blocks of 32 MiB: nothing of a file this small.
    {"damaged_chunk", "damaged.h5", kCaseDataset,
     "damaged.h5: the chunk at byte 20480 of data is damaged: not a valid deflate stream, or its checksum differs; ",
     Left::kEmpty, Left::kChunksBefore},
    {"truncated_file", kTruncated, kPacketDatasetName, "truncated.nc: cannot open: truncated file", Left::kEmpty,
     Left::kEmpty},
    {"output_directory_missing", "partial.h5", kCaseDataset, "cannot create ", Left::kNothing, Left::kNothing},
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class FailsLikeH5dump : public testing::TestWithParam<FailureCase> {};

// The input of a failure case, made in dir.
std::string failure_input(const TempDir& dir, const std::string& name) {
    if (name == kMissing) return dir / name;
    if (name == kText) {
        test_support::write_file(dir / name, "not an HDF5 file\n");
        return dir / name;
    }
    if (name == kTruncated) {
        fs::copy_file(simulated_file(dir, 1), dir / name);
        fs::resize_file(dir / name, fs::file_size(dir / name) / 2);
        return dir / name;
    }
    return case_file(dir, name);
}

void expect_left(const std::string& output, Left left, const std::string& chunks_before) {
    switch (left) {
        case Left::kNothing: EXPECT_FALSE(fs::exists(output)); break;
        case Left::kEmpty: EXPECT_EQ(read_file(output), ""); break;
        case Left::kChunksBefore: EXPECT_EQ(read_file(output), chunks_before); break;
    }
}

TEST_P(FailsLikeH5dump, OneMessageAndTheOutputH5dumpLeaves) {
    const FailureCase& c = GetParam();
    TempDir dir("l0dump");
    const std::string input = failure_input(dir, c.input);
    const std::string out_dir = std::string(c.name) == "output_directory_missing" ? dir / kNoDirectory : dir / "out";
    if (out_dir != dir / kNoDirectory) fs::create_directories(out_dir);

    const auto h5dump = dump(kH5dump, out_dir + "/h5dump.bin", c.dataset, input);
    EXPECT_EQ(h5dump.exit_status, 1);
    expect_left(out_dir + "/h5dump.bin", c.h5dump_leaves, "");

    const auto got = dump(TAVO_L0DUMP_BINARY, out_dir + "/l0dump.bin", c.dataset, input);
    EXPECT_EQ(got.exit_status, 1);
    EXPECT_EQ(got.out, "");
    EXPECT_EQ(got.err.rfind("tavo_l0dump: ", 0), 0u) << got.err;
    EXPECT_NE(got.err.find(c.message), std::string::npos) << got.err;
    EXPECT_EQ(got.err.find('\n'), got.err.size() - 1) << got.err;
    // The whole chunks before the damaged one (the sixth), as h5dump reads them alone.
    std::string chunks_before;
    if (c.l0dump_leaves == Left::kChunksBefore) {
        const auto first = run_program({kH5dump, "-d", c.dataset, "-s", "0", "-c", std::to_string(5 * kCaseChunkBytes),
                                        "-b", "BE", "-o", dir / "before.bin", input});
        ASSERT_EQ(first.exit_status, 0) << first.err;
        chunks_before = read_file(dir / "before.bin");
    }
    expect_left(out_dir + "/l0dump.bin", c.l0dump_leaves, chunks_before);
    if (fs::exists(out_dir)) {
        for (const std::string& name : test_support::list_dir(out_dir)) EXPECT_TRUE(name.ends_with(".bin")) << name;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, FailsLikeH5dump, testing::ValuesIn(kFailureCases),
                         [](const testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

// A write that fails (the file-size limit reached, as on a full device):
// h5dump reports success over a cut stream; tavo_l0dump fails and leaves
// nothing, not even its temporary file.
TEST(Tavol0dump, FailedWriteLeavesNothing) {
    TempDir dir("l0dump");
    const std::string input = simulated_file(dir, 1);
    const auto limited = [&](const std::string& program, const std::string& output) {
        return run_program({"/bin/sh", "-c",
                            "trap '' XFSZ; ulimit -f 64; exec " + program + " -o " + output + " -d " +
                                kPacketDatasetName + " -b BE " + input + " >/dev/null"});
    };
    tavo_level0::Dataset opened;
    std::string error;
    ASSERT_TRUE(tavo_level0::open_dataset(input, kPacketDatasetName, opened, error)) << error;
    const auto h5dump = limited(kH5dump, dir / "h5dump.bin");
    EXPECT_EQ(h5dump.exit_status, 0);
    EXPECT_GT(fs::file_size(dir / "h5dump.bin"), 0u);
    EXPECT_LT(fs::file_size(dir / "h5dump.bin"), opened.byte_count());

    fs::create_directories(dir / "out");
    const auto got = limited(TAVO_L0DUMP_BINARY, dir / "out/f1.bin");
    EXPECT_EQ(got.exit_status, 1);
    EXPECT_EQ(got.err, "tavo_l0dump: cannot write " + (dir / "out/f1.bin") + ".dump-tmp: File too large\n");
    EXPECT_TRUE(test_support::list_dir(dir / "out").empty());
}

// An output that is a pipe (or a device such as /dev/null) is written in
// place: a file renamed over it would replace it.
TEST(Tavol0dump, WritesIntoAPipeInPlace) {
    TempDir dir("l0dump");
    const std::string input = case_file(dir, "partial.h5");
    ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
    const auto got = run_program({"/bin/sh", "-c",
                                  "cat " + (dir / "pipe") + " >" + (dir / "copy.bin") + " & " + TAVO_L0DUMP_BINARY +
                                      " -o " + (dir / "pipe") + " -d " + kCaseDataset + " -b BE " + input +
                                      "; status=$?; wait; exit $status"});
    EXPECT_EQ(got.exit_status, 0) << got.err;
    EXPECT_TRUE(fs::is_fifo(dir / "pipe"));
    ASSERT_EQ(dump(kH5dump, dir / "h5dump.bin", kCaseDataset, input).exit_status, 0);
    EXPECT_EQ(read_file(dir / "copy.bin"), read_file(dir / "h5dump.bin"));
    for (const std::string& name : test_support::list_dir(dir.path())) EXPECT_FALSE(name.ends_with("-tmp")) << name;
}

// Links planted at the temporary name and at the output's name, aimed at a
// file outside the directory: the first is removed and the output is a file
// of its own even when the input cannot be opened; the second is refused.
TEST(Tavol0dump, NeverWritesThroughAPlantedLink) {
    TempDir dir("l0dump");
    fs::create_directories(dir / "out");
    test_support::write_file(dir / "victim", "victim\n");
    fs::create_symlink(dir / "victim", dir / "out/f1.bin.dump-tmp");
    EXPECT_EQ(dump(TAVO_L0DUMP_BINARY, dir / "out/f1.bin", kCaseDataset, dir / "absent.h5").exit_status, 1);
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir / "out/f1.bin")));
    EXPECT_EQ(test_support::list_dir(dir / "out"), std::vector<std::string>{"f1.bin"});

    fs::create_symlink(dir / "victim", dir / "out/f2.bin");
    const auto refused = dump(TAVO_L0DUMP_BINARY, dir / "out/f2.bin", kCaseDataset, case_file(dir, "partial.h5"));
    EXPECT_EQ(refused.exit_status, 1);
    EXPECT_EQ(refused.err, "tavo_l0dump: " + (dir / "out/f2.bin") + " is a symbolic link: an output is never "
                           "written through one\n");
    EXPECT_EQ(read_file(dir / "victim"), "victim\n");
}

// TAVO_L0 with tavo_l0dump as H5DUMP_EXE writes the products it writes
// with h5dump, over several file pairs.
TEST(Tavol0dump, TavoL0WritesTheSameProductsWithIt) {
    TempDir dir("l0dump");
    const auto sim = run_program({TAVO_L0SIM_BINARY, "--size", "64", "--duration", "20min", "--file-span", "6min",
                                  "--seed", "5", "--out", dir / "l0"});
    ASSERT_EQ(sim.exit_status, 0) << sim.err;
    for (const std::string utility : {kH5dump, TAVO_L0DUMP_BINARY}) {
        const std::string name = fs::path(utility).filename();
        test_support::RunConfiguration c{dir / "l0/", dir / ("work-" + name), dir / ("out-" + name)};
        c.end = "2017/03/01t12:19:59";
        test_support::make_dirs(c.work);
        test_support::make_dirs(c.output_root);
        test_support::write_file(dir / (name + ".cfg"), test_support::configuration_text(c));
        const auto run = run_program({TAVO_L0_BINARY, "CONFIG=" + (dir / (name + ".cfg")), "H5DUMP_EXE=" + utility});
        ASSERT_EQ(run.exit_status, 0) << run.out;
    }
    const auto compared = run_program({kPython, TAVO_SOURCE_DIR "/bench/compare_products.py", dir / "out-h5dump",
                                       dir / "out-tavo_l0dump"});
    EXPECT_EQ(compared.exit_status, 0) << compared.out;
    EXPECT_NE(compared.out.find(" files compared, 0 differences"), std::string::npos) << compared.out;
}

// --- Command line ------------------------------------------------------------

struct OptionCase {
    const char* name;
    std::vector<std::string> arguments;
    const char* message;
};

const OptionCase kOptionCases[] = {
    {"unknown_option", {"-x", "-o", "f", "-d", "d", "-b", "BE", "in"}, "The following argument was not expected: -x"},
    {"little_endian", {"-o", "f", "-d", "d", "-b", "LE", "in"}, "-b: LE not in {BE}"},
    {"no_byte_order", {"-o", "f", "-d", "d", "in"}, "-b is required"},
    {"no_input", {"-o", "f", "-d", "d", "-b", "BE"}, "input is required"},
    {"two_inputs", {"-o", "f", "-d", "d", "-b", "BE", "in", "other"}, "The following argument was not expected: other"},
};

void PrintTo(const OptionCase& c, std::ostream* os) { *os << c.name; }

class RefusesOptions : public testing::TestWithParam<OptionCase> {};

TEST_P(RefusesOptions, WithOneMessageAndStatus2) {
    std::vector<std::string> argv{TAVO_L0DUMP_BINARY};
    argv.insert(argv.end(), GetParam().arguments.begin(), GetParam().arguments.end());
    const auto got = run_program(argv);
    EXPECT_EQ(got.exit_status, 2);
    EXPECT_EQ(got.err, std::string("tavo_l0dump: ") + GetParam().message + " (see tavo_l0dump --help)\n");
}

INSTANTIATE_TEST_SUITE_P(Cases, RefusesOptions, testing::ValuesIn(kOptionCases),
                         [](const testing::TestParamInfo<OptionCase>& info) { return info.param.name; });

TEST(Tavol0dump, HelpHasAnExampleAndVersionNamesTheLibraries) {
    const auto help = run_program({TAVO_L0DUMP_BINARY, "--help"});
    EXPECT_EQ(help.exit_status, 0);
    EXPECT_NE(help.out.find("Example: tavo_l0dump -o "), std::string::npos) << help.out;
    const auto version = run_program({TAVO_L0DUMP_BINARY, "--version"});
    EXPECT_EQ(version.exit_status, 0);
    EXPECT_EQ(version.out.rfind("tavo_l0dump 1.0 (HDF5 ", 0), 0u) << version.out;
}

}  // namespace
