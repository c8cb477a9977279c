// Live delivery: the simulated period runs on the wall clock at a chosen
// speed, and each level-0 file arrives as the ground system sends it: its
// bytes written in steps over its delivery time, which ends at its landing
// time (its span over plus the delivery delay, plus any lateness asked
// for), under its temporary name and renamed when whole, or growing under
// its final name.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>

#include "output_file.h"
#include "sim.h"

namespace tavo_sim {
namespace {

constexpr Micros kMinSteps = 8;                // writes per file, at least
constexpr double kMaxStepWallSeconds = 1.0;    // wall-clock time between two writes, at most
constexpr size_t kCopyBytes = 1 << 20;

int64_t steady_now_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

Micros wall_now() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string system_error(const std::string& what, const std::string& path) {
    return "cannot " + what + " " + tavo_tools::printable(path) + ": " + std::strerror(errno);
}

}  // namespace

LiveDelivery::LiveDelivery(const Settings& s) : s_(s), wall_origin_us_(steady_now_us()) {}

LiveDelivery::~LiveDelivery() {
    // Reached with files still queued only on a failure: nothing half sent
    // is left under a name a follower reads.
    for (Delivery& d : active_) {
        if (d.in >= 0) close(d.in);
        if (d.out >= 0) {
            close(d.out);
            std::remove(d.target.c_str());
        }
    }
    if (!stage_dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(stage_dir_, ignored);
    }
}

bool LiveDelivery::open(std::string& error) {
    std::error_code ec;
    std::string dir = (std::filesystem::temp_directory_path(ec) / "tavo_l0sim-XXXXXX").string();
    if (ec || mkdtemp(dir.data()) == nullptr) {
        error = ec ? "no directory for temporary files: " + ec.message() : system_error("create", dir);
        return false;
    }
    stage_dir_ = dir;
    return true;
}

std::string LiveDelivery::stage_path(size_t manifest_index) const {
    return stage_dir_ + "/file-" + std::to_string(manifest_index) + (s_.raw ? ".bin" : ".nc");
}

Micros LiveDelivery::sim_now() const {
    return s_.start + static_cast<Micros>(static_cast<double>(steady_now_us() - wall_origin_us_) * s_.speed);
}

bool LiveDelivery::in_place(size_t file) const {
    return s_.in_place_all ||
           std::find(s_.in_place_files.begin(), s_.in_place_files.end(), static_cast<int>(file)) !=
               s_.in_place_files.end();
}

bool LiveDelivery::add(const std::string& path, Micros file_end, size_t manifest_index, std::string& error) {
    Delivery d;
    d.path = path;
    d.target = in_place(manifest_index) ? path : part_path(path);
    d.stage = stage_path(manifest_index);
    d.manifest_index = manifest_index;
    d.due = file_end + kDeliveryDelay;
    for (const LateFile& l : s_.late) {
        if (l.file == static_cast<int>(manifest_index)) d.due += l.delay;
    }
    const Micros span = s_.delivery_time > 0 ? s_.delivery_time : s_.file_span;
    // Sent from when it is made at the latest, should the simulation run behind.
    d.start = std::min(d.due, std::max(d.due - span, sim_now()));
    const auto max_step = static_cast<Micros>(kMaxStepWallSeconds * kMicrosPerSecond * s_.speed);
    d.step = std::max<Micros>(1, std::min((d.due - d.start) / kMinSteps, max_step));
    d.in = ::open(d.stage.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (d.in < 0 || fstat(d.in, &st) != 0) {
        error = system_error("read", d.stage);
        if (d.in >= 0) close(d.in);
        return false;
    }
    d.size = static_cast<uint64_t>(st.st_size);
    // Read through its descriptor from now on: a run killed outright leaves no staged copy.
    std::remove(d.stage.c_str());
    active_.push_back(std::move(d));
    return true;
}

// Copies the staged bytes up to offset upto into the delivered file; each
// write goes straight to the file, so a reader sees it grow.
bool LiveDelivery::send_bytes(Delivery& d, uint64_t upto, std::string& error) {
    std::vector<char> buffer(static_cast<size_t>(std::min<uint64_t>(kCopyBytes, upto - d.written)));
    while (d.written < upto) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), upto - d.written));
        const ssize_t got = pread(d.in, buffer.data(), want, static_cast<off_t>(d.written));
        if (got <= 0) {
            if (got < 0 && errno == EINTR) continue;
            if (got == 0) errno = EIO;  // the staged file shrank
            error = system_error("read", d.stage);
            return false;
        }
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = write(d.out, buffer.data() + done, static_cast<size_t>(got - done));
            if (put < 0) {
                if (errno == EINTR) continue;
                error = system_error("write", d.target);
                return false;
            }
            done += put;
        }
        d.written += static_cast<uint64_t>(got);
    }
    return true;
}

bool LiveDelivery::advance(Micros now, nlohmann::json& files, std::string& error) {
    std::stable_sort(active_.begin(), active_.end(), [](const Delivery& a, const Delivery& b) { return a.due < b.due; });
    for (size_t i = 0; i < active_.size();) {
        Delivery& d = active_[i];
        if (now < d.start) {
            ++i;
            continue;
        }
        nlohmann::json& entry = files[d.manifest_index];
        if (d.out < 0) {
            d.out = tavo_tools::create_output(d.target, error);
            if (d.out < 0) return false;
            const Micros wall = wall_now();
            entry["delivery_started"] = iso_text(wall, 3);
            entry["delivery_started_unix_s"] = static_cast<double>(wall) / kMicrosPerSecond;
            entry["in_place"] = d.target == d.path;
        }
        const bool whole = now >= d.due;
        const uint64_t upto =
            whole ? d.size
                  : static_cast<uint64_t>(static_cast<double>(d.size) * static_cast<double>(now - d.start) /
                                          static_cast<double>(d.due - d.start));
        if (!send_bytes(d, upto, error)) return false;
        if (!whole) {
            ++i;
            continue;
        }
        const int out = d.out;
        d.out = -1;
        if (close(out) != 0) {
            error = system_error("write", d.target);
            std::remove(d.target.c_str());
            return false;
        }
        if (d.target != d.path && std::rename(d.target.c_str(), d.path.c_str()) != 0) {
            error = "cannot rename " + tavo_tools::printable(d.target) + " to " + tavo_tools::printable(d.path);
            std::remove(d.target.c_str());
            return false;
        }
        const Micros wall = wall_now();
        entry["landed"] = iso_text(wall, 3);
        entry["landed_unix_s"] = static_cast<double>(wall) / kMicrosPerSecond;
        entry["due"] = iso_text(d.due, 1);
        close(d.in);
        active_.erase(active_.begin() + static_cast<std::ptrdiff_t>(i));
    }
    return true;
}

bool LiveDelivery::wait_until(Micros sim_time, nlohmann::json& files, std::string& error) {
    for (;;) {
        const Micros now = sim_now();
        if (!advance(now, files, error)) return false;
        if (now >= sim_time) return true;
        Micros next = sim_time;
        for (const Delivery& d : active_) next = std::min(next, d.out < 0 ? d.start : std::min(d.due, now + d.step));
        const auto wait_us = static_cast<int64_t>(static_cast<double>(next - now) / s_.speed) + 1;
        std::this_thread::sleep_for(std::chrono::microseconds(wait_us));
    }
}

bool LiveDelivery::deliver_all(nlohmann::json& files, std::string& error) {
    Micros last = s_.start;
    for (const Delivery& d : active_) last = std::max(last, d.due);
    return wait_until(last, files, error);
}

}  // namespace tavo_sim
