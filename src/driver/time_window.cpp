// The run's time window: START and END in calendar (YYYY/MM/DD) or
// day-of-year (YYYY/DDD) form, each with an optional tHH[:MM[:SS]] part.
#include <cstring>

#include "driver/driver.h"
#include "time/time.h"

namespace {

constexpr size_t kMinWindowText = 10;
constexpr size_t kMaxWindowText = 19;
constexpr int32_t kEpochNoonSeconds = 43200;

struct WindowPoint {
    uint32_t year = 0;
    uint32_t month = 0;
    uint32_t day = 0;
    uint32_t day_of_year = 0;
    uint32_t hour = 0;
    uint32_t minute = 0;
    uint32_t second = 0;
    size_t time_part = 0;  // index where the time part begins
    bool leap = false;
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

uint32_t two_digits(const char* text) { return static_cast<uint32_t>((text[0] - '0') * 10 + (text[1] - '0')); }

uint32_t month_length(uint32_t month, bool leap) {
    return (month == 2 && leap) ? 29 : days_in_month_table[month - 1];
}

bool has_valid_length(const char* text) {
    const size_t length = std::strlen(text);
    return length >= kMinWindowText && length <= kMaxWindowText;
}

// "20", two digits, "/", two digits: years 2000 to 2099.
bool has_common_head(const char* text) {
    return text[0] == '2' && text[1] == '0' && is_digit(text[2]) && is_digit(text[3]) && text[4] == '/' &&
           is_digit(text[5]) && is_digit(text[6]);
}

void read_year(const char* text, WindowPoint& point) {
    point.year = 2000 + two_digits(text + 2);
    point.leap = is_leap_year(static_cast<int32_t>(point.year));
}

bool read_date_part(const char* text, WindowPoint& point) {
    if (is_digit(text[7])) {
        point.day_of_year = two_digits(text + 5) * 10 + static_cast<uint32_t>(text[7] - '0');
        const uint32_t year_days = point.leap ? 366 : 365;
        if (point.day_of_year < 1 || point.day_of_year > year_days) return false;
        uint32_t remaining = point.day_of_year;
        uint32_t month = 1;
        while (remaining > month_length(month, point.leap)) remaining -= month_length(month++, point.leap);
        point.month = month;
        point.day = remaining;
        point.time_part = 8;
        return true;
    }
    if (text[7] != '/' || !is_digit(text[8]) || !is_digit(text[9])) return false;
    point.month = two_digits(text + 5);
    point.day = two_digits(text + 8);
    if (point.month < 1 || point.month > 12 || point.day < 1 || point.day > month_length(point.month, point.leap)) {
        return false;
    }
    point.day_of_year = point.day;
    for (uint32_t m = 1; m < point.month; ++m) point.day_of_year += month_length(m, point.leap);
    point.time_part = 10;
    return true;
}

// Reads one ":NN" or "tNN" field of at most limit into value.
bool read_time_field(const char* field, uint32_t limit, uint32_t& value) {
    if (!is_digit(field[1]) || !is_digit(field[2])) return false;
    value = two_digits(field + 1);
    return value <= limit;
}

// tHH[:MM[:SS]] and nothing after; fields left out keep their values.
bool read_time_part(const char* text, WindowPoint& point) {
    const char* cursor = text + point.time_part;
    if (*cursor == '\0') return true;
    if ((*cursor != 't' && *cursor != 'T') || !read_time_field(cursor, 23, point.hour)) return false;
    cursor += 3;
    if (*cursor == '\0') return true;
    if (*cursor != ':' || !read_time_field(cursor, 59, point.minute)) return false;
    cursor += 3;
    if (*cursor == '\0') return true;
    if (*cursor != ':' || !read_time_field(cursor, 59, point.second)) return false;
    cursor += 3;
    return *cursor == '\0';
}

// The instant does not lie before 2000-01-01 12:00:00.
bool is_after_epoch(const WindowPoint& point) {
    int32_t days = 0;
    for (uint32_t y = 2000; y < point.year; ++y) days += is_leap_year(static_cast<int32_t>(y)) ? 366 : 365;
    days += static_cast<int32_t>(point.day_of_year) - 1;
    const int32_t seconds = static_cast<int32_t>(point.hour * 3600 + point.minute * 60 + point.second);
    if (seconds < kEpochNoonSeconds) --days;
    return days >= 0;
}

uint32_t packed_date(const WindowPoint& p) { return p.year * 10000 + p.month * 100 + p.day; }
uint32_t packed_time(const WindowPoint& p) { return p.hour * 10000 + p.minute * 100 + p.second; }

}  // namespace

bool parse_time_window(char* run_message) {
    const char* start_text = run_settings.param_text[PARAM_START];
    const char* end_text = run_settings.param_text[PARAM_END];
    const char* start_format =
        "ERROR - bad START format (expected YYYY/MM/DDtHH:MM:SS or YYYY/DOYtHH:MM:SS), got: %s";
    const char* end_format = "ERROR - bad END format (expected YYYY/MM/DDtHH:MM:SS or YYYY/DOYtHH:MM:SS), got: %s";

    auto fail_start = [&] {
        set_run_message(run_message, start_format, start_text);
        return false;
    };
    auto fail_end = [&] {
        set_run_message(run_message, end_format, end_text);
        return false;
    };

    if (!has_valid_length(start_text)) return fail_start();
    if (!has_valid_length(end_text)) return fail_end();
    if (!has_common_head(start_text)) return fail_start();
    if (!has_common_head(end_text)) return fail_end();

    WindowPoint start;
    WindowPoint end;
    read_year(start_text, start);
    read_year(end_text, end);
    if (!read_date_part(start_text, start)) return fail_start();
    if (!read_date_part(end_text, end)) return fail_end();
    end.hour = 23;
    end.minute = 59;
    end.second = 59;
    if (!read_time_part(start_text, start)) return fail_start();
    if (!read_time_part(end_text, end)) return fail_end();

    run_settings.start_date = packed_date(start);
    run_settings.start_time = packed_time(start);
    run_settings.end_date = packed_date(end);
    run_settings.end_time = packed_time(end);

    const bool start_after_end =
        run_settings.start_date > run_settings.end_date ||
        (run_settings.start_date == run_settings.end_date && run_settings.start_time > run_settings.end_time);
    if (start_after_end) {
        set_run_message(run_message, "ERROR - START date/time is later than END");
        return false;
    }
    if (!is_after_epoch(start)) {
        set_run_message(run_message, "ERROR - START must be after 2000/01/01t12:00:00), got: %s", start_text);
        return false;
    }
    if (!is_after_epoch(end)) {
        set_run_message(run_message, "ERROR - END must be after 2000/01/01t12:00:00), got: %s", end_text);
        return false;
    }
    return true;
}
