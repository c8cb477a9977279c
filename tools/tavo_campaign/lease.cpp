// The window lease: one attempt of a window at a time, on one host or many
// sharing the campaign directory. A task creates windows/NNNN/lease
// exclusively before it touches anything of the window and renews its
// heartbeat while it runs; a second attempt that finds a live lease leaves
// the window alone. A lease is stale when its pid is gone on this host, or,
// from another host, when its heartbeat is older than kLeaseTimeoutSeconds.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <limits>
#include <random>

#include "campaign.h"
#include "output_file.h"
#include "time_text.h"

namespace fs = std::filesystem;

namespace campaign {

namespace {

constexpr const char* kLeaseName = "lease";
// The lease text is padded to one size and rewritten whole, so a reader sees
// either the old heartbeat or the new one.
constexpr size_t kLeaseBytes = 512;

int64_t unix_now() { return static_cast<int64_t>(std::time(nullptr)); }

std::string lease_text(const Lease& lease) {
    std::string text = nlohmann::json{{"host", lease.host},
                                      {"pid", lease.pid},
                                      {"token", lease.token},
                                      {"started", lease.started},
                                      {"heartbeat", lease.heartbeat}}
                           .dump();
    if (text.size() < kLeaseBytes - 1) text.append(kLeaseBytes - 1 - text.size(), ' ');
    return text + "\n";
}

// The last second a clock text can show, 9999-12-31T23:59:59Z.
constexpr int64_t kLastLeaseSecond = 253402300799;

// False when the text is no lease: a field of the wrong type, a pid no
// process can have (kill would take it for a process group), or a time
// before 1970 or past the last a clock text shows.
bool parse_lease(const std::string& text, Lease& lease) {
    const nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
    if (j.is_discarded() || !j.is_object()) return false;
    // Numbers are integers: a float past int64_t's range has no conversion.
    for (const char* key : {"pid", "started", "heartbeat"}) {
        if (j.contains(key) && !j[key].is_number_integer()) return false;
    }
    try {
        lease.host = j.value("host", std::string());
        lease.pid = j.value("pid", 0L);
        lease.token = j.value("token", std::string());
        lease.started = j.value("started", int64_t{0});
        lease.heartbeat = j.value("heartbeat", int64_t{0});
    } catch (const nlohmann::json::exception&) {
        return false;
    }
    const auto in_clock = [](int64_t t) { return t >= 0 && t <= kLastLeaseSecond; };
    return !lease.token.empty() && lease.pid > 0 && lease.pid <= std::numeric_limits<pid_t>::max() &&
           in_clock(lease.started) && in_clock(lease.heartbeat);
}

std::string read_all(int fd) {
    std::string text;
    char buffer[kLeaseBytes];
    ssize_t n = 0;
    while ((n = pread(fd, buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0) {
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

bool read_lease_file(const std::string& path, Lease& lease) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const std::string text = read_all(fd);
    close(fd);
    return parse_lease(text, lease);
}

// Writes the text into a new file and links it to path: the lease appears
// whole or not at all, and link fails when one is already there (also on NFS).
bool create_lease_file(const std::string& path, const Lease& lease) {
    const std::string temporary = path + "." + lease.token + "-tmp";
    std::string error;
    const int fd = tavo_tools::create_output(temporary, error);
    // No lease can be written here (read-only, not ours, full): no task can run the window.
    if (fd < 0) throw CampaignError("cannot take the lease of " + fs::path(path).parent_path().string() + ": " + error);
    const std::string text = lease_text(lease);
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
    close(fd);
    const bool linked = written && link(temporary.c_str(), path.c_str()) == 0;
    unlink(temporary.c_str());
    return linked;
}

std::string new_token(const std::string& host) {
    std::random_device device;
    char random[17];
    std::snprintf(random, sizeof random, "%08x%08x", device(), device());
    return host + "-" + std::to_string(getpid()) + "-" + random;
}

}  // namespace

std::string lease_path(const std::string& window_directory) { return window_directory + "/" + kLeaseName; }

namespace {

// A process of this host that has not ended: one that exists and is not a
// zombie nobody reaped (a killed task's parent may be gone).
bool process_runs(long pid) {
    if (pid <= 0 || (kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM)) return false;
    FILE* stat = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (stat == nullptr) return true;
    char state = '?';
    const int read = std::fscanf(stat, "%*d (%*[^)]) %c", &state);
    std::fclose(stat);
    return read != 1 || (state != 'Z' && state != 'X');
}

}  // namespace

bool lease_is_live(const Lease& lease, const std::string& this_host, int64_t now) {
    if (lease.host == this_host) return process_runs(lease.pid);
    return now - lease.heartbeat <= kLeaseTimeoutSeconds;
}

std::optional<Lease> read_lease(const std::string& window_directory) {
    Lease lease;
    if (!read_lease_file(lease_path(window_directory), lease)) return std::nullopt;
    return lease;
}

std::string lease_holder_text(const Lease& lease) {
    return lease.host + ", pid " + std::to_string(lease.pid) + ", heartbeat " +
           tavo_tools::utc_seconds_text(lease.heartbeat);
}

WindowLease::~WindowLease() { release(); }

bool WindowLease::acquire(const std::string& window_directory, const std::string& host, std::string& holder) {
    path_ = lease_path(window_directory);
    mine_.host = host;
    mine_.pid = getpid();
    mine_.token = new_token(host);
    mine_.started = mine_.heartbeat = unix_now();
    for (int tries = 0; tries < 3; ++tries) {
        if (create_lease_file(path_, mine_)) {
            held_ = true;
            beat_ = std::thread([this] { renew_until_released(); });
            return true;
        }
        Lease found;
        if (access(path_.c_str(), R_OK) != 0 && errno != ENOENT) {
            throw CampaignError("cannot read the lease " + path_ + ": " + std::strerror(errno));
        }
        if (!read_lease_file(path_, found)) {
            // Gone between the link and the read, or a file that is no lease.
            struct stat info {};
            if (stat(path_.c_str(), &info) == 0 && unix_now() - info.st_mtime > kLeaseTimeoutSeconds) {
                unlink(path_.c_str());
            }
            holder = "an unreadable lease";
            continue;
        }
        if (lease_is_live(found, host, unix_now())) {
            holder = lease_holder_text(found);
            return false;
        }
        // Stale: move it aside under a name of this task's, then make sure
        // what was moved is the lease judged stale (not one another task
        // created meanwhile); that one is put back.
        const std::string aside = path_ + "." + mine_.token + ".stale";
        if (rename(path_.c_str(), aside.c_str()) != 0) continue;
        Lease moved;
        if (read_lease_file(aside, moved) && moved.token != found.token) {
            link(aside.c_str(), path_.c_str());
            unlink(aside.c_str());
            holder = lease_holder_text(moved);
            return false;
        }
        unlink(aside.c_str());
        taken_over_ = lease_holder_text(found);
    }
    if (holder.empty()) holder = "a lease that could not be taken";
    return false;
}

bool WindowLease::still_held() const {
    Lease current;
    return held_ && read_lease_file(path_, current) && current.token == mine_.token;
}

void WindowLease::renew_until_released() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_.wait_for(lock, std::chrono::seconds(kHeartbeatSeconds), [this] { return stopping_; })) {
        const int fd = open(path_.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) continue;
        Lease current;
        if (parse_lease(read_all(fd), current) && current.token == mine_.token) {
            mine_.heartbeat = unix_now();
            const std::string text = lease_text(mine_);
            if (pwrite(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
                std::fprintf(stderr, "tavo_campaign: cannot renew the lease %s: %s\n", path_.c_str(),
                             std::strerror(errno));
            }
        }
        close(fd);
    }
}

void WindowLease::release() {
    if (beat_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        stop_.notify_all();
        beat_.join();
    }
    if (held_ && still_held()) unlink(path_.c_str());
    held_ = false;
}

}  // namespace campaign
