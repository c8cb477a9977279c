// The run log and directory creation, called in process.
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "driver/driver.h"
#include "support/test_support.h"

namespace {

using test_support::TempDir;

void set_output_root(const std::string& root) {
    reset_run_settings();
    std::snprintf(run_settings.param_text[PARAM_OUTPUT_ROOT_DIRECTORY], kValueSlot, "%s", root.c_str());
}

TEST(MakeDirectory, RefusesNamesOfMoreThanOneLevel) {
    TempDir dir;
    for (const char* name : {"2018/11", "a\\b", "c:d"}) {
        EXPECT_FALSE(make_directory((dir.path() + "/").c_str(), name)) << name;
    }
    EXPECT_TRUE(test_support::list_dir(dir.path()).empty());
}

TEST(MakeDirectory, CreatesMissingLevelsAndAcceptsPresentOnes) {
    TempDir dir;
    reset_run_settings();
    const std::string parent = dir / "not/yet/there/";
    EXPECT_TRUE(make_directory(parent.c_str(), "LOG"));
    EXPECT_TRUE(test_support::file_exists(parent + "LOG"));
    EXPECT_TRUE(make_directory(parent.c_str(), "LOG"));
}

TEST(MakeDirectory, WindowsStyleCreatesOneLevelOnly) {
    TempDir dir;
    reset_run_settings();
    run_settings.unix_paths = false;
    EXPECT_TRUE(make_directory((dir.path() + "/").c_str(), "one"));
    EXPECT_FALSE(make_directory((dir / "missing/").c_str(), "two"));
    EXPECT_FALSE(test_support::file_exists(dir / "missing"));
}

TEST(MakeDirectory, ShellCharactersAreJustNames) {
    TempDir dir;
    reset_run_settings();
    const std::string parent = dir.path() + "/";
    for (const char* name : {"a b", "x;touch pwned", "$(touch pwned)", "`touch pwned`", "'q\"", "&&"}) {
        EXPECT_TRUE(make_directory(parent.c_str(), name)) << name;
        EXPECT_TRUE(test_support::file_exists(parent + name)) << name;
    }
    EXPECT_FALSE(test_support::file_exists(dir / "pwned"));
}

TEST(MakeDirectory, OverlongPathIsRefused) {
    TempDir dir;
    reset_run_settings();
    const std::string parent = dir.path() + "/" + std::string(600, 'p') + "/";
    EXPECT_FALSE(make_directory(parent.c_str(), "LOG"));
}

TEST(MakeDirectory, PlainFileInTheWayFails) {
    TempDir dir;
    reset_run_settings();
    test_support::write_file(dir / "LOG", "not a directory");
    EXPECT_FALSE(make_directory((dir.path() + "/").c_str(), "LOG"));
}

TEST(WriteLogLine, AppendsStampedLinesToTheDayFile) {
    TempDir dir;
    set_output_root(dir.path() + "/");
    testing::internal::CaptureStdout();
    write_log_line("first");
    write_log_line("second\n");
    const std::string console = testing::internal::GetCapturedStdout();
    const std::string log = test_support::read_file(dir / ("LOG/" + test_support::today_log_name()));
    EXPECT_EQ(log, console);
    const std::vector<std::string> expected = {"first", "second", ""};
    EXPECT_EQ(test_support::strip_log_stamps(log), expected);
    EXPECT_EQ(log.size(), std::string("YYYY/MM/DD HH:MM:SS first\nYYYY/MM/DD HH:MM:SS second\n\n").size());
}

TEST(WriteLogLine, UnwritableLogStillReachesTheConsole) {
    TempDir dir;
    test_support::write_file(dir / "LOG", "in the way");
    set_output_root(dir.path() + "/");
    testing::internal::CaptureStdout();
    write_log_line("only on the console");
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(test_support::strip_log_stamps(console), std::vector<std::string>{"only on the console"});
}

TEST(WriteLogLine, RootWithoutSeparatorGetsLogBesideIt) {
    TempDir dir;
    set_output_root(dir / "out");
    testing::internal::CaptureStdout();
    write_log_line("early failure");
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(test_support::file_exists(dir / ("outLOG/" + test_support::today_log_name())));
}

TEST(SetRunMessage, NeverWritesPastTheBuffer) {
    char message[kRunMessageCapacity];
    const std::string huge(5000, 'x');
    set_run_message(message, "ERROR - %s", huge.c_str());
    EXPECT_EQ(std::string(message).size(), kRunMessageCapacity - 1);
}

}  // namespace
