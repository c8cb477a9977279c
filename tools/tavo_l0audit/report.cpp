// The audit's outputs: the JSON report, its CSV twin and the console summary.
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "audit.h"
#include "base/base.h"
#include "layout/layout.h"
#include "tools_common.h"

namespace tavo_audit {

namespace {

using nlohmann::json;

std::string image_time_text(const ImageAudit& image) {
    char text[40];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%03d", image.date / 10000, image.date / 100 % 100,
                  image.date % 100, image.time / 10000, image.time / 100 % 100, image.time % 100, image.ms);
    return text;
}

json file_json(const FileAudit& file) {
    json j = {{"entry", file.entry}, {"selected", file.selected}};
    if (!file.selected) {
        j["reason"] = file.skip_reason;
        return j;
    }
    j["scanned"] = file.scanned;
    if (!file.read_error.empty()) j["read_error"] = file.read_error;
    j["packets"] = file.packets;
    j["bytes"] = file.bytes;
    json apids = json::object();
    for (const auto& [apid, count] : file.apid_packets) apids[std::to_string(apid)] = count;
    j["apid_packets"] = apids;
    json gaps = json::array();
    for (const SequenceGap& gap : file.gaps)
        gaps.push_back({{"apid", gap.apid}, {"first", gap.first}, {"last", gap.last}, {"missing", gap.missing}});
    j["sequence_gaps"] = gaps;
    j["duplicates_within"] = file.duplicates_within;
    j["duplicates_from_previous"] = file.duplicates_from_previous;
    j["skipped"] = file.skipped;
    j["bad_length"] = file.bad_length_offset ? json{{"offset", *file.bad_length_offset}, {"length_field", file.bad_length_field}}
                                             : json(nullptr);
    j["leftover_bytes"] = file.leftover_bytes;
    return j;
}

json image_json(const AuditResult& result, const ImageAudit& image) {
    json files = json::array();
    for (int f : image.files) files.push_back(result.files[f].entry);
    return {{"image_id", image.image_id},
            {"time", image.time_known ? json(image_time_text(image)) : json(nullptr)},
            {"apid", image.apid},
            {"wavelength", image.wavelength},
            {"frame_type", image.frame_type.empty() ? json(nullptr) : json(image.frame_type)},
            {"status", image_status_code(image.status)},
            {"reason", image.reason ? json(image_reason_code(*image.reason)) : json(nullptr)},
            {"reason_text", image.reason ? json(image_reason_text(*image.reason)) : json(nullptr)},
            {"product", image.product.empty() ? json(nullptr) : json(image.product)},
            {"files", files},
            {"packets", {{"header", image.packets_by_kind[0]},
                         {"pixel", image.packets_by_kind[1] + image.packets_by_kind[2]},
                         {"final", image.packets_by_kind[3]},
                         {"other", image.packets_other_kind}}},
            {"rows", image.rows},
            {"columns", image.columns},
            {"pixels_announced", image.pixels_announced},
            {"pixels_carried", image.written ? json(image.pixels_carried) : json(nullptr)},
            {"sel_count", image.written ? json(image.sel_count) : json(nullptr)},
            {"product_problems", image.problems}};
}

struct Counts {
    int images = 0, written = 0, partial = 0, not_written = 0, problems = 0;
    std::map<std::string, int> by_reason;
    std::map<std::string, std::pair<int, int>> by_hour;  // "2017-03-01T12" -> (products, images)
};

Counts count(const AuditResult& result) {
    Counts c;
    for (const ImageAudit& image : result.images) {
        ++c.images;
        if (image.status == ImageStatus::kWritten) ++c.written;
        if (image.status == ImageStatus::kWrittenPartial) ++c.partial;
        if (image.status == ImageStatus::kNotWritten) ++c.not_written;
        if (image.reason) ++c.by_reason[image_reason_code(*image.reason)];
        if (!image.problems.empty()) ++c.problems;
        // Completeness is that of the window: images outside it do not count.
        if (image.time_known && image.reason != ImageReason::kOutsideWindow) {
            auto& hour = c.by_hour[image_time_text(image).substr(0, 13)];
            if (image.status != ImageStatus::kNotWritten) ++hour.first;
            ++hour.second;
        }
    }
    return c;
}

std::string csv_field(const std::string& text) {
    if (text.find_first_of(",\"\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}


}  // namespace

std::string default_report_path(const AuditResult& result) {
    char satellite[kTreeLevelSlot];
    format_satellite_directory(result.kite, satellite);
    const char sep = run_settings.path_separator;
    return std::string(run_settings.param_text[PARAM_OUTPUT_ROOT_DIRECTORY]) + satellite + sep +
           tavo_tools::kAuditDirectoryName + sep +
           tavo_tools::audit_report_stem(result.window_start, result.window_end) + ".json";
}

bool write_json_report(const AuditResult& result, const std::string& path, std::string& error) {
    const Counts c = count(result);
    json by_hour = json::object();
    for (const auto& [hour, counts] : c.by_hour)
        by_hour[hour] = {{"products", counts.first}, {"images", counts.second}};
    json report = {
        {"schema_version", kSchemaVersion},
        {"tool", "tavo_l0audit"},
        {"version", kAuditVersion},
        {"kite", result.kite},
        {"window", {{"start", result.window_start}, {"end", result.window_end}}},
        {"summary", {{"images", c.images},
                     {"written", c.written},
                     {"written_partial", c.partial},
                     {"not_written", c.not_written},
                     {"by_reason", c.by_reason},
                     {"products_with_problems", c.problems},
                     {"completeness_by_hour", by_hour}}},
        {"run", {{"stopped", result.run_stopped},
                 {"message", result.run_stopped ? json(result.stop_message) : json(nullptr)}}},
        {"exit_status", result.exit_status}};
    json problems = json::array();
    for (const ImageAudit& image : result.images)
        for (const std::string& problem : image.problems)
            problems.push_back({{"image_id", image.image_id}, {"product", image.product}, {"problem", problem}});
    report["products"] = {{"checked", result.products.checked},
                          {"problems", problems},
                          {"unmatched", result.products.unmatched},
                          {"temporary_files", result.products.temporary_files}};
    // The files and images are written one at a time: a long window's
    // report is never held whole in memory.
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::string head = report.dump(1);
    head.pop_back();  // the closing brace
    out << head;
    const auto write_array = [&](const char* name, size_t count, const auto& element) {
        out << ",\n \"" << name << "\": [";
        for (size_t i = 0; i < count; ++i) out << (i == 0 ? "\n  " : ",\n  ") << element(i).dump();
        out << "\n ]";
    };
    write_array("files", result.files.size(), [&](size_t i) { return file_json(result.files[i]); });
    write_array("images", result.images.size(), [&](size_t i) { return image_json(result, result.images[i]); });
    out << "\n}\n";
    out.close();
    if (!out) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

bool write_csv_report(const AuditResult& result, const std::string& path, std::string& error) {
    std::ofstream csv(path, std::ios::binary | std::ios::trunc);
    csv << "image_id,time,apid,wavelength,frame_type,status,reason,reason_text,product,files,header_packets,"
           "pixel_packets,final_packets,rows,columns,pixels_carried,sel_count,product_problems\n";
    for (const ImageAudit& image : result.images) {
        std::string files, problems;
        for (int f : image.files) files += (files.empty() ? "" : ";") + result.files[f].entry;
        for (const std::string& p : image.problems) problems += (problems.empty() ? "" : ";") + p;
        csv << image.image_id << ',' << (image.time_known ? image_time_text(image) : "") << ',' << image.apid << ','
            << image.wavelength << ',' << image.frame_type << ',' << image_status_code(image.status) << ','
            << (image.reason ? image_reason_code(*image.reason) : "") << ','
            << csv_field(image.reason ? image_reason_text(*image.reason) : "") << ',' << csv_field(image.product)
            << ',' << csv_field(files) << ',' << image.packets_by_kind[0] << ','
            << image.packets_by_kind[1] + image.packets_by_kind[2] << ',' << image.packets_by_kind[3] << ','
            << image.rows << ',' << image.columns << ',' << (image.written ? std::to_string(image.pixels_carried) : "")
            << ',' << (image.written ? std::to_string(image.sel_count) : "") << ',' << csv_field(problems) << '\n';
    }
    csv.close();
    if (!csv) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

std::string format_summary(const AuditResult& result) {
    const Counts c = count(result);
    int selected = 0;
    std::map<std::string, int> skipped;
    for (const FileAudit& file : result.files) {
        if (file.selected) ++selected;
        else ++skipped[file.skip_reason];
    }
    std::ostringstream out;
    out << "Audit of KITE-" << result.kite << " " << result.window_start << " to " << result.window_end << "\n";
    out << "Input files: " << selected << " selected";
    for (const auto& [reason, n] : skipped) out << ", " << n << " " << reason;
    out << "\nImages in the level-0: " << c.images << "; written " << c.written << ", partial " << c.partial
        << ", not written " << c.not_written << "\n";
    for (const auto& [reason, n] : c.by_reason) out << "  " << reason << ": " << n << "\n";
    out << "Completeness per hour (products / images):\n";
    for (const auto& [hour, counts] : c.by_hour) {
        char line[96];
        std::snprintf(line, sizeof line, "  %s:00  %d / %d  (%.1f%%)\n", hour.c_str(), counts.first, counts.second,
                      counts.second > 0 ? 100.0 * counts.first / counts.second : 0.0);
        out << line;
    }
    out << "Products: " << result.products.checked << " checked, " << c.problems << " with problems, "
        << result.products.unmatched.size() << " unmatched, " << result.products.temporary_files.size()
        << " temporary files\n";
    for (const ImageAudit& image : result.images)
        for (const std::string& problem : image.problems)
            out << "  " << image.product << ": " << problem << "\n";
    if (result.run_stopped) out << "The run stops: " << result.stop_message << "\n";
    return out.str();
}

}  // namespace tavo_audit
