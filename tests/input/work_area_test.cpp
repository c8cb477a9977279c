// The packet table, the image marks and the working directory.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "base/base.h"
#include "input/input.h"
#include "support/test_support.h"

namespace {

void set_window() {
    reset_run_settings();
    run_settings.start_date = 20170301;
    run_settings.start_time = 120000;
    run_settings.end_date = 20170302;
    run_settings.end_time = 60000;
}

TEST(PacketTable, AllocationSetsTheImageMarksForEveryRun) {
    set_window();
    char message[kRunMessageCapacity] = "";
    last_image_id = 1234;  // left by an earlier run of the process
    ASSERT_TRUE(allocate_packet_table(message));
    ASSERT_NE(packet_table, nullptr);
    packet_table[kMaxPackets * kPacketRecordWords - 1] = 1;  // the whole block is usable
    EXPECT_EQ(last_image_id, 0u);
    EXPECT_EQ(last_image_time.date, 20170301u);
    EXPECT_EQ(last_image_time.time, 120000u);
    EXPECT_EQ(window_end.date, 20170302u);
    EXPECT_EQ(window_end.time, 60000u);
    ASSERT_TRUE(allocate_packet_table(message));  // a second run does not leak the first table
    release_packet_table();
    EXPECT_EQ(packet_table, nullptr);
    release_packet_table();
}

TEST(PacketTable, FailedAllocationIsReported) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's allocator does not return null";
#else
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Limit the address space to what is mapped now plus a little.
        long pages = 0;
        std::ifstream("/proc/self/statm") >> pages;
        const rlim_t limit = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (1 << 20);
        const rlimit cap = {limit, limit};
        setrlimit(RLIMIT_AS, &cap);
        // Use up what is left, free heap space included.
        void* volatile filler = nullptr;
        do {
            filler = std::malloc(kPacketTableBytes);
        } while (filler != nullptr);
        set_window();
        char message[kRunMessageCapacity] = "";
        const bool allocated = allocate_packet_table(message);
        const bool reported =
            std::string(message) == "ERROR - Could not allocate 3520000 bytes of memory for APID processing";
        if (allocated) _exit(2);
        _exit(reported && packet_table == nullptr ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
#endif
}

TEST(WorkDirectory, CleaningRemovesThePlainFilesOnly) {
    test_support::TempDir work("tavo-work");
    reset_run_settings();
    std::snprintf(run_settings.param_text[PARAM_WORKING_DIRECTORY], kValueSlot, "%s/", work.path().c_str());
    for (const char* name : {"f1.bin", "f2.bin", "junk", "other file; $(x)"}) test_support::write_file(work / name, "x");
    test_support::make_dirs(work / "kept/inner");
    test_support::write_file(work / "kept/inner/file", "x");
    clean_work_directory();
    EXPECT_EQ(test_support::list_dir(work.path()), std::vector<std::string>{"kept"});
    EXPECT_TRUE(test_support::file_exists(work / "kept/inner/file"));
    clean_work_directory();  // nothing left to remove
}

TEST(WorkDirectory, CleaningWithoutADirectoryDoesNothing) {
    test_support::TempDir here("tavo-cwd");
    test_support::write_file(here / "keep", "x");
    reset_run_settings();  // empty WORKING_DIRECTORY: never the current directory
    const std::string previous = std::filesystem::current_path();
    std::filesystem::current_path(here.path());
    clean_work_directory();
    std::filesystem::current_path(previous);
    EXPECT_TRUE(test_support::file_exists(here / "keep"));
    std::snprintf(run_settings.param_text[PARAM_WORKING_DIRECTORY], kValueSlot, "%s/missing/", here.path().c_str());
    clean_work_directory();
}

}  // namespace
