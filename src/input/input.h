// Input selection: the level-0 files of the window, the packet table and
// the working directory.
#pragma once

#include <cstdint>

// The variable of a level-0 file that holds its CCSDS packets, one byte each.
constexpr char kPacketDatasetName[] = "tavo_space_packet_data";

constexpr int kMaxInputFiles = 24090;
constexpr int kInputEntrySlot = 81;   // 80 characters and a terminator
constexpr int kWindowMarginSeconds = 121;
constexpr int kMaxWindowDays = 33;

// Ordered paths of the selected input files, relative to INPUT_ROOT_DIRECTORY.
extern char input_file_list[kMaxInputFiles][kInputEntrySlot];
extern int input_file_count;

class InputObserver;

// Returns the number of selected files, or 0 after formatting a message.
// The observer, when given, is told of every level-0 file not selected.
int find_input_files(char* run_message, InputObserver* observer = nullptr);

// Why the last find_input_files returned what it did: files selected, none
// there to select, none because the window's last day directory is missing
// too, or a failure (a directory that cannot be read, a table overflow).
enum class InputSearch { kSelected, kNoneFound, kNoDayDirectory, kFailed };
extern InputSearch last_input_search;

// Order of two list entries: by the start-time field of the name (the 16
// characters at "_s20", as text), then by the whole entry as text.
int compare_file_names(const char* a, const char* b);

// A time field of a level-0 file name ("_s" or "_e", then YYYYDDD, HHMMSS
// and one digit of tenths).
struct NameTimeField {
    uint32_t ordinal_date;  // YYYYDDD
    uint32_t time;          // HHMMSS
    uint32_t tenths;        // 0 to 9
};
// Reads the start and end fields of a level-0 file name (or list entry) as
// discovery finds them; false when either is missing or not all digits.
bool read_name_time_fields(const char* name, NameTimeField& start, NameTimeField& end);

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

// --- Observer of the file selection ----------------------------------------

// Why a level-0 file (a name containing "R_TAVO-L0_") of a listed input
// directory is not selected. One code and one text each.
enum class FileSkip : int {
    kNamePattern = 0,  // no ".nc", "_s20" or "_e20"
    kSatellite,        // another satellite's "_Knn_"
    kNameTooLong,      // over 67 characters, or no room in the list entry
    kOutsideWindow,    // its time fields miss the window with its margins
    kOverTableLimit,   // the list was full
};
constexpr int kFileSkipCount = 5;
const char* file_skip_code(FileSkip skip);  // "name_pattern"
const char* file_skip_text(FileSkip skip);  // "name pattern"

// Told about every level-0 file that find_input_files does not select.
// prefix is the day directory with its separator ("" in the FLAT layout).
class InputObserver {
public:
    virtual ~InputObserver() = default;
    virtual void file_passed_over(const char* prefix, const char* name, FileSkip why) = 0;
};

