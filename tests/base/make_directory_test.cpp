// Directory creation under parents whose names a shell would interpret,
// texts too long for the path buffer, and log lines carrying such texts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/driver.h"
#include "driver/driver_test_helpers.h"
#include "support/test_support.h"

namespace {

using test_support::file_exists;
using test_support::TempDir;

const char* const kHostileNames[] = {
    "a b", "x;touch pwned", "$(touch pwned)", "`touch pwned`", "'q\"", "&& touch pwned", "| touch pwned", "*",
};

TEST(MakeDirectoryUnderParent, HostileParentsAreJustNames) {
    for (bool unix_paths : {true, false}) {
        TempDir dir;
        driver_test::CurrentDirectory here(dir.path());
        reset_run_settings();
        run_settings.unix_paths = unix_paths;
        for (const char* hostile : kHostileNames) {
            const std::string parent = dir / (std::string(hostile) + "/");
            if (unix_paths) {
                // Every missing level is created, the hostile one included.
                EXPECT_TRUE(make_directory(parent.c_str(), "LOG")) << hostile;
            } else {
                // One level per call: the parent must be made first.
                EXPECT_FALSE(make_directory(parent.c_str(), "LOG")) << hostile;
                EXPECT_TRUE(make_directory((dir.path() + "/").c_str(), hostile)) << hostile;
                EXPECT_TRUE(make_directory(parent.c_str(), "LOG")) << hostile;
            }
            EXPECT_TRUE(file_exists(parent + "LOG")) << hostile;
        }
        EXPECT_FALSE(file_exists(dir / "pwned"));
        EXPECT_FALSE(file_exists("pwned"));
    }
}

TEST(MakeDirectoryUnderParent, RefusedNamesCreateNothing) {
    TempDir dir;
    reset_run_settings();
    const std::string parent = dir.path() + "/";
    for (const char* name : {"/", "\\", ":", "a/", "/b", "K16:2018", "new/level"}) {
        EXPECT_FALSE(make_directory(parent.c_str(), name)) << name;
    }
    EXPECT_TRUE(test_support::list_dir(dir.path()).empty());
}

TEST(MakeDirectoryUnderParent, TextsBeyondThePathBufferAreRefused) {
    TempDir dir;
    reset_run_settings();
    const std::string parent = dir.path() + "/";
    const std::string long_name(600, 'n');
    EXPECT_FALSE(make_directory(parent.c_str(), long_name.c_str()));
    const std::string long_parent = parent + std::string(200, 'p') + "/" + std::string(200, 'q') + "/" +
                                    std::string(200, 'r') + "/";
    EXPECT_FALSE(make_directory(long_parent.c_str(), "LOG"));
    EXPECT_TRUE(test_support::list_dir(dir.path()).empty());  // nothing half made
}

TEST(WriteLogLineText, MessagesAreWrittenAsTheyAre) {
    TempDir dir;
    driver_test::CurrentDirectory here(dir.path());  // where a shell would have run the commands
    reset_run_settings();
    driver_test::set_text(PARAM_OUTPUT_ROOT_DIRECTORY, dir / "o u;t $(touch pwned)/");
    const std::string message = "ERROR - expected PARAM=value, got: %s%n%x `touch pwned`";
    testing::internal::CaptureStdout();
    write_log_line(message.c_str());
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(test_support::strip_log_stamps(console), std::vector<std::string>{message});
    const std::vector<std::string> logs = test_support::list_dir(dir / "o u;t $(touch pwned)/LOG");
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(test_support::read_file(dir / ("o u;t $(touch pwned)/LOG/" + logs[0])), console);
    EXPECT_FALSE(file_exists(dir / "pwned"));
}

}  // namespace
