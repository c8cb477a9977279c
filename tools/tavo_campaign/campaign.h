// tavo_campaign: a reprocessing campaign of TAVO_L0 over many windows, run on
// an existing engine (GNU parallel, Slurm, or one task after the other).
//
// Campaign directory:
//   campaign.json            the plan: period, windows, programs, product root
//   tasks.txt                one command per line, task N on line N
//   windows/NNNN/            per window: TAVO_configuration.cfg, tavo_l0.log (console of every
//                            attempt), result.json (exit status and products), lease (the
//                            running attempt's host, pid and heartbeat), attempt-HOST-PID/
//                            (the attempt's own working directory and staging output root)
//   logs/                    the engines' files: joblog, campaign.sbatch, slurm-task-N.log
//   summary.json             written by finish
// Products go to the base configuration's OUTPUT_ROOT_DIRECTORY, moved there by
// rename from the task's staging root only after TAVO_L0 completed.
#pragma once

#include <compare>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/base.h"

namespace campaign {

// A failure of the campaign tool itself (bad request, unreadable campaign):
// its text is the one message the program prints.
struct CampaignError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// An instant as TAVO_L0 holds START and END: packed calendar date and clock time.
struct Instant {
    uint32_t date = 0;  // YYYYMMDD
    uint32_t time = 0;  // HHMMSS
    auto operator<=>(const Instant&) const = default;
};

// "YYYY/MM/DDtHH:MM:SS", a text TAVO_L0 accepts for START and END.
std::string instant_text(Instant instant);
// START and END texts read by TAVO_L0's own window parser (END filled to its
// last second); throws with TAVO_L0's message.
std::pair<Instant, Instant> parse_period(const std::string& start, const std::string& end);
// The instant moved by any number of seconds.
Instant shift_instant(Instant instant, int64_t seconds);

// One parameter's text in a run-settings record.
void set_parameter_text(RunSettings& settings, int row, const std::string& value);
// Validates a run of base over (start, end] with these working and output
// directories (each ending with "/"), throwing TAVO_L0's refusal, and
// selects its input files as TAVO_L0 would, into input_file_list: their
// count, or 0 with TAVO_L0's message in message.
int select_input_files(const RunSettings& base, Instant start, Instant end, const std::string& work,
                       const std::string& out, char (&message)[kRunMessageCapacity]);

// One window (start, end]: TAVO_L0 writes an image when its time to the
// second is later than START and not later than END, so windows whose START
// is the previous END give every image once.
struct Window {
    int number = 0;  // from 1, also the task number
    Instant start;
    Instant end;
};
// Splits (from, to] into windows of window_seconds, or at the given inner
// bounds when there are any.
std::vector<Window> split_period(Instant from, Instant to, int64_t window_seconds, const std::vector<Instant>& bounds);

struct PlanRequest {
    std::string directory;               // campaign directory (created, must not hold a plan)
    std::string config;                  // base configuration file
    std::vector<std::string> overrides;  // PARAM=value, as on TAVO_L0's command line
    int kite = 0;                        // 0: the base configuration's
    std::string from;                    // "": the base configuration's START
    std::string to;                      // "": the base configuration's END
    std::string window = "1d";           // window length: number and unit s, min, h or d
    std::vector<std::string> bounds;     // inner window bounds, for uneven windows
    std::string tavo_l0;                 // TAVO_L0 program ("": beside this program)
    std::string audit;                   // tavo_l0audit program ("": beside this program, if built)
    bool no_audit = false;               // never run the audit
    std::string catalog;                 // SQLite catalog finish ingests the audits into ("": none)
    std::string self;                    // this program, as the tasks call it
};

struct WindowPlan {
    Window window;
    int input_files = 0;  // files TAVO_L0 selects for it at plan time
};

// A window's name, its number in four digits ("0007"): its directory under
// windows/ and its key in the follow state.
std::string window_name(int number);

struct Campaign {
    std::string directory;     // absolute, no final "/"
    int kite = 0;
    std::string from, to;      // the period as START and END texts
    std::string product_root;  // OUTPUT_ROOT_DIRECTORY, ends with "/"
    bool isp_csv = false;      // the base configuration asks for the daily tables
    std::string tavo_l0, audit, self;
    std::string catalog;          // absolute path of the catalog file, "" when none is configured
    std::string catalog_program;  // tavo_catalog, beside this program
    std::vector<WindowPlan> windows;

    std::string window_directory(int number) const;  // directory/windows/ and the window's name
    std::string window_config(int number) const;
    std::string result_path(int number) const;
    std::string console_log(int number) const;
    std::string logs_directory() const { return directory + "/logs"; }
    std::string tasks_file() const { return directory + "/tasks.txt"; }
};

Campaign plan_campaign(const PlanRequest& request);
// The pieces of a plan, which follow also uses. start_campaign: the
// directory, the programs and base (the base configuration read as TAVO_L0
// reads it, with the overrides); no windows yet. add_window: window w's
// directories and configuration (base with the window's START and END),
// its input files counted as TAVO_L0 selects them. save_campaign: the task
// list and campaign.json.
RunSettings read_base_settings(const PlanRequest& request);
Campaign start_campaign(const PlanRequest& request, RunSettings& base);
void add_window(Campaign& c, const RunSettings& base, const Window& w);
void save_campaign(const Campaign& c);
Campaign load_campaign(const std::string& directory);

// Runs window number's task: TAVO_L0 in a fresh attempt directory, then the
// audit when built, then the products moved into the product tree; records
// result.json. Returns the exit status: TAVO_L0's, or 2 when the task
// itself failed.
int run_task(const std::string& directory, int number);

// The level-0 files a window's run read only in part (a DUMP WARNING), as
// its result records them: "FILE, N bytes of packets used" each.
std::vector<std::string> damaged_input_texts(const nlohmann::json& result);

// Exit status of a task that found its window running elsewhere: its work
// was not done here.
constexpr int kExitRunningElsewhere = 1;

// --- The window lease ----------------------------------------------------------

// A task renews its heartbeat every kHeartbeatSeconds. Another host takes a
// lease over only when its heartbeat is older than kLeaseTimeoutSeconds. On
// NFS a file's content is current when it is opened (close-to-open), but
// attribute and lookup caches may show a directory as it was for up to
// acregmax/acdirmax (60 s by default); the timeout covers a heartbeat
// interval, those 60 s and some clock difference between hosts several times
// over. Hosts must keep their clocks within a minute of each other.
constexpr int kHeartbeatSeconds = 30;
constexpr int kLeaseTimeoutSeconds = 300;

struct Lease {
    std::string host;
    long pid = 0;
    std::string token;       // host, pid and a random part: this attempt's alone
    int64_t started = 0;     // Unix seconds
    int64_t heartbeat = 0;   // Unix seconds, renewed while the task runs
};

std::string lease_path(const std::string& window_directory);
std::optional<Lease> read_lease(const std::string& window_directory);
// Live: its pid runs on this host, or its heartbeat from another host is recent.
bool lease_is_live(const Lease& lease, const std::string& this_host, int64_t now);
// "node7, pid 4711, heartbeat 2026-12-09T10:00:00Z"
std::string lease_holder_text(const Lease& lease);

// The lease of one window for the lifetime of a task.
class WindowLease {
public:
    WindowLease() = default;
    ~WindowLease();
    WindowLease(const WindowLease&) = delete;
    WindowLease& operator=(const WindowLease&) = delete;
    // Takes the lease, taking over a stale one; false with holder set when a
    // live attempt holds it.
    bool acquire(const std::string& window_directory, const std::string& host, std::string& holder);
    // The lease file still names this attempt.
    bool still_held() const;
    // Stops the heartbeat and removes the lease if it is still this attempt's.
    void release();
    // Who held the stale lease that acquire took over; "" when none.
    const std::string& taken_over() const { return taken_over_; }

private:
    void renew_until_released();

    std::string path_;
    Lease mine_;
    bool held_ = false;
    std::string taken_over_;
    std::thread beat_;
    std::mutex mutex_;
    std::condition_variable stop_;
    bool stopping_ = false;
};

// Creates directory when absent and makes sure files can be written in it;
// throws CampaignError naming the cause (read-only file system, permission
// denied) otherwise.
void require_writable_directory(const std::string& directory);

// Makes what was written to path durable: fsync of the file (or directory).
void sync_path(const std::string& path);
// Makes durable every directory from root down to the one holding each of
// the paths (relative to root) that received files: root included when
// there are any.
void sync_directories(const std::string& root, const std::vector<std::string>& paths);

enum class Engine { serial, parallel, slurm };
struct RunRequest {
    std::string directory;
    Engine engine = Engine::serial;
    int jobs = 1;                            // tasks at once (parallel -j, Slurm array throttle)
    std::string sshloginfile;                // GNU parallel: machines to run on
    bool resume_failed = false;              // rerun only what did not complete
    std::vector<std::string> slurm_options;  // more sbatch options, e.g. --partition=x
    bool wait = true;                        // Slurm: wait for the array to end
};
// The engine's command line for the tasks to run (serial: empty).
std::vector<std::string> engine_command(const Campaign& campaign, const RunRequest& request,
                                        const std::vector<int>& tasks);
// Prints the command, runs it and returns its exit status (0: every task done).
int run_campaign(const RunRequest& request);

struct TaskStatus {
    int number = 0;
    std::string state;      // "done", "failed" or "pending"
    int exit_status = -1;   // of the last completed attempt
    size_t products = 0;
    std::string last_line;  // failed: the last line of its log; pending: where it was started
    std::vector<std::string> damaged;  // its damaged input files, as damaged_input_texts gives them
};
std::vector<TaskStatus> campaign_status(const Campaign& campaign);
// The status table as printed; JSON with as_json.
std::string status_text(const std::vector<TaskStatus>& tasks, bool as_json);

// Writes DIR/tavo_l0_campaign_NAME.prom (NAME: the campaign directory's
// name): the windows by state; throws CampaignError when it cannot.
void write_status_metrics(const Campaign& campaign, const std::vector<TaskStatus>& tasks, const std::string& directory);

// Checks the joins, writes the daily CSV tables and merges the audits into
// summary.json. Returns the summary; "ok" false when something needs a look.
nlohmann::json finish_campaign(const std::string& directory);

// --- follow: an open-ended campaign that keeps up with landing files ---------

struct FollowRequest {
    PlanRequest plan;          // directory, base configuration, programs, catalog; from: the first mark
    std::string lag = "5s";    // a file is taken once unmodified for this long
    std::string poll = "10s";  // time between cycles
    std::string until;         // "": follow until stopped; else stop once processed to this END
    bool quicklook = true;     // update the day pages after each window
    bool once = false;         // one cycle, then return
    bool early = true;         // also write the images past E whose packets are all in
    std::string metrics;       // "": none; else the directory tavo_l0_follow_kNN.prom is written to
};
// The input tree watched for landing files (inotify): the root and its day
// directories, and day directories made later. Inactive, with the reason in
// failure(), where the system gives no watch; the follower then polls only.
class InputWatch {
public:
    explicit InputWatch(const std::string& root);  // INPUT_ROOT_DIRECTORY, ending with "/"
    ~InputWatch();
    InputWatch(const InputWatch&) = delete;
    InputWatch& operator=(const InputWatch&) = delete;
    bool active() const { return fd_ >= 0; }
    const std::string& failure() const { return failure_; }
    // Waits up to seconds; returns early when something changes in the
    // watched directories or stop is set.
    void wait(double seconds, const volatile std::sig_atomic_t& stop);
    // The file at entry was renamed into place whole and has not changed since.
    bool arrived_whole(const std::string& entry, int64_t size, int64_t mtime_ns) const;
    // Forgets the files not among entries (those no longer listed).
    void forget_all_but(const std::set<std::string>& entries);

private:
    bool add_directory(const std::string& relative);
    bool read_events();

    int fd_ = -1;
    std::string root_;
    std::string failure_;
    std::map<int, std::string> directories_;                         // watch -> "" or "K16_2017_060/"
    std::map<std::string, std::pair<int64_t, int64_t>> whole_;      // entry -> size, mtime when renamed in
};

// Follows until SIGTERM or SIGINT (the window in progress completes or is
// abandoned with nothing under final names) or until r.until; returns the
// exit status. Resumes from the mark kept in the campaign directory.
int follow_campaign(const FollowRequest& r);
// The follow state for status: the mark, the files waiting, the last
// cycle's latency; "" when the campaign does not follow.
std::string follow_status_text(const Campaign& c, bool as_json);
// The mark a follower resumes from: follow.json's, or the campaign's start
// when there is none; throws CampaignError when the file is no follow state.
Instant follow_mark(const Campaign& c);

// With a catalog configured, ingests the windows' audit reports into it
// with tavo_catalog (its console in logs/catalog.log); records the outcome
// in summary["catalog"] and a failure among the problems.
void ingest_into_catalog(const Campaign& c, nlohmann::json& summary, nlohmann::json& problems);

// A child program: argv[0] is the program's path. Its standard output and
// error go to output_path (appended, never through a link) when that is not
// empty. The child is killed if this process dies first; SIGTERM, SIGINT or
// SIGHUP that this process leaves unhandled are passed on to the child, and
// this process stops by them once the child has ended. Returns its exit
// status, or 128 + the signal that ended it. With cpu_seconds, the CPU time
// the program spent itself (its own children left out) goes there.
int run_program(const std::vector<std::string>& argv, const std::string& output_path,
                double* cpu_seconds = nullptr);

// The last line of a log file that is not blank; "" when there is none.
std::string last_line_of(const std::string& path);

// This host's name, as leases and results name it ("unknown" when it has none).
std::string host_name();

// The clock now as text in the strftime format, in local time.
std::string local_now_text(const char* format);

// text as one word of a shell command line, quoted only when it must be.
std::string shell_word(const std::string& text);
// The words with the separator between them.
std::string join(const std::vector<std::string>& words, const std::string& separator);

// Files below root, as paths relative to it, sorted.
std::vector<std::string> files_below(const std::string& root);
// Writes text to path through a temporary file and a rename.
void write_file_atomically(const std::string& path, const std::string& text);
nlohmann::json read_json(const std::string& path);
// A window's result.json: an object whose exit_status, when there, is an
// integer and whose products, when there, are a list of names; throws
// CampaignError naming the file otherwise.
nlohmann::json read_result(const std::string& path);

}  // namespace campaign
