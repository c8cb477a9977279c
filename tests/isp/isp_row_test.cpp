// One product's heading and row: which cards give fields and what a field holds.
#include "base/base.h"
#include "isp/isp.h"
#include "isp/isp_test_support.h"

namespace {

using namespace isp_test;
using namespace test_support;

struct CardField {
    std::string card;     // card text between IMG_TIME and END
    std::string heading;  // its heading name; empty when the card gives no field
    std::string value;
};

const std::vector<CardField> kCardFields = {
    {"HIERARCH SHT_EXP_TIME =           1.00000000", "SHT_EXP_TIME", "1.00000000"},
    {"EXPTIME =           1.00000000 / Actual Shutter Exposure Time", "EXPTIME", "1.00000000"},
    {"DATE_OBS = '2018-03-27 14:50:37.092' /Start of CCD integration time", "DATE_OBS",
     "'2018-03-27 14:50:37.092'"},
    {"ASSTATUS= +1", "ASSTATUS", "+1"},
    {"HIERARCH FRAMETYPE = 'LIGHT'", "FRAMETYPE", "'LIGHT'"},
    {"WAVELNTH=                  171 /WAVELENGTH (-1 = UNKNOWN)", "WAVELNTH", "171"},
    {"HIERARCH TAV_CEB_MUX_T_CCD_1 = -42", "TAV_CEB_MUX_T_CCD_1", "-42"},
    {"HIERARCH NOTHING_AFTER =", "NOTHING_AFTER", ""},
    {"COMMENT   a card without an equals sign", "", ""},
    {"UNCLOSED= 'runs to the end", "UNCLOSED", "'runs to the end"},
    {std::string(79, 'X') + "=", "", ""},  // "=" in column 80 is past the card's text
    {"HIERARCH DESPIKE_PARAMS = 'L1A nx=1280 ny=1280 frac=0.9 ped=101 niter=3'", "DESPIKE_PARAMS",
     "'L1A nx=1280 ny=1280 frac=0.9 ped=101 niter=3'"},
};

class IspRowTest : public IspTest {
protected:
    std::string product_with_cards() {
        std::vector<std::string> cards = small_product_cards(1396, 17);
        cards.insert(cards.begin() + 3, "BEFORE  = 'not listed, it precedes IMG_TIME'");
        for (const CardField& field : kCardFields) cards.push_back(field.card);
        std::string header = header_of(cards);
        header.replace(header.find("END ") + 80, 80, card("AFTER   = 'not listed, it follows END'"));
        return header;
    }
};

TEST_F(IspRowTest, HeadingAndRowFollowTheCards) {
    write_product(20181101, 7, "x.fits", product_with_cards());
    const std::string csv = csv_path(20181101);
    make_dirs(root() + "KITE-16/isp/2018/11");
    std::snprintf(run_message, 2048, "left over");
    ASSERT_TRUE(append_isp_row(csv.c_str(), day_directory(20181101).c_str(), "H0700/x.fits", true, run_message))
        << run_message;
    EXPECT_STREQ(run_message, "");
    ASSERT_TRUE(append_isp_row(csv.c_str(), day_directory(20181101).c_str(), "H0700/x.fits", false, run_message));

    std::vector<std::string> heading = {"FITS_NAME", "COLS", "ROWS", "IMG_TIME", "FRAMETYPE", "ASSTATUS", "SEL_CNT"};
    std::vector<std::string> row = {"x.fits", "1396", "17", "'2018-03-27 14:50:38.092'", "'LIGHT'", "+1", "0"};
    for (const CardField& field : kCardFields) {
        if (field.heading.empty()) continue;
        heading.push_back(field.heading);
        row.push_back(field.value);
    }
    const auto rows = read_csv(csv);
    ASSERT_EQ(rows.size(), 3u);  // one heading for the first entry only
    EXPECT_EQ(rows[0], heading);
    EXPECT_EQ(rows[1], row);
    EXPECT_EQ(rows[2], row);
}

// The file name is the entry without its hour directory when it has one.
TEST_F(IspRowTest, FileNameOfTheEntry) {
    const std::string directory = day_directory(20181101);
    write_product(20181101, 7, "x.fits", header_of(small_product_cards()));
    const std::string csv = root() + "out.csv";
    ASSERT_TRUE(append_isp_row(csv.c_str(), directory.c_str(), "H0700/x.fits", false, run_message)) << run_message;
    write_product(20181101, 0, "y.fits", header_of(small_product_cards()));
    ASSERT_TRUE(append_isp_row(csv.c_str(), (directory + "H0000/").c_str(), "y.fits", false, run_message));
    const auto rows = read_csv(csv);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][0], "x.fits");
    EXPECT_EQ(rows[1][0], "y.fits");
}

TEST_F(IspRowTest, CsvThatCannotBeOpenedForAppending) {
    write_product(20181101, 7, "x.fits", header_of(small_product_cards()));
    const std::string csv = root() + "no/such/directory/out.csv";
    EXPECT_FALSE(append_isp_row(csv.c_str(), day_directory(20181101).c_str(), "H0700/x.fits", true, run_message));
    EXPECT_EQ(std::string(run_message), "ISP ERROR - failed to append to output file " + csv + "\n");
}

}  // namespace
