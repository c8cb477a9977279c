// Directory creation under parents whose names a shell would interpret, and
// texts too long for the path buffer.
#include <gtest/gtest.h>

#include <string>

#include "driver/driver.h"
#include "driver_test_helpers.h"
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

}  // namespace
