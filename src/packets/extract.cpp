// Packet extraction: the dump utility writes the packet dataset of the
// current file as f1.bin and of its successor as f2.bin, then the streams
// go to the scan and image assembly. The next pair's two dumps are made in
// the background while a pair is scanned, in the order a pair makes them.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "base/base.h"
#include "packets/packets.h"

extern char** environ;

namespace {

constexpr const char* kCurrentStreamName = "f1.bin";
constexpr const char* kSuccessorStreamName = "f2.bin";
constexpr const char* kUtilityOutputName = "junk";
constexpr size_t kPathSlot = 2 * kValueSlot + kInputEntrySlot;  // a directory text and a name
constexpr size_t kStreamBufferBytes = 1 << 18;                   // the scan reads every byte
constexpr int kSignalStatusBase = 128;                             // status of a utility killed by a signal
constexpr int kExecFailedStatus = 127;                             // as a shell reports a command it could not run

// One stdio buffer per stream, alive as long as the streams are.
char current_stream_buffer[kStreamBufferBytes];
char successor_stream_buffer[kStreamBufferBytes];

bool join_path(char (&path)[kPathSlot], const char* directory, const char* name) {
    const int length = std::snprintf(path, sizeof path, "%s%s", directory, name);
    return length >= 0 && static_cast<size_t>(length) < sizeof path;
}

FileHandle open_stream(const char* output_name, char* buffer) {
    char path[kPathSlot];
    if (!join_path(path, run_settings.param_text[PARAM_WORKING_DIRECTORY], output_name)) return nullptr;
    // Only a stream the utility wrote: never read through a link.
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    FileHandle stream(fd >= 0 ? fdopen(fd, "rb") : nullptr);
    if (fd >= 0 && !stream) close(fd);
    if (stream) setvbuf(stream.get(), buffer, _IOFBF, kStreamBufferBytes);
    return stream;
}

// The length of an open stream, which is left at its start.
long stream_length(FILE* stream) {
    if (std::fseek(stream, 0, SEEK_END) != 0) return 0;
    const long length = std::ftell(stream);
    std::rewind(stream);
    return length < 0 ? 0 : length;
}

// Opens the stream a dump with this status left; null when it left none. A
// utility that failed but left a stream (a damaged input file) has its
// stream taken as it stands, with a warning: every whole packet before the
// damage still counts.
FileHandle open_dumped_stream(char* run_message, int status, const char* entry, const char* output_name,
                              char* buffer) {
    const char* utility = run_settings.param_text[PARAM_H5DUMP_EXE];
    const char* root = run_settings.param_text[PARAM_INPUT_ROOT_DIRECTORY];
    FileHandle stream = open_stream(output_name, buffer);
    if (!stream) {
        set_run_message(run_message, "ERROR - failed to run %s on input file %s%s", utility, root, entry);
        return stream;
    }
    if (status != 0) {
        char warning[kRunMessageCapacity];
        set_run_message(warning, "%s%s exited with status %d%s%s%s%s%ld%s", kDumpWarningStart, utility, status,
                        kDumpWarningInputFile, root, entry, kDumpWarningBytesUsed, stream_length(stream.get()),
                        kDumpWarningEnd);
        write_log_line(warning);
    }
    return stream;
}

// The dump utilities under way (at most one of the run and one ahead), so
// that a stop by signal can end them; once stopping, no other starts. A
// child stays listed until it has ended and before it is reaped, so its pid
// is never reused while it is here.
struct RunningUtilities {
    std::mutex mutex;
    pid_t children[2] = {0, 0};
    bool stopping = false;
};
RunningUtilities running_utilities;

bool list_running(pid_t child) {
    for (pid_t& slot : running_utilities.children) {
        if (slot != 0) continue;
        slot = child;
        return true;
    }
    return false;
}

void forget_running(pid_t child) {
    std::lock_guard<std::mutex> lock(running_utilities.mutex);
    for (pid_t& slot : running_utilities.children) {
        if (slot == child) slot = 0;
    }
}

// The child's side of the start, up to exec: async-signal-safe calls only.
// It dies with the thread that started it (the run killed outright
// included), takes the signal mask a new program expects, reads nothing and
// writes its console output into a file created there, never through a link.
[[noreturn]] void exec_dump_utility(char* const argv[], const char* junk_path, pid_t parent) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(kExecFailedStatus);
    const int input = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int output = create_output_file(junk_path);  // system calls only: safe before exec
    if (input < 0 || output < 0 || dup2(input, STDIN_FILENO) < 0 || dup2(output, STDOUT_FILENO) < 0) {
        _exit(kExecFailedStatus);
    }
    execve(argv[0], argv, environ);
    _exit(kExecFailedStatus);
}

// Starts the utility on entry, writing output_name; false when it could not
// be started (or the run is stopping).
bool spawn_dump_utility(const char* entry, const char* output_name, pid_t& child) {
    const char* working = run_settings.param_text[PARAM_WORKING_DIRECTORY];
    char output_path[kPathSlot];
    char junk_path[kPathSlot];
    char input_path[kPathSlot];
    if (!join_path(output_path, working, output_name) || !join_path(junk_path, working, kUtilityOutputName) ||
        !join_path(input_path, run_settings.param_text[PARAM_INPUT_ROOT_DIRECTORY], entry)) {
        return false;
    }
    // Only a stream this run leaves may be read.
    unlink(output_path);
    // The utility does not change its argument vector; the casts only fit exec's C signature.
    char* argv[] = {run_settings.param_text[PARAM_H5DUMP_EXE],
                    const_cast<char*>("-o"),
                    output_path,
                    const_cast<char*>("-d"),
                    const_cast<char*>(kPacketDatasetName),
                    const_cast<char*>("-b"),
                    const_cast<char*>("BE"),
                    input_path,
                    nullptr};
    const pid_t parent = getpid();
    // Every signal blocked across the start: no handler may run in the child
    // while it shares the run's memory.
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    std::lock_guard<std::mutex> lock(running_utilities.mutex);
    if (running_utilities.stopping) return false;
    pthread_sigmask(SIG_SETMASK, &all, &before);
    const pid_t started = vfork();
    if (started == 0) exec_dump_utility(argv, junk_path, parent);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (started < 0) return false;
    list_running(started);
    child = started;
    return true;
}

// Blocks until child has ended, without reaping it: its pid stays its own
// until reap_dump_utility, so a cancel never signals a stranger.
void wait_until_ended(pid_t child) {
    siginfo_t info;
    while (waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
    }
}

// Reaps child once it has ended: the status run_dump_utility returns.
int reap_dump_utility(pid_t child) {
    wait_until_ended(child);
    forget_running(child);
    int status = 0;
    pid_t waited = -1;
    do {
        waited = waitpid(child, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited != child) return kNotRun;
    if (WIFSIGNALED(status)) return kSignalStatusBase + WTERMSIG(status);  // as a shell reports it
    return WIFEXITED(status) ? WEXITSTATUS(status) : kNotRun;
}

// The next pair's two dumps, made one after the other by a thread while the
// pair before is scanned, so the run's own work and the utility's overlap
// with one utility at a time. The mutex guards child and stop against a
// cancel; the statuses are read only after the thread has ended.
class DumpsAhead {
public:
    DumpsAhead() = default;
    DumpsAhead(const DumpsAhead&) = delete;
    DumpsAhead& operator=(const DumpsAhead&) = delete;
    ~DumpsAhead() { cancel(); }

    // Starts the dumps of pair; without a thread the pair is dumped when
    // it comes.
    void start(FilePair pair) {
        cancel();
        pair_ = pair;
        stop_ = false;
        statuses_[0] = statuses_[1] = kNotRun;
        try {
            worker_ = std::thread(&DumpsAhead::dump_pair, this);
        } catch (const std::system_error&) {
            pair_ = FilePair{};
        }
    }

    // True, with the dumps' statuses, when pair was dumped ahead; any other
    // pair's dumps are cancelled.
    bool take(FilePair pair, int (&statuses)[2]) {
        if (!worker_.joinable()) return false;
        if (pair.current != pair_.current || pair.successor != pair_.successor) {
            cancel();
            return false;
        }
        worker_.join();
        statuses[0] = statuses_[0];
        statuses[1] = statuses_[1];
        pair_ = FilePair{};
        return true;
    }

    // Kills a dump under way and waits for the thread; what it left is the
    // working directory's clean-up's.
    void cancel() {
        if (!worker_.joinable()) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
            if (child_ > 0) kill(child_, SIGKILL);
        }
        worker_.join();
        pair_ = FilePair{};
    }

private:
    void dump_pair() {
        const char* entries[2] = {input_file_list[pair_.current],
                                  pair_.successor >= 0 ? input_file_list[pair_.successor] : nullptr};
        const char* names[2] = {kCurrentStreamName, kSuccessorStreamName};
        for (int i = 0; i < 2 && entries[i] != nullptr; ++i) {
            pid_t started = 0;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (stop_) return;
                if (!spawn_dump_utility(entries[i], names[i], started)) continue;
                child_ = started;
            }
            wait_until_ended(started);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                child_ = 0;
            }
            statuses_[i] = reap_dump_utility(started);
        }
    }

    FilePair pair_;
    int statuses_[2] = {kNotRun, kNotRun};
    std::thread worker_;
    std::mutex mutex_;
    pid_t child_ = 0;
    bool stop_ = false;
};

DumpsAhead dumps_ahead;

bool is_file_pair(FilePair pair) {
    return pair.current >= 0 && pair.current < input_file_count && pair.successor >= -1 &&
           pair.successor < input_file_count;
}

}  // namespace

void stop_dump_utilities() {
    std::lock_guard<std::mutex> lock(running_utilities.mutex);
    running_utilities.stopping = true;
    for (const pid_t child : running_utilities.children) {
        if (child != 0) kill(child, SIGKILL);
    }
    // Each ends before stop returns: nothing writes into the working directory afterwards.
    for (const pid_t child : running_utilities.children) {
        if (child != 0) wait_until_ended(child);
    }
}

int run_dump_utility(const char* entry, const char* output_name) {
    std::fflush(stdout);
    pid_t child = 0;
    if (!spawn_dump_utility(entry, output_name, child)) return kNotRun;
    return reap_dump_utility(child);
}

bool process_input_file(char* run_message, bool last_pair, int index, int successor, const PipelineHooks& hooks,
                        FilePair next) {
    if (run_settings.param_number[PARAM_INPUT_TYPE] != 1) return true;  // APID input: nothing is read
    if (!is_file_pair(FilePair{index, successor})) {
        dumps_ahead.cancel();
        set_run_message(run_message, "ERROR - input file pair %d, %d outside the %d selected files", index, successor,
                        input_file_count);
        return false;
    }
    int statuses[2] = {kNotRun, kNotRun};
    const bool dumped_ahead = dumps_ahead.take(FilePair{index, successor}, statuses);
    if (!dumped_ahead) clean_work_directory();
    const char* current_entry = input_file_list[index];
    const int current_status = dumped_ahead ? statuses[0] : run_dump_utility(current_entry, kCurrentStreamName);
    FileHandle current =
        open_dumped_stream(run_message, current_status, current_entry, kCurrentStreamName, current_stream_buffer);
    if (!current) return false;
    const char* successor_entry = successor >= 0 ? input_file_list[successor] : nullptr;
    FileHandle next_stream;
    if (successor_entry != nullptr) {
        const int status = dumped_ahead ? statuses[1] : run_dump_utility(successor_entry, kSuccessorStreamName);
        next_stream =
            open_dumped_stream(run_message, status, successor_entry, kSuccessorStreamName, successor_stream_buffer);
        if (!next_stream) return false;
    }
    // The open streams outlive their names: the next pair's dumps start in a
    // clean working directory.
    if (is_file_pair(next)) {
        clean_work_directory();
        dumps_ahead.start(next);
    }
    const bool processed = process_packet_streams(run_message, current.get(), next_stream.get(), last_pair,
                                                  current_entry, successor_entry, hooks);
    if (!processed) dumps_ahead.cancel();
    return processed;
}
