// Join records: the ids absent between the last image of the windows before
// a window and its first image, inferred from the two windows' audits by the
// audit's own rule (the ids step by more than one, and the time between the
// two images holds as many cadences as the ids step over).
#include "joins.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <set>

#include "audit_report.h"
#include "time_text.h"

namespace fs = std::filesystem;

namespace campaign {

namespace {

using nlohmann::json;

// An image of a window with its time, as the audit names it.
struct Neighbour {
    uint32_t id = 0;
    std::string time;  // "2017-03-01T23:59:50.055"
    int64_t ms = 0;    // the same, ms from 1970
    json text() const { return {{"image_id", id}, {"time", time}}; }
};

// What a join needs of a window's audit.
struct WindowAudit {
    bool known = false;                 // done, with an audit
    std::optional<Neighbour> first, last;  // its images with a time, earliest and latest
    std::set<uint32_t> ids;             // every image id the audit met
    double cadence = 0;                 // s, 0 unknown
    json audit_run, files;
    std::string version;
};

WindowAudit read_window(const Campaign& c, int number) {
    WindowAudit w;
    const std::string audit = c.window_directory(number) + "/" + tavo_tools::kWindowAuditName;
    if (!fs::exists(c.result_path(number)) || !fs::exists(audit)) return w;
    if (read_result(c.result_path(number)).value("exit_status", -1) != 0) return w;
    const json report = read_json(audit);
    w.known = true;
    w.cadence = report.value("summary", json::object()).value("cadence_seconds", 0.0);
    w.audit_run = report.value("audit_run", json::object());
    w.files = report.value("files", json::array());
    w.version = report.value("version", "");
    for (const json& image : report.value("images", json::array())) {
        if (!image.is_object() || !image.value("image_id", json()).is_number_unsigned()) continue;
        const auto id = image["image_id"].get<uint32_t>();
        w.ids.insert(id);
        const json time = image.value("time", json());
        Neighbour n{id, time.is_string() ? time.get<std::string>() : "", 0};
        if (image.value("reason", json()) == "outside_window" || !tavo_tools::parse_utc_ms(n.time, n.ms)) continue;
        if (!w.first || n.ms < w.first->ms) w.first = n;
        if (!w.last || n.ms >= w.last->ms) w.last = n;
    }
    return w;
}

// "2017-03-01T23:57:13" of an instant.
std::string iso_instant(Instant t) {
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u", t.date / 10000, t.date / 100 % 100, t.date % 100,
                  t.time / 10000, t.time / 100 % 100, t.time % 100);
    return text;
}

std::string hour_of(int64_t ms) { return tavo_tools::utc_ms_text(ms).substr(0, 13); }

// The campaign's windows in time order, their audits read once.
class Joins {
public:
    explicit Joins(const Campaign& c) : c_(c) {
        for (const WindowPlan& w : c.windows) order_.push_back(w.window);
        std::sort(order_.begin(), order_.end(), [](const Window& a, const Window& b) { return a.start < b.start; });
    }
    size_t size() const { return order_.size(); }
    std::optional<size_t> index_of(int number) const {
        for (size_t i = 0; i < order_.size(); ++i)
            if (order_[i].number == number) return i;
        return std::nullopt;
    }
    const WindowAudit& audit(size_t i) {
        auto found = audits_.find(i);
        if (found == audits_.end()) found = audits_.emplace(i, read_window(c_, order_[i].number)).first;
        return found->second;
    }
    // Writes window i's record; its path, or "" when the windows before it
    // are not all known yet (or it has none before it).
    std::string write(size_t i);

private:
    json record(size_t i, size_t p);

    const Campaign& c_;
    std::vector<Window> order_;
    std::map<size_t, WindowAudit> audits_;
};

// The record of the join before window i, whose image before lies in window p.
json Joins::record(size_t i, size_t p) {
    const WindowAudit& after_window = audit(p);
    const WindowAudit& w = audit(i);
    std::set<uint32_t> seen;
    for (size_t j = p; j <= i; ++j) seen.insert(audit(j).ids.begin(), audit(j).ids.end());
    json ranges = json::array(), breaks = json::array(), hours = json::object();
    int64_t absent = 0;
    const std::optional<Neighbour>& a = after_window.last;
    const std::optional<Neighbour>& b = w.first;
    const double cadence = after_window.cadence > 0 ? after_window.cadence : w.cadence;
    if (b && b->id != a->id + 1) {
        const char* kind = b->id == a->id ? "repeat" : b->id < a->id ? "reset" : nullptr;
        const double steps = cadence > 0 ? (b->ms - a->ms) / 1000.0 / cadence : 0;
        if (kind == nullptr && (cadence <= 0 || std::lround(steps) != static_cast<long>(b->id - a->id))) kind = "jump";
        if (kind != nullptr) {
            breaks.push_back({{"kind", kind}, {"image", a->text()}, {"next", b->text()}});
        } else {
            // The ids no window met, as ranges between the ids met; each
            // counted in its hour by the time interpolated between a and b.
            json gaps = json::array();
            for (size_t j = p; j <= i; ++j) {
                for (const json& file : audit(j).files) {
                    for (const json& gap : file.value("sequence_gaps", json::array())) {
                        int64_t from = 0, to = 0;
                        if (!tavo_tools::parse_utc_ms(gap.value("after", ""), from) ||
                            !tavo_tools::parse_utc_ms(gap.value("before", ""), to) || from >= b->ms || to <= a->ms)
                            continue;
                        json cited = gap;
                        cited["file"] = file.value("entry", "");
                        if (std::find(gaps.begin(), gaps.end(), cited) == gaps.end()) gaps.push_back(cited);
                    }
                }
            }
            for (uint32_t id = a->id + 1; id < b->id; ++id) {
                if (seen.count(id) != 0) continue;
                if (ranges.empty() || ranges.back()["last_id"].get<uint32_t>() + 1 != id) {
                    ranges.push_back({{"first_id", id}, {"last_id", id}, {"images", 0}, {"after", a->text()},
                                      {"before", b->text()}, {"sequence_gaps", gaps}});
                }
                json& range = ranges.back();
                range["last_id"] = id;
                range["images"] = range["images"].get<int64_t>() + 1;
                const int64_t ms = a->ms + (b->ms - a->ms) * (id - a->id) / (b->id - a->id);
                json& hour = hours[hour_of(ms)];
                hour["products"] = 0;
                hour["images"] = hour.value("images", 0) + 1;
                hour["absent"] = hour.value("absent", 0) + 1;
                ++absent;
            }
        }
    }
    const json telemetry = {{"images", absent},
                            {"by_reason", absent > 0 ? json{{"absent", absent}} : json::object()}};
    const json summary = {{"images", 0},
                          {"written", 0},
                          {"written_partial", 0},
                          {"not_written", 0},
                          {"absent", absent},
                          {"by_reason", json::object()},
                          {"products_with_problems", 0},
                          {"losses", {{"run", {{"images", 0}, {"by_reason", json::object()}}}, {"telemetry", telemetry}}},
                          {"cadence_seconds", cadence},
                          {"completeness_by_hour", hours}};
    const std::string at = iso_instant(order_[i].start);
    return {{tavo_tools::kSchemaVersionKey, tavo_tools::kAuditSchemaVersion},
            {"tool", tavo_tools::kJoinRecordTool},
            {"version", w.version},
            {"kite", c_.kite},
            {"window", {{"start", at}, {"end", at}}},
            {"join",
             {{"window", order_[i].number},
              {"after_window", order_[p].number},
              {"after", a->text()},
              {"before", b ? b->text() : json()}}},
            {"summary", summary},
            {"run", {{"stopped", false}, {"message", nullptr}}},
            {"audit_run",
             {{"host", host_name()},
              {"configuration_checksum", w.audit_run.value("configuration_checksum", "")},
              {"output_root", w.audit_run.value("output_root", "")}}},
            {"exit_status", absent > 0 ? 1 : 0},
            {"files", json::array()},
            {"images", json::array()},
            {"absent_ranges", ranges},
            {"id_sequence_breaks", breaks},
            {"products",
             {{"checked", 0},
              {"problems", json::array()},
              {"unmatched", json::array()},
              {"temporary_files", json::array()}}}};
}

std::string Joins::write(size_t i) {
    if (!audit(i).known) return "";
    // The image before: the latest of the nearest window before with one.
    std::optional<size_t> p;
    for (size_t j = i; j-- > 0;) {
        if (!audit(j).known) return "";
        if (audit(j).last) {
            p = j;
            break;
        }
    }
    if (!p) return "";
    json fresh = record(i, *p);
    const std::string path = c_.window_directory(order_[i].number) + "/" + tavo_tools::kWindowJoinName;
    // The same join found again keeps its record, so that the catalog finds it unchanged.
    if (fs::exists(path)) {
        json old = read_json(path);
        if (old.value("audit_run", json()).is_object()) {
            old["audit_run"].erase("started");
            old["audit_run"].erase("finished");
            fresh["audit_run"]["host"] = old["audit_run"].value("host", "");
        }
        if (old == fresh) return path;
    }
    const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    fresh["audit_run"]["started"] = fresh["audit_run"]["finished"] = tavo_tools::iso_text(now, 3);
    fresh["audit_run"]["host"] = host_name();
    write_file_atomically(path, fresh.dump(1) + "\n");
    return path;
}

}  // namespace

std::vector<std::string> write_join_records(const Campaign& c, int number) {
    Joins joins(c);
    std::vector<std::string> paths;
    const std::optional<size_t> i = joins.index_of(number);
    if (!i) return paths;
    if (std::string path = joins.write(*i); !path.empty()) paths.push_back(path);
    // The next window with an image takes its image before from this one
    // or an earlier; the windows between have none and no absence.
    for (size_t j = *i + 1; j < joins.size() && joins.audit(j).known; ++j) {
        if (std::string path = joins.write(j); !path.empty()) paths.push_back(path);
        if (joins.audit(j).first) break;
    }
    return paths;
}

std::vector<std::string> write_all_join_records(const Campaign& c) {
    Joins joins(c);
    std::vector<std::string> paths;
    for (size_t i = 0; i < joins.size(); ++i)
        if (std::string path = joins.write(i); !path.empty()) paths.push_back(path);
    return paths;
}

}  // namespace campaign
