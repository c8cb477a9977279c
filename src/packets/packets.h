// Packet extraction and image assembly: the dump utility, the CCSDS packet
// scan, the grouping into images and the product directory tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "base/base.h"
#include "fits/fits.h"
#include "input/input.h"

// One packet_table record: eleven 32-bit words in this order.
struct PacketRecord {
    uint32_t apid;            // application identifier, low 10 bits
    uint32_t day;             // packet time: epoch day (bytes 6-8)
    uint32_t millisecond;     // packet time: epoch milliseconds (bytes 9-12)
    uint32_t submillisecond;  // packet time: sub-milliseconds (bytes 13-14)
    uint32_t length;          // total packet length in bytes
    uint32_t sequence_word;   // bytes 2-3: sequence flags and count
    uint32_t source;          // 1: in f1.bin (current file), 2: in f2.bin (successor)
    uint32_t image_id;        // bytes 20-23, TAV_ISP_HDR_ISN
    uint32_t packet_kind;     // bytes 24-25: 0 header, 1 and 2 pixels, 3 final pixels
    uint32_t offset;          // byte offset of the packet in its stream
    uint32_t selected;        // 1 while the record is used, 0 once dropped
};
static_assert(sizeof(PacketRecord) == kPacketRecordWords * 4);

constexpr int kMinPacketLength = 24;
constexpr int kMaxPacketLength = 8200;
constexpr int kMinHeaderPacketLength = 792;
constexpr int kMaxImagePixels = static_cast<int>(kMaxDataPixels);  // the writer's pixel capacity

// The run log's line for a dump that failed but left a stream, in pieces
// for those who read it back: "DUMP WARNING - UTILITY exited with status N
// on input file PATH; N bytes of packets used".
inline constexpr char kDumpWarningStart[] = "DUMP WARNING - ";
inline constexpr char kDumpWarningInputFile[] = " on input file ";
inline constexpr char kDumpWarningBytesUsed[] = "; ";
inline constexpr char kDumpWarningEnd[] = " bytes of packets used";

// The image being written: its whole header packet (big-endian fields) and
// its pixels, each stored most significant byte first (FITS byte order).
extern uint8_t image_header_packet[kMaxPacketLength];
extern uint16_t image_pixels[kMaxImagePixels];

// Orders records by image id, packet kind, day, millisecond, submillisecond
// and offset, each as a signed 32-bit number.
int compare_packet_records(const PacketRecord& a, const PacketRecord& b);

// --- The steps of process_input_file, usable on any open packet streams ---

// Accepted application identifiers (low 10 bits of the identification word).
constexpr int kAcceptedApidCount = 11;
extern const uint16_t accepted_apids[kAcceptedApidCount];

// Records of the current pair in packet_table.
extern int packet_count;

inline PacketRecord* packet_records() { return reinterpret_cast<PacketRecord*>(packet_table); }

class PacketObserver;

// Scans the current stream (source 1) and, when successor is not null, the
// successor stream (source 2) into packet_table. The entries name the files
// in messages; successor_entry may be null without a successor. The
// observer, when given, is told of every packet.
bool scan_packet_streams(char* run_message, FILE* current, FILE* successor, const char* current_entry,
                         const char* successor_entry, PacketObserver* observer = nullptr);

// Sorts the packet_count records with compare_packet_records (ties: current
// stream first).
void sort_packet_records();

// The packet window of a pair as epoch day and milliseconds, both ends
// inclusive: last_image_time - 5 s to window_end + 30 s.
struct PacketWindow {
    uint32_t start_day;
    uint32_t start_ms;
    uint32_t end_day;
    uint32_t end_ms;
};
bool compute_packet_window(char* run_message, PacketWindow& window);

// The latest END (to the second) whose packet window ends before until: a
// run with that END uses no packet timed at or after until, so when every
// packet before until is at hand, every image the run may write is whole.
// False outside the supported years.
bool latest_end_before(DateTime until, DateTime& end);

// Drops duplicates, records outside the window and, unless last_pair, the
// successor's records among the last four positions.
void select_packet_records(const PacketWindow& window, bool last_pair, PacketObserver* observer = nullptr);

// Ensures OUTPUT_ROOT_DIRECTORY/KITE-nn/yyyy/mm/dd/Hhh00/ and leaves the path
// (ending with the separator) in path.
constexpr size_t kProductPathSlot = 512;
bool make_product_directory(char* run_message, uint32_t image_date, uint32_t image_time,
                            char (&path)[kProductPathSlot]);
// The same path without creating anything.
bool format_product_directory(char* run_message, uint32_t image_date, uint32_t image_time,
                              char (&path)[kProductPathSlot]);

// Receives each assembled image, in the product directory the hooks'
// directory function gave. True when the product was written.
using ImageWriter = bool (*)(void* context, const char* product_dir, uint32_t image_id, uint32_t sel_count,
                             uint32_t image_date, uint32_t image_time, int32_t image_ms,
                             const uint8_t* header_packet, const uint16_t* pixels);
// Makes sure of (or only names) the product directory of an image.
using ProductDirectory = bool (*)(char* run_message, uint32_t image_date, uint32_t image_time,
                                  char (&path)[kProductPathSlot]);

// What the packet stage hands on, and whom it tells. A processing run gives
// the product writer and make_product_directory and no observer; an audit
// gives a recording writer, format_product_directory and its observer.
struct PipelineHooks {
    ImageWriter write_image;             // every new complete image of the window
    ProductDirectory product_directory;  // called before write_image
    PacketObserver* observer;            // told of every decision; nullptr for none
    void* context;                       // handed to write_image
};

// Groups the selected records into images and hands every new complete image
// of the window to the hooks' writer.
bool assemble_images(char* run_message, FILE* current, FILE* successor, const PipelineHooks& hooks);

// Scan, sort, select and assemble: everything after the streams are open.
bool process_packet_streams(char* run_message, FILE* current, FILE* successor, bool last_pair,
                            const char* current_entry, const char* successor_entry, const PipelineHooks& hooks);

// Two entries of input_file_list: a file and its successor (-1: none).
// current -1 is no pair at all.
struct FilePair {
    int current = -1;
    int successor = -1;
};

// Dumps the current file (and its successor, or -1 for none), scans the
// packets and hands every new complete image of the window to the hooks.
// When next names the pair the run processes after this one, its two dumps
// are made in the background, one after the other, while this pair is
// scanned; the next call for that pair takes them as they were left. On a
// false result no dump is left running.
bool process_input_file(char* run_message, bool last_pair, int index, int successor, const PipelineHooks& hooks,
                        FilePair next = {});

// Runs H5DUMP_EXE (no shell) to write the packet dataset of
// INPUT_ROOT_DIRECTORY + entry as WORKING_DIRECTORY + output_name; its
// standard output goes to WORKING_DIRECTORY + "junk". Returns the utility's
// exit status (128 + the signal when one ended it), kNotRun when it could not
// be started. A stream it left is read whatever its status: a utility that
// fails on a damaged file leaves the packets it could read.
// A utility dies with the thread that started it, even when the run is
// killed outright.
constexpr int kNotRun = -1;
int run_dump_utility(const char* entry, const char* output_name);

// Ends every dump utility under way (SIGKILL) and waits until each has
// ended; no other starts afterwards. For a run stopped by a signal.
void stop_dump_utilities();

// --- Observer of the packet decisions ------------------------------------
// An audit is told every decision of the scan, the selection and the image
// assembly through one observer; a processing run has none.

// Why an image met in the packets is not written. Each has one code (the
// audit report's) and one text.
enum class ImageReason : int {
    kFinalPacketMissing = 0,
    kHeaderPacketMissing,
    kHeaderTooShort,
    kImageTimeInvalid,
    kOutsideWindow,
    kIdNotAbove,       // image id not above the last one written
    kTimeNotLater,     // time not later than the last one written
    kHeldBack,         // the pair ended before the image was complete
    kSpreadOverFiles,  // its packets lie in more files than a pair holds
    kRunStopped,       // the run stopped before it
};
constexpr int kImageReasonCount = 10;
const char* image_reason_code(ImageReason reason);  // "final_packet_missing"
const char* image_reason_text(ImageReason reason);  // "final packet missing"

// What a walk over every pair learnt of an image that no pair handed to the
// writer, from the observer's calls.
struct PassedOverImage {
    bool has_header = false;             // its header packet was met
    bool outside_window = false;         // its time is known and not after START, or after END
    size_t file_count = 0;               // files holding its packets
    bool after_stop = false;             // the run stopped before the pair of its last file
    bool decided = false;                // a pair passed it over for a definite reason:
    ImageReason decision = ImageReason::kHeldBack;  //   the last such reason
    bool header_outside_window = false;  // a later pair's packet window dropped its header record
};
// Why the run does not write the image: the one reason for it after the
// whole run, as the pairs' decisions add up.
ImageReason final_image_reason(const PassedOverImage& image);

// Where the loss of an image not written lies: in the telemetry (part of the
// image never reached the ground; only a re-sent downlink mends it) or in the
// run (the image is whole in the level-0; a reprocessing mends it). An image
// outside the window is no loss.
enum class LossOrigin { kNone, kRun, kTelemetry };
LossOrigin reason_loss_origin(ImageReason reason);

// What the scan did with one packet.
enum class PacketVerdict : int {
    kRecorded = 0,
    kApidNotAccepted,  // identifier outside the accepted set
    kHeaderBits,       // version, secondary-header flag or sequence flags
    kBadLength,        // impossible length: the run stops here
    kCutShort,         // the stream ends inside the packet: bytes left over
};
constexpr int kPacketVerdictCount = 5;
const char* packet_verdict_code(PacketVerdict verdict);

// Why the selection dropped a record.
enum class RecordDrop : int {
    kDuplicate = 0,    // same time and sequence word as a record before it
    kOutsideWindow,    // packet time outside the pair's packet window
    kHeldBack,         // among the last records, left to the next pair
};

struct ScannedPacket {
    uint32_t source;       // 1 current stream, 2 successor
    uint64_t offset;       // of the packet's first byte in its stream
    const uint8_t* bytes;  // the bytes read of the packet
    uint32_t available;    // bytes read: length, or fewer when cut short
    uint32_t length;       // total length from the length field (0 when not read)
    PacketVerdict verdict;
    const PacketRecord* record;  // the record made of a recorded packet, else nullptr
};

class PacketObserver {
public:
    virtual ~PacketObserver() = default;
    // Every packet the scan reads, recorded or not.
    virtual void packet_scanned(const ScannedPacket& packet) { (void)packet; }
    virtual void record_dropped(const PacketRecord& record, RecordDrop why) {
        (void)record;
        (void)why;
    }
    // An image of header record header not handed to the writer by this
    // pair, and why; kHeldBack when the pair ends inside the image.
    virtual void image_passed_over(const PacketRecord& header, ImageReason reason) {
        (void)header;
        (void)reason;
    }
    // A pixel packet of the image being assembled: count samples stored from
    // pixel first on, or refused (count 0) for its index range.
    virtual void pixels_stored(const PacketRecord& record, uint32_t first, uint32_t count) {
        (void)record;
        (void)first;
        (void)count;
    }
};
