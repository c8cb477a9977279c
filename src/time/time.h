// Calendar and epoch-time arithmetic. Dates and times are packed decimal
// numbers (YYYYMMDD, HHMMSS, YYYYDDD) or epoch day and milliseconds counted
// from 2000-01-01 12:00:00. Supported years: 2000 to 2099.
#pragma once

#include <cstdint>

constexpr int DATE_FORM_CALENDAR = 0;  // YYYYMMDD and HHMMSS
constexpr int DATE_FORM_ORDINAL = 1;   // YYYYDDD and HHMMSS
constexpr int DATE_FORM_EPOCH = 2;     // epoch day and epoch milliseconds

constexpr int32_t kMaxShiftSeconds = 86400;

// Days of January to December of a common year.
extern const uint32_t days_in_month_table[12];

bool is_leap_year(int32_t year);

// Validates date/time, moves it by offset seconds (-86,400 to 86,400) and
// returns it in the chosen form. The outputs are written only on success.
bool shift_date_time(uint32_t date, uint32_t time, int32_t offset, int form,
                     uint32_t& out_date, uint32_t& out_time);

// Converts an epoch day and milliseconds to calendar date, clock time and
// milliseconds within the second. The outputs are written only on success.
bool epoch_to_calendar(uint32_t epoch_day, uint32_t epoch_ms, uint32_t& out_date,
                       uint32_t& out_time, int32_t& out_ms);

constexpr int32_t kSecondsPerDay = 86400;

// The calendar date after date (YYYYMMDD), stepped from noon so that every
// supported date has a successor that converts. False past the supported years.
bool next_day(uint32_t date, uint32_t& next);
