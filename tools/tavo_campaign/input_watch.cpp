// The follower's watch on the input tree: inotify on INPUT_ROOT_DIRECTORY and
// its day directories, so that a file renamed into place wakes the follower
// at once and is taken without waiting for it to settle. Where no event
// arrives (a network file system, the watch limit reached), the follower's
// poll still finds every file.
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>

#include "campaign.h"

namespace fs = std::filesystem;

namespace campaign {

namespace {

constexpr uint32_t kDirectoryEvents = IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_CLOSE_WRITE | IN_ONLYDIR;
constexpr int kStepMs = 100;  // a stop request is looked at this often

int64_t mtime_ns(const struct stat& st) {
    return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

}  // namespace

InputWatch::InputWatch(const std::string& root) : root_(root) {
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) {
        failure_ = std::strerror(errno);
        return;
    }
    if (!add_directory("")) return;
    std::error_code ec;
    for (fs::directory_iterator it(root_, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_directory(ec) && !add_directory(it->path().filename().string() + "/")) return;
    }
}

InputWatch::~InputWatch() {
    if (fd_ >= 0) close(fd_);
}

bool InputWatch::add_directory(const std::string& relative) {
    const int wd = inotify_add_watch(fd_, (root_ + relative).c_str(), kDirectoryEvents);
    if (wd < 0) {
        failure_ = "cannot watch " + root_ + relative + ": " + std::strerror(errno);
        close(fd_);
        fd_ = -1;
        return false;
    }
    directories_[wd] = relative;
    return true;
}

bool InputWatch::read_events() {
    alignas(inotify_event) char buffer[16 * 1024];
    bool woken = false;
    for (;;) {
        const ssize_t n = read(fd_, buffer, sizeof buffer);
        if (n <= 0) break;
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            woken = true;
            const auto dir = directories_.find(event->wd);
            if (dir == directories_.end() || event->len == 0) continue;
            const std::string entry = dir->second + event->name;
            if ((event->mask & IN_ISDIR) != 0) {
                // A day directory made at the root: its files are watched from now on.
                if (dir->second.empty() && (event->mask & (IN_CREATE | IN_MOVED_TO)) != 0 && fd_ >= 0) {
                    add_directory(entry + "/");
                }
                continue;
            }
            struct stat st {};
            if ((event->mask & IN_MOVED_TO) != 0 && stat((root_ + entry).c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
                whole_[entry] = {static_cast<int64_t>(st.st_size), mtime_ns(st)};
            } else if ((event->mask & (IN_CREATE | IN_MOVED_FROM | IN_DELETE)) != 0) {
                whole_.erase(entry);
            }
        }
        if (fd_ < 0) break;
    }
    return woken;
}

void InputWatch::wait(double seconds, const volatile std::sig_atomic_t& stop) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!stop) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) return;
        const int step = static_cast<int>(std::min<int64_t>(left.count(), kStepMs));
        if (fd_ < 0) {
            poll(nullptr, 0, step);
            continue;
        }
        pollfd watched{fd_, POLLIN, 0};
        if (poll(&watched, 1, step) > 0 && read_events()) return;
    }
}

bool InputWatch::arrived_whole(const std::string& entry, int64_t size, int64_t mtime) const {
    const auto it = whole_.find(entry);
    return it != whole_.end() && it->second.first == size && it->second.second == mtime;
}

void InputWatch::forget_all_but(const std::set<std::string>& entries) {
    std::erase_if(whole_, [&](const auto& item) { return entries.count(item.first) == 0; });
}

}  // namespace campaign
