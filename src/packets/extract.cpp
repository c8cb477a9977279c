// Packet extraction: the dump utility writes the packet dataset of the
// current file as f1.bin and of its successor as f2.bin, then the streams
// go to the scan and image assembly.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>

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

// One stdio buffer per stream, alive as long as the streams are.
char current_stream_buffer[kStreamBufferBytes];
char successor_stream_buffer[kStreamBufferBytes];

bool join_path(char (&path)[kPathSlot], const char* directory, const char* name) {
    const int length = std::snprintf(path, sizeof path, "%s%s", directory, name);
    return length >= 0 && static_cast<size_t>(length) < sizeof path;
}

struct SpawnActions {
    posix_spawn_file_actions_t actions;
    SpawnActions() { posix_spawn_file_actions_init(&actions); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
};

FileHandle open_stream(const char* output_name, char* buffer) {
    char path[kPathSlot];
    if (!join_path(path, run_settings.param_text[PARAM_WORKING_DIRECTORY], output_name)) return nullptr;
    FileHandle stream(std::fopen(path, "rb"));
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

// Dumps entry to output_name and opens the result; null when no stream was
// left. A utility that failed but left a stream (a damaged input file) has
// its stream taken as it stands, with a warning: every whole packet before
// the damage still counts.
FileHandle dump_and_open(char* run_message, const char* entry, const char* output_name, char* buffer) {
    const int status = run_dump_utility(entry, output_name);
    const char* utility = run_settings.param_text[PARAM_H5DUMP_EXE];
    const char* root = run_settings.param_text[PARAM_INPUT_ROOT_DIRECTORY];
    FileHandle stream = open_stream(output_name, buffer);
    if (!stream) {
        set_run_message(run_message, "ERROR - failed to run %s on input file %s%s", utility, root, entry);
        return stream;
    }
    if (status != 0) {
        char warning[kRunMessageCapacity];
        set_run_message(warning, "DUMP WARNING - %s exited with status %d on input file %s%s; %ld bytes of packets used",
                        utility, status, root, entry, stream_length(stream.get()));
        write_log_line(warning);
    }
    return stream;
}

}  // namespace

int run_dump_utility(const char* entry, const char* output_name) {
    const char* working = run_settings.param_text[PARAM_WORKING_DIRECTORY];
    char output_path[kPathSlot];
    char junk_path[kPathSlot];
    char input_path[kPathSlot];
    if (!join_path(output_path, working, output_name) || !join_path(junk_path, working, kUtilityOutputName) ||
        !join_path(input_path, run_settings.param_text[PARAM_INPUT_ROOT_DIRECTORY], entry)) {
        return kNotRun;
    }
    // Only a stream this run leaves may be read.
    unlink(output_path);

    SpawnActions spawn;
    if (posix_spawn_file_actions_addopen(&spawn.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0) != 0 ||
        posix_spawn_file_actions_addopen(&spawn.actions, STDOUT_FILENO, junk_path, O_WRONLY | O_CREAT | O_TRUNC,
                                         0644) != 0) {
        return kNotRun;
    }
    // posix_spawn does not change its argument vector; the casts only fit its C signature.
    char* argv[] = {run_settings.param_text[PARAM_H5DUMP_EXE],
                    const_cast<char*>("-o"),
                    output_path,
                    const_cast<char*>("-d"),
                    const_cast<char*>(kPacketDatasetName),
                    const_cast<char*>("-b"),
                    const_cast<char*>("BE"),
                    input_path,
                    nullptr};
    std::fflush(stdout);
    pid_t child = 0;
    if (posix_spawn(&child, argv[0], &spawn.actions, nullptr, argv, environ) != 0) return kNotRun;
    int status = 0;
    pid_t waited = -1;
    do {
        waited = waitpid(child, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited != child) return kNotRun;
    if (WIFSIGNALED(status)) return kSignalStatusBase + WTERMSIG(status);  // as a shell reports it
    return WIFEXITED(status) ? WEXITSTATUS(status) : kNotRun;
}

bool process_input_file(char* run_message, bool last_pair, int index, int successor, const PipelineHooks& hooks) {
    if (run_settings.param_number[PARAM_INPUT_TYPE] != 1) return true;  // APID input: nothing is read
    if (index < 0 || index >= input_file_count || successor < -1 || successor >= input_file_count) {
        set_run_message(run_message, "ERROR - input file pair %d, %d outside the %d selected files", index, successor,
                        input_file_count);
        return false;
    }
    clean_work_directory();
    const char* current_entry = input_file_list[index];
    FileHandle current = dump_and_open(run_message, current_entry, kCurrentStreamName, current_stream_buffer);
    if (!current) return false;
    const char* successor_entry = successor >= 0 ? input_file_list[successor] : nullptr;
    FileHandle next;
    if (successor_entry != nullptr) {
        next = dump_and_open(run_message, successor_entry, kSuccessorStreamName, successor_stream_buffer);
        if (!next) return false;
    }
    return process_packet_streams(run_message, current.get(), next.get(), last_pair, current_entry, successor_entry,
                                  hooks);
}
