// Hand-made CCSDS packet streams for the packet tests, and a writer that
// records the images handed over instead of writing products.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "base/base.h"
#include "packets/packets.h"
#include "support/test_support.h"

namespace packet_streams {

constexpr uint32_t kStartEpochDay = 6269;  // 2017-03-01 12:00:00 is epoch day 6269, 0 ms
constexpr uint16_t kHeaderPacketBytes = 792;

// Packet time seconds (and milliseconds) after 2017-03-01 12:00:00.
struct PacketTime {
    uint32_t day;
    uint32_t ms;
};
PacketTime at_seconds(int64_t seconds, int64_t extra_ms = 0);

struct PacketFields {
    uint32_t identification = 0x0800 | 802;  // version 0, secondary header, APID 802
    uint32_t sequence_word = 0xC000;
    uint32_t length = 64;                    // total length in bytes
    PacketTime time = {kStartEpochDay, 0};
    uint32_t submillisecond = 0;
    uint32_t image_id = 100;
    uint32_t kind = 0;
};

// A packet with the given primary header, time and ISP header fields.
std::vector<uint8_t> make_packet(const PacketFields& fields);

// An image header packet whose end-of-frame time is eof.
std::vector<uint8_t> header_packet(uint32_t image_id, PacketTime time, PacketTime eof, uint32_t sequence,
                                   uint32_t length = kHeaderPacketBytes);

// A pixel packet of the given kind carrying samples for pixels first..last
// (samples may be fewer than last - first + 1).
std::vector<uint8_t> pixel_packet(uint32_t image_id, uint32_t kind, PacketTime time, uint32_t sequence,
                                  uint32_t first, uint32_t last, const std::vector<uint16_t>& samples);

// An image: header packet and pixel packets of kinds 1, 2 and 3, each of
// `per_packet` pixels of value `value`.
std::vector<uint8_t> simple_image(uint32_t image_id, int64_t eof_seconds, uint32_t sequence_base,
                                  uint16_t value = 7, uint32_t per_packet = 4);

void append(std::vector<uint8_t>& stream, const std::vector<uint8_t>& bytes);

using Stream = FileHandle;

// An anonymous stream holding bytes, positioned at its start.
Stream open_stream(const std::vector<uint8_t>& bytes);

// One image as the writer received it.
struct HandedImage {
    std::string product_dir;
    uint32_t image_id;
    uint32_t sel_count;
    uint32_t date;
    uint32_t time;
    int32_t ms;
    std::vector<uint8_t> header;   // the first 792 bytes of the header packet
    std::vector<uint16_t> pixels;  // the first kKeptPixels pixel values (host order)
    uint16_t pixel_at_limit;       // value of the last pixel, index 1,999,999
    std::string pixel_fnv;         // FNV-1a 64 (hex) of the NAXIS1 x NAXIS2 pixels, MSB first
};
constexpr size_t kKeptPixels = 8192;

extern std::vector<HandedImage> handed_images;

// Hooks whose writer records each image in handed_images.
extern const PipelineHooks recording_hooks;
// Clears handed_images.
void record_images();

// Fills run_settings for a Unix-style run of satellite 16 with window
// 2017-03-01 12:00:00 .. 12:10:00, OUTPUT_ROOT_DIRECTORY output_root + "/",
// and allocates the packet table.
void set_up_run(const std::string& output_root, uint32_t end_time = 121000);

// A test whose runs hand their images to handed_images, with the packet
// table set up for the default window and released afterwards.
class RecordedImages : public ::testing::Test {
protected:
    void SetUp() override {
        set_up_run(out.path());
        record_images();
    }
    void TearDown() override;

    test_support::TempDir out{"tavo-packets"};
    char message[kRunMessageCapacity] = "";
};

}  // namespace packet_streams
