// Time texts of the companions: microseconds since 1970 in UTC, ISO texts
// and the level-0 name fields, durations, and civil dates.
#pragma once

#include <cstdint>
#include <string>

namespace tavo_tools {

// Microseconds since 1970-01-01 00:00:00 UTC (no leap seconds).
using Micros = int64_t;
constexpr Micros kMicrosPerSecond = 1000000;
constexpr Micros kMicrosPerDay = 86400 * kMicrosPerSecond;
constexpr Micros kEpochOrigin = 946728000 * kMicrosPerSecond;  // 2000-01-01 12:00:00

struct Civil {
    int year, month, day, hour, minute, second, micros;
    int day_of_year;
};
Civil to_civil(Micros t);
// YYYY-MM-DDTHH:MM:SS with an optional fraction and Z; a space may stand for the T.
bool parse_time(const std::string& text, Micros& t, std::string& error);
// A decimal number followed by ms, s, min (or m), h or d.
bool parse_duration(const std::string& text, Micros& d, std::string& error);
// "2017-03-01T12:00:02.345Z"
std::string iso_text(Micros t, int decimals);
// "2026-12-09T10:00:00Z": a clock time in whole seconds since 1970 (a file's
// modification time, time(nullptr)).
std::string utc_seconds_text(int64_t seconds);
// "20170601200000": ordinal date, clock time and tenths
std::string name_time_field(Micros t);
uint32_t epoch_day(Micros t);
uint32_t epoch_ms(Micros t);
uint16_t epoch_submillis(Micros t);  // microseconds within the millisecond

// Days from 1970-01-01 of a proleptic Gregorian date, and back.
int64_t days_from_civil(int64_t year, unsigned month, unsigned day);
struct CivilDate {
    int64_t year;
    unsigned month, day;
};
CivilDate civil_from_days(int64_t days);

// Milliseconds from 1970-01-01 UTC, as the catalog keeps times:
// "YYYY-MM-DD" or "YYYY/MM/DD", optionally with "THH:MM:SS", a fraction and
// Z; read by hand, since an ingest reads two times per image.
bool parse_utc_ms(const std::string& text, int64_t& ms);
std::string utc_ms_text(int64_t ms);    // "2017-03-01T12:00:02.345"
std::string utc_date_text(int64_t ms);  // "2017-03-01"

}  // namespace tavo_tools
