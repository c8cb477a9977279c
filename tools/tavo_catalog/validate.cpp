// An audit report checked field by field before the ingest uses any of it:
// a report edited by hand or cut short is refused with the field it got
// wrong, never half read.
#include <cstdio>

#include "audit_report.h"
#include "catalog.h"
#include "time_text.h"
#include "driver/driver.h"

namespace tavo_catalog {

namespace {

using nlohmann::json;

constexpr int kFirstYear = 2000, kLastYear = 2099;  // the years TAVO_L0's times support
constexpr int64_t kMaxApid = 2047;                  // 11-bit identifier
constexpr int64_t kMaxSequenceCount = 16383;        // 14-bit counter
constexpr int64_t kMaxImageId = 0xFFFFFFFF;          // 32-bit image serial number
constexpr int64_t kMaxExitStatus = 255;
// No image follows another within a second (an image is megabytes of
// packets): a window of n seconds holds at most n + 1 images.
constexpr int64_t kShortestCadenceMs = 1000;

// The checks of one report; the first failure is kept with its field's path.
class Checker {
public:
    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }

    bool fail(const std::string& field, const std::string& what, const json& value) {
        if (error_.empty()) {
            std::string got = value.dump();
            if (got.size() > 40) got = got.substr(0, 40) + "...";
            error_ = field + " must be " + what + ", got " + got;
        }
        return false;
    }
    // Absent members are null: optional fields accept null.
    const json& at(const json& object, const char* key) const {
        static const json kNull;
        const auto found = object.find(key);
        return found != object.end() ? *found : kNull;
    }
    bool integer(const json& object, const char* key, const std::string& field, int64_t low, int64_t high,
                 bool optional) {
        const json& value = at(object, key);
        if (optional && value.is_null()) return true;
        if (!value.is_number_integer() || value.get<int64_t>() < low || value.get<int64_t>() > high ||
            (value.is_number_unsigned() && value.get<uint64_t>() > static_cast<uint64_t>(high))) {
            return fail(field + key, "an integer from " + std::to_string(low) + " to " + std::to_string(high), value);
        }
        return true;
    }
    bool text(const json& object, const char* key, const std::string& field, bool optional) {
        const json& value = at(object, key);
        return (optional && value.is_null()) || value.is_string() || fail(field + key, "a text", value);
    }
    // A time of the supported years, as ms from 1970.
    bool time(const json& object, const char* key, const std::string& field, bool optional, int64_t& ms) {
        const json& value = at(object, key);
        if (optional && value.is_null()) return true;
        int year = 0;
        if (!value.is_string() || !tavo_tools::parse_utc_ms(value.get<std::string>(), ms) ||
            std::sscanf(value.get<std::string>().c_str(), "%4d", &year) != 1 || year < kFirstYear || year > kLastYear) {
            return fail(field + key, "a time of the years " + std::to_string(kFirstYear) + " to " +
                                         std::to_string(kLastYear) + " (YYYY-MM-DDThh:mm:ss.sss)",
                        value);
        }
        return true;
    }
    bool list(const json& object, const char* key, const std::string& field, bool optional) {
        const json& value = at(object, key);
        return (optional && value.is_null()) || value.is_array() || fail(field + key, "a list", value);
    }
    bool object(const json& value, const std::string& field) {
        return value.is_object() || fail(field, "an object", value);
    }

private:
    std::string error_;
};

bool check_file(Checker& c, const json& file, const std::string& at) {
    int64_t ms = 0;
    if (!c.object(file, at) || !c.text(file, "entry", at + ".", false) || !c.text(file, "checksum", at + ".", true) ||
        !c.integer(file, "size", at + ".", 0, INT64_MAX, true) || !c.time(file, "modified", at + ".", true, ms) ||
        !c.list(file, "sequence_gaps", at + ".", true))
        return false;
    const json& scanned = c.at(file, "scanned");
    if (!scanned.is_null() && !scanned.is_boolean()) return c.fail(at + ".scanned", "true or false", scanned);
    const json& gaps = c.at(file, "sequence_gaps");
    for (size_t g = 0; g < gaps.size(); ++g) {
        const std::string field = at + ".sequence_gaps[" + std::to_string(g) + "].";
        if (!c.object(gaps[g], field.substr(0, field.size() - 1)) ||
            !c.integer(gaps[g], "apid", field, 0, kMaxApid, false) ||
            !c.integer(gaps[g], "first", field, 0, kMaxSequenceCount, false) ||
            !c.integer(gaps[g], "last", field, 0, kMaxSequenceCount, false) ||
            !c.integer(gaps[g], "missing", field, 0, kMaxSequenceCount, false) ||
            !c.time(gaps[g], "after", field, false, ms) || !c.time(gaps[g], "before", field, false, ms))
            return false;
    }
    return true;
}

bool check_image(Checker& c, const json& image, const std::string& at) {
    int64_t ms = 0;
    const std::string field = at + ".";
    if (!c.object(image, at) || !c.integer(image, "image_id", field, 0, kMaxImageId, false) ||
        !c.time(image, "time", field, true, ms) || !c.integer(image, "wavelength", field, -1, INT32_MAX, false) ||
        !c.text(image, "reason", field, true) || !c.integer(image, "product_bytes", field, 0, INT64_MAX, true) ||
        !c.integer(image, "despiked", field, 0, INT64_MAX, true) ||
        !c.time(image, "product_modified", field, true, ms) || !c.list(image, "files", field, true))
        return false;
    const json& status = c.at(image, "status");
    tavo_tools::ImageStatus known;
    if (!status.is_string() || !tavo_tools::parse_image_status(status.get<std::string>(), known))
        return c.fail(field + "status", "written, written_partial or not_written", status);
    const json& frame = c.at(image, "frame_type");
    if (!frame.is_null() && frame != "LIGHT" && frame != "DARK")
        return c.fail(field + "frame_type", "LIGHT, DARK or null", frame);
    const json& files = c.at(image, "files");
    for (size_t f = 0; f < files.size(); ++f)
        if (!files[f].is_string()) return c.fail(field + "files[" + std::to_string(f) + "]", "a file name", files[f]);
    return true;
}

// window_ms: the time the absent images lie in, a report's window or, for a
// join record, the time between the range's neighbours.
bool check_absent(Checker& c, const json& range, const std::string& at, int64_t window_ms, bool join_record) {
    const std::string field = at + ".";
    int64_t t0 = 0, t1 = 0;
    if (!c.object(range, at) || !c.integer(range, "first_id", field, 0, kMaxImageId, false) ||
        !c.integer(range, "last_id", field, 0, kMaxImageId, false) || !c.object(c.at(range, "after"), field + "after") ||
        !c.object(c.at(range, "before"), field + "before") ||
        !c.integer(range["after"], "image_id", field + "after.", 0, kMaxImageId, false) ||
        !c.integer(range["before"], "image_id", field + "before.", 0, kMaxImageId, false) ||
        !c.time(range["after"], "time", field + "after.", false, t0) ||
        !c.time(range["before"], "time", field + "before.", false, t1))
        return false;
    if (join_record) window_ms = t1 - t0;
    const int64_t first = range["first_id"], last = range["last_id"];
    const int64_t after = range["after"]["image_id"], before = range["before"]["image_id"];
    const int64_t most = window_ms / kShortestCadenceMs + 1;
    if (last - first + 1 > most)
        return c.fail(field + "last_id", "within " + std::to_string(most) + " images of first_id (the window holds no "
                                         "more)", range["last_id"]);
    if (first > last || first <= after || last >= before)
        return c.fail(field + "first_id", "at most last_id, both between after.image_id and before.image_id",
                      range["first_id"]);
    return true;
}

}  // namespace

bool validate_report(const json& report, std::string& error) {
    const bool join_record = report.is_object() && report.value("tool", json()) == tavo_tools::kJoinRecordTool &&
                             report.value("join", json()).is_object();
    if (!report.is_object() || (report.value("tool", json()) != tavo_tools::kAuditTool && !join_record)) {
        error = "not a tavo_l0audit report nor a tavo_campaign join record";
        return false;
    }
    const json version = report.value(tavo_tools::kSchemaVersionKey, json());
    if (!version.is_number_integer() || version.get<int64_t>() != tavo_tools::kAuditSchemaVersion) {
        error = "report schema " + version.dump() + ", the catalog reads schema " +
                std::to_string(tavo_tools::kAuditSchemaVersion) +
                " (audit the window again with this tavo_l0audit)";
        return false;
    }
    Checker c;
    int64_t start = 0, end = 0;
    const json& kite = c.at(report, "kite");
    if (!kite.is_number_integer() || !satellite_is_valid(static_cast<int32_t>(kite.get<int64_t>())) ||
        kite.get<int64_t>() != static_cast<int32_t>(kite.get<int64_t>())) {
        c.fail("kite", "a satellite from " + std::to_string(kFirstSatellite) + " to " + std::to_string(kLastSatellite),
               kite);
    } else if (c.text(report, "version", "", true) && c.object(c.at(report, "window"), "window") &&
               c.time(report["window"], "start", "window.", false, start) &&
               c.time(report["window"], "end", "window.", false, end) && end < start) {
        c.fail("window.end", "no earlier than window.start", report["window"]["end"]);
    }
    if (c.ok() && c.object(c.at(report, "audit_run"), "audit_run")) {
        for (const char* key : {"host", "configuration_checksum", "started", "finished", "output_root"})
            if (!c.text(report["audit_run"], key, "audit_run.", true)) break;
    }
    if (c.ok() && c.integer(report, "exit_status", "", 0, kMaxExitStatus, true) && c.list(report, "files", "", false) &&
        c.list(report, "images", "", false) && c.list(report, "absent_ranges", "", true)) {
        const json& files = report["files"];
        for (size_t i = 0; i < files.size() && check_file(c, files[i], "files[" + std::to_string(i) + "]"); ++i) {
        }
        const json& images = report["images"];
        for (size_t i = 0; c.ok() && i < images.size(); ++i) check_image(c, images[i], "images[" + std::to_string(i) + "]");
        const json& absent = c.at(report, "absent_ranges");
        for (size_t i = 0; c.ok() && i < absent.size(); ++i)
            check_absent(c, absent[i], "absent_ranges[" + std::to_string(i) + "]", end + 999 - start, join_record);
    }
    if (!c.ok()) error = c.error();
    return c.ok();
}

}  // namespace tavo_catalog
