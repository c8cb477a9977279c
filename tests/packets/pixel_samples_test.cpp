// Pixel samples as assembly stores them: every sample count and alignment,
// flag bits in every position, and packets read back in an order other
// than the stream's.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/base.h"
#include "packets/packet_streams.h"
#include "packets/packets.h"

using namespace packet_streams;

namespace {

class PixelSamples : public RecordedImages {
protected:
    // One image: its header, then `packets` in the given stream order, then
    // a final packet far from the probed pixels.
    const HandedImage* run_image(const std::vector<std::vector<uint8_t>>& packets) {
        std::vector<uint8_t> stream = header_packet(100, at_seconds(10, 1), at_seconds(10), 1);
        for (const auto& packet : packets) append(stream, packet);
        append(stream, pixel_packet(100, 3, at_seconds(10, 90), 90, 8000, 8001, {1, 1}));
        Stream current = open_stream(stream);
        if (!process_packet_streams(message, current.get(), nullptr, true, "cur.nc", nullptr,
                                    packet_streams::recording_hooks)) return nullptr;
        return handed_images.size() == 1 ? &handed_images[0] : nullptr;
    }
};

struct SampleCase {
    const char* name;
    uint32_t first;                 // index of the first pixel
    std::vector<uint16_t> samples;  // as sent
    std::vector<uint16_t> pixels;   // as stored from `first` on
    uint32_t sel_count;
};

TEST_F(PixelSamples, EveryCountAndAlignmentKeepsFourteenBitsAndCountsBit14) {
    const SampleCase cases[] = {
        {"two", 0, {0x4001, 0x8002}, {1, 2}, 1},
        {"three odd start", 1, {0xFFFF, 0x0000, 0x7FFF}, {0x3FFF, 0, 0x3FFF}, 2},
        {"four", 0, {0x4000, 0x4000, 0x4000, 0x4000}, {0, 0, 0, 0}, 4},
        {"five", 3, {0x1234, 0xC321, 0x0FED, 0x8BCD, 0x5A5A}, {0x1234, 0x0321, 0x0FED, 0x0BCD, 0x1A5A}, 2},
        {"seven", 6, {0x00FF, 0xFF00, 0x3F00, 0x40FF, 0x8001, 0xBFFF, 0x4100},
         {0x00FF, 0x3F00, 0x3F00, 0x00FF, 0x0001, 0x3FFF, 0x0100}, 3},
        {"eight", 0, {1, 2, 3, 4, 0x4005, 6, 7, 0xC008}, {1, 2, 3, 4, 5, 6, 7, 8}, 2},
        {"nine odd start", 101, {0x4000, 1, 0x4000, 1, 0x4000, 1, 0x4000, 1, 0x4000}, {0, 1, 0, 1, 0, 1, 0, 1, 0}, 5},
    };
    for (const SampleCase& c : cases) {
        SCOPED_TRACE(c.name);
        set_up_run(out.path());  // a new run: the same image may be written again
        record_images();
        const uint32_t last = c.first + static_cast<uint32_t>(c.samples.size()) - 1;
        const HandedImage* image = run_image({pixel_packet(100, 1, at_seconds(10, 2), 2, c.first, last, c.samples)});
        ASSERT_NE(image, nullptr) << message;
        const auto from = image->pixels.begin() + c.first;
        EXPECT_EQ(std::vector<uint16_t>(from, from + static_cast<long>(c.pixels.size())), c.pixels);
        EXPECT_EQ(image->pixels[last + 1], 0);  // nothing beyond the packet's samples
        if (c.first > 0) {
            EXPECT_EQ(image->pixels[c.first - 1], 0);
        }
        EXPECT_EQ(image->sel_count, c.sel_count);
    }
}

TEST_F(PixelSamples, FullPacketCountsEveryFlaggedSample) {
    // 4,074 samples: every third with bit 14, every fifth with bit 15.
    std::vector<uint16_t> samples(4074);
    uint32_t flagged = 0;
    for (size_t i = 0; i < samples.size(); ++i) {
        uint16_t value = static_cast<uint16_t>(i % 16384);
        if (i % 3 == 0) {
            value |= 0x4000;
            ++flagged;
        }
        if (i % 5 == 0) value |= 0x8000;
        samples[i] = value;
    }
    const HandedImage* image = run_image({pixel_packet(100, 1, at_seconds(10, 2), 2, 1, 4074, samples)});
    ASSERT_NE(image, nullptr) << message;
    EXPECT_EQ(image->sel_count, flagged);
    for (uint32_t i = 0; i < 4074; ++i) ASSERT_EQ(image->pixels[1 + i], i % 16384) << i;
}

TEST_F(PixelSamples, PacketsOutOfStreamOrderAreReadFromTheirOwnOffsets) {
    // Kinds 2 and 1 sent in reverse order with equal times: assembly reads
    // kind 1 first, which lies behind kind 2 in the stream.
    const HandedImage* image = run_image({
        pixel_packet(100, 2, at_seconds(10, 2), 3, 4, 7, {5, 6, 7, 8}),
        pixel_packet(100, 1, at_seconds(10, 2), 2, 0, 3, {1, 2, 3, 4}),
        pixel_packet(100, 1, at_seconds(10, 3), 4, 8, 9, {9, 10}),
    });
    ASSERT_NE(image, nullptr) << message;
    const std::vector<uint16_t> expected = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0};
    EXPECT_EQ(std::vector<uint16_t>(image->pixels.begin(), image->pixels.begin() + 11), expected);
}

}  // namespace
