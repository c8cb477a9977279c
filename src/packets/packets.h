// Packet extraction and image assembly: the dump utility, the CCSDS packet
// scan, the grouping into images and the product directory tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

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

// The image being written: its whole header packet (big-endian fields) and
// its pixels, each stored most significant byte first (FITS byte order).
extern uint8_t image_header_packet[kMaxPacketLength];
extern uint16_t image_pixels[kMaxImagePixels];

// Orders records by image id, packet kind, day, millisecond, submillisecond
// and offset, each as a signed 32-bit number.
int compare_packet_records(const PacketRecord& a, const PacketRecord& b);

// Dumps the current file (and its successor, or -1 for none), scans the
// packets and hands every new complete image of the window to the writer.
bool process_input_file(char* run_message, bool last_pair, int index, int successor);

// --- The steps of process_input_file, usable on any open packet streams ---

// Accepted application identifiers (low 10 bits of the identification word).
constexpr int kAcceptedApidCount = 11;
extern const uint16_t accepted_apids[kAcceptedApidCount];

// Records of the current pair in packet_table.
extern int packet_count;

inline PacketRecord* packet_records() { return reinterpret_cast<PacketRecord*>(packet_table); }

// Scans the current stream (source 1) and, when successor is not null, the
// successor stream (source 2) into packet_table. The entries name the files
// in messages; successor_entry may be null without a successor.
bool scan_packet_streams(char* run_message, FILE* current, FILE* successor, const char* current_entry,
                         const char* successor_entry);

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

// Drops duplicates, records outside the window and, unless last_pair, the
// successor's records among the last four positions.
void select_packet_records(const PacketWindow& window, bool last_pair);

// Groups the selected records into images and hands every new complete image
// of the window to the image writer.
bool assemble_images(char* run_message, FILE* current, FILE* successor);

// Scan, sort, select and assemble: everything after the streams are open.
bool process_packet_streams(char* run_message, FILE* current, FILE* successor, bool last_pair,
                            const char* current_entry, const char* successor_entry);

// Ensures OUTPUT_ROOT_DIRECTORY/KITE-nn/yyyy/mm/dd/Hhh00/ and leaves the path
// (ending with the separator) in path.
constexpr size_t kProductPathSlot = 512;
bool make_product_directory(char* run_message, uint32_t image_date, uint32_t image_time,
                            char (&path)[kProductPathSlot]);

// Runs H5DUMP_EXE (no shell) to write the packet dataset of
// INPUT_ROOT_DIRECTORY + entry as WORKING_DIRECTORY + output_name; its
// standard output goes to WORKING_DIRECTORY + "junk". Success shows only as
// the output file: one left by a dump that did not exit with status 0 is
// removed.
void run_dump_utility(const char* entry, const char* output_name);

// Receives each assembled image; write_fits_image unless replaced. True when
// the product was written.
using ImageWriter = bool (*)(const char* product_dir, uint32_t image_id, uint32_t sel_count, uint32_t image_date,
                             uint32_t image_time, int32_t image_ms, const uint8_t* header_packet,
                             const uint16_t* pixels);
// Replaces the image writer; nullptr restores write_fits_image.
void set_image_writer(ImageWriter writer);
