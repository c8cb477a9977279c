// Times as the catalog keeps them: milliseconds from 1970-01-01 UTC.
#include <cstdio>
#include <ctime>

#include "catalog.h"
#include "time_text.h"

namespace tavo_catalog {

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
bool parse_time(const std::string& text, int64_t& ms) {
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
    ms = ((tavo_tools::days_from_civil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 24 + h) * 60 + mi) * 60000 + s * 1000 + fraction;
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
