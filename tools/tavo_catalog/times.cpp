// Times as the catalog keeps them: milliseconds from 1970-01-01 UTC.
#include <cstdio>
#include <ctime>

#include "catalog.h"

namespace tavo_catalog {

namespace {

// Days from 1970-01-01 of a proleptic Gregorian date.
int64_t days_from_civil(int64_t y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<int64_t>(y - era * 400);
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

std::tm utc_of(int64_t ms) {
    const auto seconds = static_cast<std::time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
    std::tm utc = {};
    gmtime_r(&seconds, &utc);
    return utc;
}

}  // namespace

bool parse_time(const std::string& text, int64_t& ms) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, used = 0;
    char separator = 0;
    if (std::sscanf(text.c_str(), "%4d%c%2d%*c%2d%n", &y, &separator, &mo, &d, &used) != 4 ||
        (separator != '-' && separator != '/') || used != 10 || mo < 1 || mo > 12 || d < 1 || d > 31) {
        return false;
    }
    int fraction = 0;
    if (text.size() > 10) {
        int clock_used = 0;
        if (std::sscanf(text.c_str() + 10, "T%2d:%2d:%2d%n", &h, &mi, &s, &clock_used) != 3) return false;
        const char* rest = text.c_str() + 10 + clock_used;
        if (*rest == '.') {
            int digits = 0;
            for (++rest; *rest >= '0' && *rest <= '9'; ++rest, ++digits)
                if (digits < 3) fraction = fraction * 10 + (*rest - '0');
            for (; digits < 3; ++digits) fraction *= 10;
        }
        if (*rest == 'Z') ++rest;
        if (*rest != '\0') return false;
    }
    ms = ((days_from_civil(y, mo, d) * 24 + h) * 60 + mi) * 60000 + s * 1000 + fraction;
    return true;
}

std::string time_text(int64_t ms) {
    const std::tm utc = utc_of(ms);
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(((ms % 1000) + 1000) % 1000));
    return text;
}

std::string date_text(int64_t ms) { return time_text(ms).substr(0, 10); }

}  // namespace tavo_catalog
