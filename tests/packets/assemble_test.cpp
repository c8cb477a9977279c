// Image search, grouping and assembly, observed through the images handed
// to the writer.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/base.h"
#include "packets/packet_streams.h"
#include "packets/packets.h"

using namespace packet_streams;

namespace {

struct Kind {
    uint32_t image_id;
    uint32_t kind;
};

class ImageAssembly : public RecordedImages {
protected:
    bool run(const std::vector<uint8_t>& current, const std::vector<uint8_t>* successor = nullptr,
             bool last_pair = true) {
        Stream a = open_stream(current);
        Stream b = successor != nullptr ? open_stream(*successor) : nullptr;
        return process_packet_streams(message, a.get(), b.get(), last_pair, "cur.nc",
                                      successor != nullptr ? "next.nc" : nullptr, packet_streams::recording_hooks);
    }

    // A stream of records given as (image_id, kind): headers at eof 10 s per
    // image id step, pixel packets of kind k covering pixels 4(k-1)..4k-1
    // with the value 10 * kind + image_id % 10.
    std::vector<uint8_t> stream_of(const std::vector<Kind>& kinds) {
        std::vector<uint8_t> stream;
        uint32_t sequence = 1;
        for (const Kind& k : kinds) {
            const int64_t eof = 10 + static_cast<int64_t>(k.image_id - 100) * 10;
            if (k.kind == 0) {
                append(stream, header_packet(k.image_id, at_seconds(eof, 1), at_seconds(eof), sequence++));
            } else {
                const uint32_t first = (k.kind - 1) * 4;
                const auto value = static_cast<uint16_t>(10 * k.kind + k.image_id % 10);
                append(stream, pixel_packet(k.image_id, k.kind, at_seconds(eof, 1 + k.kind), sequence++, first,
                                            first + 3, std::vector<uint16_t>(4, value)));
            }
        }
        return stream;
    }

    std::vector<uint32_t> handed_ids() const {
        std::vector<uint32_t> ids;
        for (const HandedImage& image : handed_images) ids.push_back(image.image_id);
        return ids;
    }
};

// Image 101 lost its final packet: it is passed over, and image 102 after it
// is still written (ending the pair here would lose 102 for good, since the
// next pair starts with the successor file).
TEST_F(ImageAssembly, ImageWithoutItsFinalPacketIsPassedOverAndTheNextIsWritten) {
    last_image_id = 99;
    ASSERT_TRUE(run(stream_of({{100, 0}, {100, 1}, {100, 2}, {100, 3}, {101, 0}, {101, 1}, {102, 0}, {102, 1},
                               {102, 3}})));
    ASSERT_EQ(handed_ids(), (std::vector<uint32_t>{100, 102}));
    const HandedImage& image = handed_images[0];
    const std::vector<uint16_t> expected = {10, 10, 10, 10, 20, 20, 20, 20, 30, 30, 30, 30, 0};
    EXPECT_EQ(std::vector<uint16_t>(image.pixels.begin(), image.pixels.begin() + 13), expected);
    EXPECT_EQ(last_image_id, 102u);
}

TEST_F(ImageAssembly, FinalPacketOfAnotherImageEndsTheGroupWithoutJoiningIt) {
    last_image_id = 99;
    ASSERT_TRUE(run(stream_of({{100, 0}, {100, 1}, {101, 3}})));
    ASSERT_EQ(handed_ids(), std::vector<uint32_t>{100});
    const std::vector<uint16_t> expected = {10, 10, 10, 10, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::vector<uint16_t>(handed_images[0].pixels.begin(), handed_images[0].pixels.begin() + 12), expected);
}

TEST_F(ImageAssembly, ImageIsHandedOverWithItsTimeDirectoryAndHeader) {
    // Time 12:59:59.005 lands in H1200.
    std::vector<uint8_t> stream = header_packet(100, at_seconds(3599, 6), at_seconds(3599, 5), 1);
    append(stream, pixel_packet(100, 3, at_seconds(3599, 7), 2, 0, 1, {1, 2}));
    set_up_run(out.path(), 140000);
    record_images();
    ASSERT_TRUE(run(stream));
    ASSERT_EQ(handed_images.size(), 1u);
    const HandedImage& image = handed_images[0];
    EXPECT_EQ(image.date, 20170301u);
    EXPECT_EQ(image.time, 125959u);
    EXPECT_EQ(image.ms, 5);
    EXPECT_EQ(image.product_dir, out.path() + "/KITE-16/2017/03/01/H1200/");
    EXPECT_TRUE(std::filesystem::is_directory(image.product_dir));
    EXPECT_EQ(std::vector<uint8_t>(image.header.begin(), image.header.end()),
              std::vector<uint8_t>(stream.begin(), stream.begin() + 792));
    EXPECT_EQ(last_image_time.date, 20170301u);
    EXPECT_EQ(last_image_time.time, 125959u);
}

TEST_F(ImageAssembly, ProductDirectoryFollowsTheImageHour) {
    struct Case {
        int64_t seconds;  // after 2017-03-01 12:00:00
        const char* directory;
    };
    const Case cases[] = {
        {3599, "/KITE-16/2017/03/01/H1200/"},
        {3600, "/KITE-16/2017/03/01/H1300/"},
        {43199, "/KITE-16/2017/03/01/H2300/"},
        {43200, "/KITE-16/2017/03/02/H0000/"},
    };
    for (const Case& c : cases) {
        char path[kProductPathSlot];
        uint32_t date = c.seconds >= 43200 ? 20170302 : 20170301;
        const int64_t clock = (12 * 3600 + c.seconds) % 86400;
        const auto time = static_cast<uint32_t>(clock / 3600 * 10000 + clock % 3600 / 60 * 100 + clock % 60);
        ASSERT_TRUE(make_product_directory(message, date, time, path)) << message;
        EXPECT_EQ(path, out.path() + c.directory);
        EXPECT_TRUE(std::filesystem::is_directory(path));
    }
}

TEST_F(ImageAssembly, UncreatableProductDirectoryEndsTheRun) {
    test_support::write_file(out / "KITE-16", "a file in the way");
    ASSERT_FALSE(run(simple_image(100, 10, 1)));
    EXPECT_EQ(std::string(message), "ERROR - Failed to create subdirectory " + out.path() + "/KITE-16");
    EXPECT_TRUE(handed_images.empty());

    std::filesystem::remove(out / "KITE-16");
    test_support::make_dirs(out / "KITE-16/2017");
    test_support::write_file(out / "KITE-16/2017/03", "in the way");
    ASSERT_FALSE(run(simple_image(101, 20, 1)));
    EXPECT_EQ(std::string(message), "ERROR - Failed to create subdirectory " + out.path() + "/KITE-16/2017/03");
}

TEST_F(ImageAssembly, ImageTimeMustBeLaterThanTheLastImageAndNotAfterEnd) {
    // START 12:00:00, END 12:10:00; times in seconds after START.
    struct Case {
        int64_t eof_seconds;
        int64_t eof_ms;
        bool written;
    };
    const Case cases[] = {{0, 999, false}, {1, 0, true}, {600, 999, true}, {601, 0, false}};
    for (const Case& c : cases) {
        set_up_run(out.path());
        record_images();
        std::vector<uint8_t> stream = header_packet(100, at_seconds(c.eof_seconds, 1), at_seconds(c.eof_seconds, c.eof_ms), 1);
        append(stream, pixel_packet(100, 3, at_seconds(c.eof_seconds, 2), 2, 0, 1, {1, 2}));
        ASSERT_TRUE(run(stream));
        EXPECT_EQ(handed_images.size(), c.written ? 1u : 0u) << c.eof_seconds << " s " << c.eof_ms << " ms";
    }
}

TEST_F(ImageAssembly, ImageAfterEndEndsThePairEvenBeforeEarlierImages) {
    std::vector<uint8_t> stream = simple_image(100, 601, 1);
    append(stream, simple_image(101, 30, 10));
    ASSERT_TRUE(run(stream));
    EXPECT_TRUE(handed_images.empty());
}

TEST_F(ImageAssembly, ImageIdsMustGrow) {
    std::vector<uint8_t> stream = simple_image(0, 10, 1);  // id 0 is never written
    append(stream, simple_image(101, 20, 10));
    ASSERT_TRUE(run(stream));
    ASSERT_EQ(handed_ids(), std::vector<uint32_t>{101});
    // A later image with a smaller or equal id is passed over, whatever its time.
    ASSERT_TRUE(run(simple_image(100, 40, 20)));
    ASSERT_TRUE(run(simple_image(101, 50, 30)));
    // An image with a larger id but an earlier time is passed over too.
    ASSERT_TRUE(run(simple_image(102, 15, 40)));
    ASSERT_TRUE(run(simple_image(103, 60, 50)));
    EXPECT_EQ(handed_ids(), (std::vector<uint32_t>{101, 103}));
}

TEST_F(ImageAssembly, UnusableHeaderPacketPassesTheImageOver) {
    // 791 bytes, then an end-of-frame time beyond 2099: both images skipped.
    std::vector<uint8_t> stream = header_packet(100, at_seconds(10, 1), at_seconds(10), 1, 791);
    append(stream, pixel_packet(100, 3, at_seconds(10, 2), 2, 0, 1, {1, 2}));
    append(stream, header_packet(101, at_seconds(20, 1), {40000, 0}, 3));
    append(stream, pixel_packet(101, 3, at_seconds(20, 2), 4, 0, 1, {1, 2}));
    std::vector<uint8_t> bad_ms = header_packet(102, at_seconds(25, 1), {kStartEpochDay, 86400000}, 5);
    append(stream, bad_ms);
    append(stream, pixel_packet(102, 3, at_seconds(25, 2), 6, 0, 1, {1, 2}));
    append(stream, simple_image(103, 30, 10));
    ASSERT_TRUE(run(stream));
    EXPECT_EQ(handed_ids(), std::vector<uint32_t>{103});
}

TEST_F(ImageAssembly, PixelIndexRangesOutsideTheLimitsAreIgnored) {
    struct Case {
        uint32_t first, last, samples;
        bool used;
    };
    const Case cases[] = {
        {5, 5, 1, false},
        {10, 5, 6, false},
        {0, 4073, 4074, true},
        {0, 4074, 4075, false},
        {1999998, 1999999, 2, true},
        {1999999, 2000000, 2, false},
        {2000000, 2000099, 100, false},
    };
    for (const Case& c : cases) {
        set_up_run(out.path());
        record_images();
        std::vector<uint8_t> stream = header_packet(100, at_seconds(10, 1), at_seconds(10), 1);
        append(stream, pixel_packet(100, 1, at_seconds(10, 2), 2, c.first, c.last,
                                    std::vector<uint16_t>(c.samples, 0x1234)));
        append(stream, pixel_packet(100, 3, at_seconds(10, 3), 3, 8000, 8001, {1, 1}));
        ASSERT_TRUE(run(stream));
        ASSERT_EQ(handed_images.size(), 1u) << c.first << ".." << c.last;
        const HandedImage& image = handed_images[0];
        const uint16_t probe = c.first < kKeptPixels ? image.pixels[c.first] : image.pixel_at_limit;
        EXPECT_EQ(probe, c.used ? 0x1234 : 0) << c.first << ".." << c.last;
        if (c.used && c.last < kKeptPixels) {
            EXPECT_EQ(image.pixels[c.last], 0x1234);
        }
    }
}

TEST_F(ImageAssembly, SamplesAreLittleEndianWithFlagBits) {
    std::vector<uint8_t> stream = header_packet(100, at_seconds(10, 1), at_seconds(10), 1);
    append(stream, pixel_packet(100, 3, at_seconds(10, 2), 2, 0, 4, {0x1234, 0x8000 | 123, 0x4000 | 5, 0xC000 | 7, 0x3FFF}));
    ASSERT_TRUE(run(stream));
    ASSERT_EQ(handed_images.size(), 1u);
    const HandedImage& image = handed_images[0];
    EXPECT_EQ(image.pixels[0], 0x1234);  // stored most significant byte first, read back as such
    EXPECT_EQ(image.pixels[1], 123);
    EXPECT_EQ(image.pixels[2], 5);
    EXPECT_EQ(image.pixels[3], 7);
    EXPECT_EQ(image.pixels[4], 0x3FFF);
    EXPECT_EQ(image.sel_count, 2u);
}

TEST_F(ImageAssembly, PacketCarryingFewerSamplesThanAnnouncedGivesOnlyThoseItCarries) {
    std::vector<uint8_t> stream = header_packet(100, at_seconds(10, 1), at_seconds(10), 1);
    append(stream, pixel_packet(100, 1, at_seconds(10, 2), 2, 0, 9, std::vector<uint16_t>(10, 1)));
    append(stream, pixel_packet(100, 2, at_seconds(10, 3), 3, 0, 9, {2, 2, 2, 2}));  // announces 10
    append(stream, pixel_packet(100, 3, at_seconds(10, 4), 4, 20, 21, {3, 3}));
    ASSERT_TRUE(run(stream));
    ASSERT_EQ(handed_images.size(), 1u);
    const std::vector<uint16_t> expected = {2, 2, 2, 2, 1, 1, 1, 1, 1, 1, 0};
    EXPECT_EQ(std::vector<uint16_t>(handed_images[0].pixels.begin(), handed_images[0].pixels.begin() + 11), expected);
}

TEST_F(ImageAssembly, PixelsAreClearedBetweenImages) {
    std::vector<uint8_t> stream = simple_image(100, 10, 1, 9, 8);
    append(stream, simple_image(101, 20, 10, 5, 2));
    ASSERT_TRUE(run(stream));
    ASSERT_EQ(handed_images.size(), 2u);
    EXPECT_EQ(handed_images[1].pixels[5], 5);
    EXPECT_EQ(handed_images[1].pixels[6], 0);
}

TEST_F(ImageAssembly, DuplicatedImageAcrossTheStreamsIsWrittenOnce) {
    std::vector<uint8_t> a = header_packet(100, at_seconds(10, 1), at_seconds(10), 1);
    append(a, pixel_packet(100, 3, at_seconds(10, 2), 2, 0, 1, {0x4001, 0x4002}));
    std::vector<uint8_t> b = a;
    append(b, simple_image(101, 20, 10));
    ASSERT_TRUE(run(a, &b));
    ASSERT_EQ(handed_ids(), (std::vector<uint32_t>{100, 101}));
    EXPECT_EQ(handed_images[0].sel_count, 2u);
}

TEST_F(ImageAssembly, ImageStraddlingTheStreamsIsWrittenByTheFirstPairOnly) {
    // Image 100 starts in the current file and ends in the successor, which
    // holds enough later records (image 101) to be left to the next pair.
    std::vector<uint8_t> a = header_packet(100, at_seconds(10, 1), at_seconds(10), 1);
    append(a, pixel_packet(100, 1, at_seconds(10, 2), 2, 0, 1, {1, 1}));
    std::vector<uint8_t> b = pixel_packet(100, 3, at_seconds(10, 3), 3, 2, 3, {2, 2});
    append(b, simple_image(101, 20, 10));
    ASSERT_TRUE(run(a, &b, false));
    ASSERT_EQ(handed_ids(), std::vector<uint32_t>{100});
    EXPECT_EQ(std::vector<uint16_t>(handed_images[0].pixels.begin(), handed_images[0].pixels.begin() + 4),
              (std::vector<uint16_t>{1, 1, 2, 2}));
    // The next pair reads the successor as its current file.
    ASSERT_TRUE(run(b, nullptr, true));
    EXPECT_EQ(handed_ids(), (std::vector<uint32_t>{100, 101}));
}

TEST_F(ImageAssembly, ShortFileAfterAGapLosesNoImage) {
    // The successor holds fewer than four records: image 100 of the current
    // file is still written by this pair, the next pair never sees it.
    std::vector<uint8_t> b = header_packet(101, at_seconds(20, 1), at_seconds(20), 10);
    ASSERT_TRUE(run(simple_image(100, 10, 1), &b, false));
    EXPECT_EQ(handed_ids(), std::vector<uint32_t>{100});
}

TEST_F(ImageAssembly, EmptyStreamsWriteNothing) {
    const std::vector<uint8_t> none;
    ASSERT_TRUE(run(none, &none));
    EXPECT_TRUE(handed_images.empty());
}

}  // namespace
