// follow: an open-ended campaign that keeps up with level-0 files as they
// land. Each cycle lists the files TAVO_L0 would select (its own discovery),
// keeps those that have settled, runs the next window (M, E] as a campaign
// task, and runs again every processed window whose input files changed.
//
// E is the latest END whose packet window (END + 30 s, TAVO_L0's own rule)
// ends before the first packet not yet at hand: the end of the newest
// settled file's span, or the start of a file still settling. Every image
// timed at or before E then has every packet a run may use for it in landed
// files, so a window never needs its successor's files. A file's span is
// what its name's time fields say.
//
// Each window runs on a view of its input: a directory of links to the
// settled files it selects, so that TAVO_L0 and the audit never see a file
// still being written. The view's files (size and modification time) are
// recorded in the window's inputs.json once the window's run has completed;
// when a later cycle finds another set (a file landed late, or changed), or
// the window's last attempt did not complete (killed, failed), the window
// runs again: its products are renamed over with the same bytes, and images
// completed by the new file are added. A window that keeps failing is
// retried less and less often and named as failing.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <set>
#include <thread>
#include <tuple>

#include "audit_report.h"
#include "campaign.h"
#include "driver/driver.h"
#include "input/input.h"
#include "joins.h"
#include "metrics.h"
#include "packets/packets.h"
#include "output_file.h"
#include "time_text.h"

namespace fs = std::filesystem;

namespace campaign {

namespace {

constexpr int kFollowSchemaVersion = 1;
// A file being written carries a temporary ending ("name.nc.part"); a whole
// level-0 name ends here.
constexpr const char* kWholeNameEnd = ".nc";
// Late files are looked for in the windows of the day before the mark;
// landed files are listed up to 30 days past it (TAVO_L0's limit is 33).
constexpr int64_t kLookbackSeconds = 86400;
constexpr int64_t kLookaheadSeconds = 30 * 86400;
// The longest window one cycle runs (catching up on an archive).
constexpr int64_t kMaxWindowSeconds = 86400;
// A failed window is tried again after the poll interval, doubled with every
// failure up to kRetryMaxSeconds; after kFailingAttempts it is named failing.
constexpr double kRetryMaxSeconds = 600;
constexpr int kFailingAttempts = 3;

volatile std::sig_atomic_t stop_requested = 0;
void request_stop(int) { stop_requested = 1; }

double unix_now() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string local_stamp() { return local_now_text("%Y/%m/%d %H:%M:%S"); }

// A level-0 file as a cycle found it.
struct SeenFile {
    int64_t size = 0;
    int64_t mtime_ns = 0;
    double first_seen = 0;  // Unix seconds when a cycle first listed it
    bool operator==(const SeenFile& o) const { return size == o.size && mtime_ns == o.mtime_ns; }
};
using FileSet = std::map<std::string, SeenFile>;  // by list entry

// A window whose last attempt failed.
struct Failure {
    int attempts = 0;       // failed attempts in a row
    double next_try = 0;    // Unix seconds
    std::string why;        // the last line of its console log
};

// Upper bounds of the latency histograms, seconds.
const std::vector<double> kLatencyBounds = {1, 2, 5, 10, 20, 30, 60, 120, 300, 600, 1800};

// What the metrics file adds to the state: counts since the follower
// started (counters restart with it) and the last run's figures.
struct FollowCounters {
    int64_t window_failures = 0;
    int64_t dump_warnings = 0;  // files a run's DUMP WARNINGs named, one per file and run
    int64_t runs = 0;
    double last_run_seconds = 0;
    double last_run_cpu_seconds = 0;
    tavo_tools::Histogram product_latency{kLatencyBounds};
    tavo_tools::Histogram picture_latency{kLatencyBounds};
    double metrics_seconds = 0;  // spent writing the metrics file
    std::string metrics_failure;  // the last failure to write it, said once
};

struct FollowState {
    Instant mark;                  // M: the end of the last window processed
    std::map<std::string, double> first_seen;
    int cycles = 0;
    nlohmann::json last_cycle;     // the last window run: number, latency, products
    nlohmann::json reruns = nlohmann::json::array();
    nlohmann::json waiting = nlohmann::json::array();
    std::map<int, Failure> failures;     // by window number
    std::set<std::string> uncatalogued;  // audit reports and join records the catalog has not taken yet
    std::map<int, nlohmann::json> damaged;  // by window: its last run's damaged inputs, as texts
    double last_product = 0;       // Unix seconds when a window last moved products into the tree
    // Images written and lost per report ("NNNN": a window's audit, "NNNN/join":
    // its join record) of the windows still watched, and the sum of the
    // older ones, which never run again.
    nlohmann::json tallies = nlohmann::json::object();
    nlohmann::json settled_tally = nlohmann::json::object();
    FollowCounters counters;
};

std::string state_path(const Campaign& c) { return c.directory + "/follow.json"; }

void save_state(const Campaign& c, const FollowState& s) {
    nlohmann::json seen = nlohmann::json::object();
    for (const auto& [entry, t] : s.first_seen) seen[entry] = t;
    nlohmann::json failing = nlohmann::json::array();
    for (const auto& [number, f] : s.failures) {
        failing.push_back({{"window", number}, {"attempts", f.attempts}, {"next_try", f.next_try}, {"why", f.why}});
    }
    nlohmann::json damaged = nlohmann::json::array();
    for (const auto& [number, files] : s.damaged) {
        for (const nlohmann::json& f : files) damaged.push_back({{"window", number}, {"input", f}});
    }
    const nlohmann::json j = {{tavo_tools::kSchemaVersionKey, kFollowSchemaVersion},
                              {"mark", instant_text(s.mark)},
                              {"cycles", s.cycles},
                              {"last_cycle", s.last_cycle},
                              {"waiting", s.waiting},
                              {"reruns", s.reruns},
                              {"failing", failing},
                              {"uncatalogued", s.uncatalogued},
                              {"damaged", damaged},
                              {"last_product", s.last_product},
                              {"tallies", s.tallies},
                              {"settled_tally", s.settled_tally},
                              {"metrics_seconds", s.counters.metrics_seconds},
                              {"first_seen", seen},
                              {"pid", getpid()},
                              {"updated", local_stamp()}};
    write_file_atomically(state_path(c), j.dump(1) + "\n");
}

// An integer member of a follow state, 0 when absent. Anything else is no
// follow state: a float among them, since converting one past int's range
// is undefined.
int integer_member(const nlohmann::json& object, const char* key, const std::string& path) {
    const auto found = object.find(key);
    if (found == object.end()) return 0;
    if (!found->is_number_integer() || found->get<double>() < INT_MIN || found->get<double>() > INT_MAX) {
        throw CampaignError(path + " is not a follow state: " + key + " is not an integer");
    }
    return found->get<int>();
}

FollowState load_state(const Campaign& c) {
    FollowState s;
    s.mark = parse_period(c.from, c.from).first;
    if (!fs::exists(state_path(c))) return s;
    const nlohmann::json j = read_json(state_path(c));
    try {
        s.mark = parse_period(j.at("mark"), j.at("mark")).first;
        s.cycles = integer_member(j, "cycles", state_path(c));
        s.last_cycle = j.value("last_cycle", nlohmann::json());
        s.reruns = j.value("reruns", nlohmann::json::array());
        const nlohmann::json& seen = j.at("first_seen");
        for (auto it = seen.begin(); it != seen.end(); ++it) s.first_seen[it.key()] = it->get<double>();
        for (const nlohmann::json& f : j.value("failing", nlohmann::json::array())) {
            // A new start tries a failing window at once: whoever restarts
            // the follower has likely mended what failed.
            s.failures[integer_member(f, "window", state_path(c))] = {integer_member(f, "attempts", state_path(c)), 0,
                                                                      f.at("why").get<std::string>()};
        }
        for (const nlohmann::json& report : j.value("uncatalogued", nlohmann::json::array())) {
            s.uncatalogued.insert(report.get<std::string>());
        }
        s.last_product = j.value("last_product", 0.0);
        s.tallies = j.value("tallies", nlohmann::json::object());
        s.settled_tally = j.value("settled_tally", nlohmann::json::object());
        if (!s.tallies.is_object() || !s.settled_tally.is_object()) {
            throw CampaignError(state_path(c) + " is not a follow state: tallies");
        }
        for (const nlohmann::json& d : j.value("damaged", nlohmann::json::array())) {
            s.damaged[integer_member(d, "window", state_path(c))].push_back(d.at("input").get<std::string>());
        }
    } catch (const nlohmann::json::exception& e) {
        throw CampaignError(state_path(c) + " is not a follow state: " + e.what());
    }
    return s;
}

// The files TAVO_L0 selects for a run over (start, end] with base's input;
// none when nothing has landed.
std::vector<std::string> selected_files(const RunSettings& base, Instant start, Instant end,
                                        const std::string& scratch) {
    char message[kRunMessageCapacity];
    const int count = select_input_files(base, start, end, scratch + "/work/", scratch + "/out/", message);
    // None found, or no day directory yet: nothing has landed.
    if (count == 0 && last_input_search != InputSearch::kNoneFound &&
        last_input_search != InputSearch::kNoDayDirectory) {
        throw CampaignError(message);
    }
    return std::vector<std::string>(input_file_list, input_file_list + count);
}

// "YYYY/DDDtHH:MM:SS" of a name's time field, read by TAVO_L0's own parser.
Instant field_instant(const NameTimeField& f) {
    char text[32];
    std::snprintf(text, sizeof text, "%04u/%03ut%02u:%02u:%02u", f.ordinal_date / 1000, f.ordinal_date % 1000,
                  f.time / 10000, f.time / 100 % 100, f.time % 100);
    return parse_period(text, text).first;
}

// The span a list entry's name gives: its first second, and the first
// whole second after its last tenth that is not known to be covered.
struct NameSpan {
    Instant start;
    Instant covered_until;
};
bool name_span(const std::string& entry, NameSpan& span) {
    NameTimeField start{}, end{};
    if (!read_name_time_fields(entry.c_str(), start, end)) return false;
    span.start = field_instant(start);
    span.covered_until = field_instant(end);
    if (end.tenths == 9) span.covered_until = shift_instant(span.covered_until, 1);
    return true;
}

Instant latest_end(Instant until) {
    DateTime end{};
    if (!latest_end_before({until.date, until.time}, end)) {
        throw CampaignError("time outside the years 2000 to 2099 before " + instant_text(until));
    }
    return {end.date, end.time};
}

// A file may hold packets a run over (start, end] uses unless it begins
// after the run's packet window.
bool holds_packets_of(const std::string& entry, const Window& w) {
    NameSpan span;
    return !name_span(entry, span) || latest_end(span.start) < w.end;
}

bool ends_as_whole_name(const std::string& entry) {
    const size_t n = std::strlen(kWholeNameEnd);
    return entry.size() >= n && entry.compare(entry.size() - n, n, kWholeNameEnd) == 0;
}

// The listing of one cycle: settled files, and those still being written
// or changing.
struct Listing {
    std::string root;  // INPUT_ROOT_DIRECTORY, ending with "/"
    FileSet settled;
    FileSet settling;
    double next_settle = 0;  // Unix seconds when the first whole-named file settling now will have settled; 0: none
    std::set<std::string> directories;  // the day directories of the files listed ("K16_2017_060/")
};

// A file is settled when it was renamed into place whole (seen by the
// watch) or has not changed for the settle time.
Listing list_files(const RunSettings& base, Instant mark, const std::string& scratch, double settle_seconds,
                   InputWatch& watch, FollowState& state) {
    Listing listing;
    const std::vector<std::string> entries = selected_files(
        base, shift_instant(mark, -kLookbackSeconds), shift_instant(mark, kLookaheadSeconds), scratch);
    listing.root = run_settings.param_text[PARAM_INPUT_ROOT_DIRECTORY];
    const double now = unix_now();
    std::map<std::string, double> first_seen;  // the files listed now: older ones are forgotten
    for (const std::string& entry : entries) {
        struct stat st {};
        if (stat((listing.root + entry).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        const auto known = state.first_seen.find(entry);
        const double seen = first_seen[entry] = known != state.first_seen.end() ? known->second : now;
        SeenFile f{static_cast<int64_t>(st.st_size),
                   static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec, seen};
        const double modified = static_cast<double>(f.mtime_ns) / 1e9;
        const bool whole = ends_as_whole_name(entry);
        const bool settled =
            whole && (now - modified >= settle_seconds || watch.arrived_whole(entry, f.size, f.mtime_ns));
        (settled ? listing.settled : listing.settling)[entry] = f;
        if (const size_t slash = entry.rfind('/'); slash != std::string::npos) {
            listing.directories.insert(entry.substr(0, slash + 1));
        }
        if (whole && !settled && (listing.next_settle == 0 || modified + settle_seconds < listing.next_settle)) {
            listing.next_settle = modified + settle_seconds;
        }
    }
    std::set<std::string> listed;
    for (const auto& [entry, t] : first_seen) listed.insert(entry);
    watch.forget_all_but(listed);
    state.first_seen = std::move(first_seen);
    return listing;
}

// The settled files a run over w selects and may read packets of.
FileSet window_inputs(const RunSettings& base, const Window& w, const Listing& listing, const std::string& scratch) {
    FileSet inputs;
    for (const std::string& entry : selected_files(base, w.start, w.end, scratch)) {
        const auto it = listing.settled.find(entry);
        if (it != listing.settled.end() && holds_packets_of(entry, w)) inputs.insert(*it);
    }
    return inputs;
}

std::string inputs_path(const Campaign& c, int number) { return c.window_directory(number) + "/inputs.json"; }

nlohmann::json inputs_json(const FileSet& files) {
    nlohmann::json j = nlohmann::json::object();
    for (const auto& [entry, f] : files) j[entry] = {{"size", f.size}, {"mtime_ns", f.mtime_ns}};
    return j;
}

FileSet recorded_inputs(const Campaign& c, int number) {
    FileSet files;
    if (!fs::exists(inputs_path(c, number))) return files;
    const nlohmann::json recorded = read_json(inputs_path(c, number));
    for (auto it = recorded.begin(); it != recorded.end(); ++it) {
        files[it.key()] = {it->value("size", int64_t{0}), it->value("mtime_ns", int64_t{0}), 0};
    }
    return files;
}

// Why the window must run again ("" when it need not): the first file that
// landed since, changed, or went away.
std::string rerun_reason(const FileSet& recorded, const FileSet& now) {
    for (const auto& [entry, f] : now) {
        const auto it = recorded.find(entry);
        if (it == recorded.end()) return "late file " + entry;
        if (!(it->second == f)) return "changed file " + entry;
    }
    for (const auto& [entry, f] : recorded) {
        if (!now.count(entry)) return "file gone " + entry;
    }
    return "";
}

// The window's view of its input: links to the settled files, in their
// day directories, and every day directory of the files listed, so that a
// run finds the days it searches as it would in the input tree itself.
void make_view(const std::string& view, const Listing& listing, const FileSet& files) {
    const std::string& root = listing.root;
    std::error_code ec;
    fs::remove_all(view, ec);
    fs::create_directories(view, ec);
    for (const std::string& directory : listing.directories) fs::create_directories(fs::path(view) / directory, ec);
    for (const auto& [entry, f] : files) {
        const fs::path link = fs::path(view) / entry;
        fs::create_directories(link.parent_path(), ec);
        fs::create_symlink(root + entry, link, ec);
        if (ec) throw CampaignError("cannot link " + link.string() + ": " + ec.message());
    }
}

// Standard output into a file for the lifetime of the object (the task's
// own report goes to the window's console log).
class StdoutTo {
public:
    explicit StdoutTo(const std::string& path) {
        std::fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        std::string error;
        const int fd = tavo_tools::open_append_output(path, error);
        if (fd >= 0) {
            dup2(fd, STDOUT_FILENO);
            close(fd);
        }
    }
    ~StdoutTo() {
        std::fflush(stdout);
        if (saved_ >= 0) {
            dup2(saved_, STDOUT_FILENO);
            close(saved_);
        }
    }
    StdoutTo(const StdoutTo&) = delete;
    StdoutTo& operator=(const StdoutTo&) = delete;

private:
    int saved_ = -1;
};

bool window_done(const Campaign& c, int number) {
    if (!fs::exists(c.result_path(number))) return false;
    return read_result(c.result_path(number)).value("exit_status", -1) == 0;
}

// "2017-03-01" of every day a product path ("KITE-16/2017/03/01/H1200/...") names.
std::set<std::string> product_days(const nlohmann::json& products) {
    std::set<std::string> days;
    for (const nlohmann::json& p : products) {
        const std::vector<std::string> parts = [&] {
            std::vector<std::string> v;
            for (const auto& part : fs::path(p.get<std::string>())) v.push_back(part.string());
            return v;
        }();
        if (parts.size() >= 4) days.insert(parts[1] + "-" + parts[2] + "-" + parts[3]);
    }
    return days;
}

// The reports the catalog has not taken yet, in one ingest: the windows'
// audits first, then the join records, which the catalog takes after the
// audits around them. They stay listed, and are tried again next cycle,
// until the ingest succeeds.
void catalog_reports(const Campaign& c, FollowState& state) {
    if (c.catalog.empty() || state.uncatalogued.empty()) return;
    std::vector<std::string> argv = {c.catalog_program, "--db", c.catalog, "ingest"};
    for (const bool joins : {false, true}) {
        for (const std::string& report : state.uncatalogued) {
            const bool join = fs::path(report).filename() != tavo_tools::kWindowAuditName;
            if (join == joins && fs::exists(report)) argv.push_back(report);
        }
    }
    const int status = argv.size() == 4 ? 0 : run_program(argv, c.logs_directory() + "/catalog.log");
    if (status == 0) {
        state.uncatalogued.clear();
        return;
    }
    std::printf("%s tavo_catalog ingest failed (exit status %d) for %zu reports, tried again next cycle; see %s/catalog.log\n",
                local_stamp().c_str(), status, state.uncatalogued.size(),
                tavo_tools::printable(c.logs_directory()).c_str());
    std::fflush(stdout);
}

// Images written and lost ("origin/reason" -> images) by one audit report or
// join record; an unreadable one counts nothing.
nlohmann::json report_tally(const std::string& path) {
    nlohmann::json tally = {{"written", 0}, {"lost", nlohmann::json::object()}};
    try {
        const nlohmann::json summary = read_json(path).at("summary");
        tally["written"] = summary.value("written", 0);
        for (const char* origin : {"run", "telemetry"}) {
            const nlohmann::json reasons =
                summary.value("losses", nlohmann::json::object()).value(origin, nlohmann::json::object()).value(
                    "by_reason", nlohmann::json::object());
            for (auto it = reasons.begin(); it != reasons.end(); ++it) {
                if (it->is_number_integer()) tally["lost"][std::string(origin) + "/" + it.key()] = it->get<int64_t>();
            }
        }
    } catch (const std::exception&) {
        return {{"written", 0}, {"lost", nlohmann::json::object()}};
    }
    return tally;
}

// Adds tally into sum; what is no count (a follow state edited by hand) adds nothing.
void add_tally(nlohmann::json& sum, const nlohmann::json& tally) {
    const auto count = [](const nlohmann::json& object, const std::string& key) {
        const auto it = object.is_object() ? object.find(key) : object.end();
        return it != object.end() && it->is_number_integer() ? it->get<int64_t>() : int64_t{0};
    };
    sum["written"] = count(sum, "written") + count(tally, "written");
    if (!sum["lost"].is_object()) sum["lost"] = nlohmann::json::object();
    const auto lost = tally.is_object() ? tally.find("lost") : tally.end();
    if (lost == tally.end() || !lost->is_object()) return;
    for (auto it = lost->begin(); it != lost->end(); ++it) sum["lost"][it.key()] = count(sum["lost"], it.key()) + count(*lost, it.key());
}

// After a window: its audit into the catalog (not an early run's: the
// window's own run replaces it), and the day pages of the days it wrote
// products on.
// Returns whether day pages were drawn.
bool after_window(const Campaign& c, int number, const nlohmann::json& result, bool quicklook, bool early,
                  FollowState& state) {
    const std::string audit = c.window_directory(number) + "/" + tavo_tools::kWindowAuditName;
    if (fs::exists(audit)) {
        state.tallies[window_name(number)] = report_tally(audit);
        std::vector<std::string> joins;
        if (!early) joins = write_join_records(c, number);
        for (const std::string& join : joins) {
            const int joined = std::atoi(fs::path(join).parent_path().filename().c_str());
            if (joined > 0) state.tallies[window_name(joined) + "/join"] = report_tally(join);
        }
        if (!c.catalog.empty() && !early) {
            state.uncatalogued.insert(audit);
            state.uncatalogued.insert(joins.begin(), joins.end());
            catalog_reports(c, state);
        }
    }
    const std::string program = (fs::path(c.self).parent_path() / "tavo_quicklook").string();
    const std::set<std::string> days = product_days(result.value("products", nlohmann::json::array()));
    if (!quicklook || access(program.c_str(), X_OK) != 0 || days.empty()) return false;
    for (const std::string& day : days) {
        run_program({program, "--root", c.product_root, "--kite", std::to_string(c.kite), "--day", day, "--no-movie",
                     "--new-only"},
                    c.logs_directory() + "/quicklook.log");
    }
    return true;
}

// A failed attempt of window number: tried again after a delay that doubles
// with each failure in a row.
void record_failure(const nlohmann::json& result, int number, double poll, FollowState& state) {
    Failure& f = state.failures[number];
    ++f.attempts;
    const nlohmann::json why = result.value("why", nlohmann::json());
    f.why = why.is_string() ? why.get<std::string>() : "the attempt ended without a result";
    f.next_try = unix_now() + std::min(kRetryMaxSeconds, std::max(poll, 1.0) * std::pow(2.0, f.attempts - 1));
    if (f.attempts >= kFailingAttempts) {
        std::printf("%s window %d failing: %d attempts in a row failed, tried again in %.0f s; last: %s\n",
                    local_stamp().c_str(), number, f.attempts, f.next_try - unix_now(),
                    tavo_tools::printable(f.why).c_str());
    }
}

// Whether window number may be tried now: not failed, or its retry delay over.
bool may_try(const FollowState& state, int number) {
    const auto it = state.failures.find(number);
    return it == state.failures.end() || it->second.next_try <= unix_now();
}

// Runs window w on the given inputs as a campaign task; returns whether it
// is done, and logs one line. Its inputs are recorded only once it is: a
// window killed or failed is found not done and runs again.
bool run_window(Campaign& c, const RunSettings& base, const Window& w, const FileSet& inputs,
                const Listing& listing, const std::string& why, const FollowRequest& r, double poll,
                FollowState& state, bool early = false) {
    const auto started = std::chrono::steady_clock::now();
    const std::string dir = c.window_directory(w.number);
    make_view(dir + "/input", listing, inputs);
    RunSettings view = base;
    set_parameter_text(view, PARAM_INPUT_ROOT_DIRECTORY, dir + "/input/");
    c.windows.erase(std::remove_if(c.windows.begin(), c.windows.end(),
                                   [&](const WindowPlan& p) { return p.window.number == w.number; }),
                    c.windows.end());
    add_window(c, view, w);
    std::sort(c.windows.begin(), c.windows.end(),
              [](const WindowPlan& a, const WindowPlan& b) { return a.window.number < b.window.number; });
    if (state.mark < w.end) c.to = instant_text(w.end);
    save_campaign(c);

    int status = 0;
    {
        StdoutTo console(c.console_log(w.number));
        status = run_task(c.directory, w.number);
    }
    const nlohmann::json result =
        fs::exists(c.result_path(w.number)) ? read_result(c.result_path(w.number)) : nlohmann::json::object();
    const std::vector<std::string> damaged = damaged_input_texts(result);
    const size_t products = result.value("products", nlohmann::json::array()).size();
    double newest = 0;
    for (const auto& [entry, f] : inputs) newest = std::max(newest, f.first_seen);
    FollowCounters& counters = state.counters;
    ++counters.runs;
    counters.dump_warnings += static_cast<int64_t>(damaged.size());
    counters.last_run_seconds = result.value("tavo_l0_seconds", 0.0);
    counters.last_run_cpu_seconds = result.value("tavo_l0_cpu_seconds", 0.0);
    if (status == 0) {
        if (products > 0) {
            state.last_product = unix_now();
            if (newest > 0) counters.product_latency.observe(state.last_product - newest);
        }
        write_file_atomically(inputs_path(c, w.number), inputs_json(inputs).dump(1) + "\n");
        state.failures.erase(w.number);
        state.damaged[w.number] = nlohmann::json(damaged);
        if (damaged.empty()) state.damaged.erase(w.number);
        if (after_window(c, w.number, result, r.quicklook, early, state) && newest > 0) {
            counters.picture_latency.observe(unix_now() - newest);
        }
    } else {
        ++counters.window_failures;
        record_failure(result, w.number, poll, state);
    }

    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const double latency = newest > 0 ? unix_now() - newest : 0;
    const std::string outcome = status == 0 ? "done" : "failed (exit status " + std::to_string(status) + ")";
    const std::string rerun = why.empty() ? (early ? ", early" : "") : ", re-run: " + why;
    std::printf("%s window %d %s..%s: %s, %zu products, %zu input files, %.1f s, latency %.1f s%s%s\n",
                local_stamp().c_str(), w.number, instant_text(w.start).c_str(), instant_text(w.end).c_str(),
                outcome.c_str(), products, inputs.size(), seconds, latency, rerun.c_str(),
                (damaged.empty() ? "" : "; damaged input: " + join(damaged, "; damaged input: ")).c_str());
    if (status != 0) std::printf("%s window %d: %s\n", local_stamp().c_str(), w.number,
                                 tavo_tools::printable(state.failures[w.number].why).c_str());
    std::fflush(stdout);
    state.last_cycle = {{"window", w.number},       {"start", instant_text(w.start)}, {"end", instant_text(w.end)},
                        {"exit_status", status},    {"products", products},          {"seconds", seconds},
                        {"latency_s", latency},     {"finished", local_stamp()},  {"early", early}};
    if (!why.empty()) {
        state.reruns.push_back({{"window", w.number}, {"why", why}, {"exit_status", status}, {"at", local_stamp()}});
    }
    return status == 0;
}

// The windows processed, each once, up to the mark.
std::vector<Window> processed_windows(const Campaign& c, Instant mark) {
    std::vector<Window> windows;
    for (const WindowPlan& p : c.windows) {
        if (p.window.end <= mark) windows.push_back(p.window);
    }
    return windows;
}

// The first instant not known to be covered: the end of the newest settled
// file's span, or the start of an older file still settling.
std::optional<Instant> covered_until(const Listing& listing) {
    std::optional<Instant> covered;
    for (const auto& [entry, f] : listing.settled) {
        NameSpan span;
        if (name_span(entry, span) && (!covered || *covered < span.covered_until)) covered = span.covered_until;
    }
    if (!covered) return std::nullopt;
    for (const auto& [entry, f] : listing.settling) {
        NameSpan span;
        if (name_span(entry, span) && span.start < *covered) covered = span.start;
    }
    return covered;
}

// A run looks for its files in the day directories from START - 121 s on,
// so a window that starts after 00:02:00 never sees the day before's last
// file, which may run on past midnight. While such a file holds packets
// past 00:02:00, a window from before that instant ends there, and the next
// one, from 00:02:00, waits until it can take all of that file's images.
// The end to run to; none when the window must wait.
std::optional<Instant> end_within_day_search(Instant mark, Instant end, const Listing& listing) {
    const Instant limit = shift_instant({end.date, 0}, kWindowMarginSeconds - 1);
    if (!(limit < end) || limit < mark) return end;
    std::optional<Instant> needed;  // the end of the earlier day directories' files
    for (const FileSet* set : {&listing.settled, &listing.settling}) {
        for (const auto& [entry, f] : *set) {
            NameSpan span;
            if (name_span(entry, span) && span.start.date < end.date && limit < span.covered_until &&
                (!needed || *needed < span.covered_until)) {
                needed = span.covered_until;
            }
        }
    }
    if (!needed || !(end < *needed)) return end;
    if (mark < limit) return limit;
    return std::nullopt;
}

// end, no more than a day past the mark nor past until; none when not after the mark.
std::optional<Instant> window_end_after(Instant mark, Instant end, const std::optional<Instant>& until) {
    end = std::min(end, shift_instant(mark, kMaxWindowSeconds));
    if (until) end = std::min(end, *until);
    if (!(mark < end)) return std::nullopt;
    return end;
}

// The window after the mark: one that starts there (failed, killed, or run
// early) keeps its number and runs again to its new end.
int next_window_number(const Campaign& c, Instant mark) {
    int number = 1;
    for (const WindowPlan& p : c.windows) {
        if (p.window.start == mark) return p.window.number;
        number = std::max(number, p.window.number + 1);
    }
    return number;
}

// Window w ran to its end on these inputs and completed.
bool already_ran(const Campaign& c, const Window& w, const FileSet& inputs) {
    for (const WindowPlan& p : c.windows) {
        if (p.window.number == w.number) {
            return p.window.end == w.end && window_done(c, w.number) &&
                   rerun_reason(recorded_inputs(c, w.number), inputs).empty();
        }
    }
    return false;
}

// Files that hold packets past the mark's packet window: still to be used.
nlohmann::json waiting_files(const Listing& listing, Instant mark) {
    nlohmann::json waiting = nlohmann::json::array();
    for (const FileSet* set : {&listing.settled, &listing.settling}) {
        for (const auto& [entry, f] : *set) {
            NameSpan span;
            if (name_span(entry, span) && mark < latest_end(span.covered_until)) waiting.push_back(entry);
        }
    }
    return waiting;
}

void show_status_line(const FollowState& s, int windows) {
    if (isatty(STDERR_FILENO) == 0) return;
    const double latency = s.last_cycle.is_object() ? s.last_cycle.value("latency_s", 0.0) : 0.0;
    std::fprintf(stderr, "\rFollowing: processed to %s, %d windows, %zu files waiting, last latency %.1f s\x1b[K",
                 instant_text(s.mark).c_str(), windows, s.waiting.size(), latency);
}

// The tallies of windows that end before the lookback, which no cycle runs
// again, added into the settled sum.
void settle_tallies(const Campaign& c, FollowState& state) {
    const Instant lookback = shift_instant(state.mark, -kLookbackSeconds);
    for (const WindowPlan& p : c.windows) {
        if (!(p.window.end < lookback)) continue;
        for (const std::string& key : {window_name(p.window.number), window_name(p.window.number) + "/join"}) {
            if (!state.tallies.contains(key)) continue;
            add_tally(state.settled_tally, state.tallies[key]);
            state.tallies.erase(key);
        }
    }
}

// Unix seconds of an instant of the campaign's clock (UTC).
double unix_seconds(Instant instant) {
    const int64_t days = tavo_tools::days_from_civil(instant.date / 10000, instant.date / 100 % 100, instant.date % 100);
    const int64_t seconds = instant.time / 10000 * 3600 + instant.time / 100 % 100 * 60 + instant.time % 100;
    return static_cast<double>(days * 86400 + seconds);
}

// The follower's metrics file text (docs/metrics.md).
std::string follow_metrics_text(const Campaign& c, double poll, const FollowState& s) {
    using tavo_tools::MetricLabels;
    const MetricLabels kite = {{"kite", std::to_string(c.kite)}};
    tavo_tools::MetricsText m;
    const auto gauge = [&](const char* name, const char* help, double value) {
        m.family(name, "gauge", help);
        m.sample(name, kite, value);
    };
    const auto counter = [&](const char* name, const char* help, double value) {
        m.family(name, "counter", help);
        m.sample(name, kite, value);
    };
    const double now = unix_now();
    double oldest = 0;
    for (const nlohmann::json& entry : s.waiting) {
        const auto seen = s.first_seen.find(entry.get<std::string>());
        if (seen != s.first_seen.end()) oldest = std::max(oldest, now - seen->second);
    }
    int64_t pending = 0, done = 0;
    for (const WindowPlan& p : c.windows) {
        if (s.failures.count(p.window.number)) continue;
        (p.window.end <= s.mark ? done : pending) += 1;
    }
    gauge(tavo_tools::kFollowProcessedToMetric, "The mark: every image at or before it is processed.",
          unix_seconds(s.mark));
    gauge("tavo_l0_follow_last_cycle_timestamp_seconds", "When the last cycle ended.", now);
    gauge(tavo_tools::kFollowLastProductMetric, "When a window last moved products into the tree.",
          s.last_product);
    gauge("tavo_l0_follow_poll_seconds", "The follower's poll interval.", poll);
    counter("tavo_l0_follow_cycles_total", "Cycles of the follower.", s.cycles);
    gauge("tavo_l0_follow_files_waiting", "Level-0 files holding packets past the mark.",
          static_cast<double>(s.waiting.size()));
    gauge("tavo_l0_follow_oldest_waiting_file_age_seconds", "Age of the oldest waiting file since first seen.",
          oldest);
    counter("tavo_l0_follow_window_reruns_total", "Windows run again.", static_cast<double>(s.reruns.size()));
    counter("tavo_l0_follow_window_failures_total", "Window runs that failed since the follower started.",
            static_cast<double>(s.counters.window_failures));
    gauge("tavo_l0_follow_windows_failing", "Windows whose last attempt failed.",
          static_cast<double>(s.failures.size()));
    gauge("tavo_l0_follow_reports_uncatalogued", "Audit reports and join records the catalog has not taken yet.",
          static_cast<double>(s.uncatalogued.size()));
    size_t damaged = 0;
    for (const auto& [number, files] : s.damaged) damaged += files.size();
    gauge("tavo_l0_follow_damaged_input_files", "Level-0 files the windows' last runs read only in part.",
          static_cast<double>(damaged));
    counter("tavo_l0_follow_dump_warnings_total", "Files named by the runs' DUMP WARNINGs since the follower started.",
            static_cast<double>(s.counters.dump_warnings));
    for (const auto& [name, histogram, help] :
         {std::tuple{"tavo_l0_follow_product_latency_seconds", &s.counters.product_latency,
                     "Per window: from the first sighting of its newest input file to its products in the tree."},
          std::tuple{"tavo_l0_follow_picture_latency_seconds", &s.counters.picture_latency,
                     "Per window: from the first sighting of its newest input file to its day pages drawn."}}) {
        m.family(name, "histogram", help);
        m.histogram(name, kite, histogram->bounds, histogram->counts, histogram->sum, histogram->count);
    }
    nlohmann::json total = nlohmann::json::object();
    add_tally(total, s.settled_tally);
    for (auto it = s.tallies.begin(); it != s.tallies.end(); ++it) add_tally(total, *it);
    gauge("tavo_l0_images_written", "Images written by the processed windows.",
          static_cast<double>(total["written"].get<int64_t>()));
    m.family("tavo_l0_images_lost", "gauge", "Images lost by the processed windows, by origin and reason.");
    const nlohmann::json lost = total.value("lost", nlohmann::json::object());
    for (const char* origin : {"run", "telemetry"}) {
        const std::string prefix = std::string(origin) + "/";
        for (auto it = lost.begin(); it != lost.end(); ++it) {
            if (it.key().rfind(prefix, 0) != 0) continue;
            m.sample("tavo_l0_images_lost",
                     {kite[0], {"origin", origin}, {"reason", it.key().substr(prefix.size())}},
                     it->get<double>());
        }
    }
    counter("tavo_l0_runs_total", "TAVO_L0 runs since the follower started.", static_cast<double>(s.counters.runs));
    gauge("tavo_l0_run_duration_seconds", "The last window's TAVO_L0 run: wall time.", s.counters.last_run_seconds);
    gauge("tavo_l0_run_cpu_seconds", "The last window's TAVO_L0 run: its own CPU time.", s.counters.last_run_cpu_seconds);
    m.family("tavo_l0_follow_windows", "gauge", "The follow's windows by state.");
    for (const auto& [state, count] : {std::pair{"done", done}, std::pair{"failed", static_cast<int64_t>(s.failures.size())},
                                       std::pair{"pending", pending}, std::pair{"running", int64_t{0}}}) {
        m.sample("tavo_l0_follow_windows", {kite[0], {"state", state}}, static_cast<double>(count));
    }
    return m.text();
}

// Rewrites the metrics file; a failure is said once, until it is written again.
void write_follow_metrics(const Campaign& c, const FollowRequest& r, double poll, FollowState& s) {
    if (r.metrics.empty()) return;
    const auto started = std::chrono::steady_clock::now();
    std::string error;
    const bool written = tavo_tools::write_metrics_file(r.metrics + "/" + tavo_tools::follow_metrics_file_name(c.kite),
                                                        follow_metrics_text(c, poll, s), error);
    if (!written && error != s.counters.metrics_failure) {
        std::printf("%s metrics not written: %s\n", local_stamp().c_str(), error.c_str());
        std::fflush(stdout);
    }
    s.counters.metrics_failure = written ? "" : error;
    s.counters.metrics_seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

// Why processed window w must run again ("" when it need not): its last
// attempt did not complete, or its input files changed.
std::string rerun_reason(const Campaign& c, const Window& w, const FileSet& inputs) {
    if (!window_done(c, w.number)) return "its last attempt did not complete";
    return rerun_reason(recorded_inputs(c, w.number), inputs);
}

// One cycle: the catalog's retries, the re-runs, then the next window; the
// state saved.
void follow_cycle(Campaign& c, const RunSettings& base, const FollowRequest& r, const std::string& scratch,
                  double settle, double poll, const std::optional<Instant>& until, InputWatch& watch,
                  FollowState& state, Listing& listing) {
    listing = list_files(base, state.mark, scratch, settle, watch, state);
    ++state.cycles;
    catalog_reports(c, state);
    const Instant lookback = shift_instant(state.mark, -kLookbackSeconds);
    // A stop asked for between windows still records what this cycle did
    // (a re-run completed before the signal among it).
    for (const Window& w : processed_windows(c, state.mark)) {
        if (stop_requested) return save_state(c, state);
        if (w.end < lookback || !may_try(state, w.number)) continue;
        const FileSet inputs = window_inputs(base, w, listing, scratch);
        const std::string why = rerun_reason(c, w, inputs);
        if (!why.empty()) run_window(c, base, w, inputs, listing, why, r, poll, state);
    }
    if (stop_requested) return save_state(c, state);
    const std::optional<Instant> covered = covered_until(listing);
    // The next window (M, E]: E the latest END whose packets are all at hand.
    const std::optional<Instant> next_end =
        covered ? end_within_day_search(state.mark, latest_end(*covered), listing) : std::nullopt;
    if (const auto end = next_end ? window_end_after(state.mark, *next_end, until) : std::nullopt) {
        const Window w{next_window_number(c, state.mark), state.mark, *end};
        if (may_try(state, w.number) &&
            run_window(c, base, w, window_inputs(base, w, listing, scratch), listing, "", r, poll, state)) {
            state.mark = *end;
            save_state(c, state);  // before anything else: a kill now must not run the window twice
        }
    }
    // Early: the window after it, to the last second covered, writes now the
    // images whose packets are all in already (one cut by the newest file's
    // end is left). The mark stays; once the next file lands the window runs
    // to its own E, renaming the same bytes over them and adding the rest.
    const std::optional<Instant> early_end =
        covered && r.early && !stop_requested
            ? end_within_day_search(state.mark, shift_instant(*covered, -1), listing)
            : std::nullopt;
    const auto early = early_end ? window_end_after(state.mark, *early_end, until) : std::nullopt;
    if (early) {
        const Window w{next_window_number(c, state.mark), state.mark, *early};
        const FileSet inputs = window_inputs(base, w, listing, scratch);
        if (may_try(state, w.number) && !already_ran(c, w, inputs)) {
            run_window(c, base, w, inputs, listing, "", r, poll, state, true);
        }
    }
    state.waiting = waiting_files(listing, state.mark);
    settle_tallies(c, state);
    write_follow_metrics(c, r, poll, state);
    save_state(c, state);
}

// How long to wait before the next cycle: the poll interval, or less when a
// file settles or a failed window's retry falls due sooner.
double wait_seconds(double poll, const Listing& listing, const FollowState& state) {
    double next = unix_now() + poll;
    if (listing.next_settle > 0) next = std::min(next, listing.next_settle + 0.05);
    for (const auto& [number, f] : state.failures) next = std::min(next, f.next_try);
    return std::max(0.0, next - unix_now());
}

double seconds_of(const std::string& option, const std::string& text) {
    tavo_tools::Micros micros = 0;
    std::string error;
    if (!tavo_tools::parse_duration(text, micros, error)) throw CampaignError(option + ": " + error);
    return static_cast<double>(micros) / static_cast<double>(tavo_tools::kMicrosPerSecond);
}

void install_stop_handlers() {
    struct sigaction action {};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

}  // namespace

int follow_campaign(const FollowRequest& r) {
    const double settle = seconds_of("--lag", r.lag);
    const double poll = seconds_of("--poll", r.poll);
    std::optional<Instant> until;
    if (!r.until.empty()) until = parse_period(r.until, r.until).second;
    install_stop_handlers();

    RunSettings base{};
    Campaign c;
    const std::string directory = fs::absolute(r.plan.directory).lexically_normal().string();
    if (fs::exists(directory + "/campaign.json")) {
        c = load_campaign(directory);
        base = read_base_settings(r.plan);
    } else {
        PlanRequest plan = r.plan;
        plan.to = plan.from.empty() ? std::string(read_base_settings(plan).param_text[PARAM_START]) : plan.from;
        c = start_campaign(plan, base);
        save_campaign(c);
    }
    const std::string scratch = c.directory + "/follow";
    std::error_code ec;
    fs::create_directories(scratch + "/work", ec);
    fs::create_directories(scratch + "/out", ec);

    FollowState state = load_state(c);
    InputWatch watch(base.param_text[PARAM_INPUT_ROOT_DIRECTORY]);
    std::printf("%s following %s from %s (campaign %s)\n", local_stamp().c_str(),
                tavo_tools::printable(r.plan.config).c_str(), instant_text(state.mark).c_str(),
                tavo_tools::printable(c.directory).c_str());
    if (!watch.active()) {
        std::printf("%s no watch on the input tree (%s): looking every %s only\n", local_stamp().c_str(),
                    tavo_tools::printable(watch.failure()).c_str(), r.poll.c_str());
    }
    std::fflush(stdout);
    Listing listing;
    while (!stop_requested) {
        follow_cycle(c, base, r, scratch, settle, poll, until, watch, state, listing);
        show_status_line(state, static_cast<int>(c.windows.size()));
        if (r.once || (until && !(state.mark < *until))) break;
        watch.wait(wait_seconds(poll, listing, state), stop_requested);
    }
    if (isatty(STDERR_FILENO) != 0) std::fprintf(stderr, "\r\x1b[K");
    std::printf("%s stopped%s; processed to %s\n", local_stamp().c_str(), stop_requested ? " on a signal" : "",
                instant_text(state.mark).c_str());
    if (state.failures.empty() && state.uncatalogued.empty()) return 0;
    std::string windows;
    for (const auto& [number, f] : state.failures) windows += " " + std::to_string(number);
    if (!state.failures.empty()) std::printf("%s windows failing:%s\n", local_stamp().c_str(), windows.c_str());
    if (!state.uncatalogued.empty()) {
        std::printf("%s reports not in the catalog yet: %zu\n", local_stamp().c_str(), state.uncatalogued.size());
    }
    return 1;
}

namespace {

// The status text of a follow state as read from follow.json.
std::string state_text(const nlohmann::json& s, bool as_json, const std::string& path) {
    const nlohmann::json waiting = s.value("waiting", nlohmann::json::array());
    const nlohmann::json last = s.value("last_cycle", nlohmann::json());
    const nlohmann::json failing = s.value("failing", nlohmann::json::array());
    const nlohmann::json uncatalogued = s.value("uncatalogued", nlohmann::json::array());
    const nlohmann::json damaged = s.value("damaged", nlohmann::json::array());
    if (as_json) {
        return nlohmann::json{{"mark", s.value("mark", "")}, {"waiting", waiting}, {"last_cycle", last},
                              {"reruns", s.value("reruns", nlohmann::json::array()).size()},
                              {"failing", failing}, {"uncatalogued", uncatalogued}, {"damaged", damaged}}
                   .dump(2) +
               "\n";
    }
    char line[256];
    std::snprintf(line, sizeof line, "follow: processed to %s, %zu files waiting, %zu re-runs", 
                  s.value("mark", std::string("?")).c_str(), waiting.size(),
                  s.value("reruns", nlohmann::json::array()).size());
    std::string text = line;
    if (last.is_object()) {
        std::snprintf(line, sizeof line, "; last cycle: window %d, %.1f s, latency %.1f s, %s",
                      integer_member(last, "window", path), last.value("seconds", 0.0), last.value("latency_s", 0.0),
                      last.value("finished", std::string("?")).c_str());
        text += line;
    }
    text += "\n";
    for (const nlohmann::json& w : waiting) text += "  waiting: " + w.get<std::string>() + "\n";
    for (const nlohmann::json& f : failing) {
        text += "  failing: window " + std::to_string(integer_member(f, "window", path)) + ", " +
                std::to_string(integer_member(f, "attempts", path)) + " attempts: " +
                tavo_tools::printable(f.value("why", std::string())) + "\n";
    }
    for (const nlohmann::json& report : uncatalogued) {
        text += "  not in the catalog yet: " + tavo_tools::printable(report.get<std::string>()) + "\n";
    }
    return text;
}

}  // namespace

Instant follow_mark(const Campaign& c) { return load_state(c).mark; }

std::string follow_status_text(const Campaign& c, bool as_json) {
    if (!fs::exists(state_path(c))) return "";
    const nlohmann::json s = read_json(state_path(c));
    try {
        return state_text(s, as_json, state_path(c));
    } catch (const nlohmann::json::exception& e) {
        throw CampaignError(state_path(c) + " is not a follow state: " + e.what());
    }
}

}  // namespace campaign
