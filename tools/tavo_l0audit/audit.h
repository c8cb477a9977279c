// tavo_l0audit: accounts for every image of a TAVO_L0 run's window, as a
// product or with the reason why not, from the run's own decisions.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "audit_report.h"
#include "command_line.h"
#include "packets/packets.h"

namespace tavo_audit {

constexpr const char* kAuditVersion = "2.0";

// Exit statuses, as every companion's.
constexpr int kExitSound = tavo_tools::kExitSuccess;       // every image of the window is a sound product
constexpr int kExitProblems = tavo_tools::kExitFailed;     // some image is lost or damaged, whatever the cause
constexpr int kExitCannotRun = tavo_tools::kExitBadInput;  // the audit could not run

// --- Level-0 files ---------------------------------------------------------

// The packet stream of one file, in memory that a child process may fill.
class PacketBuffer {
public:
    PacketBuffer() = default;
    ~PacketBuffer();
    PacketBuffer(PacketBuffer&& other) noexcept;
    PacketBuffer& operator=(PacketBuffer&& other) noexcept;
    PacketBuffer(const PacketBuffer&) = delete;
    PacketBuffer& operator=(const PacketBuffer&) = delete;
    uint8_t* data() { return data_; }
    size_t size() const { return size_; }
    // Keeps the memory when it is large enough; false when none is left.
    bool resize(size_t size);

private:
    uint8_t* data_ = nullptr;
    size_t capacity_ = 0;
    size_t size_ = 0;
};

// Reads the packet variable of a level-0 file: the bytes the dump utility
// writes with "-b BE". A file damaged part-way gives, as tavo_l0dump leaves
// them, every whole chunk before the damage (none when it does not open),
// with error set: TAVO_L0 goes on with that stream.
enum class ReadOutcome { kWhole, kDamaged, kNoMemory };
ReadOutcome read_packet_stream(const std::string& path, PacketBuffer& bytes, std::string& error);

// A packet time: epoch day and milliseconds of the CCSDS secondary header.
struct PacketTime {
    uint32_t day = 0;
    uint32_t ms = 0;
};

// A range of missing CCSDS sequence counts of one identifier.
struct SequenceGap {
    uint32_t apid;   // the 11-bit identifier of the primary header
    uint32_t first;  // first missing count
    uint32_t last;   // last missing count (14-bit, may wrap below first)
    uint32_t missing;
    PacketTime after;   // time of the packet before the gap
    PacketTime before;  // time of the packet after it
};

struct FileAudit {
    std::string entry;               // relative to INPUT_ROOT_DIRECTORY
    bool selected = false;
    std::string skip_reason;         // code when not selected
    bool scanned = false;
    std::string read_error;          // the file could not be read
    uint64_t packets = 0;            // packets read, recorded or not
    uint64_t bytes = 0;              // stream length
    uint64_t size = 0;               // file size on disk
    uint64_t checksum = 0;           // of the packet stream (stream_checksum)
    int64_t modified = -1;           // modification time, s from 1970
    std::map<uint32_t, uint64_t> apid_packets;  // recorded packets per accepted identifier
    std::vector<SequenceGap> gaps;
    uint64_t duplicates_within = 0;
    uint64_t duplicates_from_previous = 0;
    std::map<std::string, uint64_t> skipped;    // verdict code -> packets
    std::optional<uint64_t> bad_length_offset;  // a run-ending length
    uint32_t bad_length_field = 0;
    uint64_t leftover_bytes = 0;                // at the end of the stream
};

// --- Images ------------------------------------------------------------------

using tavo_tools::image_status_code;
using tavo_tools::ImageStatus;

struct ImageAudit {
    uint32_t image_id = 0;
    bool has_header = false;
    uint32_t header_day = 0, header_ms = 0, header_submillisecond = 0;  // header packet time
    bool time_known = false;
    uint32_t date = 0, time = 0;  // image (end of frame) time
    int32_t ms = 0;
    int apid = -1;
    int wavelength = -1;
    std::string frame_type;       // "LIGHT", "DARK" or empty
    uint32_t rows = 0, columns = 0;
    std::vector<int> files;       // indexes into the file list, ascending
    uint32_t packets_by_kind[4] = {0, 0, 0, 0};
    uint32_t packets_other_kind = 0;
    uint64_t pixels_announced = 0;  // samples announced by its pixel packets
    bool has_packet_time = false;   // first_packet is set
    PacketTime first_packet;        // its earliest packet: places an image without an image time
    // Decisions of the walk.
    bool written = false;
    uint64_t pixels_carried = 0;    // distinct pixels stored when written
    uint32_t sel_count = 0;
    std::optional<ImageReason> decided;  // last definite reason of a pair
    bool held_back = false;              // a pair ended inside it
    bool header_outside_window = false;  // its header record dropped by the packet window
    // Outcome.
    ImageStatus status = ImageStatus::kNotWritten;
    std::optional<ImageReason> reason;
    std::string product;                  // relative to OUTPUT_ROOT_DIRECTORY
    std::vector<std::string> problems;    // product problems
    // What the product check read of a product on disk.
    uint64_t product_bytes = 0;
    int64_t despiked = -1;                // rows of its spike table; -1 unknown
    int64_t product_modified = -1;        // its modification time (s from 1970): when it was made
};

// The origin of an image's loss: kNone for a sound product of the window and
// for images outside it.
LossOrigin loss_origin(const ImageAudit& image);

// Image ids missing between two images of the window: absent from the
// level-0, told by the image-id sequence, with the neighbours' times.
struct AbsentRange {
    uint32_t first_id = 0, last_id = 0;
    size_t after = 0, before = 0;           // indexes of the neighbouring images
    std::vector<std::pair<int, SequenceGap>> gaps;  // confirming gaps, with their file index
    std::map<std::string, int> by_hour;     // "2017-03-01T12" -> ids, by interpolated time
};

// Two images of the window, in time order, whose ids do not grow by one per
// image in a way the absence of images explains.
struct IdBreak {
    size_t image = 0, next = 0;  // indexes into the images
    std::string kind;            // "repeat", "reset" or "jump"
};

struct ProductAudit {
    int checked = 0;
    std::vector<std::string> unmatched;        // product files of the window that match no image
    std::vector<std::string> temporary_files;  // leftovers ending in "-tmp"
};

struct AuditResult {
    int kite = 0;
    std::string window_start, window_end;  // "2017-03-01T12:00:00"
    std::vector<FileAudit> files;          // selected in run order, then the others
    std::vector<ImageAudit> images;        // by id, then header time
    bool run_stopped = false;
    std::string stop_message;
    int stop_pair = -1;
    ProductAudit products;
    std::vector<AbsentRange> absent;
    std::vector<IdBreak> id_breaks;
    double cadence_seconds = 0;            // median step of consecutive ids; 0 unknown
    // The audit's own run.
    std::string host;
    std::string started, finished;         // "2017-03-01T12:00:00Z", UTC
    std::string configuration_checksum;    // of the validated parameter values
    std::string output_root;               // OUTPUT_ROOT_DIRECTORY, for the products' full paths
    int exit_status = kExitSound;
};

struct AuditOptions {
    std::vector<std::string> parameters;  // PARAM=value, as TAVO_L0 takes them
    std::string report_path;              // "" for the default
    std::string csv_path;
    bool check_products = true;
    bool quiet = false;                   // no console summary
};

// Parses and validates the parameters as TAVO_L0 does, then audits the
// window. False with error set when the audit cannot run.
bool run_audit(const AuditOptions& options, AuditResult& result, std::string& error);

// The walk: every file and image of the window with the run's decisions.
// Parameters must be validated. False with error set on a failure of the
// audit itself (not of the run it follows).
bool audit_level0(AuditResult& result, std::string& error);

// Product checks: files, sizes, DESPIKE cards, CSV rows, unmatched files.
void audit_products(AuditResult& result);

// Absent images and id breaks from the image-id sequence of the window.
void find_absent_images(AuditResult& result);

// A 64-bit checksum of bytes, eight at a time: cheap enough to take of every
// packet stream the audit reads; printed as 16 hex digits.
uint64_t stream_checksum(const uint8_t* bytes, size_t size);
std::string checksum_text(uint64_t checksum);

// "2017-03-01T12:00:12.345" of an image, "" when its time is unknown.
std::string image_time_text(const ImageAudit& image);
// "2017-03-01T12:00:12.345" of a packet time.
std::string packet_time_text(PacketTime time);

// Outputs.
std::string default_report_path(const AuditResult& result);  // under OUTPUT_ROOT_DIRECTORY
bool write_json_report(const AuditResult& result, const std::string& path, std::string& error);
bool write_csv_report(const AuditResult& result, const std::string& path, std::string& error);
std::string format_summary(const AuditResult& result);

}  // namespace tavo_audit
