// finish: after the windows, the checks and outputs of the whole period:
// every product inside its window and listed once, no image missing at a
// join between windows, the daily CSV tables written once over the whole
// product tree (TAVO_L0's own export), and the windows' audits merged.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>

#include "audit_report.h"
#include "campaign.h"
#include "joins.h"
#include "base/base.h"
#include "isp/isp.h"
#include "layout/layout.h"

namespace fs = std::filesystem;

namespace campaign {

namespace {

// A product of a window, as its name tells it.
struct WindowProduct {
    Instant time;         // to the second
    unsigned ms = 0;
    unsigned image_id = 0;
    int window = 0;
    std::string path;     // relative to the product root
};

bool read_product_path(const std::string& path, WindowProduct& p) {
    ProductName name{};
    if (!parse_product_name(fs::path(path).filename().string().c_str(), name)) return false;
    p.time = {name.date, name.time};
    p.ms = name.ms;
    p.image_id = name.image_id;
    p.path = path;
    return true;
}

// Where finish forms the daily tables before they are renamed into the
// product tree: a directory of the product root's own file system, made
// afresh under a name no one can guess (mkdtemp), so that several finishes
// share a product root and nothing planted there is written into.
constexpr const char* kTableStagingTemplate = ".tavo_campaign-tables-XXXXXX";

// The daily tables over the campaign's product tree, from the first to the
// last day of the period, as one run over the whole period writes them. They
// are formed beside (in a staging root), made durable and renamed into
// place, so that a table under its final name is always whole.
void write_daily_tables(const Campaign& c, nlohmann::json& summary) {
    if (!c.isp_csv) {
        summary["csv"] = "not asked for (ISP_CSV=NO)";
        return;
    }
    const auto [from, to] = parse_period(c.from, c.to);
    std::string staging = c.product_root + kTableStagingTemplate;
    if (mkdtemp(staging.data()) == nullptr) {
        throw CampaignError("cannot create a directory for the tables in " + c.product_root + ": " +
                            std::strerror(errno));
    }
    staging += "/";
    std::error_code ec;
    char message[kRunMessageCapacity] = {};
    if (write_isp_csv_for_tree(message, c.product_root.c_str(), staging.c_str(), c.kite, from.date, to.date) == 0) {
        write_log_line(message);
        fs::remove_all(staging, ec);
        throw CampaignError(std::string("CSV export failed: ") + message);
    }
    const std::vector<std::string> tables = files_below(staging);
    for (const std::string& rel : tables) {
        const fs::path to_path = fs::path(c.product_root) / rel;
        sync_path(staging + rel);
        fs::create_directories(to_path.parent_path(), ec);
        if (std::rename((staging + rel).c_str(), to_path.c_str()) != 0) {
            throw CampaignError("cannot move the table " + staging + rel + " to " + to_path.string() + ": " +
                                std::strerror(errno));
        }
    }
    sync_directories(c.product_root, tables);
    fs::remove_all(staging, ec);
    summary["csv"] = "written";
}

// A text field of an audit entry; fallback when absent or null.
std::string text_of(const nlohmann::json& j, const char* key, const std::string& fallback = "") {
    return j.contains(key) && j[key].is_string() ? j[key].get<std::string>() : fallback;
}

// An audit's image time "2017-03-01T23:00:00.048" to the second; false when unknown.
bool audit_time(const nlohmann::json& image, Instant& t) {
    if (!image.contains("time") || !image["time"].is_string()) return false;
    unsigned y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0;
    if (std::sscanf(image["time"].get<std::string>().c_str(), "%4u-%2u-%2uT%2u:%2u:%2u", &y, &mo, &d, &h, &mi,
                    &sec) != 6) {
        return false;
    }
    t = {y * 10000 + mo * 100 + d, h * 10000 + mi * 100 + sec};
    return true;
}

// How much an audit entry says about its image: a window that wrote it says
// most, one that found another reason next, "outside the window" least (it
// is the neighbouring window's image).
int weight(const nlohmann::json& image) {
    const std::string status = text_of(image, "status");
    if (status != "not_written") return 3;
    return text_of(image, "reason") == "outside_window" ? 1 : 2;
}

// Merges the windows' audits: every image of the period once, by its id,
// with what the window it belongs to found. An image of the period that every
// window saw only as outside its window is missing between windows.
// A window whose audit found images lost: those the run lost (a
// reprocessing mends them) apart from those lost in the telemetry (only a
// re-sent downlink does), as the audit's summary tells them.
void note_window_losses(int window, const nlohmann::json& report, nlohmann::json& lossy_windows,
                        nlohmann::json& problems) {
    const nlohmann::json losses = report.value("summary", nlohmann::json::object()).value("losses", nlohmann::json());
    if (!losses.is_object()) return;
    const nlohmann::json run = losses.value("run", nlohmann::json::object());
    const nlohmann::json telemetry = losses.value("telemetry", nlohmann::json::object());
    const long by_run = run.value("images", 0L);
    const long in_telemetry = telemetry.value("images", 0L);
    if (by_run == 0 && in_telemetry == 0) return;
    lossy_windows.push_back({{"window", window}, {"run", run}, {"telemetry", telemetry}});
    problems.push_back("window " + std::to_string(window) + ": the audit found " + std::to_string(by_run) +
                       " images lost by the run (a reprocessing mends them) and " + std::to_string(in_telemetry) +
                       " lost in the telemetry (only a re-sent downlink mends them)");
}

// The ids of a report's absent ranges, each "absent" in not_written; their count.
long note_absent(const nlohmann::json& report, std::map<unsigned, std::string>& not_written) {
    long count = 0;
    for (const nlohmann::json& range : report.value("absent_ranges", nlohmann::json::array())) {
        const unsigned first = range.value("first_id", 1u), last = range.value("last_id", 0u);
        for (unsigned id = first; id <= last && id >= first; ++id, ++count) not_written[id] = "absent";
    }
    return count;
}

// A window's join record: the images absent between its first image and
// the image before it, one problem line per range.
long note_join(int window, const nlohmann::json& record, std::map<unsigned, std::string>& not_written,
               nlohmann::json& joins_with_losses, nlohmann::json& problems) {
    const long count = note_absent(record, not_written);
    if (count == 0) return 0;
    const nlohmann::json join = record.value("join", nlohmann::json::object());
    const int after = join.value("after_window", 0);
    for (const nlohmann::json& range : record["absent_ranges"]) {
        problems.push_back("images absent from the level-0 between windows " + std::to_string(after) + " and " +
                           std::to_string(window) + ": ids " + std::to_string(range.value("first_id", 0u)) + " to " +
                           std::to_string(range.value("last_id", 0u)) + " (" +
                           std::to_string(range.value("images", 0L)) +
                           " images; only a re-sent downlink mends them)");
    }
    joins_with_losses.push_back({{"window", window}, {"after_window", after}, {"absent", count},
                                 {"absent_ranges", record["absent_ranges"]}});
    return count;
}

void merge_audits(const Campaign& c, nlohmann::json& summary, std::map<unsigned, std::string>& not_written,
                  nlohmann::json& problems) {
    std::map<unsigned, nlohmann::json> images;
    long product_problems = 0, temporary_files = 0, absent = 0;
    int reports = 0;
    nlohmann::json lossy_windows = nlohmann::json::array(), lossy_joins = nlohmann::json::array();
    for (const WindowPlan& w : c.windows) {
        const std::string path = c.window_directory(w.window.number) + "/" + tavo_tools::kWindowAuditName;
        if (!fs::exists(path)) continue;
        const nlohmann::json report = read_json(path);
        ++reports;
        note_window_losses(w.window.number, report, lossy_windows, problems);
        absent += note_absent(report, not_written);
        const std::string join = c.window_directory(w.window.number) + "/" + tavo_tools::kWindowJoinName;
        if (fs::exists(join)) absent += note_join(w.window.number, read_json(join), not_written, lossy_joins, problems);
        const nlohmann::json products = report.value("products", nlohmann::json::object());
        product_problems += static_cast<long>(products.value("problems", nlohmann::json::array()).size());
        temporary_files += static_cast<long>(products.value("temporary_files", nlohmann::json::array()).size());
        for (const nlohmann::json& image : report.value("images", nlohmann::json::array())) {
            if (!image.contains("image_id") || !image["image_id"].is_number_unsigned()) continue;
            nlohmann::json entry = image;
            entry["window"] = w.window.number;
            auto [it, added] = images.emplace(image["image_id"].get<unsigned>(), entry);
            if (!added && weight(entry) > weight(it->second)) it->second = entry;
        }
    }
    if (reports == 0) {
        summary["audit"] = c.audit.empty()                       ? "audits not asked for (plan --no-audit)"
                           : access(c.audit.c_str(), X_OK) == 0 ? "no window has an audit report"
                                                                : "tavo_l0audit not built: audits skipped";
        return;
    }
    const auto [from, to] = parse_period(c.from, c.to);
    nlohmann::json merged = {{"reports", reports}, {"images", 0}, {"written", 0}, {"written_partial", 0},
                             {"not_written", 0}, {"by_reason", nlohmann::json::object()},
                             {"product_problems", product_problems}, {"temporary_files", temporary_files}};
    nlohmann::json listed = nlohmann::json::array();
    for (const auto& [id, image] : images) {
        Instant t;
        const bool timed = audit_time(image, t);
        const bool outside = text_of(image, "reason") == "outside_window";
        if (timed ? !(from < t && t <= to) : outside) continue;  // not an image of the period
        merged["images"] = merged["images"].get<long>() + 1;
        const std::string status = text_of(image, "status");
        if (status == "written" || status == "written_partial") {
            merged[status] = merged[status].get<long>() + 1;
            continue;
        }
        const std::string reason = text_of(image, "reason", "unknown");
        merged["not_written"] = merged["not_written"].get<long>() + 1;
        merged["by_reason"][reason] = merged["by_reason"].value(reason, 0L) + 1;
        listed.push_back(image);
        if (outside) {
            problems.push_back("image " + std::to_string(id) + " at " + text_of(image, "time") +
                               " is outside every window that read it");
        } else {
            not_written[id] = reason;
        }
    }
    merged["absent"] = absent;
    merged["not_written_images"] = listed;
    merged["windows_with_losses"] = lossy_windows;
    merged["joins_with_losses"] = lossy_joins;
    summary["audit"] = merged;
}

// Every product where its window put it, once; no temporary file left.
std::vector<WindowProduct> collect_products(const Campaign& c, nlohmann::json& problems) {
    std::vector<WindowProduct> products;
    std::set<unsigned> ids;
    for (const WindowPlan& w : c.windows) {
        const nlohmann::json result = read_result(c.result_path(w.window.number));
        for (const std::string& path : result.value("products", std::vector<std::string>())) {
            WindowProduct p;
            p.window = w.window.number;
            if (!read_product_path(path, p)) continue;
            if (!(w.window.start < p.time && p.time <= w.window.end)) {
                problems.push_back("product outside its window " + std::to_string(p.window) + ": " + path);
            }
            if (!fs::exists(c.product_root + path)) problems.push_back("product missing from the tree: " + path);
            if (!ids.insert(p.image_id).second) problems.push_back("image id written twice: " + path);
            products.push_back(p);
        }
    }
    for (const std::string& rel : files_below(c.product_root)) {
        if (is_temporary_name(rel.c_str())) problems.push_back("temporary file left in the product tree: " + rel);
    }
    return products;
}

// At each join the image ids continue: the image after a window's last
// one is the next window's first, unless an audit says why it is absent.
nlohmann::json check_joins(std::vector<WindowProduct>& products, const std::map<unsigned, std::string>& not_written,
                           nlohmann::json& problems) {
    std::sort(products.begin(), products.end(), [](const WindowProduct& a, const WindowProduct& b) {
        return std::tie(a.time, a.ms, a.image_id) < std::tie(b.time, b.ms, b.image_id);
    });
    nlohmann::json joins = nlohmann::json::array();
    for (size_t i = 1; i < products.size(); ++i) {
        const WindowProduct& a = products[i - 1];
        const WindowProduct& b = products[i];
        if (a.window == b.window) continue;
        nlohmann::json join = {{"after_window", a.window}, {"before_window", b.window}, {"last", a.path},
                               {"next", b.path}};
        if (b.image_id != a.image_id + 1) {
            nlohmann::json missing = nlohmann::json::array();
            bool explained = b.image_id > a.image_id;
            for (unsigned id = a.image_id + 1; explained && id < b.image_id; ++id) {
                if (!not_written.count(id)) explained = false;
            }
            join["missing_ids"] = {a.image_id + 1, b.image_id - 1};
            join["explained_by_audit"] = explained;
            if (!explained) {
                problems.push_back("images missing between windows " + std::to_string(a.window) + " and " +
                                   std::to_string(b.window) + ": ids after " + std::to_string(a.image_id) +
                                   " up to " + std::to_string(b.image_id));
            }
        }
        joins.push_back(join);
    }
    return joins;
}

}  // namespace

nlohmann::json finish_campaign(const std::string& directory) {
    const Campaign c = load_campaign(directory);
    nlohmann::json summary = {{tavo_tools::kSchemaVersionKey, 1}, {"tool", "tavo_campaign"}, {"kite", c.kite},
                              {"from", c.from},      {"to", c.to},              {"windows", c.windows.size()}};
    std::vector<std::string> unfinished;
    for (const TaskStatus& t : campaign_status(c)) {
        if (t.state != "done") unfinished.push_back(std::to_string(t.number) + " " + t.state);
    }
    if (!unfinished.empty()) {
        throw CampaignError("tasks not done: " + join(unfinished, ", ") +
                            " (tavo_campaign status, then run --resume-failed)");
    }

    nlohmann::json problems = nlohmann::json::array();
    std::vector<WindowProduct> products = collect_products(c, problems);
    std::map<unsigned, std::string> not_written;
    write_all_join_records(c);
    merge_audits(c, summary, not_written, problems);
    const nlohmann::json joins = check_joins(products, not_written, problems);
    summary["products"] = products.size();
    summary["joins"] = joins;

    write_daily_tables(c, summary);
    ingest_into_catalog(c, summary, problems);
    summary["problems"] = problems;
    summary["ok"] = problems.empty();
    write_file_atomically(c.directory + "/summary.json", summary.dump(2) + "\n");
    return summary;
}

}  // namespace campaign
