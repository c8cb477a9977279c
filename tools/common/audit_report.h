// The audit report's place, name, schema and image status words, shared by
// the audit that writes it and the programs that read it.
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

// A campaign window's audit report, in the window's directory.
constexpr const char* kWindowAuditName = "audit.json";
// A campaign window's join record, beside its audit: the images absent from
// the level-0 between the window's first image and the image before it in
// the windows before (docs/audit-report.md). Shaped as an audit report, its
// tool is kJoinRecordTool and its window the join's instant.
constexpr const char* kWindowJoinName = "join.json";
constexpr const char* kAuditTool = "tavo_l0audit";
constexpr const char* kJoinRecordTool = "tavo_campaign";

// The key every JSON file of the project states its schema with, and the
// audit report's schema.
constexpr const char* kSchemaVersionKey = "schema_version";
constexpr int kAuditSchemaVersion = 2;

// What became of an image, as a report states it.
enum class ImageStatus { kWritten, kWrittenPartial, kNotWritten };
const char* image_status_code(ImageStatus status);  // "written", "written_partial", "not_written"
// The status of a report's word; false for any other word.
bool parse_image_status(const std::string& code, ImageStatus& status);

}  // namespace tavo_tools
