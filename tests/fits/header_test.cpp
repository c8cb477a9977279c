// The 502 cards of the primary header: exact texts, order, widths and the
// widest values every card must hold.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fits/fits.h"
#include "fits/header_packet.h"

using fits_test::card_at;
using fits_test::HeaderPacket;
using fits_test::trimmed;

namespace {

constexpr const char* kCreated = "Tue Mar 27 14:50:40 2018";

std::string format_header(const HeaderPacket& p, uint32_t sel_count = 17, uint32_t date = 20180327,
                          uint32_t time = 145038, int32_t ms = 92) {
    std::string header(kPrimaryHeaderBytes, '\0');
    EXPECT_TRUE(format_primary_header(header.data(), p.bytes, sel_count, date, time, ms, kCreated));
    return header;
}

// A light frame of flight model 1 with a value in every derived field.
HeaderPacket light_frame_fm1() {
    HeaderPacket p;
    p.flight_model(1).image_type(10).size(1280, 1024).commanded_ms(2500).window(0, 1023, 0, 1279);
    p.frame_type(1).summing(1).aperture(10).wheel1(75).wheel2(140).guide_errors(4848, -4848);
    p.flags(0x9B900000u).exposures(1).ccd_counts(0, 1000).readout_port(2);
    p.shutter(0, 2600000, 100000).shutter(1, 2500100, 100).shutter(2, 2500400, 0).shutter(3, 2499800, 0);
    return p;
}

const std::vector<std::string> kLightFrameCards = {
    "SIMPLE  =                    T /Written by TAVO_L0:  Tue Mar 27 14:50:40 2018",
    "BITPIX  =                   16 /2_BYTE_DATA",
    "NAXIS   =                    2 /2_AXIS_IMAGE",
    "NAXIS1  =                 1280 /COLS",
    "NAXIS2  =                 1024 /ROWS",
    "EXTEND  =                    T / FITS dataset may contain extensions",
    "COMMENT   FITS (Flexible Image Transport System) format is defined in 'Astronomy",
    "COMMENT   and Astrophysics', volume 376, page 359; bibcode: 2001A&A...376..359H",
    "HIERARCH FILE_CREATION_TIME = 'Tue Mar 27 14:50:40 2018'",
    "HIERARCH VERSION_OF_FITS_HEADER = 2 /FITS version #2 - 2018/10/26",
    "IMG_TIME = '2018-03-27 14:50:38.092' /End of CCD Integration time",
    "HIERARCH SHT_EXP_TIME =           2.50000000",
    "HIERARCH CMD_EXP_TIME =           2.50000000",
    "EXPTIME =           2.50000000 / Actual Shutter Exposure Time",
    "DATE_OBS = '2018-03-27 14:50:35.592' /Start of CCD integration time",
    "HIERARCH IMAGETYPE = 'SEQUENCE'",
    "HIERARCH FRAMETYPE = 'LIGHT'",
    "FW1POS  =    75",
    "HIERARCH FW1STATUS = +0",
    "FW1NAME = 'OPEN'",
    "FW2POS  =   140",
    "HIERARCH FW2STATUS = +1",
    "FW2NAME = 'OPEN'",
    "ASENC   =    10",
    "ASSTATUS= +2",
    "ASNAME  = '171A'",
    "WAVELNTH=                  171 /WAVELENGTH (-1 = UNKNOWN)",
    "HIERARCH RDOUTPORT =     2",
    "GTYERR  =           0.99997178",
    "GTZERR  =          -0.99997178",
    "YAW_FLIP=     1",
    "CCDTEMP1=       -1167.58000000",
    "CCDTEMP2=         -31.77000000",
    "HIERARCH LAST_BAKEOUT_TIME = '2017-12-13 20:17:34.428'",
    "AMPNAME = 'RIGHT'",
    "EXPTYPE = 'LONG'",
    "STCOL   =     0",
    "ENCOL   =  1279",
    "STROW   =     0",
    "ENROW   =  1023",
    "SUMM    = '1x1'",
    "FM      =     1",
    "STATION =     2",
    "ECLIPSE =     1",
    "HIERARCH CALIBRATION =     1",
    "BAKEOUT =     0",
    "HIERARCH SC_MANUVER =     3",
    "HIERARCH ORNE_OFFPOINT =     2",
};

TEST(PrimaryHeader, CardsOneToFortyEightOfALightFrame) {
    const std::string header = format_header(light_frame_fm1());
    for (size_t i = 0; i < kLightFrameCards.size(); ++i) {
        EXPECT_EQ(trimmed(card_at(header, static_cast<int>(i))), kLightFrameCards[i]) << "card " << i + 1;
    }
}

TEST(PrimaryHeader, StringValuesArePaddedToTwentyColumns) {
    const std::string header = format_header(light_frame_fm1());
    EXPECT_EQ(card_at(header, 15).substr(0, 41), "HIERARCH IMAGETYPE = 'SEQUENCE'          ");
    EXPECT_EQ(card_at(header, 19).substr(0, 30), "FW1NAME = 'OPEN'              ");
    EXPECT_EQ(card_at(header, 9).substr(0, 74),
              "HIERARCH VERSION_OF_FITS_HEADER = 2 /FITS version #2 - 2018/10/26         ");
}

TEST(PrimaryHeader, TelemetryAndClosingCards) {
    HeaderPacket p = light_frame_fm1();
    p.u32(20, 123);
    const std::string header = format_header(p, 4321);
    EXPECT_EQ(trimmed(card_at(header, 48)), "HIERARCH TAV_ISP_HDR_ISN = 123");
    EXPECT_EQ(trimmed(card_at(header, 56)), "HIERARCH TAV_ISP_HDR_COLS = 1280");
    EXPECT_EQ(trimmed(card_at(header, 57)), "HIERARCH TAV_AS_MTR_STS = 10240");
    EXPECT_EQ(trimmed(card_at(header, 497)), "HIERARCH TAV_CA_GT_OS_ERR_Z_NR = 0");
    for (int i = 0; i < kTelemetryFieldCount; ++i) {
        const std::string expected = std::string("HIERARCH ") + telemetry_fields[i].keyword + " = ";
        ASSERT_EQ(card_at(header, kTelemetryFirstCard + i).substr(0, expected.size()), expected) << i;
    }
    EXPECT_EQ(trimmed(card_at(header, 498)),
              "DESPIKE =                    0 /Despike Count and Headers Present if not 0");
    EXPECT_EQ(trimmed(card_at(header, 499)), "HIERARCH DESPIKE_PARAMS = 'Despike not yet run'");
    EXPECT_EQ(trimmed(card_at(header, 500)), "SEL_CNT =                 4321 /Count of SEL errors in data (bit 14)");
    EXPECT_EQ(trimmed(card_at(header, 501)), "END");
    EXPECT_EQ(header.substr(kPrimaryCardCount * kCardBytes), std::string(160, ' '));
    // The telemetry cards fill bytes 3,840 to 39,839.
    EXPECT_EQ(header.substr(3840, 9), "HIERARCH ");
    EXPECT_EQ(header.substr(39840, 9), "DESPIKE =");
}

struct CardCase {
    const char* name;
    HeaderPacket packet;
    int card;  // from 1, as numbered in the card table
    const char* expected;
};

HeaderPacket fm(uint32_t n) {
    HeaderPacket p;
    p.flight_model(n);
    return p;
}

std::vector<CardCase> card_cases() {
    return {
        {"fm3 dark frame exposure", fm(3).frame_type(2).commanded_ms(999).shutter(0, 5, 1), 12,
         "HIERARCH SHT_EXP_TIME =           0.99900000"},
        {"fm3 dark frame type", fm(3).frame_type(2), 17, "HIERARCH FRAMETYPE = 'DARK'"},
        {"fm3 short exposure", fm(3).commanded_ms(999), 36, "EXPTYPE = 'SHORT'"},
        {"fm3 wheel 1 at 71", fm(3).wheel1(71), 20, "FW1NAME = 'OPEN'"},
        {"fm3 aperture 34 unknown", fm(3).aperture(34), 25, "ASSTATUS= -1"},
        {"fm3 aperture 34 name", fm(3).aperture(34), 26, "ASNAME  = '\?\?\?'"},
        {"fm3 wavelength unknown", fm(3).aperture(34), 27, "WAVELNTH=                   -1 /WAVELENGTH (-1 = UNKNOWN)"},
        {"fm3 no bakeout", fm(3), 34, "HIERARCH LAST_BAKEOUT_TIME = 'Unknown for FM 003     '"},
        {"fm3 ccd set", fm(3).ccd_counts(1500, 0), 32, "CCDTEMP1=         720.27175000"},
        {"fm4 wheel 2 glass", fm(4).wheel2(71), 23, "FW2NAME = 'GLASS'"},
        {"fm4 wheel 2 status", fm(4).wheel2(71), 22, "HIERARCH FW2STATUS = +0"},
        {"fm4 ccd set", fm(4).ccd_counts(0, 3000), 33, "CCDTEMP2=        3158.88000000"},
        {"fm4 fm card", fm(4), 42, "FM      =     4"},
        {"fm2 bakeout", fm(2), 34, "HIERARCH LAST_BAKEOUT_TIME = '2018-03-27 14:50:38.092'"},
        {"fm0 right columns", fm(0).wheel1(79), 20, "FW1NAME = 'OPEN'"},
        {"fm0 bakeout", fm(0), 34, "HIERARCH LAST_BAKEOUT_TIME = 'Unknown for FM 000     '"},
        {"fm5 ccd set 0", fm(5), 32, "CCDTEMP1=       -1167.58000000"},
        {"fm5 aperture 34", fm(5).aperture(34), 26, "ASNAME  = '94A'"},
        {"fm5 aperture status 0", fm(5).aperture(34), 25, "ASSTATUS= +0"},
        {"fm127", fm(127), 42, "FM      =   127"},
        {"unknown image type", fm(1).image_type(0), 16, "HIERARCH IMAGETYPE = '\?\?\?'"},
        {"calibration image", fm(1).image_type(11), 16, "HIERARCH IMAGETYPE = 'CALIBRATION'"},
        {"unknown frame type", fm(1).frame_type(9), 17, "HIERARCH FRAMETYPE = '\?\?\?'"},
        {"summing 8x8", fm(1).summing(4), 41, "SUMM    = '8x8'"},
        {"unknown summing", fm(1).summing(200), 41, "SUMM    = '\?\?\?'"},
        {"left port", fm(1).readout_port(1), 35, "AMPNAME = 'LEFT'"},
        {"port 3", fm(1).readout_port(3), 28, "HIERARCH RDOUTPORT =     3"},
        {"no shutter durations", fm(1).frame_type(1).shutter(0, 100, 200), 14,
         "EXPTIME =        9999.00000000 / Actual Shutter Exposure Time"},
        {"no shutter durations start", fm(1).frame_type(1).shutter(0, 100, 200), 15,
         "DATE_OBS = '2018-03-27 12:03:59.092' /Start of CCD integration time"},
        {"all flags set", fm(1).flags(0xFFF00000u), 31, "YAW_FLIP=     3"},
        {"bakeout flag", fm(1).flags(0x04000000u), 46, "BAKEOUT =     1"},
        {"empty image", fm(1).size(0, 0), 4, "NAXIS1  =                    0 /COLS"},
    };
}

TEST(PrimaryHeader, CardsVaryWithFlightModelFrameAndShutter) {
    for (const CardCase& c : card_cases()) {
        const std::string header = format_header(c.packet);
        EXPECT_EQ(trimmed(card_at(header, c.card - 1)), c.expected) << c.name;
    }
}

TEST(PrimaryHeader, TimeTextsCarryTheMilliseconds) {
    const std::string header = format_header(fm(1), 0, 20180327, 145038, 5);
    EXPECT_EQ(trimmed(card_at(header, 10)), "IMG_TIME = '2018-03-27 14:50:38.005' /End of CCD Integration time");
    char name[kProductNameSlot];
    format_product_name(20180327, 145038, 5, 123, name);
    EXPECT_STREQ(name, "20180327_145038_005_00000123.fits");
    format_product_name(20991231, 235959, 999, 99999999, name);
    EXPECT_STREQ(name, "20991231_235959_999_99999999.fits");
}

// A packet of all ones and the widest inputs still give 502 cards of 80
// characters; the SEL count saturates at the widest value of its columns.
TEST(PrimaryHeader, WidestValuesFitTheirCards) {
    HeaderPacket p;
    std::memset(p.bytes, 0xFF, sizeof p.bytes);
    const std::string header = format_header(p, 4294967295u, 20991231, 235959, 999);
    EXPECT_EQ(trimmed(card_at(header, 3)), "NAXIS1  =                65535 /COLS");
    EXPECT_EQ(trimmed(card_at(header, 12)), "HIERARCH CMD_EXP_TIME =     4294967.29500000");
    EXPECT_EQ(trimmed(card_at(header, 11)), "HIERARCH SHT_EXP_TIME =        9999.00000000");
    EXPECT_EQ(trimmed(card_at(header, 31)), "CCDTEMP1=   204642922.36049336");
    EXPECT_EQ(trimmed(card_at(header, 28)), "GTYERR  =          -0.00020626");
    EXPECT_EQ(trimmed(card_at(header, 41)), "FM      =   127");
    EXPECT_EQ(trimmed(card_at(header, 500)), "SEL_CNT =              9999999 /Count of SEL errors in data (bit 14)");
    EXPECT_EQ(trimmed(card_at(header, 501)), "END");
    HeaderPacket dark = p;
    dark.frame_type(2);
    const std::string dark_header = format_header(dark, 10000000);
    EXPECT_EQ(trimmed(card_at(dark_header, 11)), "HIERARCH SHT_EXP_TIME =     4294967.29500000");
    EXPECT_EQ(trimmed(card_at(dark_header, 14)),
              "DATE_OBS = '2018-02-05 21:47:50.797' /Start of CCD integration time");
    EXPECT_EQ(trimmed(card_at(dark_header, 500)),
              "SEL_CNT =              9999999 /Count of SEL errors in data (bit 14)");
    EXPECT_EQ(trimmed(card_at(format_header(dark, 9999998), 500)),
              "SEL_CNT =              9999998 /Count of SEL errors in data (bit 14)");
    HeaderPacket fm4 = p;
    fm4.flight_model(4);
    EXPECT_EQ(trimmed(card_at(format_header(fm4), 32)), "CCDTEMP2=   -41978287.70255744");
}

TEST(PrimaryHeader, ACreationTimeOfAnotherWidthIsRefused) {
    std::string header(kPrimaryHeaderBytes, '\0');
    const HeaderPacket p = fm(1);
    EXPECT_FALSE(format_primary_header(header.data(), p.bytes, 0, 20180327, 145038, 92,
                                       "Tue Mar 27 14:50:40 2018 and a text far too long for the first card"));
}

TEST(CreationTime, HasTheCtimeFormInLocalTime) {
    char text[kCreationTimeLength + 1];
    ASSERT_TRUE(format_creation_time(0, text));
    const time_t zero = 0;
    std::string expected = std::ctime(&zero);
    expected.pop_back();  // its line end
    EXPECT_EQ(text, expected);
    ASSERT_TRUE(format_creation_time(1522162240, text));  // 2018-03-27 14:50:40 UTC
    const time_t moment = 1522162240;
    expected = std::ctime(&moment);
    expected.pop_back();
    EXPECT_EQ(text, expected);
    EXPECT_EQ(std::string(text).size(), 24u);
    EXPECT_FALSE(format_creation_time(400000000000LL, text));  // a five-digit year
}

}  // namespace
