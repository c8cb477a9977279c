// Input selection: the level-0 files of the window, the packet table and
// the working directory.
#pragma once

#include <cstdint>

constexpr int kMaxInputFiles = 24090;
constexpr int kInputEntrySlot = 81;   // 80 characters and a terminator
constexpr int kWindowMarginSeconds = 121;
constexpr int kMaxWindowDays = 33;

// Ordered paths of the selected input files, relative to INPUT_ROOT_DIRECTORY.
extern char input_file_list[kMaxInputFiles][kInputEntrySlot];
extern int input_file_count;

// Returns the number of selected files, or 0 after formatting a message.
int find_input_files(char* run_message);

// Order of two list entries: by the start-time field of the name (the 16
// characters at "_s20", as text), then by the whole entry as text.
int compare_file_names(const char* a, const char* b);

constexpr int kMaxPackets = 80000;
constexpr int kPacketRecordWords = 11;
constexpr int kPacketTableBytes = kMaxPackets * kPacketRecordWords * 4;  // 3,520,000

// One heap block of kMaxPackets records of eleven 32-bit words; null when
// not allocated.
extern uint32_t* packet_table;

// A calendar date and clock time (YYYYMMDD, HHMMSS).
struct DateTime {
    uint32_t date;
    uint32_t time;
};

// Run-long image marks: the id and time of the last image written, and END.
extern uint32_t last_image_id;
extern DateTime last_image_time;
extern DateTime window_end;

// Sets the image marks and allocates packet_table.
bool allocate_packet_table(char* run_message);
void release_packet_table();

// Removes the plain files directly inside WORKING_DIRECTORY (errors ignored).
void clean_work_directory();
