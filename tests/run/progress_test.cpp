// The progress display: its line, and a real run with standard error on a
// pseudo-terminal against the same run without one.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run/run.h"
#include "support/test_support.h"

using test_support::TempDir;

namespace {

struct LineCase {
    ProgressState state;  // pair, pair count, pairs done, images written, elapsed seconds
    const char* expected;
};

TEST(ProgressLine, ShowsPairImagesAndTimes) {
    const LineCase cases[] = {
        {{1, 9, 0, 0, 0.2}, "File pair 1 of 9, 0 images written, elapsed 0:00:00, remaining -:--:--"},
        {{3, 9, 2, 71, 42}, "File pair 3 of 9, 71 images written, elapsed 0:00:42, remaining 0:02:27"},
        {{9, 9, 9, 360, 59.6}, "File pair 9 of 9, 360 images written, elapsed 0:01:00, remaining 0:00:00"},
        {{2, 300, 1, 36, 3725.4}, "File pair 2 of 300, 36 images written, elapsed 1:02:05, remaining 309:24:55"},
        {{2, 2, 1, 0, 1e9}, "File pair 2 of 2, 0 images written, elapsed 9998:59:59, remaining 9998:59:59"},
        {{1, 1, 0, 0, -3}, "File pair 1 of 1, 0 images written, elapsed 0:00:00, remaining -:--:--"},
    };
    for (const LineCase& c : cases) {
        char line[kProgressLineSlot];
        format_progress_line(c.state, line);
        EXPECT_STREQ(line, c.expected);
    }
}

// What a terminal kept of each redraw: the texts between carriage returns,
// without the padding, empty ones (clearings) left out.
std::vector<std::string> drawn_lines(const std::string& shown) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= shown.size()) {
        size_t end = shown.find('\r', start);
        if (end == std::string::npos) end = shown.size();
        std::string text = shown.substr(start, end - start);
        text.erase(text.find_last_not_of(' ') + 1);
        if (!text.empty()) lines.push_back(text);
        start = end + 1;
    }
    return lines;
}

const std::string kClearedLine = "\r" + std::string(79, ' ') + "\r";

class ProgressRun : public ::testing::Test {
protected:
    void SetUp() override {
        const auto sim = test_support::run_program({TAVO_L0SIM_BINARY, "--out", t / "l0", "--kite", "16", "--start",
                                                    "2019-05-04T10:00:00", "--duration", "6min", "--file-span",
                                                    "2min", "--cadence", "30s", "--size", "32x24", "--seed", "3"});
        ASSERT_EQ(sim.exit_status, 0) << sim.err;
    }

    // A configuration writing under out_name, dumping with h5dump.
    void configure(const std::string& out_name, const std::string& h5dump = "/usr/bin/h5dump") {
        test_support::make_dirs(t / "work");
        test_support::make_dirs(t / out_name);
        test_support::write_file(t / "TAVO_configuration.cfg",
                                 "INPUT_TYPE=HDF\nINPUT_ROOT_DIRECTORY=" + t / "l0" +
                                     "\nINPUT_SUBDIRECTORY=FLAT\nWORKING_DIRECTORY=" + t / "work" +
                                     "\nH5DUMP_EXE=" + h5dump + "\nOUTPUT_ROOT_DIRECTORY=" + t / out_name +
                                     "\nDESPIKE=YES\nISP_CSV=NO\nKITE=16\nSTART=2019/05/04T10:00:00\n"
                                     "END=2019/05/04T10:05:59\n");
    }

    TempDir t{"tavo-progress"};
};

TEST_F(ProgressRun, TerminalSeesProgressAndStandardOutputIsUnchanged) {
    configure("plain");
    const auto plain = test_support::run_program({TAVO_L0_BINARY}, t.path());
    ASSERT_EQ(plain.exit_status, 0) << plain.out;
    EXPECT_EQ(plain.err, "");

    configure("shown");
    const auto shown = test_support::run_program_with_terminal_stderr({TAVO_L0_BINARY}, t.path());
    ASSERT_EQ(shown.exit_status, 0) << shown.out;

    std::vector<std::string> plain_lines = test_support::strip_log_stamps(plain.out);
    std::vector<std::string> shown_lines = test_support::strip_log_stamps(shown.out);
    for (std::string& line : plain_lines) {
        const size_t at = line.find("/plain/");
        if (at != std::string::npos) line.replace(at, 7, "/shown/");
    }
    EXPECT_EQ(shown_lines, plain_lines);
    int generated = 0;
    for (const std::string& line : shown_lines) generated += line.rfind("FITS - Generated ", 0) == 0 ? 1 : 0;
    ASSERT_GE(generated, 10);

    const std::vector<std::string> drawn = drawn_lines(shown.err);
    ASSERT_GE(drawn.size(), 3u);
    EXPECT_EQ(drawn.front().rfind("File pair 1 of 2, 0 images written, elapsed ", 0), 0u) << drawn.front();
    EXPECT_NE(drawn.front().find("remaining -:--:--"), std::string::npos) << drawn.front();
    const std::string last_prefix = "File pair 2 of 2, " + std::to_string(generated) + " images written, ";
    EXPECT_EQ(drawn.back().rfind(last_prefix, 0), 0u) << drawn.back();
    ASSERT_GE(shown.err.size(), kClearedLine.size());
    EXPECT_EQ(shown.err.substr(shown.err.size() - kClearedLine.size()), kClearedLine);
}

TEST_F(ProgressRun, FailedRunClearsTheLineBeforeItsMessage) {
    configure("failed", "/bin/false");
    const auto failed = test_support::run_program_with_terminal_stderr({TAVO_L0_BINARY}, t.path());
    EXPECT_EQ(failed.exit_status, 1);
    EXPECT_NE(failed.out.find("ERROR - failed to run /bin/false on input file "), std::string::npos) << failed.out;
    const std::vector<std::string> drawn = drawn_lines(failed.err);
    ASSERT_EQ(drawn.size(), 1u) << failed.err;
    EXPECT_EQ(drawn.front().rfind("File pair 1 of 2, 0 images written, ", 0), 0u);
    ASSERT_GE(failed.err.size(), kClearedLine.size());
    EXPECT_EQ(failed.err.substr(failed.err.size() - kClearedLine.size()), kClearedLine);
}

}  // namespace
