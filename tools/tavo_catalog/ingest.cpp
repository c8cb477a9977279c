// Audit reports into the catalog. A report is one run over one window; the
// same report again changes nothing, and a newer audit of the same window
// takes the older one's place.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iterator>
#include <map>
#include <set>

#include "audit_report.h"
#include "catalog.h"
#include "time_text.h"

namespace tavo_catalog {

namespace {

using nlohmann::json;

constexpr const char* kAbsentReason = "absent";
constexpr int kLightFrame = 0, kDarkFrame = 1;

// A member of an object where it is, or null (an empty list) when absent:
// a report's lists are looked at, never copied.
const json& member(const json& object, const char* key) {
    static const json kNull;
    const auto found = object.find(key);
    return found != object.end() ? *found : kNull;
}

const json& list_of(const json& object, const char* key) {
    static const json kEmpty = json::array();
    const json& list = member(object, key);
    return list.is_array() ? list : kEmpty;
}

std::string text_of(const json& object, const char* key) {
    const auto found = object.find(key);
    return found != object.end() && found->is_string() ? found->get<std::string>() : "";
}

// The window's END names its last second: the window ends at its last millisecond.
bool window_of(const json& report, int64_t& start, int64_t& end) {
    const json window = report.value("window", json::object());
    if (!window.is_object() || !tavo_tools::parse_utc_ms(text_of(window, "start"), start) || !tavo_tools::parse_utc_ms(text_of(window, "end"), end))
        return false;
    end += 999;
    return true;
}

// A time field as ms; -1 when absent or unreadable.
int64_t time_field(const json& object, const char* key) {
    int64_t ms = 0;
    return tavo_tools::parse_utc_ms(text_of(object, key), ms) ? ms : -1;
}

// A level-0 file name's time field ("_s" or "_e", then YYYYDDDhhmmss and
// tenths; the year begins "20") as ms; -1 when absent.
int64_t name_time_field(const std::string& name, const char* tag) {
    const size_t at = name.find(std::string(tag) + "20");
    int year = 0, day = 0, h = 0, m = 0, s = 0, tenths = 0;
    if (at == std::string::npos ||
        std::sscanf(name.c_str() + at + 2, "%4d%3d%2d%2d%2d%1d", &year, &day, &h, &m, &s, &tenths) != 6) {
        return -1;
    }
    int64_t january_first = 0;
    tavo_tools::parse_utc_ms(std::to_string(year) + "-01-01", january_first);
    return january_first + (day - 1) * kMsPerDay + ((h * 60 + m) * 60 + s) * 1000 + tenths * 100;
}

// The image fields the catalog does not keep are dropped while parsing:
// building and freeing them costs more than the rest of an ingest.
bool keep_needed(int, json::parse_event_t event, json& parsed) {
    static const std::set<std::string> kUnused = {"packets",       "rows",      "columns",         "pixels_announced",
                                                  "pixels_carried", "sel_count", "reason_text",     "product_problems",
                                                  "product",        "apid_packets", "skipped",      "bad_length"};
    return event != json::parse_event_t::key || kUnused.count(parsed.get_ref<const std::string&>()) == 0;
}

struct ReportRun {
    std::string program;  // the report's tool: an audit, or a campaign's join record
    bool join = false;    // a join record: its absent images lie around its window, the join's instant
    int kite = 0;
    int64_t window_start = 0, window_end = 0;
    std::string version, host, checksum, started, finished, output_root;
    int exit_status = 0;
};

// The report's header, of a validated report.
ReportRun read_header(const json& report) {
    ReportRun run;
    window_of(report, run.window_start, run.window_end);
    const json audit_run = report.value("audit_run", json::object());
    run.kite = report["kite"].get<int>();
    run.program = text_of(report, "tool");
    run.join = run.program == tavo_tools::kJoinRecordTool;
    run.version = text_of(report, "version");
    run.host = text_of(audit_run, "host");
    run.checksum = text_of(audit_run, "configuration_checksum");
    run.started = text_of(audit_run, "started");
    run.finished = text_of(audit_run, "finished");
    run.output_root = text_of(audit_run, "output_root");
    const json& status = member(report, "exit_status");
    run.exit_status = status.is_number_integer() ? status.get<int>() : 0;
    return run;
}

// One ingest: the statements prepared once and the ids looked up once.
class Ingest {
public:
    explicit Ingest(const Catalog& catalog)
        : catalog_(catalog),
          now_(tavo_tools::utc_seconds_text(std::time(nullptr))),
          find_run_(catalog, "SELECT id, finished, host, configuration_checksum, started FROM runs "
                             "WHERE kite = ? AND window_start = ? AND window_end = ? AND program = ? "
                             "AND superseded_by IS NULL"),
          insert_run_(catalog, "INSERT INTO runs(program, version, host, configuration_checksum, kite, window_start, "
                               "window_end, started, finished, exit_status, output_root, report, ingested) "
                               "VALUES(?13, ?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12)"),
          supersede_(catalog, "UPDATE runs SET superseded_by = ? WHERE id = ?"),
          drop_images_(catalog, "DELETE FROM images WHERE kite = ? AND time BETWEEN ? AND ? AND run = ?"),
          lost_span_(catalog, "SELECT min(time), max(time) FROM images WHERE kite = ? AND status != 0 AND run = ?"),
          drop_lost_(catalog, "DELETE FROM images WHERE kite = ? AND status != 0 AND run = ?"),
          drop_sources_(catalog, "DELETE FROM product_sources WHERE kite = ? AND time BETWEEN ? AND ?"),
          drop_replay_(catalog, "DELETE FROM replay_ranges WHERE kite = ? AND run = ?"),
          drop_unwritten_products_(
              catalog, "DELETE FROM products WHERE kite = ?1 AND time BETWEEN ?2 AND ?3 AND NOT EXISTS("
                       "SELECT 1 FROM images i WHERE i.kite = ?1 AND i.time = products.time AND "
                       "i.image_id = products.image_id AND i.status IN (0, 1))"),
          find_file_(catalog, "SELECT id, checksum FROM level0_files WHERE kite = ? AND name = ?"),
          insert_file_(catalog, "INSERT INTO level0_files(kite, name, span_start, span_end, size, checksum, "
                                "modified, first_seen) VALUES(?, ?, ?, ?, ?, ?, ?, ?)"),
          change_file_(catalog, "UPDATE level0_files SET size = ?, checksum = ?, modified = ?, changed = ? "
                                "WHERE id = ?"),
          find_reason_(catalog, "SELECT id FROM reasons WHERE code = ?"),
          insert_reason_(catalog, "INSERT INTO reasons(code) VALUES(?)"),
          insert_image_(catalog, "INSERT OR REPLACE INTO images VALUES(?, ?, ?, ?, ?, ?, ?, ?)"),
          // The run that made a product stays while its creation time does;
          // an audit that did not look at the products (--no-products) keeps
          // what an earlier one found of them.
          upsert_product_(catalog, "INSERT INTO products VALUES(?, ?, ?, ?, ?, ?, ?) "
                                   "ON CONFLICT(kite, time, image_id) DO UPDATE SET "
                                   "size = coalesce(excluded.size, products.size), "
                                   "despiked = coalesce(excluded.despiked, products.despiked), "
                                   "run = CASE WHEN excluded.created IS NULL OR products.created IS excluded.created "
                                   "THEN products.run ELSE excluded.run END, "
                                   "created = coalesce(excluded.created, products.created)"),
          insert_source_(catalog, "INSERT OR IGNORE INTO product_sources VALUES(?, ?, ?, ?)"),
          insert_replay_(catalog, "INSERT OR REPLACE INTO replay_ranges VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)"),
          drop_daily_(catalog, "DELETE FROM daily WHERE kite = ? AND day BETWEEN ? AND ?"),
          count_daily_(catalog, (std::string("INSERT INTO daily SELECT kite, time / 86400000 AS day, wavelength, ") +
                                 kImageCountColumns +
                                 " FROM images WHERE kite = ?1 AND time BETWEEN ?2 * 86400000 AND ?3 * 86400000 + "
                                 "86399999 GROUP BY day, wavelength")
                                    .c_str()),
          drop_daily_losses_(catalog, "DELETE FROM daily_losses WHERE kite = ? AND day BETWEEN ? AND ?"),
          count_daily_losses_(catalog,
                              "INSERT INTO daily_losses SELECT i.kite, i.time / 86400000 AS day, "
                              "coalesce(r.code, 'written_partial'), count(*) FROM images i "
                              "LEFT JOIN reasons r ON r.id = i.reason "
                              "WHERE i.kite = ?1 AND i.time BETWEEN ?2 * 86400000 AND ?3 * 86400000 + 86399999 "
                              "AND i.status != 0 GROUP BY day, 3") {}

    bool prepared(std::string& error) const;
    bool report(const std::string& path, IngestOutcome& outcome, std::string& error);
    bool damaged() const { return damaged_; }

private:
    bool place_run(const ReportRun& run, const std::string& path, IngestOutcome& outcome, int64_t& id);
    bool file_ids(const json& report, int kite, std::map<std::string, int64_t>& ids);
    int64_t reason_id(const std::string& code);
    bool images(const json& report, const ReportRun& run, int64_t run_id, const std::map<std::string, int64_t>& files,
                int64_t& count);
    bool product(const json& image, int kite, int64_t time, uint32_t id, int64_t run_id,
                 const std::map<std::string, int64_t>& files);
    bool absent(const json& report, int kite, int64_t run_id, int64_t& count);
    bool replay(const json& report, int kite, int64_t run_id, const std::map<std::string, int64_t>& files);
    bool count_days(const ReportRun& run);
    bool failed(const Statement& statement);
    // Widens the time whose days are counted again to hold time.
    void touch(int64_t time) {
        first_touched_ = std::min(first_touched_, time);
        last_touched_ = std::max(last_touched_, time);
    }

    const Catalog& catalog_;
    std::string now_;
    std::string error_;
    bool damaged_ = false;  // error_ is the catalog's, not the report's
    std::map<std::string, int64_t> reasons_;
    int64_t first_touched_ = 0, last_touched_ = 0;  // the time the report's rows (and those it replaced) span
    Statement find_run_, insert_run_, supersede_, drop_images_, lost_span_, drop_lost_, drop_sources_, drop_replay_,
        drop_unwritten_products_, find_file_, insert_file_, change_file_, find_reason_, insert_reason_, insert_image_, upsert_product_,
        insert_source_, insert_replay_, drop_daily_, count_daily_, drop_daily_losses_, count_daily_losses_;
};

bool Ingest::prepared(std::string& error) const {
    for (const Statement* s : {&find_run_, &insert_run_, &supersede_, &drop_images_, &lost_span_, &drop_lost_,
                               &drop_sources_, &drop_replay_,
                               &drop_unwritten_products_, &find_file_, &insert_file_, &change_file_, &find_reason_,
                               &insert_reason_, &insert_image_, &upsert_product_, &insert_source_, &insert_replay_, &drop_daily_,
                               &count_daily_, &drop_daily_losses_, &count_daily_losses_}) {
        if (!s->ok()) {
            error = s->damaged() ? s->error() : "catalog " + catalog_.path() + ": " + s->error();
            return false;
        }
    }
    return true;
}

bool Ingest::failed(const Statement& statement) {
    if (error_.empty()) {
        error_ = statement.error();
        damaged_ = statement.damaged();
    }
    return false;
}

// The run's row. outcome.result tells whether the report goes in at all:
// the same audit again is "unchanged", an older audit of the window "older".
bool Ingest::place_run(const ReportRun& run, const std::string& path, IngestOutcome& outcome, int64_t& id) {
    find_run_.bind(1, run.kite).bind(2, run.window_start).bind(3, run.window_end).bind(4, run.program);
    int64_t previous = 0;
    if (find_run_.step()) {
        previous = find_run_.integer(0);
        const std::string finished = find_run_.text(1);
        const bool same = finished == run.finished && find_run_.text(2) == run.host &&
                          find_run_.text(3) == run.checksum && find_run_.text(4) == run.started;
        find_run_.reset();
        if (same || finished > run.finished) {
            outcome.result = same ? "unchanged" : "older";
            return true;
        }
    } else if (!find_run_.error().empty()) {
        return failed(find_run_);
    }
    find_run_.reset();
    insert_run_.bind(1, run.version).bind(2, run.host).bind(3, run.checksum).bind(4, run.kite);
    insert_run_.bind(5, run.window_start).bind(6, run.window_end).bind(7, run.started).bind(8, run.finished);
    insert_run_.bind(9, run.exit_status).bind(10, run.output_root).bind(11, path).bind(12, now_).bind(13, run.program);
    if (!insert_run_.run()) return failed(insert_run_);
    id = last_insert_id(catalog_);
    outcome.result = "ingested";
    if (previous == 0) return true;
    outcome.result = "superseded";
    if (!supersede_.bind(1, id).bind(2, previous).run()) return failed(supersede_);
    // The earlier audit's lost images go wherever they lie, and their days
    // are counted again: a join record's absent images lie around its
    // window, and an image without a time of its own may be placed before
    // the window, at the time of an image of the window before.
    if (lost_span_.bind(1, run.kite).bind(2, previous).step() && !lost_span_.is_null(0)) {
        touch(lost_span_.integer(0));
        touch(lost_span_.integer(1));
    }
    if (!lost_span_.error().empty()) return failed(lost_span_);
    lost_span_.reset();
    if (!drop_lost_.bind(1, run.kite).bind(2, previous).run()) return failed(drop_lost_);
    if (run.join) return true;  // its rows are absent images only, without products
    if (!drop_images_.bind(1, run.kite).bind(2, run.window_start).bind(3, run.window_end).bind(4, previous).run())
        return failed(drop_images_);
    if (!drop_sources_.bind(1, run.kite).bind(2, run.window_start).bind(3, run.window_end).run())
        return failed(drop_sources_);
    if (!drop_replay_.bind(1, run.kite).bind(2, previous).run()) return failed(drop_replay_);
    return true;
}

// Every scanned level-0 file of the report: new ones added, changed ones
// (another size or checksum) marked with the time the change was seen.
bool Ingest::file_ids(const json& report, int kite, std::map<std::string, int64_t>& ids) {
    for (const json& file : list_of(report, "files")) {
        if (!file.is_object() || !file.value("scanned", false)) continue;
        const std::string name = text_of(file, "entry"), checksum = text_of(file, "checksum");
        const int64_t size = file.value("size", int64_t{0});
        find_file_.bind(1, kite).bind(2, name);
        if (find_file_.step()) {
            const int64_t id = find_file_.integer(0);
            const bool changed = find_file_.text(1) != checksum;
            find_file_.reset();
            ids[name] = id;
            if (changed && !change_file_.bind(1, size).bind(2, checksum).bind(3, time_field(file, "modified"))
                                 .bind(4, now_).bind(5, id).run())
                return failed(change_file_);
            continue;
        }
        if (!find_file_.error().empty()) return failed(find_file_);
        find_file_.reset();
        insert_file_.bind(1, kite).bind(2, name).bind(3, name_time_field(name, "_s"));
        insert_file_.bind(4, name_time_field(name, "_e")).bind(5, size).bind(6, checksum);
        insert_file_.bind(7, time_field(file, "modified")).bind(8, now_);
        if (!insert_file_.run()) return failed(insert_file_);
        ids[name] = last_insert_id(catalog_);
    }
    return true;
}

int64_t Ingest::reason_id(const std::string& code) {
    const auto known = reasons_.find(code);
    if (known != reasons_.end()) return known->second;
    int64_t id = -1;
    if (find_reason_.bind(1, code).step()) {
        id = find_reason_.integer(0);
    } else if (insert_reason_.bind(1, code).run()) {
        id = last_insert_id(catalog_);
    }
    find_reason_.reset();
    if (id >= 0) reasons_[code] = id;
    return id;
}

bool Ingest::product(const json& image, int kite, int64_t time, uint32_t id, int64_t run_id,
                     const std::map<std::string, int64_t>& files) {
    const json& size = member(image, "product_bytes");
    const json& despiked = member(image, "despiked");
    upsert_product_.bind(1, kite).bind(2, time).bind(3, id);
    if (size.is_number_integer()) upsert_product_.bind(4, size.get<int64_t>());
    if (despiked.is_number_integer()) upsert_product_.bind(5, despiked.get<int64_t>());
    const int64_t created = time_field(image, "product_modified");
    if (created >= 0) upsert_product_.bind(6, created);
    upsert_product_.bind(7, run_id);
    if (!upsert_product_.run()) return failed(upsert_product_);
    for (const json& file : list_of(image, "files")) {
        const auto found = file.is_string() ? files.find(file.get<std::string>()) : files.end();
        if (found == files.end()) continue;
        if (!insert_source_.bind(1, kite).bind(2, time).bind(3, id).bind(4, found->second).run())
            return failed(insert_source_);
    }
    return true;
}

// The images of the window; an image without a time of its own (no header
// packet) is placed at the time of the image before it.
bool Ingest::images(const json& report, const ReportRun& run, int64_t run_id,
                    const std::map<std::string, int64_t>& files, int64_t& count) {
    static const std::map<std::string, Status> kStatuses = {{"written", Status::kWritten},
                                                            {"written_partial", Status::kWrittenPartial},
                                                            {"not_written", Status::kNotWritten}};
    // The image before may lie outside the window (of a neighbour window),
    // so that an image without a time is placed as in one audit of both.
    int64_t last_time = run.window_start;
    for (const json& image : list_of(report, "images")) {
        if (!image.is_object()) continue;
        int64_t time = last_time;
        if (tavo_tools::parse_utc_ms(text_of(image, "time"), time)) last_time = time;
        if (text_of(image, "reason") == "outside_window") continue;
        const auto status = kStatuses.find(text_of(image, "status"));
        const json& id = member(image, "image_id");
        if (status == kStatuses.end() || !id.is_number_unsigned()) {
            error_ = "an image without status or image_id: " + image.dump().substr(0, 120);
            return false;
        }
        touch(time);
        const std::string frame = text_of(image, "frame_type"), reason = text_of(image, "reason");
        const json& band = member(image, "wavelength");
        const int64_t wavelength = band.is_number_integer() ? band.get<int64_t>() : -1;  // null: unknown
        insert_image_.bind(1, run.kite).bind(2, time).bind(3, id.get<int64_t>()).bind(4, wavelength);
        if (!frame.empty()) insert_image_.bind(5, frame == "DARK" ? kDarkFrame : kLightFrame);
        insert_image_.bind(6, static_cast<int>(status->second));
        if (!reason.empty()) insert_image_.bind(7, reason_id(reason));
        insert_image_.bind(8, run_id);
        if (!insert_image_.run()) return failed(insert_image_);
        ++count;
        if (status->second != Status::kNotWritten &&
            !product(image, run.kite, time, id.get<uint32_t>(), run_id, files))
            return false;
    }
    return true;
}

// Absent images, one row each, at the time interpolated between their neighbours.
bool Ingest::absent(const json& report, int kite, int64_t run_id, int64_t& count) {
    const int64_t reason = reason_id(kAbsentReason);
    for (const json& range : list_of(report, "absent_ranges")) {
        const json& after = member(range, "after");
        const json& before = member(range, "before");
        if (!after.is_object() || !before.is_object()) continue;
        int64_t t0 = 0, t1 = 0;
        if (!tavo_tools::parse_utc_ms(text_of(after, "time"), t0) || !tavo_tools::parse_utc_ms(text_of(before, "time"), t1)) continue;
        const int64_t id0 = after.value("image_id", int64_t{0}), id1 = before.value("image_id", int64_t{0});
        if (id1 <= id0) continue;
        for (int64_t id = range.value("first_id", int64_t{1}); id <= range.value("last_id", int64_t{0}); ++id) {
            const int64_t time = t0 + (t1 - t0) * (id - id0) / (id1 - id0);
            touch(time);
            insert_image_.bind(1, kite).bind(2, time).bind(3, id).bind(4, -1).bind_null(5);
            insert_image_.bind(6, static_cast<int>(Status::kAbsent)).bind(7, reason).bind(8, run_id);
            if (!insert_image_.run()) return failed(insert_image_);
            ++count;
        }
    }
    return true;
}

// The packet ranges to send again: every sequence gap of the files.
bool Ingest::replay(const json& report, int kite, int64_t run_id, const std::map<std::string, int64_t>& files) {
    for (const json& file : list_of(report, "files")) {
        if (!file.is_object()) continue;
        const auto found = files.find(text_of(file, "entry"));
        if (found == files.end()) continue;
        for (const json& gap : list_of(file, "sequence_gaps")) {
            int64_t after = 0, before = 0;
            if (!tavo_tools::parse_utc_ms(text_of(gap, "after"), after) || !tavo_tools::parse_utc_ms(text_of(gap, "before"), before)) continue;
            insert_replay_.bind(1, kite).bind(2, gap.value("apid", 0)).bind(3, after).bind(4, gap.value("first", 0));
            insert_replay_.bind(5, gap.value("last", 0)).bind(6, gap.value("missing", 0)).bind(7, before);
            insert_replay_.bind(8, found->second).bind(9, run_id);
            if (!insert_replay_.run()) return failed(insert_replay_);
        }
    }
    return true;
}

// The daily counts of the days of the window and of the rows written or
// replaced, counted again.
bool Ingest::count_days(const ReportRun& run) {
    const int64_t first = first_touched_ / kMsPerDay, last = last_touched_ / kMsPerDay;
    for (Statement* s : {&drop_daily_, &count_daily_, &drop_daily_losses_, &count_daily_losses_}) {
        if (!s->bind(1, run.kite).bind(2, first).bind(3, last).run()) return failed(*s);
    }
    return true;
}

bool Ingest::report(const std::string& path, IngestOutcome& outcome, std::string& error) {
    outcome.report = path;
    json report;
    if (!read_report(path, report, error)) return false;
    const ReportRun run = read_header(report);
    int64_t run_id = 0;
    std::map<std::string, int64_t> files;
    error_.clear();
    first_touched_ = run.window_start;
    last_touched_ = run.window_end;
    const bool ok = place_run(run, path, outcome, run_id) &&
                    (run_id == 0 || (file_ids(report, run.kite, files) &&
                                     images(report, run, run_id, files, outcome.images) &&
                                     absent(report, run.kite, run_id, outcome.images) &&
                                     replay(report, run.kite, run_id, files) && count_days(run) &&
                                     (drop_unwritten_products_.bind(1, run.kite).bind(2, run.window_start)
                                          .bind(3, run.window_end).run() ||
                                      failed(drop_unwritten_products_))));
    if (!ok) error = damaged_ ? error_ : "report " + path + ": " + error_;
    return ok;
}

}  // namespace

bool read_report(const std::string& path, json& report, std::string& error) {
    // Read whole, then parsed: a stream is parsed a character at a time.
    std::ifstream in(path, std::ios::binary);
    std::string text;
    if (in) text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (!in && !in.eof()) {
        error = "cannot open report " + path;
        return false;
    }
    report = json::parse(text, keep_needed, false);
    if (report.is_discarded()) {
        error = "report " + path + " is not JSON";
        return false;
    }
    std::string why;
    if (!validate_report(report, why)) {
        error = "report " + path + ": " + why;
        return false;
    }
    return true;
}

bool ingest_reports(Catalog& catalog, const std::vector<std::string>& reports, std::vector<IngestOutcome>& outcomes,
                    std::string& error) {
    if (!catalog.begin_write(error)) return false;
    bool ok = true;
    {
        Ingest ingest(catalog);
        ok = ingest.prepared(error);
        for (size_t i = 0; ok && i < reports.size(); ++i) {
            outcomes.emplace_back();
            ok = ingest.report(reports[i], outcomes.back(), error);
        }
    }
    if (!ok) {
        catalog.rollback();
        error += "; nothing changed";
        return false;
    }
    if (!catalog.commit(error)) {
        error += "; nothing changed";
        return false;
    }
    return true;
}

}  // namespace tavo_catalog
