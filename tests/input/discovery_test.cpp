// Input file discovery on directories of empty files with real names.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "base/base.h"
#include "input/input.h"
#include "support/run_window.h"
#include "support/test_support.h"

namespace {

using test_support::TempDir;

// A level-0 name of satellite kite with start and end fields (YYYYDDDHHMMSST).
std::string level0_name(const std::string& start, const std::string& end, int kite = 16) {
    char name[128];
    std::snprintf(name, sizeof name, "OR_TAVO-L0_K%02d_s%s_e%s_c%s.nc", kite, start.c_str(), end.c_str(), end.c_str());
    return name;
}

void touch(const std::string& path) { test_support::write_file(path, ""); }

class Discovery : public ::testing::Test {
protected:
    // Window 2017-03-01 12:00:00 .. 12:10:00 unless changed.
    void SetUp() override { configure(false, 20170301, 120000, 20170301, 121000); }

    void configure(bool hierarchical, uint32_t start_date, uint32_t start_time, uint32_t end_date,
                   uint32_t end_time) {
        test_support::set_unix_run(root.path() + "/", hierarchical, {start_date, start_time, end_date, end_time});
    }

    std::vector<std::string> found() {
        const int count = find_input_files(message);
        EXPECT_EQ(count, input_file_count);
        return std::vector<std::string>(input_file_list, input_file_list + count);
    }

    std::string root_text() const { return root.path() + "/"; }

    TempDir root{"tavo-discovery"};
    char message[kRunMessageCapacity] = "";
};

// START - 121 s is 2017-03-01 11:57:59 (end limit _e20170601157599),
// END + 121 s is 12:12:01 (start limit _s20170601212010).
struct NameCase {
    std::string name;
    bool selected;
};

TEST_F(Discovery, FlatLayoutMatchesNamesAndTimeFieldsWithTheTenthsRule) {
    const std::string inside = "20170601205000";
    const std::vector<NameCase> cases = {
        {level0_name(inside, inside), true},
        {level0_name("20170601150000", "20170601157599"), true},   // ends in the second of START - 121 s, tenths 9
        {level0_name("20170601150000", "20170601157598"), false},  // same second, tenths 8
        {level0_name("20170601150000", "20170601157589"), false},  // the second before
        {level0_name("20170601150000", "20170601157600"), true},
        {level0_name("20170601212010", "20170601230000"), true},   // starts in the second of END + 121 s, tenths 0
        {level0_name("20170601212011", "20170601230000"), false},  // same second, tenths 1
        {level0_name("20170601212009", "20170601230000"), true},
        {level0_name("20170601212020", "20170601230000"), false},  // the second after
        {level0_name("20170591200000", "20170611200000"), true},   // covers the whole window
        {level0_name(inside, inside, 17), false},                   // another satellite
        {"XR_TAVO-L1_K16_s" + inside + "_e" + inside + ".nc", false},
        {"OR_TAVO-L0_K16_s" + inside + "_e" + inside + ".bin", false},
        {"OR_TAVO-L0_K16_t" + inside + "_e" + inside + ".nc", false},
        {"OR_TAVO-L0_K16_s" + inside + "_f" + inside + ".nc", false},
        {"_e" + inside + "_OR_TAVO-L0_K16_s" + inside + ".nc", true},  // any order of the parts
        {"OR_TAVO-L0_K16_s" + inside + ".nc_e2018", true},  // an end field cut short compares as the shorter text
        {"OR_TAVO-L0_K16_s" + inside + ".nc_e2016", false},
    };
    std::vector<std::string> expected;
    for (const NameCase& c : cases) {
        touch(root / c.name);
        if (c.selected) expected.push_back(c.name);
    }
    std::sort(expected.begin(), expected.end(),
              [](const std::string& a, const std::string& b) { return compare_file_names(a.c_str(), b.c_str()) < 0; });
    EXPECT_EQ(found(), expected);
}

TEST_F(Discovery, NameLengthLimitIs67Characters) {
    const std::string base = level0_name("20170601205000", "20170601205599");  // 65 characters
    ASSERT_EQ(base.size(), 65u);
    touch(root / ("xx" + base));
    touch(root / ("yyy" + base));
    EXPECT_EQ(found(), std::vector<std::string>{"xx" + base});
}

TEST_F(Discovery, FlatLayoutListsTheTopLevelOnlyInPlainTextOrder) {
    const std::vector<std::string> names = {
        level0_name("20170601209000", "20170601209599"),
        level0_name("20170601200000", "20170601200599"),
        level0_name("20170601203000", "20170601203599"),
    };
    for (const std::string& n : names) touch(root / n);
    test_support::make_dirs(root / "sub");
    touch(root / ("sub/" + level0_name("20170601201000", "20170601201599")));
    EXPECT_EQ(found(), (std::vector<std::string>{names[1], names[2], names[0]}));
}

TEST_F(Discovery, HierarchicalLayoutReadsOneDirectoryPerDayOfTheWindow) {
    const std::string all_day = level0_name("20170591200000", "20170621200000");
    for (const char* day : {"K16_2017_059", "K16_2017_060", "K16_2017_061"}) {
        test_support::make_dirs(root / day);
        touch(root / (std::string(day) + "/" + all_day));
    }
    configure(true, 20170301, 120000, 20170301, 120001);
    EXPECT_EQ(found(), std::vector<std::string>{"K16_2017_060/" + all_day});
    // 00:01:00 - 121 s is 2017-02-28 23:58:59: day 059 is read as well.
    configure(true, 20170301, 100, 20170301, 120001);
    EXPECT_EQ(found(), (std::vector<std::string>{"K16_2017_059/" + all_day, "K16_2017_060/" + all_day}));
    // 23:58:00 + 121 s is 2017-03-02 00:00:01: day 061 too.
    configure(true, 20170301, 120000, 20170301, 235800);
    EXPECT_EQ(found(), (std::vector<std::string>{"K16_2017_060/" + all_day, "K16_2017_061/" + all_day}));
}

TEST_F(Discovery, HierarchicalLayoutFallsBackToCalendarDirectoriesAndSortsWholeEntries) {
    const std::string all_day = level0_name("20170591200000", "20170621200000");
    test_support::make_dirs(root / "K16_2017_059");
    touch(root / ("K16_2017_059/" + all_day));
    test_support::make_dirs(root / "K16_20170301");
    touch(root / ("K16_20170301/" + all_day));
    configure(true, 20170228, 120000, 20170301, 120000);
    EXPECT_EQ(found(), (std::vector<std::string>{"K16_20170301/" + all_day, "K16_2017_059/" + all_day}));
}

// Day directories of both forms: the files' start times order the list, so
// the calendar-form day 2017-03-01 comes after the ordinal-form day 059.
TEST_F(Discovery, MixedDayDirectoryFormsAreOrderedByStartTime) {
    const std::string day059 = level0_name("20170591200000", "20170591205599");
    const std::string day060 = level0_name("20170601200000", "20170601205599");
    const std::string day061 = level0_name("20170611200000", "20170611205599");
    test_support::make_dirs(root / "K16_2017_059");
    touch(root / ("K16_2017_059/" + day059));
    test_support::make_dirs(root / "K16_20170301");
    touch(root / ("K16_20170301/" + day060));
    test_support::make_dirs(root / "K16_2017_061");
    touch(root / ("K16_2017_061/" + day061));
    configure(true, 20170228, 120000, 20170302, 120000);
    EXPECT_EQ(found(), (std::vector<std::string>{"K16_2017_059/" + day059, "K16_20170301/" + day060,
                                                 "K16_2017_061/" + day061}));
}

struct OrderCase {
    const char* a;
    const char* b;
    int sign;  // of compare_file_names(a, b)
};

TEST(FileNameOrder, StartFieldFirstThenWholeEntry) {
    const OrderCase cases[] = {
        {"K16_20170302/OR_TAVO-L0_K16_s20170610000000_e1.nc", "K16_2017_060/OR_TAVO-L0_K16_s20170600000000_e1.nc", 1},
        {"K16_2017_060/OR_TAVO-L0_K16_s20170600000000_e1.nc", "K16_2017_060/OR_TAVO-L0_K16_s20170600000001_e1.nc", -1},
        {"K16_20170301/OR_TAVO-L0_K16_s20170600000000_e1.nc", "K16_2017_060/OR_TAVO-L0_K16_s20170600000000_e1.nc", -1},
        {"OR_TAVO-L0_K16_s20170600000000_e2.nc", "OR_TAVO-L0_K16_s20170600000000_e1.nc", 1},
        {"OR_TAVO-L0_K16_s2017", "OR_TAVO-L0_K16_s20170600000000_e1.nc", -1},  // a field cut short sorts first
        {"same", "same", 0},
    };
    for (const OrderCase& c : cases) {
        const int result = compare_file_names(c.a, c.b);
        EXPECT_EQ((result > 0) - (result < 0), c.sign) << c.a << " vs " << c.b;
    }
}

TEST_F(Discovery, MissingDayDirectoryIsSkippedUnlessNothingIsFoundByTheLastDay) {
    const std::string all_day = level0_name("20170591200000", "20170621200000");
    configure(true, 20170228, 120000, 20170301, 120000);
    test_support::make_dirs(root / "K16_20170301");
    touch(root / ("K16_20170301/" + all_day));
    EXPECT_EQ(found(), std::vector<std::string>{"K16_20170301/" + all_day});

    configure(true, 20170302, 120000, 20170303, 120000);
    EXPECT_EQ(find_input_files(message), 0);
    EXPECT_EQ(std::string(message),
              "ERROR - after no other input files found, unable to open HIERARCHICAL input directory " + root_text() +
                  "K16_2017_062/ nor " + root_text() + "K16_20170303/");
}

TEST_F(Discovery, WindowOfThirtyThreeDaysIsAcceptedAndThirtyFourRefused) {
    touch(root / level0_name("20170601200000", "20170601205599"));
    // 2017-03-01 00:03:00 - 121 s stays on March 1; END + 121 s stays on its day.
    configure(false, 20170301, 300, 20170402, 235700);
    EXPECT_EQ(find_input_files(message), 1) << message;
    configure(false, 20170301, 300, 20170403, 235700);
    EXPECT_EQ(find_input_files(message), 0);
    EXPECT_STREQ(message,
                 "ERROR - More than 33 days with +/-5 miutes of margin from START of 20170301 000300 to END of "
                 "20170403 235700");
    // The margin alone can add the 34th day.
    configure(false, 20170301, 100, 20170402, 235700);
    EXPECT_EQ(find_input_files(message), 0);
}

TEST_F(Discovery, MarginOutsideTheTimeScaleIsReported) {
    configure(false, 20000101, 120100, 20000101, 130000);
    EXPECT_EQ(find_input_files(message), 0);
    EXPECT_STREQ(message, "ERROR - Unable to calculate -121 seconds offset from START of 20000101 120100");
    configure(false, 20991231, 120000, 20991231, 235900);
    EXPECT_EQ(find_input_files(message), 0);
    EXPECT_STREQ(message, "ERROR - Unable to calculate 121 seconds offset from END of 20991231 235900");
}

TEST_F(Discovery, DayWalkWorksOnTheFirstAndLastSupportedDays) {
    // A window from the epoch day into the next day, and one ending on the
    // last supported day: each day directory is read.
    const std::string first = level0_name("20000011200000", "20000021300000");
    test_support::make_dirs(root / "K16_2000_002");
    touch(root / ("K16_2000_002/" + first));
    configure(true, 20000101, 120300, 20000102, 120000);
    EXPECT_EQ(found(), std::vector<std::string>{"K16_2000_002/" + first}) << message;

    const std::string last = level0_name("20993650000000", "20993652300000");
    test_support::make_dirs(root / "K16_2099_365");
    touch(root / ("K16_2099_365/" + last));
    configure(true, 20991230, 120000, 20991231, 235000);
    EXPECT_EQ(found(), std::vector<std::string>{"K16_2099_365/" + last}) << message;
}

TEST_F(Discovery, NothingFoundIsReportedWithTheLayout) {
    EXPECT_EQ(find_input_files(message), 0);
    EXPECT_EQ(std::string(message), "ERROR - no input files found in FLAT directory structure " + root_text());
    test_support::make_dirs(root / "K16_2017_060");
    configure(true, 20170301, 120000, 20170301, 121000);
    EXPECT_EQ(find_input_files(message), 0);
    EXPECT_EQ(std::string(message), "ERROR - no input files found in HIERARCHICAL directory structure " + root_text());
}

TEST_F(Discovery, VanishedFlatRootIsReported) {
    std::snprintf(run_settings.param_text[PARAM_INPUT_ROOT_DIRECTORY], kValueSlot, "%s/gone/", root.path().c_str());
    EXPECT_EQ(find_input_files(message), 0);
    EXPECT_EQ(std::string(message), "ERROR - unable to reopen INPUT_ROOT_DIRECTORY " + root_text() + "gone/");
}

TEST_F(Discovery, MoreThan24090FilesAreRefused) {
    char name[80];
    for (int i = 0; i < kMaxInputFiles; ++i) {
        std::snprintf(name, sizeof name, "%05dOR_TAVO-L0_K16_s20170601200000_e20170601205599.nc", i);
        touch(root / name);
    }
    const std::vector<std::string> all = found();
    ASSERT_EQ(all.size(), static_cast<size_t>(kMaxInputFiles));
    EXPECT_EQ(all.front().substr(0, 5), "00000");
    EXPECT_EQ(all.back().substr(0, 5), "24089");
    touch(root / "extraOR_TAVO-L0_K16_s20170601200000_e20170601205599.nc");
    EXPECT_EQ(find_input_files(message), 0);
    EXPECT_STREQ(message, "ERROR - too many input files, rerun with a shorter START to END period");
}

}  // namespace

// The time fields as discovery reads them, for a follower that must know
// what span a file's name gives.
struct FieldCase {
    const char* name;
    bool read;
    NameTimeField start, end;
};

TEST(NameTimeFields, ReadsTheStartAndEndFieldsOfAName) {
    const FieldCase cases[] = {
        {"OR_TAVO-L0_K16_s20170601200000_e20170601205599_c20170601206599.nc", true,
         {2017060, 120000, 0}, {2017060, 120559, 9}},
        {"K16_2017_060/OR_TAVO-L0_K16_s20173652359300_e20180010005299_c20180010006299.nc", true,
         {2017365, 235930, 0}, {2018001, 529, 9}},
        {"OR_TAVO-L0_K16_s2017060120000_e20170601205599.nc", false, {}, {}},    // start field cut short
        {"OR_TAVO-L0_K16_s20170601200000_e2017060120559x.nc", false, {}, {}},  // not all digits
        {"OR_TAVO-L0_K16_s20170601200000.nc", false, {}, {}},                  // no end field
    };
    for (const FieldCase& c : cases) {
        NameTimeField start{}, end{};
        ASSERT_EQ(read_name_time_fields(c.name, start, end), c.read) << c.name;
        if (!c.read) continue;
        EXPECT_EQ(start.ordinal_date, c.start.ordinal_date) << c.name;
        EXPECT_EQ(start.time, c.start.time) << c.name;
        EXPECT_EQ(start.tenths, c.start.tenths) << c.name;
        EXPECT_EQ(end.ordinal_date, c.end.ordinal_date) << c.name;
        EXPECT_EQ(end.time, c.end.time) << c.name;
        EXPECT_EQ(end.tenths, c.end.tenths) << c.name;
    }
}
