// Temporary names beside an output: taken for temporary by every reader, and
// a killed writer's leftovers removed without touching anything else.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "base/base.h"
#include "layout/layout.h"
#include "support/test_support.h"

namespace {

using test_support::file_exists;
using test_support::TempDir;
using test_support::write_file;

TEST(TemporaryName, LeftoversOfOneOutputAreRemovedAndNothingElse) {
    TempDir dir;
    const std::string product = dir / "20170301_000000_014_00000001.fits";
    char temporary[512];
    const int fd = create_temporary_file(product.c_str(), temporary, sizeof temporary);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_TRUE(is_temporary_name(temporary)) << temporary;

    write_file(dir / "victim", "kept");
    ASSERT_EQ(symlink((dir / "victim").c_str(), (product + ".AAAAAAAAAA-tmp").c_str()), 0);
    const char* const kept[] = {".write-tmp", ".AAAAAAAAA-tmp", ".AAAAAAAAAAA-tmp", ".AAAAAAAAAA.tmp", "2.AAAAAAAAAA-tmp"};
    for (const char* suffix : kept) write_file(product + suffix, "other");

    remove_temporary_leftovers(product.c_str());
    EXPECT_FALSE(file_exists(temporary));
    EXPECT_FALSE(file_exists(product + ".AAAAAAAAAA-tmp"));
    EXPECT_TRUE(file_exists(dir / "victim"));
    for (const char* suffix : kept) EXPECT_TRUE(file_exists(product + suffix)) << suffix;
}

}  // namespace
