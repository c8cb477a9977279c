// The audit's outputs: the JSON report, its CSV twin and the console summary.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>
#include <sstream>

#include "audit.h"
#include "base/base.h"
#include "layout/layout.h"
#include "output_file.h"
#include "time/time.h"
#include "audit_report.h"
#include "text.h"
#include "time_text.h"

namespace tavo_audit {

namespace {

using nlohmann::json;

// Writes text as it is, its NUL bytes included; a failure shows in the stream's error flag.
void put(FILE* out, const std::string& text) { std::fwrite(text.data(), 1, text.size(), out); }

constexpr const char* kTimeFormat = "%04u-%02u-%02uT%02u:%02u:%02u.%03d";

std::string time_text(uint32_t date, uint32_t time, int32_t ms) {
    char text[40];
    std::snprintf(text, sizeof text, kTimeFormat, date / 10000, date / 100 % 100, date % 100, time / 10000,
                  time / 100 % 100, time % 100, ms);
    return text;
}

json gap_json(const SequenceGap& gap) {
    return {{"apid", gap.apid},
            {"first", gap.first},
            {"last", gap.last},
            {"missing", gap.missing},
            {"after", packet_time_text(gap.after)},
            {"before", packet_time_text(gap.before)}};
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
    j["size"] = file.size;
    j["checksum"] = checksum_text(file.checksum);
    j["modified"] = file.modified >= 0 ? json(tavo_tools::utc_seconds_text(file.modified)) : json(nullptr);
    json apids = json::object();
    for (const auto& [apid, count] : file.apid_packets) apids[std::to_string(apid)] = count;
    j["apid_packets"] = apids;
    json gaps = json::array();
    for (const SequenceGap& gap : file.gaps) gaps.push_back(gap_json(gap));
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
            {"product_problems", image.problems},
            {"product_bytes", image.product_bytes > 0 ? json(image.product_bytes) : json(nullptr)},
            {"despiked", image.despiked >= 0 ? json(image.despiked) : json(nullptr)},
            {"product_modified", image.product_modified >= 0 ? json(tavo_tools::utc_seconds_text(image.product_modified)) : json(nullptr)}};
}

json neighbour_json(const ImageAudit& image) {
    return {{"image_id", image.image_id}, {"time", image_time_text(image)}};
}

json absent_json(const AuditResult& result, const AbsentRange& range) {
    json gaps = json::array();
    for (const auto& [file, gap] : range.gaps) {
        json g = gap_json(gap);
        g["file"] = result.files[file].entry;
        gaps.push_back(g);
    }
    return {{"first_id", range.first_id},
            {"last_id", range.last_id},
            {"images", range.last_id - range.first_id + 1},
            {"after", neighbour_json(result.images[range.after])},
            {"before", neighbour_json(result.images[range.before])},
            {"sequence_gaps", gaps}};
}

json id_break_json(const AuditResult& result, const IdBreak& b) {
    return {{"kind", b.kind},
            {"image", neighbour_json(result.images[b.image])},
            {"next", neighbour_json(result.images[b.next])}};
}

struct HourCounts {
    int products = 0, images = 0, absent = 0;  // images: seen in the window and absent
};

// Losses of one origin.
struct LossCounts {
    int images = 0;
    std::map<std::string, int> by_reason;  // reason code, "written_partial", "product_problems" or "absent"
};

struct Counts {
    int images = 0, written = 0, partial = 0, not_written = 0, problems = 0, absent = 0;
    std::map<std::string, int> by_reason;
    std::map<std::string, HourCounts> by_hour;  // "2017-03-01T12"
    LossCounts run, telemetry;
};

// The code under which a lost image is counted.
std::string loss_code(const ImageAudit& image) {
    if (image.status == ImageStatus::kWrittenPartial) return image_status_code(image.status);
    if (image.reason) return image_reason_code(*image.reason);
    return "product_problems";
}

Counts count(const AuditResult& result) {
    Counts c;
    for (const ImageAudit& image : result.images) {
        ++c.images;
        if (image.status == ImageStatus::kWritten) ++c.written;
        if (image.status == ImageStatus::kWrittenPartial) ++c.partial;
        if (image.status == ImageStatus::kNotWritten) ++c.not_written;
        if (image.reason) ++c.by_reason[image_reason_code(*image.reason)];
        if (!image.problems.empty()) ++c.problems;
        const LossOrigin origin = loss_origin(image);
        if (origin != LossOrigin::kNone) {
            LossCounts& loss = origin == LossOrigin::kRun ? c.run : c.telemetry;
            ++loss.images;
            ++loss.by_reason[loss_code(image)];
        }
        // Completeness is that of the window: images outside it do not count.
        if (image.time_known && image.reason != ImageReason::kOutsideWindow) {
            HourCounts& hour = c.by_hour[image_time_text(image).substr(0, 13)];
            if (image.status != ImageStatus::kNotWritten) ++hour.products;
            ++hour.images;
        }
    }
    for (const AbsentRange& range : result.absent) {
        for (const auto& [hour, n] : range.by_hour) {
            c.by_hour[hour].absent += n;
            c.by_hour[hour].images += n;
        }
        c.absent += static_cast<int>(range.last_id - range.first_id + 1);
    }
    if (c.absent > 0) {
        c.telemetry.images += c.absent;
        c.telemetry.by_reason["absent"] = c.absent;
    }
    return c;
}

json loss_json(const LossCounts& loss) { return {{"images", loss.images}, {"by_reason", loss.by_reason}}; }


}  // namespace

std::string image_time_text(const ImageAudit& image) {
    return image.time_known ? time_text(image.date, image.time, image.ms) : "";
}

std::string packet_time_text(PacketTime time) {
    uint32_t date = 0, clock = 0;
    int32_t ms = 0;
    if (!epoch_to_calendar(time.day, time.ms, date, clock, ms)) return "";
    return time_text(date, clock, ms);
}

std::string checksum_text(uint64_t checksum) {
    char text[24];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(checksum));
    return text;
}

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
        by_hour[hour] = {{"products", counts.products}, {"images", counts.images}, {"absent", counts.absent}};
    json report = {
        {tavo_tools::kSchemaVersionKey, tavo_tools::kAuditSchemaVersion},
        {"tool", tavo_tools::kAuditTool},
        {"version", kAuditVersion},
        {"kite", result.kite},
        {"window", {{"start", result.window_start}, {"end", result.window_end}}},
        {"summary", {{"images", c.images},
                     {"written", c.written},
                     {"written_partial", c.partial},
                     {"not_written", c.not_written},
                     {"absent", c.absent},
                     {"by_reason", c.by_reason},
                     {"products_with_problems", c.problems},
                     {"losses", {{"run", loss_json(c.run)}, {"telemetry", loss_json(c.telemetry)}}},
                     {"cadence_seconds", result.cadence_seconds},
                     {"completeness_by_hour", by_hour}}},
        {"run", {{"stopped", result.run_stopped},
                 {"message", result.run_stopped ? json(result.stop_message) : json(nullptr)}}},
        {"audit_run", {{"host", result.host},
                       {"started", result.started},
                       {"finished", result.finished},
                       {"configuration_checksum", result.configuration_checksum},
                       {"output_root", result.output_root}}},
        {"exit_status", result.exit_status}};
    json absent = json::array();
    for (const AbsentRange& range : result.absent) absent.push_back(absent_json(result, range));
    report["absent_ranges"] = absent;
    json breaks = json::array();
    for (const IdBreak& b : result.id_breaks) breaks.push_back(id_break_json(result, b));
    report["id_sequence_breaks"] = breaks;
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
    return tavo_tools::write_named_output(
        path,
        [&](FILE* out) {
            std::string head = report.dump(1);
            head.pop_back();  // the closing brace
            put(out, head);
            const auto write_array = [&](const char* name, size_t count, const auto& element) {
                std::fprintf(out, ",\n \"%s\": [", name);
                for (size_t i = 0; i < count; ++i) {
                    std::fputs(i == 0 ? "\n  " : ",\n  ", out);
                    put(out, element(i).dump());
                }
                std::fputs("\n ]", out);
            };
            write_array("files", result.files.size(), [&](size_t i) { return file_json(result.files[i]); });
            write_array("images", result.images.size(),
                        [&](size_t i) { return image_json(result, result.images[i]); });
            std::fputs("\n}\n", out);
        },
        error);
}

bool write_csv_report(const AuditResult& result, const std::string& path, std::string& error) {
    return tavo_tools::write_named_output(
        path,
        [&](FILE* out) {
            std::fputs("image_id,time,apid,wavelength,frame_type,status,reason,reason_text,product,files,"
                       "header_packets,pixel_packets,final_packets,rows,columns,pixels_carried,sel_count,"
                       "product_problems\n",
                       out);
            std::ostringstream csv;  // one row at a time
            for (const ImageAudit& image : result.images) {
                std::string files, problems;
                for (int f : image.files) files += (files.empty() ? "" : ";") + result.files[f].entry;
                for (const std::string& p : image.problems) problems += (problems.empty() ? "" : ";") + p;
                csv.str("");
                csv << image.image_id << ',' << (image.time_known ? image_time_text(image) : "") << ','
                    << image.apid << ',' << image.wavelength << ',' << image.frame_type << ','
                    << image_status_code(image.status) << ',' << (image.reason ? image_reason_code(*image.reason) : "")
                    << ',' << tavo_tools::csv_field(image.reason ? image_reason_text(*image.reason) : "") << ','
                    << tavo_tools::csv_field(image.product) << ',' << tavo_tools::csv_field(files) << ','
                    << image.packets_by_kind[0] << ',' << image.packets_by_kind[1] + image.packets_by_kind[2] << ','
                    << image.packets_by_kind[3] << ',' << image.rows << ',' << image.columns << ','
                    << (image.written ? std::to_string(image.pixels_carried) : "") << ','
                    << (image.written ? std::to_string(image.sel_count) : "") << ','
                    << tavo_tools::csv_field(problems) << '\n';
                put(out, csv.str());
            }
            // Absent images close the table, one row each, with only id and status.
            for (const AbsentRange& range : result.absent)
                for (uint32_t id = range.first_id; id <= range.last_id; ++id)
                    std::fprintf(out, "%u,,,,,absent,,,,,,,,,,,,\n", id);
        },
        error);
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
        << ", not written " << c.not_written << "; absent from the level-0: " << c.absent << "\n";
    for (const auto& [reason, n] : c.by_reason) out << "  " << reason << ": " << n << "\n";
    out << "Lost by the run (a reprocessing can mend them): " << c.run.images << "\n";
    for (const auto& [reason, n] : c.run.by_reason) out << "  " << reason << ": " << n << "\n";
    out << "Lost in the telemetry (only a re-sent downlink can mend them): " << c.telemetry.images << "\n";
    for (const auto& [reason, n] : c.telemetry.by_reason) out << "  " << reason << ": " << n << "\n";
    for (const AbsentRange& range : result.absent) {
        out << "  absent: ids " << range.first_id << " to " << range.last_id << " between "
            << image_time_text(result.images[range.after]) << " and " << image_time_text(result.images[range.before])
            << " (" << range.gaps.size() << " sequence gaps)\n";
    }
    for (const IdBreak& b : result.id_breaks) {
        out << "  image ids do not follow (" << b.kind << "): " << result.images[b.image].image_id << " at "
            << image_time_text(result.images[b.image]) << ", then " << result.images[b.next].image_id << " at "
            << image_time_text(result.images[b.next]) << "; no absence inferred\n";
    }
    out << "Completeness per hour (products / images, absent ones included):\n";
    for (const auto& [hour, counts] : c.by_hour) {
        char line[128];
        std::snprintf(line, sizeof line, "  %s:00  %d / %d  (%.1f%%)%s\n", hour.c_str(), counts.products,
                      counts.images, counts.images > 0 ? 100.0 * counts.products / counts.images : 0.0,
                      counts.absent > 0 ? (", " + std::to_string(counts.absent) + " absent").c_str() : "");
        out << line;
    }
    for (const FileAudit& file : result.files) {
        if (!file.selected || file.read_error.empty()) continue;
        out << "Damaged level-0 file " << tavo_tools::printable(file.entry) << ": " << file.bytes
            << " bytes of packets read (as tavo_l0dump leaves them; the run goes on with them): "
            << tavo_tools::printable(file.read_error) << "\n";
        int lost = 0;
        for (const ImageAudit& image : result.images) {
            const bool holds = std::find(image.files.begin(), image.files.end(),
                                         static_cast<int>(&file - result.files.data())) != image.files.end();
            if (holds && image.status == ImageStatus::kNotWritten && loss_origin(image) != LossOrigin::kNone) ++lost;
        }
        out << "  images of it not written: " << lost << "; images lost entirely are among the absent ones\n";
    }
    out << "Products: " << result.products.checked << " checked, " << c.problems << " with problems, "
        << result.products.unmatched.size() << " unmatched, " << result.products.temporary_files.size()
        << " temporary files\n";
    for (const ImageAudit& image : result.images)
        for (const std::string& problem : image.problems)
            out << "  " << tavo_tools::printable(image.product) << ": " << tavo_tools::printable(problem) << "\n";
    if (result.run_stopped) out << "The run stops: " << tavo_tools::printable(result.stop_message) << "\n";
    return out.str();
}

}  // namespace tavo_audit
