// The daily CSV export over a product tree of hand-made product headers.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "base/base.h"
#include "isp/isp.h"
#include "isp/isp_test_support.h"

namespace {

using namespace isp_test;
using namespace test_support;
using Rows = std::vector<std::vector<std::string>>;

const std::string kSmallHeader = header_of(small_product_cards());
const std::vector<std::string> kSmallHeading = {"FITS_NAME", "COLS", "ROWS", "IMG_TIME", "FRAMETYPE", "ASSTATUS",
                                                "SEL_CNT"};

std::vector<std::string> first_fields(const Rows& rows) {
    std::vector<std::string> names;
    for (const auto& row : rows) names.push_back(row.empty() ? "" : row[0]);
    return names;
}

void expect_rectangular(const Rows& rows) {
    ASSERT_FALSE(rows.empty());
    for (const auto& row : rows) EXPECT_EQ(row.size(), rows[0].size()) << row[0];
}

TEST_F(IspTest, ListsHoursInOrderAndEachHourByFileName) {
    const std::string name58 = std::string(53, 'n') + ".fits";  // 58 characters: listed
    const std::string name59 = std::string(54, 'n') + ".fits";  // 59 characters: not listed
    write_product(20181101, 15, "20181101_150000_000_00000009.fits", kSmallHeader);
    write_product(20181101, 15, "20181101_150000_000_00000002.fits", kSmallHeader);
    write_product(20181101, 3, "20181101_030000_500_00000001.fits", kSmallHeader);
    write_product(20181101, 3, "20181101_030000_100_00000005.fits.bak", kSmallHeader);  // read like a product
    write_product(20181101, 3, name58, kSmallHeader);
    write_product(20181101, 3, name59, "not read");
    write_product(20181101, 3, "notes.txt", "not read");

    ASSERT_EQ(write_isp_csv(run_message), 1) << run_message;
    const Rows rows = read_csv(csv_path(20181101));
    expect_rectangular(rows);
    EXPECT_EQ(rows[0], kSmallHeading);
    EXPECT_EQ(first_fields(rows),
              (std::vector<std::string>{"FITS_NAME", "20181101_030000_100_00000005.fits.bak",
                                        "20181101_030000_500_00000001.fits", name58,
                                        "20181101_150000_000_00000002.fits", "20181101_150000_000_00000009.fits"}));
    EXPECT_EQ(rows[2], (std::vector<std::string>{"20181101_030000_500_00000001.fits", "1280", "1280",
                                                 "'2018-03-27 14:50:38.092'", "'LIGHT'", "+1", "0"}));
    EXPECT_EQ(log_lines(), std::vector<std::string>{"ISP - Generated " + csv_path(20181101)});
}

TEST_F(IspTest, DayWithoutProductsWritesNothingButGetsItsDirectories) {
    set_window(20181031, 20181101);
    write_product(20181031, 23, "a.fits", kSmallHeader);
    make_dirs(day_directory(20181101) + "H0000");  // an hour directory without products

    ASSERT_EQ(write_isp_csv(run_message), 1) << run_message;
    EXPECT_TRUE(file_exists(csv_path(20181031)));
    EXPECT_FALSE(file_exists(csv_path(20181101)));
    EXPECT_TRUE(std::filesystem::is_directory(root() + "KITE-16/isp/2018/11"));
    EXPECT_EQ(log_lines(), std::vector<std::string>{"ISP - Generated " + csv_path(20181031)});
}

TEST_F(IspTest, SecondRunReplacesDaysWithProductsAndKeepsOthers) {
    set_window(20181101, 20181102);
    const std::string gone = write_product(20181101, 1, "b.fits", kSmallHeader);
    write_product(20181101, 1, "a.fits", kSmallHeader);
    const std::string second_day = write_product(20181102, 1, "c.fits", kSmallHeader);
    ASSERT_EQ(write_isp_csv(run_message), 1) << run_message;
    const std::string kept = read_file(csv_path(20181102));

    std::filesystem::remove(gone);
    std::filesystem::remove(second_day);
    ASSERT_EQ(write_isp_csv(run_message), 1) << run_message;
    EXPECT_EQ(first_fields(read_csv(csv_path(20181101))), (std::vector<std::string>{"FITS_NAME", "a.fits"}));
    EXPECT_EQ(read_file(csv_path(20181102)), kept);
}

TEST_F(IspTest, WindowHoursAreIgnored) {
    set_window(20181101, 20181102);
    run_settings.start_time = 120000;
    run_settings.end_time = 10000;
    write_product(20181101, 0, "early.fits", kSmallHeader);
    write_product(20181102, 23, "late.fits", kSmallHeader);
    ASSERT_EQ(write_isp_csv(run_message), 1) << run_message;
    EXPECT_EQ(read_csv(csv_path(20181101)).size(), 2u);
    EXPECT_EQ(read_csv(csv_path(20181102)).size(), 2u);
}

// Windows at the ends of the supported range: the first day starts at the
// epoch (noon), the last day has no successor.
TEST_F(IspTest, WindowsAtTheEndsOfTheSupportedYears) {
    for (const auto& [start, end] : {std::pair{20000101u, 20000102u}, std::pair{20991230u, 20991231u}}) {
        SCOPED_TRACE(start);
        set_window(start, end);
        write_product(start, 12, "first.fits", kSmallHeader);
        write_product(end, 0, "last.fits", kSmallHeader);
        ASSERT_EQ(write_isp_csv(run_message), 1) << run_message;
        EXPECT_TRUE(file_exists(csv_path(start)));
        EXPECT_TRUE(file_exists(csv_path(end)));
    }
}

TEST_F(IspTest, InvalidDayCannotBeStepped) {
    set_window(20180230, 20180301);  // never passes validation; the step reports it
    EXPECT_EQ(write_isp_csv(run_message), 0);
    EXPECT_STREQ(run_message, "ERROR - Unable to calculate +1 day offset from ISP of 20180230");
}

// Each failing product stops the export there; rows before it stay on disk.
struct ProductFailure {
    const char* name;
    const char* message;  // %s is the product path
};

class IspProductFailureTest : public IspTest, public ::testing::WithParamInterface<ProductFailure> {};

std::string without(std::vector<std::string> cards, const std::vector<std::string>& prefixes) {
    std::erase_if(cards, [&](const std::string& text) {
        for (const std::string& prefix : prefixes) {
            if (text.rfind(prefix, 0) == 0) return true;
        }
        return false;
    });
    return header_of(cards);
}

TEST_P(IspProductFailureTest, StopsTheExportWithItsMessage) {
    const ProductFailure& failure = GetParam();
    const std::string name = std::string("b_") + failure.name + ".fits";
    const std::string name_key = failure.name;
    std::string path = day_directory(20181101) + "H0300/" + name;
    write_product(20181101, 3, "a_good.fits", kSmallHeader);
    write_product(20181101, 3, "c_never_read.fits", kSmallHeader);
    if (name_key == "missing") {
        ASSERT_EQ(symlink("/nonexistent/product.fits", path.c_str()), 0);
    } else if (name_key == "short") {
        write_product(20181101, 3, name, kSmallHeader.substr(0, 40319));
    } else if (name_key == "no_end") {
        write_product(20181101, 3, name, header_of(small_product_cards(), false));
    } else if (name_key == "no_naxis2_no_end") {
        std::string header = without(small_product_cards(), {"NAXIS2"});
        header.replace(header.find("END "), 3, "   ");
        write_product(20181101, 3, name, header);
    } else {
        const std::map<std::string, std::string> removed = {
            {"no_naxis1", "NAXIS1"}, {"no_naxis2", "NAXIS2"}, {"no_img_time", "IMG_TIME"}};
        write_product(20181101, 3, name, without(small_product_cards(), {removed.at(name_key)}));
    }

    EXPECT_EQ(write_isp_csv(run_message), 0);
    char expected[1024];
    std::snprintf(expected, sizeof expected, failure.message, path.c_str());
    EXPECT_STREQ(run_message, expected);
    EXPECT_EQ(first_fields(read_csv(csv_path(20181101))), (std::vector<std::string>{"FITS_NAME", "a_good.fits"}));
    EXPECT_TRUE(log_lines().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Messages, IspProductFailureTest,
    ::testing::Values(ProductFailure{"missing", "ISP ERROR - failed to open input %s\n"},
                      ProductFailure{"short", "ISP ERROR - failed to read FITS header from %s\n"},
                      ProductFailure{"no_naxis1", "ISP ERROR - Unable to find NAXIS1 keyword in %s\n"},
                      ProductFailure{"no_naxis2", "ISP ERROR - Unable to find NAXIS2 keyword in %s\n"},
                      ProductFailure{"no_img_time", "ISP ERROR - Unable to find IMG_TIME keyword in %s\n"},
                      ProductFailure{"no_end", "ISP ERROR - Unable to find END keyword in %s\n"},
                      ProductFailure{"no_naxis2_no_end", "ISP ERROR - Unable to find NAXIS2 keyword in %s\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// A plain file where a directory of the CSV tree belongs.
TEST_F(IspTest, DirectoryThatCannotBeCreated) {
    const std::string satellite = root() + "KITE-16/";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {satellite, "isp"}, {satellite + "isp/", "2018"}, {satellite + "isp/2018/", "11"}};
    for (const auto& [parent, name] : cases) {
        SCOPED_TRACE(name);
        make_dirs(parent);
        write_file(parent + name, "in the way");
        EXPECT_EQ(write_isp_csv(run_message), 0);
        EXPECT_EQ(std::string(run_message), "ERROR - Failed to create subdirectory " + parent + name);
        std::filesystem::remove(parent + name);
    }
}

TEST_F(IspTest, CsvFileThatCannotBeCreated) {
    write_product(20181101, 3, "a.fits", kSmallHeader);
    make_dirs(csv_path(20181101));
    EXPECT_EQ(write_isp_csv(run_message), 0);
    EXPECT_EQ(std::string(run_message), "ERROR - Failed to write to file " + csv_path(20181101));
    EXPECT_TRUE(log_lines().empty());
}

// A full device: the row cannot be written, so the day is not reported done.
TEST_F(IspTest, CsvFileThatCannotBeWritten) {
    write_product(20181101, 3, "a.fits", kSmallHeader);
    make_dirs(root() + "KITE-16/isp/2018/11");
    int written = 0;
    {
        test_support::FileSizeLimit full(10);
        written = write_isp_csv(run_message);
    }
    EXPECT_EQ(written, 0);
    EXPECT_EQ(std::string(run_message), "ERROR - Failed to write to file " + csv_path(20181101));
    EXPECT_TRUE(log_lines().empty());
}

// A link planted at the day's table is replaced by the table, its target kept.
TEST_F(IspTest, LinkAtTheTableIsReplacedNotFollowed) {
    write_product(20181101, 3, "a.fits", kSmallHeader);
    make_dirs(root() + "KITE-16/isp/2018/11");
    test_support::Victim victim;
    ASSERT_EQ(symlink(victim.path.c_str(), csv_path(20181101).c_str()), 0);
    EXPECT_EQ(write_isp_csv(run_message), 1);
    EXPECT_TRUE(victim.untouched());
    struct stat status {};
    EXPECT_TRUE(lstat(csv_path(20181101).c_str(), &status) == 0 && S_ISREG(status.st_mode));
}

// More products in a day than the list holds: exactly the capacity is listed.
TEST_F(IspTest, DayListHoldsAtMostItsCapacity) {
    const std::string first = write_product(20181101, 0, "p00000.fits", kSmallHeader);
    const std::string directory = day_directory(20181101) + "H0000/";
    for (int i = 1; i <= kDayListCapacity; ++i) {
        const std::string link = directory + "p" + std::to_string(100000 + i) + ".fits";
        ASSERT_EQ(::link(first.c_str(), link.c_str()), 0) << link;
    }
    ASSERT_EQ(write_isp_csv(run_message), 1) << run_message;
    const std::vector<std::string> lines = split_lines(read_file(csv_path(20181101)));
    EXPECT_EQ(lines.size(), static_cast<size_t>(kDayListCapacity) + 1);
}

}  // namespace
