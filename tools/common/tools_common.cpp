// Card value texts and the satellite check of the companions.
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

}  // namespace tavo_tools
