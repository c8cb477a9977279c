// Derived keywords of cards 12 to 48 and the bakeout rule, against
// hand-built header packets and the worked examples.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "fits/fits.h"
#include "fits/header_packet.h"

using fits_test::HeaderPacket;

namespace {

std::string fixed(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.8f", value);
    return text;
}

struct ShutterCase {
    const char* name;
    uint32_t frame_type;
    uint32_t commanded_ms;
    uint32_t pairs[4][2];  // close, open (us)
    uint32_t exposures;
    const char* expected;  // %.8f of SHT_EXP_TIME
};

const ShutterCase kShutterCases[] = {
    {"dark frame takes the commanded time", 2, 3000, {{5000000, 1}, {7, 3}, {0, 0}, {1, 2}}, 1, "3.00000000"},
    {"all pairs empty take the commanded time", 1, 1500, {{0, 0}, {0, 0}, {0, 0}, {0, 0}}, 1, "1.50000000"},
    {"no closing after opening gives 9999", 1, 1500, {{100, 200}, {0, 0}, {0, 0}, {0, 0}}, 1, "9999.00000000"},
    {"equal non-zero times give 9999", 1, 1500, {{5, 5}, {0, 0}, {0, 0}, {0, 0}}, 1, "9999.00000000"},
    {"four durations: mean of the middle two", 1, 0,
     {{1000000, 0}, {1100000, 0}, {1200000, 0}, {5000000, 0}}, 1, "1.15000000"},
    {"four durations in any order", 1, 0,
     {{5000000 + 7, 7}, {1200000, 0}, {1000000, 0}, {1100000 + 9, 9}}, 1, "1.15000000"},
    {"three durations: the middle one", 1, 0, {{9000000, 0}, {2000000, 0}, {100, 200}, {2100000, 0}}, 1,
     "2.10000000"},
    {"two durations: their mean", 1, 0, {{3000000, 0}, {0, 0}, {4000000, 0}, {0, 0}}, 1, "3.50000000"},
    {"one duration", 1, 0, {{0, 0}, {0, 0}, {0, 0}, {2500000, 500000}}, 1, "2.00000000"},
    {"short median scaled by 7 x 0.05 x N", 1, 0, {{50000, 0}, {0, 0}, {0, 0}, {0, 0}}, 2, "0.03500000"},
    {"short median with N 0 gives 0", 1, 0, {{50000, 0}, {0, 0}, {0, 0}, {0, 0}}, 0, "0.00000000"},
    {"0.072 s is still scaled", 1, 0, {{72000, 0}, {0, 0}, {0, 0}, {0, 0}}, 1, "0.02520000"},
    {"just above 0.072 s is not", 1, 0, {{72001, 0}, {0, 0}, {0, 0}, {0, 0}}, 1, "0.07200100"},
    {"widest durations", 1, 0,
     {{4294967295u, 0}, {4294967295u, 0}, {4294967295u, 0}, {4294967295u, 0}}, 1, "4294.96729500"},
};

class ShutterExposure : public testing::TestWithParam<ShutterCase> {};

TEST_P(ShutterExposure, FollowsTheMedianRules) {
    const ShutterCase& c = GetParam();
    HeaderPacket p;
    p.frame_type(c.frame_type).commanded_ms(c.commanded_ms).exposures(c.exposures);
    for (int i = 0; i < 4; ++i) p.shutter(i, c.pairs[i][0], c.pairs[i][1]);
    EXPECT_EQ(fixed(shutter_exposure_time(p.bytes)), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, ShutterExposure, testing::ValuesIn(kShutterCases));

struct StartCase {
    uint32_t date, time;
    int32_t ms;
    double exposure;
    const char* expected;
};

const StartCase kStartCases[] = {
    {20180327, 0, 100, 1.2, "2018-03-26 23:59:58.900"},      // worked example
    {20180327, 145038, 92, 0.092, "2018-03-27 14:50:38.000"},  // E equal to M
    {20180327, 145038, 92, 0.0924, "2018-03-27 14:50:38.000"}, // rounded to the millisecond
    {20180327, 145038, 92, 0.0926, "2018-03-27 14:50:37.999"},
    {20180327, 145038, 92, 2.5, "2018-03-27 14:50:35.592"},
    {20180327, 145038, 592, 2.5, "2018-03-27 14:50:36.092"},   // F <= M
    {20180301, 5, 0, 9999.0, "2018-02-28 21:13:26.000"},
    {20180327, 145038, 92, 0.0, "2018-03-27 14:50:38.092"},
    // Longer than a day: moved back in day steps.
    {20180327, 120000, 500, 86400.5, "2018-03-26 12:00:00.000"},
    {20180327, 120000, 0, 200000.0, "2018-03-25 04:26:40.000"},
    {20180327, 120000, 0, 4294967.295, "2018-02-05 18:57:12.705"},
    // Before the supported range: the image's date and clock time stay.
    {20000101, 120001, 0, 1.5, "2000-01-01 12:00:01.500"},
    {20000102, 0, 0, 200000.0, "2000-01-02 00:00:00.000"},
};

class StartOfIntegration : public testing::TestWithParam<StartCase> {};

TEST_P(StartOfIntegration, IsTheImageTimeMinusTheExposure) {
    const StartCase& c = GetParam();
    char text[kTimeTextSlot];
    format_start_of_integration(c.date, c.time, c.ms, c.exposure, text);
    EXPECT_STREQ(text, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, StartOfIntegration, testing::ValuesIn(kStartCases));

struct MechanismCase {
    const char* wheel;  // "FW1", "FW2" or "AS"
    uint32_t fm;
    uint32_t value;
    int32_t status;
    const char* name;
    int32_t wavelength;
};

const MechanismCase kMechanismCases[] = {
    {"FW1", 1, 72, 0, "'OPEN'", 0},      {"FW1", 3, 72, 0, "'OPEN'", 0},
    {"FW1", 3, 71, 0, "'OPEN'", 0},      {"FW1", 1, 71, -1, "'\?\?\?'", 0},
    {"FW1", 4, 79, 0, "'OPEN'", 0},      {"FW1", 3, 79, -1, "'\?\?\?'", 0},
    {"FW1", 2, 142, 1, "'THIN_AL'", 0},  {"FW1", 0, 208, 2, "'THIN_ZR'", 0},
    {"FW1", 5, 274, 3, "'THICK_ZR'", 0}, {"FW1", 3, 8, 4, "'THICK_AL'", 0},
    {"FW1", 1, 8, -1, "'\?\?\?'", 0},       {"FW1", 1, 511, -1, "'\?\?\?'", 0},
    {"FW2", 4, 71, 0, "'GLASS'", 0},     {"FW2", 3, 71, -1, "'\?\?\?'", 0},
    {"FW2", 3, 79, 0, "'GLASS'", 0},     {"FW2", 4, 79, -1, "'\?\?\?'", 0},
    {"FW2", 1, 135, 1, "'OPEN'", 0},     {"FW2", 4, 207, 2, "'THIN_AL'", 0},
    {"FW2", 2, 274, 3, "'THIN_ZR'", 0},  {"FW2", 4, 15, 4, "'THICK_AL'", 0},
    {"AS", 1, 3, 1, "'131A'", 131},      {"AS", 3, 3, 1, "'131A'", 131},
    {"AS", 3, 1, 1, "'131A'", 131},      {"AS", 1, 1, -1, "'\?\?\?'", -1},
    {"AS", 2, 34, 0, "'94A'", 94},       {"AS", 3, 34, -1, "'\?\?\?'", -1},
    {"AS", 3, 31, 0, "'94A'", 94},       {"AS", 4, 10, 2, "'171A'", 171},
    {"AS", 0, 16, 3, "'195A'", 195},     {"AS", 5, 22, 4, "'284A'", 284},
    {"AS", 3, 27, 5, "'304A'", 304},     {"AS", 1, 63, -1, "'\?\?\?'", -1},
};

class MechanismKeywords : public testing::TestWithParam<MechanismCase> {};

TEST_P(MechanismKeywords, ChooseTheRangesOfTheFlightModel) {
    const MechanismCase& c = GetParam();
    HeaderPacket p;
    p.flight_model(c.fm);
    const std::string wheel = c.wheel;
    if (wheel == "FW1") p.wheel1(c.value);
    if (wheel == "FW2") p.wheel2(c.value);
    if (wheel == "AS") p.aperture(c.value);
    HeaderKeywords k;
    derive_header_keywords(p.bytes, 20180327, 145038, 92, k);
    if (wheel == "FW1") {
        EXPECT_EQ(k.fw1_pos, c.value);
        EXPECT_EQ(k.fw1_status, c.status);
        EXPECT_STREQ(k.fw1_name, c.name);
    } else if (wheel == "FW2") {
        EXPECT_EQ(k.fw2_pos, c.value);
        EXPECT_EQ(k.fw2_status, c.status);
        EXPECT_STREQ(k.fw2_name, c.name);
    } else {
        EXPECT_EQ(k.as_enc, c.value);
        EXPECT_EQ(k.as_status, c.status);
        EXPECT_STREQ(k.as_name, c.name);
        EXPECT_EQ(k.wavelength, c.wavelength);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, MechanismKeywords, testing::ValuesIn(kMechanismCases));

TEST(CcdTemperature, UsesTheCoefficientSetOfTheFlightModel) {
    struct Row {
        uint32_t fm, raw;
        const char* expected;
    };
    const Row rows[] = {
        {1, 0, "-1167.58000000"},     {0, 0, "-1167.58000000"},    {5, 0, "-1167.58000000"},
        {127, 0, "-1167.58000000"},   {2, 0, "-1217.18000000"},    {3, 0, "-1097.12000000"},
        {4, 0, "-265.62000000"},      {1, 1000, "-31.77000000"},   {2, 2000, "2402.13200000"},
        {3, 1500, "720.27175000"},    {4, 3000, "3158.88000000"},  {1, 65535, "204642922.36049336"},
        {4, 65535, "-41978287.70255744"},
    };
    for (const Row& r : rows) EXPECT_EQ(fixed(ccd_temperature(r.fm, r.raw)), r.expected) << r.fm << " " << r.raw;
}

TEST(GuideTelescope, NanoradiansBecomeArcseconds) {
    EXPECT_EQ(fixed(guide_telescope_arcsec(4848)), "0.99997178");
    EXPECT_EQ(fixed(guide_telescope_arcsec(-4848)), "-0.99997178");
    EXPECT_EQ(fixed(guide_telescope_arcsec(0)), "0.00000000");
    HeaderPacket p;
    p.guide_errors(-2147483647 - 1, 2147483647);
    HeaderKeywords k;
    derive_header_keywords(p.bytes, 20180327, 145038, 92, k);
    EXPECT_EQ(fixed(k.gt_y_error), "-442950.29857353");
    EXPECT_EQ(fixed(k.gt_z_error), "442950.29836726");
}

TEST(NameTables, MapEveryValueAndUnknownOnes) {
    EXPECT_STREQ(image_type_name(10), "'SEQUENCE'");
    EXPECT_STREQ(image_type_name(11), "'CALIBRATION'");
    EXPECT_STREQ(image_type_name(12), "'TAKEPIC'");
    for (uint32_t v : {0u, 9u, 13u, 65535u}) EXPECT_STREQ(image_type_name(v), "'\?\?\?'");
    const char* frames[] = {"'LAST'", "'LIGHT'", "'DARK'", "'LED'", "'LTC'", "'SPAT'", "'VPAT'", "'RCLK'"};
    for (uint32_t v = 0; v < 8; ++v) EXPECT_STREQ(frame_type_name(v), frames[v]);
    EXPECT_STREQ(frame_type_name(8), "'\?\?\?'");
    EXPECT_STREQ(frame_type_name(255), "'\?\?\?'");
    const char* sums[] = {"'DEFAULT'", "'1x1'", "'2x2'", "'4x4'", "'8x8'"};
    for (uint32_t v = 0; v < 5; ++v) EXPECT_STREQ(summing_name(v), sums[v]);
    EXPECT_STREQ(summing_name(5), "'\?\?\?'");
    EXPECT_STREQ(amplifier_name(0), "'\?\?\?'");
    EXPECT_STREQ(amplifier_name(1), "'LEFT'");
    EXPECT_STREQ(amplifier_name(2), "'RIGHT'");
    EXPECT_STREQ(amplifier_name(3), "'\?\?\?'");
}

TEST(DerivedKeywords, ReadTheirSourceFields) {
    HeaderPacket p;
    p.flight_model(127).commanded_ms(999).window(1, 2, 3, 4).readout_port(3).ccd_counts(0, 1000);
    // STATION 2, ECLIPSE 1, CALIBRATION 1, BAKEOUT 0, SC_MANUVER 3, ORNE 2, YAW 1, low bits set.
    p.flags(0x9B900000u | 0x000FFFFFu);
    HeaderKeywords k;
    derive_header_keywords(p.bytes, 20180327, 145038, 92, k);
    EXPECT_EQ(k.flight_model, 127u);
    EXPECT_STREQ(k.exposure_type, "'SHORT'");
    EXPECT_EQ(fixed(k.cmd_exp_time), "0.99900000");
    EXPECT_EQ(k.start_row, 1u);
    EXPECT_EQ(k.end_row, 2u);
    EXPECT_EQ(k.start_col, 3u);
    EXPECT_EQ(k.end_col, 4u);
    EXPECT_EQ(k.readout_port, 3u);
    EXPECT_EQ(k.station, 2u);
    EXPECT_EQ(k.eclipse, 1u);
    EXPECT_EQ(k.calibration, 1u);
    EXPECT_EQ(k.bakeout, 0u);
    EXPECT_EQ(k.sc_maneuver, 3u);
    EXPECT_EQ(k.orne_offpoint, 2u);
    EXPECT_EQ(k.yaw_flip, 1u);
    EXPECT_EQ(fixed(k.ccd_temp1), "-1167.58000000");
    EXPECT_EQ(fixed(k.ccd_temp2), "-31.77000000");
    EXPECT_STREQ(k.last_bakeout_time, "Unknown for FM 127     ");
    p.commanded_ms(1000).flags(0x04000000u);
    derive_header_keywords(p.bytes, 20180327, 145038, 92, k);
    EXPECT_STREQ(k.exposure_type, "'LONG'");
    EXPECT_EQ(k.bakeout, 1u);
    EXPECT_EQ(k.station + k.eclipse + k.calibration + k.sc_maneuver + k.orne_offpoint + k.yaw_flip, 0u);
}

TEST(DerivedKeywords, DateObsIsNineThousandSecondsBackWithoutShutterDurations) {
    HeaderPacket p;
    p.frame_type(1).shutter(0, 100, 200);
    HeaderKeywords k;
    derive_header_keywords(p.bytes, 20180327, 145038, 92, k);
    EXPECT_EQ(fixed(k.sht_exp_time), "9999.00000000");
    EXPECT_STREQ(k.date_obs, "2018-03-27 12:03:59.092");
}

struct BakeoutCase {
    uint32_t fm;
    const char* image_time;
    const char* expected;
};

const BakeoutCase kBakeoutCases[] = {
    {1, "2017-06-01 00:00:00.000", "2017-01-21 13:25:13.710"},
    {1, "2017-12-12 00:00:00.000", "2017-12-11 20:54:42.386"},
    {1, "2016-12-09 14:31:26.174", "2016-12-09 14:31:25.174"},
    {1, "2016-12-09 14:31:26.175", "2016-12-09 14:31:26.174"},
    {1, "2016-01-01 00:00:00.000", "2016-12-09 14:31:25.174"},
    {1, "2030-01-01 00:00:00.000", "2017-12-13 20:17:34.428"},
    {2, "2019-01-01 00:00:00.000", "2018-05-14 16:53:42.728"},
    {2, "2018-03-27 14:50:39.000", "2018-03-27 14:50:38.092"},
    {3, "2019-01-01 00:00:00.000", "Unknown for FM 003     "},
    {4, "2019-01-01 00:00:00.000", "Unknown for FM 004     "},
    {0, "2019-01-01 00:00:00.000", "Unknown for FM 000     "},
    {12, "2019-01-01 00:00:00.000", "Unknown for FM 012     "},
    {127, "2019-01-01 00:00:00.000", "Unknown for FM 127     "},
};

class LastBakeout : public testing::TestWithParam<BakeoutCase> {};

TEST_P(LastBakeout, IsTheLatestEarlierEventOrTheFirst) {
    const BakeoutCase& c = GetParam();
    char text[kTimeTextSlot];
    find_last_bakeout_time(c.fm, c.image_time, text);
    EXPECT_STREQ(text, c.expected);
    EXPECT_EQ(std::string(text).size(), 23u);
}

INSTANTIATE_TEST_SUITE_P(Cases, LastBakeout, testing::ValuesIn(kBakeoutCases));

}  // namespace
