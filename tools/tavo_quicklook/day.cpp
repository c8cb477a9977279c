// The products of a day, the audit report that covers it, and the gaps of
// its timeline.
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "fits/fits.h"
#include "layout/layout.h"
#include "quicklook.h"
#include "audit_report.h"
#include "time_text.h"

namespace quicklook {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

constexpr int kOldestAuditSchema = 1;
constexpr int kNewestAuditSchema = tavo_tools::kAuditSchemaVersion;  // 2 adds the absent ranges
constexpr const char* kAbsentReason = "absent";
// An image the audited run left to the windows beside its own: no loss.
constexpr const char* kOutsideWindowReason = "outside_window";
constexpr double kSecondsPerDay = 86400.0;

// "%08d_%06d_%03d_%08d.fits" and nothing else (temporary files end in "-tmp").
bool is_product_name(const std::string& name) {
    ProductName product{};
    return parse_product_name(name.c_str(), product);
}

// "YYYY-MM-DDThh:mm:ss[.mmm]" as day (YYYYMMDD) and seconds of that day.
bool split_iso_time(const std::string& text, uint32_t& day, double& seconds) {
    constexpr int64_t kMsPerDay = 86400000;
    int64_t ms = 0;
    if (!tavo_tools::parse_utc_ms(text, ms)) return false;
    const int64_t days = ms >= 0 ? ms / kMsPerDay : (ms - kMsPerDay + 1) / kMsPerDay;
    const tavo_tools::CivilDate date = tavo_tools::civil_from_days(days);
    day = static_cast<uint32_t>(date.year * 10000 + date.month * 100 + date.day);
    seconds = static_cast<double>(ms - days * kMsPerDay) / 1000.0;
    return true;
}

std::string string_or_empty(const json& value) { return value.is_string() ? value.get<std::string>() : ""; }

std::string clock_text(double seconds) {
    const int whole = static_cast<int>(seconds);
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", whole / 3600, whole / 60 % 60, whole % 60);
    return text;
}

std::string passband_text(int wavelength) {
    return wavelength > 0 ? std::to_string(wavelength) + " A" : "unknown passband";
}

// Slots of the cadence that fall between the neighbours of an absent range
// are its images: the level-0 holds no packet of them.
void mark_absent(std::vector<Gap>& gaps, const Audit& audit, uint32_t day) {
    for (const AbsentImages& range : audit.absent) {
        uint32_t after_day = 0, before_day = 0;
        double after = 0, before = 0;
        if (!split_iso_time(range.after_time, after_day, after) || !split_iso_time(range.before_time, before_day, before))
            continue;
        if (after_day > day || before_day < day) continue;
        if (after_day < day) after = 0;
        if (before_day > day) before = kSecondsPerDay;
        for (Gap& g : gaps) {
            if (!g.reason.empty() || g.time <= after || g.time >= before) continue;
            g.reason = kAbsentReason;
            g.text = clock_text(g.time) + ", " + passband_text(g.wavelength) + ": absent from the level-0 (ids " +
                     std::to_string(range.first_id) + " to " + std::to_string(range.last_id) + ")";
        }
    }
}

}  // namespace

std::string day_text(uint32_t day, const char* separator) {
    char text[32];
    std::snprintf(text, sizeof text, "%04u%s%02u%s%02u", day / 10000, separator, day / 100 % 100, separator, day % 100);
    return text;
}

std::string kite_name(int kite) {
    char text[kTreeLevelSlot];
    format_satellite_directory(kite, text);
    return text;
}

std::vector<std::string> list_day_products(const std::string& root, int kite, uint32_t day) {
    std::vector<std::string> paths;
    const fs::path day_dir = fs::path(root) / kite_name(kite) / day_text(day, "/");
    for (int hour = 0; hour < kHoursPerDay; ++hour) {
        char hour_name[kTreeLevelSlot];
        format_hour_directory(hour, hour_name);
        std::error_code ec;
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(day_dir / hour_name, ec)) {
            const std::string name = entry.path().filename().string();
            if (is_product_name(name)) names.push_back(name);
        }
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) paths.push_back((day_dir / hour_name / name).string());
    }
    return paths;
}

bool read_audit(const std::string& path, Audit& audit, std::string& error) {
    audit = Audit{};
    audit.path = path;
    std::ifstream in(path);
    if (!in) {
        error = "cannot open audit report " + path;
        return false;
    }
    json report = json::parse(in, nullptr, false);
    if (report.is_discarded() || !report.is_object()) {
        error = "audit report " + path + " is not JSON";
        return false;
    }
    const json version = report.value(tavo_tools::kSchemaVersionKey, json());
    if (!version.is_number_integer() || version.get<int>() < kOldestAuditSchema ||
        version.get<int>() > kNewestAuditSchema || !report.contains("images") || !report["images"].is_array()) {
        error = "audit report " + path + " has no " + tavo_tools::kSchemaVersionKey + " 1 or 2 with an images list";
        return false;
    }
    if (report.contains("window") && report["window"].is_object()) {
        audit.window_start = string_or_empty(report["window"].value("start", json()));
        audit.window_end = string_or_empty(report["window"].value("end", json()));
    }
    for (const json& image : report["images"]) {
        if (!image.is_object() || image.value("status", json()) != "not_written") continue;
        AuditImage a;
        a.time_text = string_or_empty(image.value("time", json()));
        const json wavelength = image.value("wavelength", json());
        a.wavelength = wavelength.is_number_integer() ? wavelength.get<int>() : -1;
        a.reason = string_or_empty(image.value("reason", json()));
        a.reason_text = string_or_empty(image.value("reason_text", json()));
        audit.not_written.push_back(a);
    }
    for (const json& range : report.value("absent_ranges", json::array())) {
        if (!range.is_object()) continue;
        AbsentImages a;
        a.first_id = range.value("first_id", 0u);
        a.last_id = range.value("last_id", 0u);
        const json after = range.value("after", json::object()), before = range.value("before", json::object());
        a.after_time = after.is_object() ? string_or_empty(after.value("time", json())) : "";
        a.before_time = before.is_object() ? string_or_empty(before.value("time", json())) : "";
        audit.absent.push_back(a);
    }
    return true;
}

std::string find_day_audit(const std::string& root, int kite, uint32_t day) {
    std::string best;
    fs::file_time_type best_time{};
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(fs::path(root) / kite_name(kite) / tavo_tools::kAuditDirectoryName,
                                                    ec)) {
        uint32_t start = 0, end = 0;
        if (!tavo_tools::parse_audit_report_name(entry.path().filename().string(), start, end)) continue;
        if (start > day || end < day) continue;
        std::error_code time_ec;
        const auto written = fs::last_write_time(entry.path(), time_ec);
        if (time_ec) continue;
        if (best.empty() || written > best_time || (written == best_time && entry.path().string() > best)) {
            best = entry.path().string();
            best_time = written;
        }
    }
    return best;
}

double expected_cadence(const std::vector<double>& times) {
    if (times.size() < 3) return 0;
    std::vector<double> steps;
    for (size_t i = 1; i < times.size(); ++i) steps.push_back(times[i] - times[i - 1]);
    std::nth_element(steps.begin(), steps.begin() + static_cast<long>(steps.size() / 2), steps.end());
    return steps[steps.size() / 2];
}

std::vector<Gap> find_gaps(const std::vector<ProductInfo>& products, const Audit* audit, uint32_t day) {
    std::map<int, std::vector<double>> times;  // by passband, in time order
    for (const ProductInfo& p : products) times[p.wavelength].push_back(p.time);
    std::vector<Gap> gaps;
    std::map<int, double> cadences;
    for (auto& [wavelength, list] : times) {
        std::sort(list.begin(), list.end());
        const double cadence = expected_cadence(list);
        cadences[wavelength] = cadence;
        if (cadence <= 0) continue;
        for (size_t i = 1; i < list.size(); ++i) {
            const double step = list[i] - list[i - 1];
            if (step < kGapFactor * cadence) continue;
            const long missing = std::max(1L, std::lround(step / cadence) - 1);
            for (long k = 1; k <= missing; ++k) {
                Gap g;
                g.wavelength = wavelength;
                g.time = list[i - 1] + step * static_cast<double>(k) / static_cast<double>(missing + 1);
                gaps.push_back(g);
            }
        }
    }
    const bool have_audit = audit != nullptr;
    if (have_audit) {
        std::vector<bool> explained(gaps.size(), false);
        for (const AuditImage& image : audit->not_written) {
            if (image.reason == kOutsideWindowReason) continue;
            Gap g;
            g.wavelength = image.wavelength;
            uint32_t image_day = 0;
            double seconds = -1;
            if (!image.time_text.empty()) {
                if (!split_iso_time(image.time_text, image_day, seconds)) continue;
                if (image_day != day) continue;
                g.time = seconds;
            }
            g.reason = image.reason.empty() ? "unknown" : image.reason;
            const std::string why = image.reason_text.empty() ? g.reason : image.reason_text;
            g.text = (g.time >= 0 ? clock_text(g.time) : std::string("time unknown")) + ", " +
                     passband_text(g.wavelength) + ": not written (" + why + ")";
            // The audit's image takes the place of the timeline's slot it explains.
            const double cadence = cadences.count(g.wavelength) ? cadences[g.wavelength] : 0;
            size_t slot = gaps.size();
            for (size_t i = 0; i < gaps.size() && g.time >= 0; ++i) {
                if (!explained[i] && gaps[i].reason.empty() && gaps[i].wavelength == g.wavelength &&
                    std::abs(gaps[i].time - g.time) <= 0.5 * cadence) {
                    slot = i;
                    break;
                }
            }
            if (slot < gaps.size()) {
                gaps[slot] = g;
                explained[slot] = true;
            } else {
                gaps.push_back(g);
                explained.push_back(true);
            }
        }
    }
    if (have_audit) mark_absent(gaps, *audit, day);
    for (Gap& g : gaps) {
        if (!g.text.empty()) continue;
        g.text = clock_text(g.time) + ", " + passband_text(g.wavelength) + ": no product where the cadence expects one" +
                 (have_audit ? " (not in the audit report)" : " (no audit report)");
    }
    std::sort(gaps.begin(), gaps.end(), [](const Gap& a, const Gap& b) {
        return a.wavelength != b.wavelength ? a.wavelength < b.wavelength : a.time < b.time;
    });
    return gaps;
}

}  // namespace quicklook
