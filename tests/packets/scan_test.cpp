// The packet scan, the record order and the selection, on hand-made streams.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/base.h"
#include "packets/packet_streams.h"
#include "packets/packets.h"

using namespace packet_streams;

namespace {

class PacketScan : public ::testing::Test {
protected:
    void SetUp() override { set_up_run(out.path()); }
    void TearDown() override { release_packet_table(); }

    bool scan(const std::vector<uint8_t>& current, const std::vector<uint8_t>* successor = nullptr) {
        Stream a = open_stream(current);
        Stream b = successor != nullptr ? open_stream(*successor) : nullptr;
        return scan_packet_streams(message, a.get(), b.get(), "cur.nc", successor != nullptr ? "next.nc" : nullptr);
    }

    test_support::TempDir out{"tavo-scan"};
    char message[kRunMessageCapacity] = "";
};

struct HeaderCase {
    const char* what;
    uint32_t identification;
    uint32_t sequence_word;
    bool recorded;
};

TEST_F(PacketScan, AcceptsOnlyInstrumentPacketsWithValidHeaderBits) {
    const HeaderCase cases[] = {
        {"APID 802", 0x0800 | 802, 0xC000, true},
        {"APID 859 with the type bit", 0x1800 | 859, 0xC123, true},
        {"1826 counts as 802 (low 10 bits)", 0x0800 | 1826, 0xC000, true},
        {"foreign APID 300", 0x0800 | 300, 0xC000, false},
        {"APID 816 is not in the set", 0x0800 | 816, 0xC000, false},
        {"version 1", 0x2800 | 802, 0xC000, false},
        {"secondary header flag clear", 802, 0xC000, false},
        {"first segment", 0x0800 | 802, 0x4000, false},
        {"continuation segment", 0x0800 | 802, 0x0000, false},
    };
    for (const HeaderCase& c : cases) {
        PacketFields odd;
        odd.identification = c.identification;
        odd.sequence_word = c.sequence_word;
        odd.length = 100;
        PacketFields good;
        good.image_id = 555;
        std::vector<uint8_t> stream = make_packet(odd);
        append(stream, make_packet(good));  // the packet after a skipped one is still found
        ASSERT_TRUE(scan(stream)) << c.what;
        ASSERT_EQ(packet_count, c.recorded ? 2 : 1) << c.what;
        const PacketRecord& last = packet_records()[packet_count - 1];
        EXPECT_EQ(last.image_id, 555u) << c.what;
        EXPECT_EQ(last.offset, 100u) << c.what;
        if (c.recorded) {
            EXPECT_EQ(packet_records()[0].apid, c.identification & 0x3FF) << c.what;
        }
    }
}

TEST_F(PacketScan, RecordHoldsTheFieldsOfThePacket) {
    PacketFields f;
    f.identification = 0x0800 | 1834;  // 810 + 1024
    f.sequence_word = 0xC00F;
    f.length = 200;
    f.time = {0x123456, 0x89ABCDEF};
    f.submillisecond = 0xBEEF;
    f.image_id = 0xDEADBEEF;
    f.kind = 2;
    std::vector<uint8_t> stream(make_packet(PacketFields{}));
    append(stream, make_packet(f));
    std::vector<uint8_t> next = make_packet(f);
    ASSERT_TRUE(scan(stream, &next));
    ASSERT_EQ(packet_count, 3);
    const PacketRecord& r = packet_records()[1];
    EXPECT_EQ(r.apid, 810u);
    EXPECT_EQ(r.day, 0x123456u);
    EXPECT_EQ(r.millisecond, 0x89ABCDEFu);
    EXPECT_EQ(r.submillisecond, 0xBEEFu);
    EXPECT_EQ(r.length, 200u);
    EXPECT_EQ(r.sequence_word, 0xC00Fu);
    EXPECT_EQ(r.source, 1u);
    EXPECT_EQ(r.image_id, 0xDEADBEEFu);
    EXPECT_EQ(r.packet_kind, 2u);
    EXPECT_EQ(r.offset, 64u);
    EXPECT_EQ(r.selected, 1u);
    EXPECT_EQ(packet_records()[2].source, 2u);
    EXPECT_EQ(packet_records()[2].offset, 0u);
}

TEST_F(PacketScan, LengthLimitsAreInclusive) {
    for (uint32_t length : {24u, 8200u}) {
        PacketFields f;
        f.length = length;
        ASSERT_TRUE(scan(make_packet(f))) << length;
        EXPECT_EQ(packet_count, 1) << length;
    }
}

struct BadLengthCase {
    const char* what;
    uint32_t identification;
    uint32_t total_length;
    bool in_successor;
    const char* message;
};

TEST_F(PacketScan, ImpossibleLengthEndsTheRunWhateverTheIdentifier) {
    const BadLengthCase cases[] = {
        {"23 bytes", 0x0800 | 802, 23, false,
         "ERROR - Bad packet length of 16 at offset 64 in extracted binary APIDs from /input/cur.nc, cannot continue"},
        {"8201 bytes, foreign APID", 0x0800 | 300, 8201, false,
         "ERROR - Bad packet length of 8194 at offset 64 in extracted binary APIDs from /input/cur.nc, cannot "
         "continue"},
        {"field 0xFFFF in the successor", 802, 0xFFFF + 7, true,
         "ERROR - Bad packet length of 65535 at offset 64 in extracted binary APIDs from /input/next.nc, cannot "
         "continue"},
    };
    for (const BadLengthCase& c : cases) {
        PacketFields bad;
        bad.identification = c.identification;
        bad.length = 64;
        std::vector<uint8_t> stream = make_packet(PacketFields{});
        std::vector<uint8_t> packet = make_packet(bad);
        packet[4] = static_cast<uint8_t>((c.total_length - 7) >> 8);
        packet[5] = static_cast<uint8_t>(c.total_length - 7);
        append(stream, packet);
        if (c.in_successor) {
            const std::vector<uint8_t> good = make_packet(PacketFields{});
            ASSERT_FALSE(scan(good, &stream)) << c.what;
        } else {
            ASSERT_FALSE(scan(stream)) << c.what;
        }
        EXPECT_STREQ(message, c.message) << c.what;
    }
}

TEST_F(PacketScan, TruncatedStreamEndsItsScanQuietly) {
    std::vector<uint8_t> stream = make_packet(PacketFields{});
    std::vector<uint8_t> cut = make_packet(PacketFields{});
    cut.resize(40);
    append(stream, cut);
    std::vector<uint8_t> next = make_packet(PacketFields{});
    next.resize(10);  // shorter than a primary header and packet time
    ASSERT_TRUE(scan(stream, &next));
    EXPECT_EQ(packet_count, 1);
    ASSERT_TRUE(scan({}));
    EXPECT_EQ(packet_count, 0);
}

TEST_F(PacketScan, EightyThousandthPacketEndsTheRun) {
    PacketFields f;
    f.length = 24;
    const std::vector<uint8_t> one = make_packet(f);
    std::vector<uint8_t> many;
    for (int i = 0; i < 40000; ++i) append(many, one);
    std::vector<uint8_t> fewer(many.begin(), many.end() - 24);
    ASSERT_TRUE(scan(many, &fewer));
    EXPECT_EQ(packet_count, 79999);
    // Every record of a short packet is kept apart from a header packet.
    EXPECT_NE(packet_records()[0].packet_kind, 0u);

    ASSERT_FALSE(scan(many, &many));
    EXPECT_STREQ(message,
                 "ERROR - Exceeded maximum number of CCSDS packets which can be processed in /input/cur.nc and "
                 "next.nc");
    append(many, many);
    ASSERT_FALSE(scan(many));
    EXPECT_STREQ(message, "ERROR - Exceeded maximum number of CCSDS packets which can be processed in /input/cur.nc");
}

TEST(PacketRecordOrder, ComparesEachWordAsSigned32BitInOrder) {
    auto record = [](uint32_t id, uint32_t kind, uint32_t day, uint32_t ms, uint32_t sub, uint32_t offset) {
        PacketRecord r{};
        r.image_id = id;
        r.packet_kind = kind;
        r.day = day;
        r.millisecond = ms;
        r.submillisecond = sub;
        r.offset = offset;
        return r;
    };
    struct Case {
        PacketRecord lower, higher;
    };
    const Case cases[] = {
        {record(1, 3, 9, 9, 9, 9), record(2, 0, 0, 0, 0, 0)},
        {record(5, 0, 9, 9, 9, 9), record(5, 1, 0, 0, 0, 0)},
        {record(5, 1, 1, 9, 9, 9), record(5, 1, 2, 0, 0, 0)},
        {record(5, 1, 1, 1, 9, 9), record(5, 1, 1, 2, 0, 0)},
        {record(5, 1, 1, 1, 1, 9), record(5, 1, 1, 1, 2, 0)},
        {record(5, 1, 1, 1, 1, 1), record(5, 1, 1, 1, 1, 2)},
        {record(0x80000000u, 0, 0, 0, 0, 0), record(1, 0, 0, 0, 0, 0)},  // negative as signed
        {record(5, 1, 1, 0xFFFFFFFFu, 0, 0), record(5, 1, 1, 0, 0, 0)},
    };
    for (const Case& c : cases) {
        EXPECT_LT(compare_packet_records(c.lower, c.higher), 0);
        EXPECT_GT(compare_packet_records(c.higher, c.lower), 0);
    }
    EXPECT_EQ(compare_packet_records(record(1, 2, 3, 4, 5, 6), record(1, 2, 3, 4, 5, 6)), 0);
}

// Selection, observed on the records after scan, sort and select.
class PacketSelection : public PacketScan {
protected:
    void select(const std::vector<uint8_t>& current, const std::vector<uint8_t>& successor, bool last_pair) {
        ASSERT_TRUE(scan(current, &successor));
        sort_packet_records();
        PacketWindow window{};
        ASSERT_TRUE(compute_packet_window(message, window));
        select_packet_records(window, last_pair);
    }
    std::vector<std::pair<uint32_t, uint32_t>> selected() const {  // (source, offset) of the selected
        std::vector<std::pair<uint32_t, uint32_t>> out;
        for (int i = 0; i < packet_count; ++i)
            if (packet_records()[i].selected != 0) out.emplace_back(packet_records()[i].source, packet_records()[i].offset);
        return out;
    }
};

TEST_F(PacketSelection, DuplicateAcrossStreamsKeepsTheCurrentFilesCopy) {
    const std::vector<uint8_t> image = simple_image(100, 10, 1);
    select(image, image, true);
    ASSERT_EQ(packet_count, 8);
    const auto kept = selected();
    ASSERT_EQ(kept.size(), 4u);
    for (const auto& k : kept) EXPECT_EQ(k.first, 1u);
}

TEST_F(PacketSelection, DuplicateNeedsSameSequenceWord) {
    PacketFields f;
    f.time = at_seconds(10);
    std::vector<uint8_t> a = make_packet(f);
    f.sequence_word = 0xC001;
    const std::vector<uint8_t> b = make_packet(f);
    select(a, b, true);
    EXPECT_EQ(selected().size(), 2u);
}

TEST_F(PacketSelection, WindowIsLastImageTimeMinus5sToEndPlus30sInclusive) {
    // START 12:00:00, END 12:10:00.
    struct Case {
        int64_t seconds;
        int64_t ms;
        bool kept;
    };
    const Case cases[] = {{-5, 0, true}, {-5, -1, false}, {630, 0, true}, {630, 1, false}, {-86400, 0, false}};
    for (const Case& c : cases) {
        PacketFields f;
        f.time = at_seconds(c.seconds, c.ms);
        select(make_packet(f), {}, true);
        EXPECT_EQ(selected().size(), c.kept ? 1u : 0u) << c.seconds << " s " << c.ms << " ms";
    }
}

TEST_F(PacketSelection, LastFourRecordsOfTheSuccessorAreLeftToTheNextPair) {
    // Current file: image 100; successor: image 101 (four records each).
    select(simple_image(100, 10, 1), simple_image(101, 20, 10), false);
    auto kept = selected();
    ASSERT_EQ(kept.size(), 4u);
    for (const auto& k : kept) EXPECT_EQ(k.first, 1u);
    // The last pair keeps them.
    select(simple_image(100, 10, 1), simple_image(101, 20, 10), true);
    EXPECT_EQ(selected().size(), 8u);
}

TEST_F(PacketSelection, CurrentFileRecordsAmongTheLastFourAreKept) {
    // The successor holds only two later records (a short file after a gap).
    std::vector<uint8_t> next = header_packet(101, at_seconds(20), at_seconds(20), 10);
    append(next, pixel_packet(101, 1, at_seconds(21), 11, 0, 1, {1, 2}));
    select(simple_image(100, 10, 1), next, false);
    const auto kept = selected();
    EXPECT_EQ(kept.size(), 4u);
    for (const auto& k : kept) EXPECT_EQ(k.first, 1u);
}

TEST_F(PacketSelection, FewerThanFourRecordsAreAllKept) {
    std::vector<uint8_t> next = header_packet(101, at_seconds(20), at_seconds(20), 10);
    append(next, pixel_packet(101, 3, at_seconds(21), 11, 0, 1, {1, 2}));
    select({}, next, false);
    EXPECT_EQ(selected().size(), 2u);
}

TEST_F(PacketScan, WindowOutsideTheTimeScaleIsRefused) {
    last_image_time = {20000101, 120002};  // minus 5 s lies before the epoch
    PacketWindow window{};
    EXPECT_FALSE(compute_packet_window(message, window));
    EXPECT_STREQ(message, "ERROR - Invalid time range of 20000101 / 120002 to 20170301 / 121000 in FITS processing");
    // process_packet_streams stops with the same message once records exist.
    Stream a = open_stream(simple_image(100, 10, 1));
    EXPECT_FALSE(process_packet_streams(message, a.get(), nullptr, true, "cur.nc", nullptr,
                                    packet_streams::recording_hooks));
    EXPECT_STREQ(message, "ERROR - Invalid time range of 20000101 / 120002 to 20170301 / 121000 in FITS processing");
}

}  // namespace

// END + 30 s, the packet window's inclusive end, lies a whole second
// before the first packet not yet at hand, across midnight too.
TEST(LatestEndBefore, LeavesThePacketWindowBeforeTheInstant) {
    struct Case {
        DateTime until, end;
    };
    const Case cases[] = {
        {{20170301, 120600}, {20170301, 120529}},
        {{20170302, 20}, {20170301, 235949}},
        {{20170301, 31}, {20170301, 0}},
    };
    for (const Case& c : cases) {
        DateTime end{};
        ASSERT_TRUE(latest_end_before(c.until, end));
        EXPECT_EQ(end.date, c.end.date);
        EXPECT_EQ(end.time, c.end.time);
    }
    DateTime end{};
    EXPECT_FALSE(latest_end_before({19991231, 120000}, end));
}
