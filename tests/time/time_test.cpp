// Calendar and epoch-time arithmetic.
#include "time/time.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

TEST(LeapYear, GregorianRule) {
    struct Case {
        int32_t year;
        bool leap;
    };
    const Case cases[] = {{2000, true}, {2016, true}, {2017, false}, {2100, false}, {1900, false},
                          {2400, true}, {-4, true},   {-100, false}, {-400, true},  {-1, false}};
    for (const Case& c : cases) EXPECT_EQ(is_leap_year(c.year), c.leap) << c.year;
}

struct ShiftCase {
    uint32_t date;
    uint32_t time;
    int32_t offset;
    int form;
    bool ok;
    uint32_t out_date;
    uint32_t out_time;
};

class ShiftDateTime : public testing::TestWithParam<ShiftCase> {};

TEST_P(ShiftDateTime, GivesExpectedInstant) {
    const ShiftCase& c = GetParam();
    uint32_t out_date = 777;
    uint32_t out_time = 888;
    EXPECT_EQ(shift_date_time(c.date, c.time, c.offset, c.form, out_date, out_time), c.ok);
    if (c.ok) {
        EXPECT_EQ(out_date, c.out_date);
        EXPECT_EQ(out_time, c.out_time);
    } else {
        // Outputs are untouched on failure.
        EXPECT_EQ(out_date, 777u);
        EXPECT_EQ(out_time, 888u);
    }
}

constexpr int kCal = DATE_FORM_CALENDAR;
constexpr int kOrd = DATE_FORM_ORDINAL;
constexpr int kEpo = DATE_FORM_EPOCH;

INSTANTIATE_TEST_SUITE_P(
    Cases, ShiftDateTime,
    testing::Values(
        // The epoch instant and the instants just before it.
        ShiftCase{20000101, 120000, 0, kCal, true, 20000101, 120000},
        ShiftCase{20000101, 115959, 0, kCal, false, 0, 0},
        ShiftCase{20000101, 115959, 1, kCal, false, 0, 0},
        ShiftCase{20000101, 120000, -1, kCal, false, 0, 0},
        ShiftCase{20000101, 0, 86400, kCal, false, 0, 0},
        // Day, month, leap-day and year boundaries both ways.
        ShiftCase{20170228, 235959, 1, kCal, true, 20170301, 0},
        ShiftCase{20160228, 235959, 1, kCal, true, 20160229, 0},
        ShiftCase{20160229, 235959, 1, kCal, true, 20160301, 0},
        ShiftCase{20171231, 235959, 1, kCal, true, 20180101, 0},
        ShiftCase{20180101, 0, -1, kCal, true, 20171231, 235959},
        ShiftCase{20170301, 0, -1, kCal, true, 20170228, 235959},
        ShiftCase{20160301, 0, -1, kCal, true, 20160229, 235959},
        ShiftCase{20170301, 0, -86400, kCal, true, 20170228, 0},
        ShiftCase{20170301, 0, 86400, kCal, true, 20170302, 0},
        ShiftCase{20181101, 0, -121, kCal, true, 20181031, 235759},
        ShiftCase{20181101, 235959, 121, kOrd, true, 2018306, 200},
        // Offsets out of range, years out of range, malformed inputs.
        ShiftCase{20170301, 0, 86401, kCal, false, 0, 0},
        ShiftCase{20170301, 0, -86401, kCal, false, 0, 0},
        ShiftCase{20991231, 235959, 1, kCal, false, 0, 0},
        ShiftCase{20991231, 235959, 0, kCal, true, 20991231, 235959},
        ShiftCase{21000101, 0, 0, kCal, false, 0, 0},
        ShiftCase{19991231, 235959, 1, kCal, false, 0, 0},
        ShiftCase{20170229, 0, 0, kCal, false, 0, 0},
        ShiftCase{20170431, 0, 0, kCal, false, 0, 0},
        ShiftCase{20171301, 0, 0, kCal, false, 0, 0},
        ShiftCase{20170001, 0, 0, kCal, false, 0, 0},
        ShiftCase{20170100, 0, 0, kCal, false, 0, 0},
        ShiftCase{20170301, 240000, 0, kCal, false, 0, 0},
        ShiftCase{20170301, 126000, 0, kCal, false, 0, 0},
        ShiftCase{20170301, 120060, 0, kCal, false, 0, 0},
        // Ordinal form; selectors other than 0 and 2 give it too.
        ShiftCase{20170301, 0, 0, kOrd, true, 2017060, 0},
        ShiftCase{20161231, 0, 0, kOrd, true, 2016366, 0},
        ShiftCase{20161231, 0, 0, 7, true, 2016366, 0},
        ShiftCase{20170101, 0, 0, -1, true, 2017001, 0},
        // Epoch form.
        ShiftCase{20000101, 120000, 0, kEpo, true, 0, 0},
        ShiftCase{20000102, 60000, 0, kEpo, true, 0, 64800000},
        ShiftCase{20000102, 120000, 0, kEpo, true, 1, 0},
        ShiftCase{20170301, 120000, 0, kEpo, true, 6269, 0},
        ShiftCase{20000101, 235959, 0, kEpo, true, 0, 43199000},
        ShiftCase{20991231, 235959, 0, kEpo, true, 36524, 43199000},
        ShiftCase{20170301, 120005, -5, kEpo, true, 6269, 0}));

struct EpochCase {
    uint32_t day;
    uint32_t ms;
    bool ok;
    uint32_t date;
    uint32_t time;
    int32_t milli;
};

TEST(EpochToCalendar, ConvertsAndRejects) {
    const EpochCase cases[] = {
        {0, 0, true, 20000101, 120000, 0},
        {0, 43200000, true, 20000102, 0, 0},
        {0, 43199999, true, 20000101, 235959, 999},
        {0, 86400000, false, 0, 0, 0},
        {0, 86399999, true, 20000102, 115959, 999},
        {6269, 0, true, 20170301, 120000, 0},
        {5902, 43200000, true, 20160229, 0, 0},  // leap day
        {6209, 43199999, true, 20161231, 235959, 999},
        {36524, 43199999, true, 20991231, 235959, 999},
        {36524, 43200000, false, 0, 0, 0},
        {UINT32_MAX, 43200000, false, 0, 0, 0},
        {UINT32_MAX, 0, false, 0, 0, 0},
    };
    for (const EpochCase& c : cases) {
        uint32_t date = 1;
        uint32_t time = 2;
        int32_t milli = 3;
        ASSERT_EQ(epoch_to_calendar(c.day, c.ms, date, time, milli), c.ok) << c.day << " " << c.ms;
        if (c.ok) {
            EXPECT_EQ(date, c.date) << c.day << " " << c.ms;
            EXPECT_EQ(time, c.time) << c.day << " " << c.ms;
            EXPECT_EQ(milli, c.milli) << c.day << " " << c.ms;
        } else {
            EXPECT_EQ(date, 1u);
            EXPECT_EQ(time, 2u);
            EXPECT_EQ(milli, 3);
        }
    }
}

// Every whole second of the range converted to epoch form and back gives the
// same instant: the two conversions agree on every day of 2000 to 2099.
TEST(EpochToCalendar, InvertsShiftDateTimeOnEveryDay) {
    uint32_t date = 20000101;
    for (int step = 0; step < 36525; ++step) {
        uint32_t epoch_day = 0;
        uint32_t epoch_ms = 0;
        ASSERT_TRUE(shift_date_time(date, 123456, 0, DATE_FORM_EPOCH, epoch_day, epoch_ms)) << date;
        uint32_t back_date = 0;
        uint32_t back_time = 0;
        int32_t back_ms = -1;
        ASSERT_TRUE(epoch_to_calendar(epoch_day, epoch_ms, back_date, back_time, back_ms)) << date;
        ASSERT_EQ(back_date, date);
        ASSERT_EQ(back_time, 123456u);
        ASSERT_EQ(back_ms, 0);
        if (step + 1 == 36525) break;
        uint32_t next_time = 0;
        ASSERT_TRUE(shift_date_time(date, 123456, 86400, DATE_FORM_CALENDAR, date, next_time)) << step;
    }
}

}  // namespace
