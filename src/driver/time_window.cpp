// The run's time window from the START and END texts.
#include <cstring>

#include "driver/driver.h"
#include "time/time.h"

namespace {

constexpr size_t kMinWindowText = 10;  // YYYY/MM/DD
constexpr size_t kMaxWindowText = 19;  // YYYY/MM/DDtHH:MM:SS
constexpr int32_t kEpochNoonSeconds = 43200;

// The fields of one of START and END while it is being parsed.
struct WindowText {
    const char* text;
    size_t length;
    uint32_t year;
    uint32_t month;
    uint32_t day;
    uint32_t day_of_year;
    uint32_t hour;
    uint32_t minute;
    uint32_t second;
    bool leap;
    size_t time_position;  // index where the time part begins
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

uint32_t digits(const char* text, size_t count) {
    uint32_t value = 0;
    for (size_t i = 0; i < count; ++i) value = value * 10 + static_cast<uint32_t>(text[i] - '0');
    return value;
}

uint32_t month_length(const WindowText& w, uint32_t month) {
    return (month == 2 && w.leap) ? 29 : days_in_month_table[month - 1];
}

bool length_is_valid(const WindowText& w) { return w.length >= kMinWindowText && w.length <= kMaxWindowText; }

// "20", two digits, "/", two digits: years 2000 to 2099.
bool head_is_valid(WindowText& w) {
    const char* t = w.text;
    if (t[0] != '2' || t[1] != '0' || !is_digit(t[2]) || !is_digit(t[3]) || t[4] != '/' || !is_digit(t[5]) ||
        !is_digit(t[6])) {
        return false;
    }
    w.year = digits(t, 4);
    w.leap = is_leap_year(static_cast<int32_t>(w.year));
    return true;
}

bool ordinal_date_is_valid(WindowText& w) {
    w.day_of_year = digits(w.text + 5, 3);
    if (w.day_of_year < 1 || w.day_of_year > (w.leap ? 366u : 365u)) return false;
    uint32_t remaining = w.day_of_year;
    uint32_t month = 1;
    while (remaining > month_length(w, month)) {
        remaining -= month_length(w, month);
        ++month;
    }
    w.month = month;
    w.day = remaining;
    w.time_position = 8;
    return true;
}

bool calendar_date_is_valid(WindowText& w) {
    const char* t = w.text;
    if (t[7] != '/' || !is_digit(t[8]) || !is_digit(t[9])) return false;
    w.month = digits(t + 5, 2);
    w.day = digits(t + 8, 2);
    if (w.month < 1 || w.month > 12 || w.day < 1 || w.day > month_length(w, w.month)) return false;
    w.day_of_year = w.day;
    for (uint32_t m = 1; m < w.month; ++m) w.day_of_year += month_length(w, m);
    w.time_position = 10;
    return true;
}

bool date_part_is_valid(WindowText& w) {
    return is_digit(w.text[7]) ? ordinal_date_is_valid(w) : calendar_date_is_valid(w);
}

// One two-digit field after its lead character; advances the position.
bool take_field(const WindowText& w, size_t& position, bool is_hour, uint32_t limit, uint32_t& value) {
    const char* t = w.text;
    const char lead = t[position];
    const bool lead_ok = is_hour ? (lead == 't' || lead == 'T') : lead == ':';
    if (!lead_ok || position + 2 >= w.length || !is_digit(t[position + 1]) || !is_digit(t[position + 2])) {
        return false;
    }
    const uint32_t field = digits(t + position + 1, 2);
    if (field > limit) return false;
    value = field;
    position += 3;
    return true;
}

// tHH, tHH:MM or tHH:MM:SS, or nothing; fields left out keep their values.
bool time_part_is_valid(WindowText& w) {
    size_t position = w.time_position;
    if (position < w.length && !take_field(w, position, true, 23, w.hour)) return false;
    if (position < w.length && !take_field(w, position, false, 59, w.minute)) return false;
    if (position < w.length && !take_field(w, position, false, 59, w.second)) return false;
    return position == w.length;
}

uint32_t packed_date(const WindowText& w) { return w.year * 10000 + w.month * 100 + w.day; }
uint32_t packed_time(const WindowText& w) { return w.hour * 10000 + w.minute * 100 + w.second; }

// Whole epoch days of the instant, counted from 2000-01-01 12:00:00; below 0
// when the instant lies before the epoch.
int32_t epoch_day(const WindowText& w) {
    int32_t days = 0;
    for (uint32_t y = 2000; y < w.year; ++y) days += is_leap_year(static_cast<int32_t>(y)) ? 366 : 365;
    days += static_cast<int32_t>(w.day_of_year) - 1;
    const int32_t seconds = static_cast<int32_t>(w.hour * 3600 + w.minute * 60 + w.second);
    if (seconds < kEpochNoonSeconds) --days;
    return days;
}

// Formats START's format message; always false.
bool fail_start_format(char* run_message, const WindowText& start) {
    set_run_message(run_message,
                    "ERROR - bad START format (expected YYYY/MM/DDtHH:MM:SS or YYYY/DOYtHH:MM:SS), got: %s",
                    start.text);
    return false;
}

// Formats END's format message; always false.
bool fail_end_format(char* run_message, const WindowText& end) {
    set_run_message(run_message,
                    "ERROR - bad END format (expected YYYY/MM/DDtHH:MM:SS or YYYY/DOYtHH:MM:SS), got: %s", end.text);
    return false;
}

}  // namespace

bool parse_time_window(char* run_message) {
    WindowText start = {};
    WindowText end = {};
    start.text = run_settings.param_text[PARAM_START];
    start.length = std::strlen(start.text);
    end.text = run_settings.param_text[PARAM_END];
    end.length = std::strlen(end.text);

    // Lengths, then heads, then date parts: at each step START's failure
    // is reported before END's.
    if (!length_is_valid(start)) return fail_start_format(run_message, start);
    if (!length_is_valid(end)) return fail_end_format(run_message, end);
    if (!head_is_valid(start)) return fail_start_format(run_message, start);
    if (!head_is_valid(end)) return fail_end_format(run_message, end);
    if (!date_part_is_valid(start)) return fail_start_format(run_message, start);
    if (!date_part_is_valid(end)) return fail_end_format(run_message, end);
    run_settings.start_date = packed_date(start);
    run_settings.end_date = packed_date(end);
    end.hour = 23;
    end.minute = 59;
    end.second = 59;
    if (!time_part_is_valid(start)) return fail_start_format(run_message, start);
    if (!time_part_is_valid(end)) return fail_end_format(run_message, end);
    run_settings.start_time = packed_time(start);
    run_settings.end_time = packed_time(end);

    const bool start_after_end = run_settings.start_date > run_settings.end_date ||
                                 (run_settings.start_date == run_settings.end_date &&
                                  run_settings.start_time > run_settings.end_time);
    if (start_after_end) {
        set_run_message(run_message, "ERROR - START date/time is later than END");
        return false;
    }
    if (epoch_day(start) < 0) {
        set_run_message(run_message, "ERROR - START must be after 2000/01/01t12:00:00), got: %s", start.text);
        return false;
    }
    if (epoch_day(end) < 0) {
        set_run_message(run_message, "ERROR - END must be after 2000/01/01t12:00:00), got: %s", end.text);
        return false;
    }
    return true;
}
