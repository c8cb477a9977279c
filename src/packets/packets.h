// Packet extraction and image assembly: the dump utility, the CCSDS packet
// scan, the grouping into images and the product directory tree.
#pragma once

#include <cstdint>

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
constexpr int kMaxImagePixels = 2000000;

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
