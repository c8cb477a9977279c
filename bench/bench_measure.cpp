// Runs one program and reports what it cost, separating the program's own
// CPU time and memory from those of the children it runs:
//
//   bench_measure RESULT_FILE -- PROGRAM [ARGUMENTS...]
//
// The program is started under ptrace with only the exit event traced, so
// it runs at full speed; at its exit stop, before its address space goes,
// /proc still shows its own peak resident set (VmHWM) and its own and its
// waited-for children's CPU times. Wall time runs from the fork to the
// final wait. The program's standard streams are inherited.
//
// RESULT_FILE receives key=value lines: wall_s, own_user_s, own_sys_s,
// children_user_s, children_sys_s (clock ticks), tree_user_s, tree_sys_s
// (program and children, from wait4), own_peak_kib, tree_peak_kib (largest
// of the program and its children), status.
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

struct ExitFigures {
    bool seen = false;
    double own_user_s = 0, own_sys_s = 0, children_user_s = 0, children_sys_s = 0;
    long own_peak_kib = -1;
};

double seconds_since(const timespec& start) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - start.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec - start.tv_nsec);
}

long peak_resident_kib(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/status";
    FILE* status = std::fopen(path.c_str(), "r");
    if (status == nullptr) return -1;
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::strncmp(line, "VmHWM:", 6) == 0) kib = std::strtol(line + 6, nullptr, 10);
    }
    std::fclose(status);
    return kib;
}

// Fields 14 to 17 of /proc/PID/stat: utime, stime, cutime, cstime in ticks.
bool read_cpu_times(pid_t pid, ExitFigures& figures) {
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    FILE* stat = std::fopen(path.c_str(), "r");
    if (stat == nullptr) return false;
    char text[4096];
    const size_t length = std::fread(text, 1, sizeof text - 1, stat);
    std::fclose(stat);
    text[length] = '\0';
    // The command name (field 2) may hold blanks: count fields after its ')'.
    const char* p = std::strrchr(text, ')');
    if (p == nullptr) return false;
    ++p;
    unsigned long long values[4] = {};
    int field = 2;
    while (*p != '\0' && field < 17) {
        while (*p == ' ') ++p;
        ++field;
        char* end = nullptr;
        const unsigned long long value = std::strtoull(p, &end, 10);
        if (field >= 14 && field <= 17) values[field - 14] = value;
        if (end == p) {  // a non-numeric field (state)
            while (*p != ' ' && *p != '\0') ++p;
        } else {
            p = end;
        }
    }
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    figures.own_user_s = static_cast<double>(values[0]) / tick;
    figures.own_sys_s = static_cast<double>(values[1]) / tick;
    figures.children_user_s = static_cast<double>(values[2]) / tick;
    figures.children_sys_s = static_cast<double>(values[3]) / tick;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4 || std::strcmp(argv[2], "--") != 0) {
        std::fprintf(stderr, "usage: %s RESULT_FILE -- PROGRAM [ARGUMENTS...]\n", argv[0]);
        return 2;
    }
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    const pid_t child = fork();
    if (child < 0) {
        std::perror("fork");
        return 2;
    }
    if (child == 0) {
        if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(126);
        raise(SIGSTOP);
        execvp(argv[3], argv + 3);
        std::perror(argv[3]);
        _exit(127);
    }

    ExitFigures figures;
    int status = 0;
    rusage usage{};
    bool options_set = false;
    bool exec_trap_pending = true;  // the SIGTRAP that follows a traced execve
    for (;;) {
        const pid_t waited = wait4(child, &status, 0, &usage);
        if (waited < 0) {
            if (errno == EINTR) continue;
            std::perror("wait4");
            return 2;
        }
        if (WIFEXITED(status) || WIFSIGNALED(status)) break;
        if (!WIFSTOPPED(status)) continue;
        int deliver = 0;
        const int signal = WSTOPSIG(status);
        if (!options_set && signal == SIGSTOP) {
            ptrace(PTRACE_SETOPTIONS, child, nullptr, PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL);
            options_set = true;
        } else if (signal == SIGTRAP && (status >> 16) == PTRACE_EVENT_EXIT) {
            figures.own_peak_kib = peak_resident_kib(child);
            figures.seen = read_cpu_times(child, figures);
        } else if (signal == SIGTRAP && exec_trap_pending) {
            exec_trap_pending = false;
        } else {
            deliver = signal;
        }
        ptrace(PTRACE_CONT, child, nullptr, deliver);
    }
    const double wall = seconds_since(start);

    FILE* result = std::fopen(argv[1], "w");
    if (result == nullptr) {
        std::perror(argv[1]);
        return 2;
    }
    std::fprintf(result, "wall_s=%.3f\n", wall);
    std::fprintf(result, "own_user_s=%.2f\nown_sys_s=%.2f\n", figures.own_user_s, figures.own_sys_s);
    std::fprintf(result, "children_user_s=%.2f\nchildren_sys_s=%.2f\n", figures.children_user_s,
                 figures.children_sys_s);
    std::fprintf(result, "tree_user_s=%.3f\ntree_sys_s=%.3f\n",
                 static_cast<double>(usage.ru_utime.tv_sec) + 1e-6 * static_cast<double>(usage.ru_utime.tv_usec),
                 static_cast<double>(usage.ru_stime.tv_sec) + 1e-6 * static_cast<double>(usage.ru_stime.tv_usec));
    std::fprintf(result, "own_peak_kib=%ld\ntree_peak_kib=%ld\n", figures.own_peak_kib, usage.ru_maxrss);
    std::fprintf(result, "status=%d\n", WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    if (std::fclose(result) != 0 || !figures.seen) {
        std::fprintf(stderr, "bench_measure: the exit figures of %s were not captured\n", argv[3]);
        return 2;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
