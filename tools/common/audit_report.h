// The audit report's place and name, shared by the audit that writes it and
// the programs that find it.
#pragma once

#include <cstdint>
#include <string>

namespace tavo_tools {

// Under the satellite directory: "audit/audit_YYYYMMDDTHHMMSS_YYYYMMDDTHHMMSS.json"
// (and .csv) of the window START to END.
constexpr const char* kAuditDirectoryName = "audit";
// The name without its extension; the times as "2017-03-01T12:00:00".
std::string audit_report_stem(const std::string& window_start, const std::string& window_end);
// The dates of a report's name; false for any other name.
bool parse_audit_report_name(const std::string& name, uint32_t& start_date, uint32_t& end_date);

}  // namespace tavo_tools
