// Calendar and epoch-time arithmetic over the years 2000 to 2099.
#include "time/time.h"

namespace {

constexpr uint32_t kFirstYear = 2000;
constexpr uint32_t kLastYear = 2099;
constexpr int32_t kEpochNoonSeconds = 43200;           // the epoch day starts at 12:00:00
constexpr uint32_t kMsPerDay = 86400000;
constexpr uint32_t kMsPerHalfDay = 43200000;
constexpr uint32_t kMsPerHour = 3600000;
constexpr uint32_t kMsPerMinute = 60000;
constexpr uint32_t kMsPerSecond = 1000;

uint32_t month_length(uint32_t year, uint32_t month) {
    if (month == 2 && is_leap_year(static_cast<int32_t>(year))) return 29;
    return days_in_month_table[month - 1];
}

uint32_t year_length(uint32_t year) { return is_leap_year(static_cast<int32_t>(year)) ? 366 : 365; }

uint32_t day_of_year(uint32_t year, uint32_t month, uint32_t day) {
    uint32_t count = day;
    for (uint32_t m = 1; m < month; ++m) count += month_length(year, m);
    return count;
}

void step_back_one_day(uint32_t& year, uint32_t& month, uint32_t& day) {
    if (day > 1) {
        --day;
        return;
    }
    if (month > 1) {
        --month;
    } else {
        month = 12;
        --year;
    }
    day = month_length(year, month);
}

void step_forward_one_day(uint32_t& year, uint32_t& month, uint32_t& day) {
    if (day < month_length(year, month)) {
        ++day;
        return;
    }
    day = 1;
    if (month < 12) {
        ++month;
    } else {
        month = 1;
        ++year;
    }
}

bool before_epoch(uint32_t year, uint32_t month, uint32_t day, int32_t seconds_of_day) {
    return year == kFirstYear && month == 1 && day == 1 && seconds_of_day < kEpochNoonSeconds;
}

// Days from 2000-01-01 to the date. The divisible-by-4 rule equals the
// Gregorian one over 2000 to 2099.
uint32_t days_since_2000(uint32_t year, uint32_t month, uint32_t day) {
    uint32_t days = 0;
    for (uint32_t y = kFirstYear; y < year; ++y) days += (y % 4 == 0) ? 366 : 365;
    for (uint32_t m = 1; m < month; ++m) days += (m == 2 && year % 4 == 0) ? 29 : days_in_month_table[m - 1];
    return days + day - 1;
}

}  // namespace

const uint32_t days_in_month_table[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

bool is_leap_year(int32_t year) {
    // Mathematical remainder, so negative years follow the same rule.
    auto divisible = [year](int32_t by) { return ((year % by) + by) % by == 0; };
    if (divisible(400)) return true;
    if (divisible(100)) return false;
    return divisible(4);
}

bool shift_date_time(uint32_t date, uint32_t time, int32_t offset, int form, uint32_t& out_date,
                     uint32_t& out_time) {
    uint32_t year = date / 10000;
    uint32_t month = (date / 100) % 100;
    uint32_t day = date % 100;
    if (year < kFirstYear || year > kLastYear || month < 1 || month > 12 || day < 1 ||
        day > month_length(year, month)) {
        return false;
    }
    uint32_t hour = time / 10000;
    uint32_t minute = (time / 100) % 100;
    uint32_t second = time % 100;
    if (hour > 23 || minute > 59 || second > 59) return false;

    int32_t seconds = static_cast<int32_t>(hour * 3600 + minute * 60 + second);
    if (before_epoch(year, month, day, seconds)) return false;

    if (offset != 0) {
        if (offset < -kMaxShiftSeconds || offset > kMaxShiftSeconds) return false;
        seconds += offset;
        if (seconds < 0) {
            seconds += kSecondsPerDay;
            step_back_one_day(year, month, day);
        } else if (seconds >= kSecondsPerDay) {
            seconds -= kSecondsPerDay;
            step_forward_one_day(year, month, day);
        }
        if (year < kFirstYear || year > kLastYear || before_epoch(year, month, day, seconds)) return false;
        hour = static_cast<uint32_t>(seconds) / 3600;
        minute = (static_cast<uint32_t>(seconds) % 3600) / 60;
        second = static_cast<uint32_t>(seconds) % 60;
    }

    if (form == DATE_FORM_CALENDAR) {
        out_date = year * 10000 + month * 100 + day;
        out_time = hour * 10000 + minute * 100 + second;
    } else if (form == DATE_FORM_EPOCH) {
        const uint32_t n = days_since_2000(year, month, day);
        const uint32_t rest = minute * kMsPerMinute + second * kMsPerSecond;
        if (hour < 12) {
            out_date = n - 1;
            out_time = (hour + 12) * kMsPerHour + rest;
        } else {
            out_date = n;
            out_time = (hour - 12) * kMsPerHour + rest;
        }
    } else {
        out_date = year * 1000 + day_of_year(year, month, day);
        out_time = hour * 10000 + minute * 100 + second;
    }
    return true;
}

bool epoch_to_calendar(uint32_t epoch_day, uint32_t epoch_ms, uint32_t& out_date, uint32_t& out_time,
                       int32_t& out_ms) {
    if (epoch_ms >= kMsPerDay) return false;
    uint32_t m = epoch_ms + kMsPerHalfDay;
    uint32_t d = epoch_day;
    if (m >= kMsPerDay) {
        m -= kMsPerDay;
        ++d;
        if (d == 0) return false;  // the day count wrapped: far beyond 2099
    }
    uint32_t year = kFirstYear;
    while (d >= year_length(year)) {
        d -= year_length(year);
        ++year;
        if (year > kLastYear) return false;
    }
    uint32_t month = 1;
    while (d >= month_length(year, month)) {
        d -= month_length(year, month);
        ++month;
    }
    const uint32_t day = d + 1;
    const uint32_t hour = m / kMsPerHour;
    const uint32_t minute = (m % kMsPerHour) / kMsPerMinute;
    const uint32_t second = (m % kMsPerMinute) / kMsPerSecond;
    out_date = year * 10000 + month * 100 + day;
    out_time = hour * 10000 + minute * 100 + second;
    out_ms = static_cast<int32_t>(m % kMsPerSecond);
    return true;
}

bool next_day(uint32_t date, uint32_t& next) {
    constexpr uint32_t kNoon = 120000;
    uint32_t next_date = 0;
    uint32_t next_time = 0;
    if (!shift_date_time(date, kNoon, kSecondsPerDay, DATE_FORM_CALENDAR, next_date, next_time)) return false;
    next = next_date;
    return true;
}
