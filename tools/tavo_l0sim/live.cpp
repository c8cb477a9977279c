// Live delivery: the simulated period runs on the wall clock at a chosen
// speed, and each level-0 file appears under its final name only when it
// lands (its span over plus the delivery delay, plus any lateness asked
// for), renamed from the temporary name it was written under, as the ground
// system delivers files.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "sim.h"

namespace tavo_sim {
namespace {

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

}  // namespace

LiveDelivery::LiveDelivery(const Settings& s) : s_(s), wall_origin_us_(steady_now_us()) {}

Micros LiveDelivery::sim_now() const {
    return s_.start + static_cast<Micros>(static_cast<double>(steady_now_us() - wall_origin_us_) * s_.speed);
}

void LiveDelivery::add(const std::string& path, Micros file_end, size_t manifest_index) {
    Micros due = file_end + kDeliveryDelay;
    for (const LateFile& l : s_.late) {
        if (l.file == static_cast<int>(files_queued_)) due += l.delay;
    }
    ++files_queued_;
    pending_.push_back({path, due, manifest_index});
}

bool LiveDelivery::deliver_due(Micros now, nlohmann::json& files, std::string& error) {
    std::stable_sort(pending_.begin(), pending_.end(),
                     [](const Pending& a, const Pending& b) { return a.due < b.due; });
    while (!pending_.empty() && pending_.front().due <= now) {
        const Pending p = pending_.front();
        pending_.erase(pending_.begin());
        const std::string part = part_path(p.path);
        if (std::rename(part.c_str(), p.path.c_str()) != 0) {
            error = "cannot rename " + part + " to " + p.path;
            return false;
        }
        files[p.manifest_index]["landed"] = iso_text(wall_now(), 3);
        files[p.manifest_index]["landed_unix_s"] = static_cast<double>(wall_now()) / kMicrosPerSecond;
        files[p.manifest_index]["due"] = iso_text(p.due, 1);
    }
    return true;
}

bool LiveDelivery::wait_until(Micros sim_time, nlohmann::json& files, std::string& error) {
    for (;;) {
        const Micros now = sim_now();
        if (!deliver_due(now, files, error)) return false;
        if (now >= sim_time) return true;
        Micros next = sim_time;
        if (!pending_.empty()) next = std::min(next, pending_.front().due);
        const auto wait_us = static_cast<int64_t>(static_cast<double>(next - now) / s_.speed) + 1;
        std::this_thread::sleep_for(std::chrono::microseconds(wait_us));
    }
}

bool LiveDelivery::deliver_all(nlohmann::json& files, std::string& error) {
    Micros last = s_.start;
    for (const Pending& p : pending_) last = std::max(last, p.due);
    return wait_until(last, files, error);
}

}  // namespace tavo_sim
