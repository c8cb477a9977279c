// A run stopped by SIGTERM, SIGINT or SIGHUP: one thread waits for those
// signals (blocked in every other thread), ends the dump utility under way,
// empties the working directory the run claimed, logs one line and ends the
// process.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <system_error>
#include <thread>

#include "driver/driver.h"
#include "input/input.h"
#include "packets/packets.h"
#include "run/run.h"

namespace {

constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};
constexpr int kSignalStatusBase = 128;  // the status a shell gives a command a signal ended

sigset_t stop_signal_set() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : kStopSignals) sigaddset(&set, signal);
    return set;
}

[[noreturn]] void stop_run(int signal) {
    reserve_log_for_this_thread();
    stop_dump_utilities();
    end_progress();
    if (working_directory_claimed()) clean_work_directory();
    char message[kRunMessageCapacity];
    const char* name = sigabbrev_np(signal);  // "TERM"; every stop signal has one
    set_run_message(message, "ERROR - Run stopped by SIG%s before it completed; products written so far are kept",
                    name != nullptr ? name : "?");
    write_log_line(message);
    std::fflush(stdout);
    _exit(kSignalStatusBase + signal);
}

void wait_for_stop_signal() {
    const sigset_t set = stop_signal_set();
    int signal = 0;
    while (sigwait(&set, &signal) != 0) {
    }
    stop_run(signal);
}

}  // namespace

bool watch_stop_signals() {
    static bool watching = false;
    if (watching) return true;
    const sigset_t set = stop_signal_set();
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return false;
    try {
        std::thread(wait_for_stop_signal).detach();
    } catch (const std::system_error&) {
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        return false;
    }
    watching = true;
    return true;
}
