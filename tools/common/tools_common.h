// Shared code of the companion programs.
#pragma once

#include <cstdint>
#include <string>

namespace tavo_tools {

// text with &, <, > and " written as HTML entities, for element text and
// attribute values.
std::string escape_html(const std::string& text);

// text as one CSV field: quoted (quotes doubled) only when it holds a comma,
// a quote or a line end.
std::string csv_field(const std::string& text);

// Days from 1970-01-01 of a proleptic Gregorian date, and back.
int64_t days_from_civil(int64_t year, unsigned month, unsigned day);
struct CivilDate {
    int64_t year;
    unsigned month, day;
};
CivilDate civil_from_days(int64_t days);

}  // namespace tavo_tools
