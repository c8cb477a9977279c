// The run's packet table, its image marks and the working directory.
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/base.h"
#include "input/input.h"

uint32_t* packet_table = nullptr;
uint32_t last_image_id = 0;
DateTime last_image_time = {0, 0};
DateTime window_end = {0, 0};

namespace {

constexpr int kWorkPathSlot = kValueSlot + 256;  // directory text and one entry name

}  // namespace

bool allocate_packet_table(char* run_message) {
    last_image_id = 0;
    last_image_time = {run_settings.start_date, run_settings.start_time};
    window_end = {run_settings.end_date, run_settings.end_time};
    release_packet_table();  // a table left by an earlier run of this process
    // Every record is written by the scan before it is read, so no clearing.
    packet_table = static_cast<uint32_t*>(std::malloc(kPacketTableBytes));
    if (packet_table == nullptr) {
        set_run_message(run_message, "ERROR - Could not allocate %d bytes of memory for APID processing",
                        kPacketTableBytes);
        return false;
    }
    return true;
}

void release_packet_table() {
    std::free(packet_table);
    packet_table = nullptr;
}

void clean_work_directory() {
    const char* directory = run_settings.param_text[PARAM_WORKING_DIRECTORY];
    if (directory[0] == '\0') return;  // never the current directory by accident
    DirHandle dir(opendir(directory));
    if (!dir) return;
    while (const dirent* entry = readdir(dir.get())) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        char path[kWorkPathSlot];
        const int length = std::snprintf(path, sizeof path, "%s%s", directory, entry->d_name);
        if (length < 0 || length >= static_cast<int>(sizeof path)) continue;
        unlink(path);  // fails, harmlessly, on subdirectories
    }
}
