// Time texts of the companions: UTC calendar fields, the ISO texts they
// read and write, and the instrument's epoch (days and milliseconds from
// 2000-01-01 12:00:00).
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "time_text.h"

namespace tavo_tools {
namespace {

int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

bool is_leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(int y, int m) {
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && is_leap(y) ? 29 : days[m - 1];
}

}  // namespace

Civil to_civil(Micros t) {
    int64_t days = floor_div(t, kMicrosPerDay);
    int64_t rest = t - days * kMicrosPerDay;
    const CivilDate date = civil_from_days(days);
    Civil c{};
    c.day = static_cast<int>(date.day);
    c.month = static_cast<int>(date.month);
    c.year = static_cast<int>(date.year);
    int64_t secs = rest / kMicrosPerSecond;
    c.hour = static_cast<int>(secs / 3600);
    c.minute = static_cast<int>(secs / 60 % 60);
    c.second = static_cast<int>(secs % 60);
    c.micros = static_cast<int>(rest % kMicrosPerSecond);
    c.day_of_year = static_cast<int>(days - days_from_civil(c.year, 1, 1) + 1);
    return c;
}

// Accepts YYYY-MM-DDTHH:MM:SS with optional fraction and Z; a space may
// stand for the T.
bool parse_time(const std::string& text, Micros& t, std::string& error) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, used = 0;
    char sep = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d%n", &y, &mo, &d, &sep, &h, &mi, &s, &used) != 7 ||
        (sep != 'T' && sep != ' ')) {
        error = "start time '" + text + "' is not of the form YYYY-MM-DDTHH:MM:SS";
        return false;
    }
    Micros fraction = 0;
    size_t i = static_cast<size_t>(used);
    if (i < text.size() && text[i] == '.') {
        Micros scale = kMicrosPerSecond / 10;
        for (++i; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
            fraction += (text[i] - '0') * scale;
            scale /= 10;
        }
    }
    if (i < text.size() && text[i] == 'Z') ++i;
    if (i != text.size() || mo < 1 || mo > 12 || d < 1 || d > days_in_month(y, mo) || h > 23 || mi > 59 ||
        s > 59) {
        error = "start time '" + text + "' is not a valid UTC time";
        return false;
    }
    if (y < 2000 || y > 2098) {
        error = "start time '" + text + "' lies outside the years 2000 to 2098 the instrument clock covers";
        return false;
    }
    t = (days_from_civil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 86400 + h * 3600 + mi * 60 + s) * kMicrosPerSecond + fraction;
    if (t < kEpochOrigin) {
        error = "start time '" + text + "' lies before the instrument epoch 2000-01-01T12:00:00";
        return false;
    }
    return true;
}

// Accepts a decimal number followed by ms, s, min (or m), h or d.
bool parse_duration(const std::string& text, Micros& d, std::string& error) {
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    std::string unit = end ? std::string(end) : std::string();
    double scale = 0;
    if (unit == "ms") scale = 1e3;
    else if (unit == "s") scale = 1e6;
    else if (unit == "min" || unit == "m") scale = 60e6;
    else if (unit == "h") scale = 3600e6;
    else if (unit == "d") scale = 86400e6;
    if (end == text.c_str() || scale == 0 || !(value > 0) || value * scale > 4e14) {
        error = "duration '" + text + "' is not a positive number with a unit of ms, s, min, h or d";
        return false;
    }
    d = static_cast<Micros>(value * scale + 0.5);
    return true;
}

std::string iso_text(Micros t, int decimals) {
    Civil c = to_civil(t);
    char buf[64];
    int n = std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", c.year, c.month, c.day, c.hour, c.minute,
                          c.second);
    if (decimals > 0) {
        int frac = c.micros;
        for (int k = decimals; k < 6; ++k) frac /= 10;
        std::snprintf(buf + n, sizeof buf - n, ".%0*d", decimals, frac);
    }
    return std::string(buf) + "Z";
}

std::string utc_seconds_text(int64_t seconds) { return iso_text(seconds * kMicrosPerSecond, 0); }

std::string name_time_field(Micros t) {
    Civil c = to_civil(t);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d%03d%02d%02d%02d%d", c.year, c.day_of_year, c.hour, c.minute, c.second,
                  c.micros / 100000);
    return buf;
}

uint32_t epoch_day(Micros t) { return static_cast<uint32_t>((t - kEpochOrigin) / kMicrosPerDay); }
uint32_t epoch_ms(Micros t) { return static_cast<uint32_t>((t - kEpochOrigin) % kMicrosPerDay / 1000); }
uint16_t epoch_submillis(Micros t) { return static_cast<uint16_t>((t - kEpochOrigin) % 1000); }

// The era arithmetic of the proleptic Gregorian calendar: 400-year eras of
// 146,097 days, years counted from March so that the leap day ends them.
int64_t days_from_civil(int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto year_of_era = static_cast<unsigned>(year - era * 400);
    const unsigned day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + static_cast<int64_t>(day_of_era) - 719468;
}

CivilDate civil_from_days(int64_t days) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto day_of_era = static_cast<unsigned>(days - era * 146097);
    const unsigned year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const unsigned day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const unsigned shifted_month = (5 * day_of_year + 2) / 153;
    const unsigned day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
    const unsigned month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
    return {static_cast<int64_t>(year_of_era) + era * 400 + (month <= 2), month, day};
}

// --- Milliseconds from 1970 (the catalog's times) -----------------------------

namespace {

std::tm utc_of(int64_t ms) {
    const auto seconds = static_cast<std::time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
    std::tm utc = {};
    gmtime_r(&seconds, &utc);
    return utc;
}

// Reads count digits at text[at]; false when one is no digit.
bool digits(const std::string& text, size_t at, size_t count, int& value) {
    if (at + count > text.size()) return false;
    value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

}  // namespace

// Read by hand: an ingest reads two times per image.
bool parse_utc_ms(const std::string& text, int64_t& ms) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    const char separator = text.size() > 4 ? text[4] : 0;
    if ((separator != '-' && separator != '/') || !digits(text, 0, 4, y) || !digits(text, 5, 2, mo) ||
        text[7] != separator || !digits(text, 8, 2, d) || mo < 1 || mo > 12 || d < 1 || d > 31) {
        return false;
    }
    int fraction = 0;
    size_t at = 10;
    if (text.size() > at) {
        if (text[10] != 'T' || !digits(text, 11, 2, h) || text[13] != ':' || !digits(text, 14, 2, mi) ||
            text[16] != ':' || !digits(text, 17, 2, s)) {
            return false;
        }
        at = 19;
        if (at < text.size() && text[at] == '.') {
            int count = 0;
            for (++at; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at, ++count)
                if (count < 3) fraction = fraction * 10 + (text[at] - '0');
            for (; count < 3; ++count) fraction *= 10;
        }
        if (at < text.size() && text[at] == 'Z') ++at;
        if (at != text.size()) return false;
    }
    ms = ((days_from_civil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 24 + h) * 60 + mi) * 60000 + s * 1000 + fraction;
    return true;
}

std::string utc_ms_text(int64_t ms) {
    const std::tm utc = utc_of(ms);
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(((ms % 1000) + 1000) % 1000));
    return text;
}

std::string utc_date_text(int64_t ms) { return utc_ms_text(ms).substr(0, 10); }

}  // namespace tavo_tools
