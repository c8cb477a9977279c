// The telemetry field table, the bit-field decoder and the HIERARCH cards.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "fits/fits.h"
#include "fits/header_packet.h"

using fits_test::HeaderPacket;

namespace {

const TelemetryField& field(const char* keyword) {
    const TelemetryField* f = find_telemetry_field(keyword);
    EXPECT_NE(f, nullptr) << keyword;
    return *f;
}

std::string card_of(const HeaderPacket& p, const char* keyword) {
    char card[kCardBytes];
    format_telemetry_card(p.bytes, field(keyword), card);
    return std::string(card, kCardBytes);
}

TEST(TelemetryTable, KeepsItsInvariants) {
    std::map<std::string, int> types;
    std::set<std::string> keywords;
    int last_end = 0;
    for (const TelemetryField& f : telemetry_fields) {
        types[std::string(f.is_signed ? "S" : "U").append(std::to_string(f.container_bits))]++;
        keywords.insert(f.keyword);
        EXPECT_LE(f.bit % 8 + f.width, f.container_bits) << f.keyword;
        if (f.width == f.container_bits) {
            EXPECT_EQ(f.bit % 8, 0) << f.keyword;
        }
        if (f.is_signed) {
            EXPECT_EQ(f.width, f.container_bits) << f.keyword;
        }
        EXPECT_GE(f.width, 1);
        EXPECT_LE(std::string(f.keyword).size(), 27u);
        last_end = std::max(last_end, f.bit / 8 * 8 + f.container_bits);
    }
    EXPECT_EQ(last_end, 6336);  // every field lies in the first 792 bytes
    EXPECT_EQ(keywords.size(), static_cast<size_t>(kTelemetryFieldCount));
    EXPECT_EQ(types["U8"], 142);
    EXPECT_EQ(types["U16"], 204);
    EXPECT_EQ(types["U32"], 100);
    EXPECT_EQ(types["S16"], 2);
    EXPECT_EQ(types["S32"], 2);
    EXPECT_STREQ(telemetry_fields[0].record_id, "ISPH_001");
    EXPECT_STREQ(telemetry_fields[9].record_id, "ISPM_001");
    EXPECT_STREQ(telemetry_fields[9].keyword, "TAV_AS_MTR_STS");
    EXPECT_EQ(telemetry_fields[9].bit, 352);
    EXPECT_STREQ(telemetry_fields[kTelemetryFieldCount - 1].record_id, "ISPM_441");
}

TEST(TelemetryLookup, FindsKeywordsAndRejectsOthers) {
    EXPECT_EQ(find_telemetry_field("TAV_ISP_HDR_ISN"), &telemetry_fields[0]);
    EXPECT_EQ(find_telemetry_field("TAV_CA_GT_OS_ERR_Z_NR"), &telemetry_fields[kTelemetryFieldCount - 1]);
    EXPECT_EQ(find_telemetry_field("TAV_NO_SUCH_FIELD"), nullptr);
    EXPECT_EQ(find_telemetry_field("TAV_AS"), nullptr);
    EXPECT_EQ(find_telemetry_field(""), nullptr);
}

struct DecodeCase {
    const char* keyword;
    int byte;                  // first byte set
    std::vector<uint8_t> set;  // bytes placed there
    int64_t value;
    const char* card;          // card text without its padding
};

const DecodeCase kDecodeCases[] = {
    {"TAV_AS_DONE", 47, {0x40}, 1, "HIERARCH TAV_AS_DONE = 1"},
    {"TAV_AS_DONE", 47, {0xBF}, 0, "HIERARCH TAV_AS_DONE = 0"},
    {"TAV_AS_STUCK", 47, {0x80}, 1, "HIERARCH TAV_AS_STUCK = 1"},
    {"TAV_AS_ENC_CHAN_A", 47, {0x01}, 1, "HIERARCH TAV_AS_ENC_CHAN_A = 1"},
    {"TAV_AS_ENC_BITS", 46, {0xFF}, 63, "HIERARCH TAV_AS_ENC_BITS = 63"},
    {"TAV_FW1_ENC_BITS", 266, {0x25, 0x80}, 75, "HIERARCH TAV_FW1_ENC_BITS = 75"},
    {"TAV_FW1_ENC_BITS", 266, {0xFF, 0xFF}, 511, "HIERARCH TAV_FW1_ENC_BITS = 511"},
    {"TAV_FOCUS_POS", 238, {0xFF, 0xFE}, -2, "HIERARCH TAV_FOCUS_POS = -2"},
    {"TAV_FOCUS_POS", 238, {0x00, 0x05}, 5, "HIERARCH TAV_FOCUS_POS = +5"},
    {"TAV_FOCUS_POS", 238, {0x00, 0x00}, 0, "HIERARCH TAV_FOCUS_POS = +0"},
    {"TAV_FOCUS_CMDED_POS", 236, {0x80, 0x00}, -32768, "HIERARCH TAV_FOCUS_CMDED_POS = -32768"},
    {"TAV_GT_OS_ERR_Y_NR", 312, {0xFF, 0xFF, 0xFF, 0xFF}, -1, "HIERARCH TAV_GT_OS_ERR_Y_NR = -1"},
    {"TAV_GT_OS_ERR_Z_NR", 316, {0x80, 0, 0, 0}, -2147483648LL, "HIERARCH TAV_GT_OS_ERR_Z_NR = -2147483648"},
    {"TAV_GT_OS_ERR_Z_NR", 316, {0x7F, 0xFF, 0xFF, 0xFF}, 2147483647, "HIERARCH TAV_GT_OS_ERR_Z_NR = +2147483647"},
    {"TAV_CA_GT_OS_ERR_Y_NR", 784, {0xFF, 0xFF, 0xFF, 0xFF}, 4294967295LL,
     "HIERARCH TAV_CA_GT_OS_ERR_Y_NR = 4294967295"},
    {"TAV_SQ_FRM_MODE", 635, {0xA5}, 10, "HIERARCH TAV_SQ_FRM_MODE = 10"},
    {"TAV_CEB_RDOUT_PORT", 776, {0x40}, 2, "HIERARCH TAV_CEB_RDOUT_PORT = 2"},
    {"TAV_CEB_RDOUT_PORT", 776, {0x9F}, 0, "HIERARCH TAV_CEB_RDOUT_PORT = 0"},
    {"TAV_CEB_WD_TOUT", 776, {0x1F, 0xC0}, 127, "HIERARCH TAV_CEB_WD_TOUT = 127"},
    {"TAV_ISP_HDR_ISN", 20, {0x00, 0x00, 0x00, 0x7B}, 123, "HIERARCH TAV_ISP_HDR_ISN = 123"},
    {"TAV_ISP_HDR_COLS", 42, {0x05, 0x00}, 1280, "HIERARCH TAV_ISP_HDR_COLS = 1280"},
};

class TelemetryDecode : public testing::TestWithParam<DecodeCase> {};

TEST_P(TelemetryDecode, ExtractsTheFieldAndWritesItsCard) {
    const DecodeCase& c = GetParam();
    HeaderPacket p;
    for (size_t i = 0; i < c.set.size(); ++i) p.bytes[c.byte + i] = c.set[i];
    EXPECT_EQ(decode_telemetry_field(p.bytes, field(c.keyword)), c.value);
    const std::string card = card_of(p, c.keyword);
    EXPECT_EQ(fits_test::trimmed(card), c.card);
    EXPECT_EQ(card.size(), 80u);
}

INSTANTIATE_TEST_SUITE_P(Cases, TelemetryDecode, testing::ValuesIn(kDecodeCases));

// Every field, alone in a packet of ones, decodes to all ones of its width:
// no field reads a neighbour's bits and none misses one of its own.
TEST(TelemetryDecode, EachFieldCoversExactlyItsBits) {
    for (const TelemetryField& f : telemetry_fields) {
        HeaderPacket p;
        for (int b = f.bit; b < f.bit + f.width; ++b) p.bytes[b / 8] |= static_cast<uint8_t>(0x80 >> (b % 8));
        const int64_t ones = f.is_signed ? -1 : static_cast<int64_t>((1ull << f.width) - 1);
        EXPECT_EQ(decode_telemetry_field(p.bytes, f), ones) << f.keyword;
        HeaderPacket q;
        std::memset(q.bytes, 0xFF, sizeof q.bytes);
        for (int b = f.bit; b < f.bit + f.width; ++b) q.bytes[b / 8] &= static_cast<uint8_t>(~(0x80 >> (b % 8)));
        EXPECT_EQ(decode_telemetry_field(q.bytes, f), 0) << f.keyword;
    }
}

// The hand-made card formatting gives the very bytes of the printf formats.
TEST(TelemetryCards, EqualThePrintfFormats) {
    uint32_t seed = 12345;
    for (int round = 0; round < 20; ++round) {
        HeaderPacket p;
        for (uint8_t& b : p.bytes) {
            seed = seed * 1103515245u + 12345u;
            b = round == 0 ? 0xFF : round == 1 ? 0x00 : static_cast<uint8_t>(seed >> 16);
        }
        for (const TelemetryField& f : telemetry_fields) {
            char text[kCardBytes + 1];
            const int64_t v = decode_telemetry_field(p.bytes, f);
            if (f.is_signed) {
                std::snprintf(text, sizeof text, "HIERARCH %s = %+d", f.keyword, static_cast<int>(v));
            } else {
                std::snprintf(text, sizeof text, "HIERARCH %s = %u", f.keyword, static_cast<unsigned>(v));
            }
            std::string expected = text;
            expected.resize(kCardBytes, ' ');
            char card[kCardBytes];
            format_telemetry_card(p.bytes, f, card);
            ASSERT_EQ(std::string(card, kCardBytes), expected) << f.keyword;
        }
    }
}

}  // namespace
