// task: one window's run. The task first takes the window's lease, so one
// attempt runs the window at a time whatever the engine starts. TAVO_L0
// writes into a staging root of the attempt's own; only when it has
// completed are its products renamed into the campaign's product tree, one
// atomic rename per file, and made durable before result.json says "done".
// A task killed at any moment therefore leaves under final names only
// complete products of a completed run, and running it again replaces them
// with the same bytes.
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "audit_report.h"
#include "base/base.h"
#include "campaign.h"
#include "layout/layout.h"
#include "output_file.h"
#include "packets/packets.h"
#include "time_text.h"

namespace fs = std::filesystem;

namespace campaign {

namespace {

constexpr const char* kAttemptPrefix = "attempt-";

// A path under the run's LOG/ directory, which stays with the attempt.
bool is_run_log(const std::string& relative) {
    return relative.rfind(std::string(kLogDirectoryName) + "/", 0) == 0;
}

std::string utc_now() { return tavo_tools::utc_seconds_text(std::time(nullptr)); }

void append_line(const std::string& path, const std::string& line) {
    std::string error;
    const int fd = tavo_tools::open_append_output(path, error);
    if (fd < 0) return;  // the console log is a courtesy; the result says what happened
    const std::string text = line + "\n";
    [[maybe_unused]] const ssize_t written = write(fd, text.data(), text.size());
    close(fd);
}

// Copies across file systems into a file created beside to, made durable,
// then renamed onto it; the source is removed once the copy stands. What an
// earlier, killed copy of this window's product left beside it goes first:
// the lease makes this task the product's only writer.
void copy_then_rename(const fs::path& from, const fs::path& to) {
    const auto fail = [&](const std::string& why) {
        throw CampaignError("cannot move " + from.string() + " to " + to.string() + ": " + why);
    };
    const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) fail(std::strerror(errno));
    remove_temporary_leftovers(to.c_str());
    tavo_tools::OutputFile out(to.string());
    std::vector<char> buffer(1 << 20);
    std::string failure = out.ok() ? "" : out.error();
    while (failure.empty()) {
        const ssize_t got = read(in, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) failure = std::strerror(errno);
        if (got <= 0) break;
        out.write(std::string_view(buffer.data(), static_cast<size_t>(got)));
    }
    close(in);
    if (failure.empty() && !out.commit(true)) failure = out.error();
    if (!failure.empty()) fail(failure);
    std::error_code ec;
    fs::remove(from, ec);
}

// Makes every moved product and every directory that received one (or was
// made for one) durable, so that result.json never says "done" before them.
void sync_moved(const std::vector<std::string>& moved, const std::string& product_root) {
    for (const std::string& rel : moved) sync_path((fs::path(product_root) / rel).string());
    sync_directories(product_root, moved);
}

// Moves every product of the staging root into the product tree; returns
// their paths relative to the root. The run log stays with the attempt.
std::vector<std::string> move_products(const std::string& staging, const std::string& product_root) {
    std::vector<std::string> moved;
    for (const std::string& rel : files_below(staging)) {
        if (is_run_log(rel) || is_temporary_name(rel.c_str())) continue;
        const fs::path from = fs::path(staging) / rel;
        const fs::path to = fs::path(product_root) / rel;
        std::error_code ec;
        fs::create_directories(to.parent_path(), ec);
        if (!fs::is_directory(to.parent_path())) {
            throw CampaignError("cannot create directory " + to.parent_path().string());
        }
        if (std::rename(from.c_str(), to.c_str()) != 0) {
            if (errno != EXDEV) {
                throw CampaignError("cannot move " + from.string() + " to " + to.string() + ": " +
                                    std::strerror(errno));
            }
            copy_then_rename(from, to);
        }
        moved.push_back(rel);
    }
    sync_moved(moved, product_root);
    return moved;
}

// The level-0 file and the bytes of packets used that a run log line
// "DUMP WARNING - ... on input file PATH; N bytes of packets used" names;
// false for any other line. A file of the follower's input view is named by
// the file its link stands for.
bool damaged_input_of(const std::string& line, nlohmann::json& damaged) {
    const std::string_view file_lead = kDumpWarningInputFile, used_lead = kDumpWarningBytesUsed;
    const size_t warning = line.find(kDumpWarningStart);
    const size_t file = line.rfind(file_lead);
    const size_t used = line.rfind(used_lead);
    if (warning == std::string::npos || file == std::string::npos || used == std::string::npos || used < file) {
        return false;
    }
    std::string path = line.substr(file + file_lead.size(), used - file - file_lead.size());
    std::error_code ec;
    if (fs::is_symlink(path, ec)) path = fs::read_symlink(path, ec).string();
    damaged = {{"file", path}, {"bytes_used", std::atol(line.c_str() + used + used_lead.size())}};
    return true;
}

// Appends the attempt's run log lines to the product tree's LOG day files of
// the same names, with the staging root named as the product root, so they
// read as a plain run's lines; returns the damaged input files they name.
nlohmann::json publish_run_log(const std::string& staging, const std::string& product_root) {
    nlohmann::json damaged = nlohmann::json::array();
    const std::string staging_root = staging + "/";
    for (const std::string& rel : files_below(staging)) {
        if (!is_run_log(rel) || is_temporary_name(rel.c_str())) continue;
        std::ifstream in(fs::path(staging) / rel, std::ios::binary);
        std::string text, line;
        while (std::getline(in, line)) {
            for (size_t at = line.find(staging_root); at != std::string::npos;
                 at = line.find(staging_root, at + product_root.size())) {
                line.replace(at, staging_root.size(), product_root);
            }
            nlohmann::json one;
            // A file read in two pairs warns twice: named once.
            if (damaged_input_of(line, one) && std::find(damaged.begin(), damaged.end(), one) == damaged.end()) {
                damaged.push_back(one);
            }
            text += line + "\n";
        }
        const fs::path to = fs::path(product_root) / rel;
        std::error_code ec;
        fs::create_directories(to.parent_path(), ec);
        std::string error;
        const int fd = tavo_tools::open_append_output(to.string(), error);
        if (fd < 0) throw CampaignError("cannot append the run log to " + to.string() + ": " + error);
        const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        close(fd);
        if (!written) throw CampaignError("cannot append the run log to " + to.string() + ": " + std::strerror(errno));
    }
    return damaged;
}

// Removes the directories of earlier attempts of this window, with whatever a
// killed run left in them. Only the lease holder calls it, so every attempt
// directory but its own is stale.
void remove_stale_attempts(const std::string& window_directory, const std::string& own_attempt) {
    std::error_code ec;
    for (fs::directory_iterator it(window_directory, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->path().filename().string().rfind(kAttemptPrefix, 0) == 0 && it->path().string() != own_attempt) {
            std::error_code ignored;
            fs::remove_all(it->path(), ignored);
        }
    }
}

// While TAVO_L0 runs, the writing of its finished products to disk is
// started every second in the background (sync_file_range, which does not
// wait), so that making them durable after the run waits for the last
// second's products only, not for the whole window's. The dump streams in
// the working directory, deleted soon after, are left alone.
class BackgroundFlush {
public:
    explicit BackgroundFlush(const std::string& directory) : directory_(directory) {
        flusher_ = std::thread([this] { flush_until_stopped(); });
    }
    ~BackgroundFlush() {
        if (flusher_.joinable()) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                stopping_ = true;
            }
            stop_.notify_all();
            flusher_.join();
        }
    }
    BackgroundFlush(const BackgroundFlush&) = delete;
    BackgroundFlush& operator=(const BackgroundFlush&) = delete;

private:
    void flush_until_stopped() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stop_.wait_for(lock, std::chrono::seconds(1), [this] { return stopping_; })) start_writeback();
    }

    // Products appear under their final names only when complete.
    void start_writeback() {
        for (const std::string& rel : files_below(directory_)) {
            if (is_run_log(rel) || is_temporary_name(rel.c_str()) || !started_.insert(rel).second) continue;
            const int fd = open((directory_ + "/" + rel).c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) continue;
            sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
            close(fd);
        }
    }

    std::string directory_;
    std::set<std::string> started_;  // products whose writing to disk was started
    std::thread flusher_;
    std::mutex mutex_;
    std::condition_variable stop_;
    bool stopping_ = false;
};

const WindowPlan& find_window(const Campaign& c, int number) {
    for (const WindowPlan& w : c.windows) {
        if (w.window.number == number) return w;
    }
    throw CampaignError("the campaign has no window " + std::to_string(number));
}

}  // namespace

std::string host_name() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return "unknown";
    return name;
}

std::string local_now_text(const char* format) {
    const std::time_t now = std::time(nullptr);
    std::tm fields{};
    localtime_r(&now, &fields);
    char text[64];
    std::strftime(text, sizeof text, format, &fields);
    return text;
}

namespace {

// The child run_program waits for, and a stop signal that reached this
// process meanwhile: it is passed on to the child (as timeout(1) does), and
// raised again here once the child has ended.
volatile sig_atomic_t waited_child = 0;
volatile sig_atomic_t forwarded_signal = 0;

void forward_to_child(int signal) {
    forwarded_signal = signal;
    if (waited_child > 0) kill(static_cast<pid_t>(waited_child), signal);
}

constexpr int kForwardedSignals[] = {SIGTERM, SIGINT, SIGHUP};

// Forwards the stop signals nobody here handles (a follower handles its own
// and lets the window in progress end) for the life of the object.
class ForwardStopSignals {
public:
    ForwardStopSignals() {
        for (size_t i = 0; i < std::size(kForwardedSignals); ++i) {
            struct sigaction current {};
            sigaction(kForwardedSignals[i], nullptr, &current);
            if (current.sa_handler != SIG_DFL) continue;
            struct sigaction forward {};
            forward.sa_handler = forward_to_child;
            sigemptyset(&forward.sa_mask);
            installed_[i] = sigaction(kForwardedSignals[i], &forward, &saved_[i]) == 0;
        }
    }
    ~ForwardStopSignals() {
        waited_child = 0;
        for (size_t i = 0; i < std::size(kForwardedSignals); ++i) {
            if (installed_[i]) sigaction(kForwardedSignals[i], &saved_[i], nullptr);
        }
        const int signal = forwarded_signal;
        forwarded_signal = 0;
        if (signal != 0) raise(signal);  // this process stops as it was asked to
    }
    ForwardStopSignals(const ForwardStopSignals&) = delete;
    ForwardStopSignals& operator=(const ForwardStopSignals&) = delete;

private:
    struct sigaction saved_[std::size(kForwardedSignals)] {};
    bool installed_[std::size(kForwardedSignals)] = {};
};

}  // namespace

namespace {

// The CPU seconds (user and system) a process that has ended but is not yet
// reaped spent itself, its children left out; -1 when /proc cannot tell.
double own_cpu_seconds(pid_t child) {
    std::ifstream in("/proc/" + std::to_string(child) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t after_name = text.rfind(')');
    if (after_name == std::string::npos) return -1;
    std::istringstream fields(text.substr(after_name + 2));
    std::string field;
    double ticks = 0;
    // Fields from the state (3rd) on; utime and stime are the 14th and 15th.
    for (int n = 3; n <= 15 && fields >> field; ++n) {
        if (n >= 14) ticks += std::atof(field.c_str());
    }
    const long per_second = sysconf(_SC_CLK_TCK);
    return per_second > 0 ? ticks / static_cast<double>(per_second) : -1;
}

}  // namespace

int run_program(const std::vector<std::string>& argv, const std::string& output_path, double* cpu_seconds) {
    int output = -1;
    std::string error;
    if (!output_path.empty() && (output = tavo_tools::open_append_output(output_path, error)) < 0) {
        throw CampaignError(std::string("cannot start ") + argv[0] + ": " + error);
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ForwardStopSignals forwarding;
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child < 0) {
        const int saved = errno;
        if (output >= 0) close(output);
        throw CampaignError(std::string("cannot start ") + argv[0] + ": " + std::strerror(saved));
    }
    if (child == 0) {
        // The child dies with this process, even when it is killed outright.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        if (output >= 0 && (dup2(output, STDOUT_FILENO) < 0 || dup2(output, STDERR_FILENO) < 0)) _exit(127);
        execv(args[0], args.data());
        std::fprintf(stderr, "cannot run %s: %s\n", args[0], std::strerror(errno));
        _exit(127);
    }
    waited_child = child;
    if (forwarded_signal != 0) kill(child, forwarded_signal);  // a stop that came during the start
    if (output >= 0) close(output);
    if (cpu_seconds != nullptr) {
        // Looked at once it has ended, before it is reaped.
        siginfo_t ended {};
        while (waitid(P_PID, static_cast<id_t>(child), &ended, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
        }
        *cpu_seconds = own_cpu_seconds(child);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) throw CampaignError(std::string("lost ") + argv[0] + ": " + std::strerror(errno));
    }
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

std::vector<std::string> damaged_input_texts(const nlohmann::json& result) {
    std::vector<std::string> texts;
    const auto damaged = result.find("damaged_inputs");
    if (damaged == result.end() || !damaged->is_array()) return texts;
    for (const nlohmann::json& d : *damaged) {
        if (!d.is_object() || !d.value("file", nlohmann::json()).is_string()) continue;
        const nlohmann::json used = d.value("bytes_used", nlohmann::json());
        texts.push_back(tavo_tools::printable(d["file"].get<std::string>()) + ", " +
                        (used.is_number_integer() ? used.dump() : std::string("?")) + " bytes of packets used");
    }
    return texts;
}

int run_task(const std::string& directory, int number) {
    const Campaign c = load_campaign(directory);
    const WindowPlan& plan = find_window(c, number);
    const std::string window_dir = c.window_directory(number);
    const std::string host = host_name();
    const std::string attempt = window_dir + "/" + kAttemptPrefix + host + "-" + std::to_string(getpid());
    const auto started = std::chrono::steady_clock::now();

    WindowLease lease;
    std::string holder;
    if (!lease.acquire(window_dir, host, holder)) {
        std::fprintf(stderr, "tavo_campaign: window %d is running elsewhere (%s); this attempt leaves it alone\n",
                     number, holder.c_str());
        return kExitRunningElsewhere;
    }
    std::error_code ec;
    fs::remove(c.result_path(number), ec);
    remove_stale_attempts(window_dir, attempt);
    fs::create_directories(attempt + "/work", ec);
    fs::create_directories(attempt + "/out", ec);
    write_file_atomically(window_dir + "/started.json",
                          nlohmann::json{{"host", host}, {"pid", getpid()}, {"started", utc_now()}}.dump() + "\n");
    append_line(c.console_log(number), "== tavo_campaign task " + std::to_string(number) + " on " + host + ", pid " +
                                           std::to_string(getpid()) + ", " + utc_now() + " ==");
    if (!lease.taken_over().empty()) {
        append_line(c.console_log(number), "lease taken over from a stale attempt (" + lease.taken_over() + ")");
    }

    nlohmann::json result = {{"window", number},
                             {"start", instant_text(plan.window.start)},
                             {"end", instant_text(plan.window.end)},
                             {"host", host},
                             {"note", nullptr},
                             {"audit_status", nullptr},
                             {"products", nlohmann::json::array()}};
    int status = 0;
    try {
        if (plan.input_files == 0) {
            result["note"] = "no input files for this window at plan time";
        } else {
            const auto run_started = std::chrono::steady_clock::now();
            BackgroundFlush flush(attempt + "/out");
            double cpu_seconds = -1;
            status = run_program({c.tavo_l0, "CONFIG=" + c.window_config(number),
                                  "WORKING_DIRECTORY=" + attempt + "/work/",
                                  "OUTPUT_ROOT_DIRECTORY=" + attempt + "/out/"},
                                 c.console_log(number), &cpu_seconds);
            if (cpu_seconds >= 0) result["tavo_l0_cpu_seconds"] = cpu_seconds;
            result["tavo_l0_seconds"] =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - run_started).count();
            result["damaged_inputs"] = publish_run_log(attempt + "/out", c.product_root);
        }
        if (status == 0 && plan.input_files > 0) {
            if (!c.audit.empty() && access(c.audit.c_str(), X_OK) == 0) {
                const std::string report = window_dir + "/" + tavo_tools::kWindowAuditName;
                fs::remove(report, ec);
                result["audit_status"] = run_program(
                    {c.audit, "--report", report, "--csv", window_dir + "/audit.csv",
                     "CONFIG=" + c.window_config(number), "WORKING_DIRECTORY=" + attempt + "/work/",
                     "OUTPUT_ROOT_DIRECTORY=" + attempt + "/out/"},
                    window_dir + "/audit.log");
            }
            // An attempt that lost its lease (taken over while it hung)
            // leaves the tree to the attempt that holds it now.
            if (!lease.still_held()) throw CampaignError("the lease of window " + std::to_string(number) + " was lost");
            result["products"] = move_products(attempt + "/out", c.product_root);
            fs::remove_all(attempt, ec);
        }
    } catch (const CampaignError& e) {
        status = 2;
        append_line(c.console_log(number), std::string("tavo_campaign: ") + e.what());
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    result["exit_status"] = status;
    result["state"] = status == 0 ? "done" : "failed";
    if (status != 0) result["why"] = last_line_of(c.console_log(number));
    result["seconds"] = seconds;
    result["finished"] = utc_now();
    if (lease.still_held()) write_file_atomically(c.result_path(number), result.dump(1) + "\n");
    lease.release();

    std::printf("window %d %s..%s: %s, exit status %d, %zu products, %.1f s\n", number,
                instant_text(plan.window.start).c_str(), instant_text(plan.window.end).c_str(),
                status == 0 ? "done" : "failed", status, result["products"].size(), seconds);
    return status;
}

}  // namespace campaign
