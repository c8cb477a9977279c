// Card value texts, the satellite check, the audit report's name, HTML and
// CSV texts and calendar days of the companions.
#include "tools_common.h"

#include <cstdio>

#include "driver/driver.h"

namespace tavo_tools {

std::string unquoted(const std::string& value) {
    std::string text = value;
    if (text.size() >= 2 && text.front() == '\'' && text.back() == '\'') text = text.substr(1, text.size() - 2);
    const size_t first = text.find_first_not_of(' ');
    const size_t last = text.find_last_not_of(' ');
    return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

bool parse_kite(const std::string& text, int& kite, std::string& error) {
    int32_t number = 0;
    if (parse_satellite(text.c_str(), number)) {
        kite = number;
        return true;
    }
    std::string message(static_cast<size_t>(std::snprintf(nullptr, 0, TAVO_SATELLITE_RANGE_FORMAT, text.c_str())), ' ');
    std::snprintf(message.data(), message.size() + 1, TAVO_SATELLITE_RANGE_FORMAT, text.c_str());
    error = message;
    return false;
}

namespace {

// "2017-03-01T12:00:00" -> "20170301T120000"
std::string window_stamp(const std::string& iso) {
    std::string stamp;
    for (char c : iso) {
        if (c != '-' && c != ':') stamp += c;
    }
    return stamp;
}

constexpr size_t kAuditReportNameLength = 42;  // "audit_" + 2 stamps of 15 + "_" + ".json"

}  // namespace

std::string audit_report_stem(const std::string& window_start, const std::string& window_end) {
    return "audit_" + window_stamp(window_start) + "_" + window_stamp(window_end);
}

bool parse_audit_report_name(const std::string& name, uint32_t& start_date, uint32_t& end_date) {
    unsigned start = 0, end = 0;
    if (name.size() != kAuditReportNameLength || name.compare(name.size() - 5, 5, ".json") != 0 ||
        std::sscanf(name.c_str(), "audit_%8uT%*6u_%8uT%*6u.json", &start, &end) != 2) {
        return false;
    }
    start_date = start;
    end_date = end;
    return true;
}

std::string escape_html(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string csv_field(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

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

}  // namespace tavo_tools
