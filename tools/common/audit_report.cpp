// The audit report's name.
#include "audit_report.h"

#include <cstdio>

namespace tavo_tools {

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

namespace {

constexpr struct {
    ImageStatus status;
    const char* code;
} kImageStatusCodes[] = {{ImageStatus::kWritten, "written"},
                         {ImageStatus::kWrittenPartial, "written_partial"},
                         {ImageStatus::kNotWritten, "not_written"}};

}  // namespace

const char* image_status_code(ImageStatus status) {
    for (const auto& entry : kImageStatusCodes) {
        if (entry.status == status) return entry.code;
    }
    return "not_written";
}

bool parse_image_status(const std::string& code, ImageStatus& status) {
    for (const auto& entry : kImageStatusCodes) {
        if (code == entry.code) {
            status = entry.status;
            return true;
        }
    }
    return false;
}

}  // namespace tavo_tools
