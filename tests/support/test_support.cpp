#include "support/test_support.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace test_support {

namespace fs = std::filesystem;

TempDir::TempDir(const std::string& tag) {
    std::string pattern = (fs::temp_directory_path() / (tag + "-XXXXXX")).string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = buffer.data();
}

TempDir::~TempDir() {
    if (std::getenv("TAVO_KEEP_TEST_DIRS") != nullptr) return;
    std::error_code ignored;
    // Give back permissions that a test took away so the tree can be removed.
    for (auto it = fs::recursive_directory_iterator(path_, fs::directory_options::skip_permission_denied, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::remove_all(path_, ignored);
}

namespace {

// Starts argv with standard input from /dev/null and standard output into
// out_path; standard error goes into err_path, or onto err_fd when that is
// not negative (the child closes err_fd's other end, other_fd).
pid_t spawn_program(const std::vector<std::string>& argv, const std::string& cwd, const std::string& out_path,
                    const std::string& err_path, int err_fd, int other_fd) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (err_fd < 0) {
        posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    } else {
        posix_spawn_file_actions_adddup2(&actions, err_fd, 2);
        posix_spawn_file_actions_addclose(&actions, err_fd);
        posix_spawn_file_actions_addclose(&actions, other_fd);
    }
    if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());

    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    return pid;
}

int wait_exit_status(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

ProgramResult run_program(const std::vector<std::string>& argv, const std::string& cwd) {
    TempDir capture("tavo-capture");
    const pid_t pid = spawn_program(argv, cwd, capture / "out", capture / "err", -1, -1);
    ProgramResult result;
    result.exit_status = wait_exit_status(pid);
    result.out = read_file(capture / "out");
    result.err = read_file(capture / "err");
    return result;
}

ProgramResult run_program_with_terminal_stderr(const std::vector<std::string>& argv, const std::string& cwd) {
    int terminal = -1;
    int program_side = -1;
    if (openpty(&terminal, &program_side, nullptr, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
    TempDir capture("tavo-capture");
    pid_t pid = 0;
    try {
        pid = spawn_program(argv, cwd, capture / "out", "", program_side, terminal);
    } catch (...) {
        close(terminal);
        close(program_side);
        throw;
    }
    close(program_side);
    // Read while the program runs, so that it never blocks on a full terminal;
    // the read fails once every holder of the program's side has closed it.
    ProgramResult result;
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(terminal, buffer, sizeof buffer);
        if (got > 0) {
            result.err.append(buffer, static_cast<size_t>(got));
        } else if (got == 0 || errno != EINTR) {
            break;
        }
    }
    close(terminal);
    result.exit_status = wait_exit_status(pid);
    result.out = read_file(capture / "out");
    return result;
}

std::string today_log_name() {
    const std::time_t clock = std::time(nullptr);
    std::tm now = {};
    localtime_r(&clock, &now);
    char name[32];
    std::snprintf(name, sizeof name, "%04d%02d%02d.log", now.tm_year + 1900, now.tm_mon + 1, now.tm_mday);
    return name;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + path);
}

bool file_exists(const std::string& path) {
    std::error_code ignored;
    return fs::exists(path, ignored);
}

void make_dirs(const std::string& path) { fs::create_directories(path); }

std::vector<std::string> list_dir(const std::string& path) {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(path, ignored)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

ProgramResult run_chromium(const std::string& profile, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu",
                                     "--disable-background-networking", "--disable-component-update", "--disable-sync",
                                     "--no-first-run", "--user-data-dir=" + profile, "--enable-logging=stderr",
                                     "--v=0", "--window-size=1200,1000", "--virtual-time-budget=3000"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv);
}

std::string configuration_text(const RunConfiguration& c) {
    return "INPUT_TYPE=HDF\nINPUT_ROOT_DIRECTORY=" + c.input_root + "\nINPUT_SUBDIRECTORY=" + c.subdirectory +
           "\nWORKING_DIRECTORY=" + c.work + "\nH5DUMP_EXE=/usr/bin/h5dump\nOUTPUT_ROOT_DIRECTORY=" + c.output_root +
           "\nDESPIKE=" + c.despike + "\nISP_CSV=" + c.isp_csv + "\nKITE=" + std::to_string(c.kite) +
           "\nSTART=" + c.start + "\nEND=" + c.end + "\n";
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    std::istringstream in(text);
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

std::vector<std::string> strip_log_stamps(const std::string& text) {
    static const std::regex stamp(R"(^\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2} )");
    std::vector<std::string> lines;
    for (const std::string& line : split_lines(text)) lines.push_back(std::regex_replace(line, stamp, ""));
    return lines;
}

FileSizeLimit::FileSizeLimit(unsigned long bytes) {
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    saved_soft_ = limit.rlim_cur;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
    saved_handler_ = std::signal(SIGXFSZ, SIG_IGN);
}

FileSizeLimit::~FileSizeLimit() {
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = saved_soft_;
    setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, saved_handler_);
}

Victim::Victim() { write_file(path, content); }

bool Victim::untouched() const {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && read_file(path) == content;
}

int start_program(const std::vector<std::string>& argv, const std::string& output_path) {
    const pid_t child = fork();
    if (child == 0) {
        if (freopen(output_path.c_str(), "w", stdout) == nullptr || freopen("/dev/null", "r", stdin) == nullptr) {
            _exit(127);
        }
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    return child;
}

int wait_for(int pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

namespace {

// The fields of /proc/PID/stat after the command name: state, parent, ...
std::string stat_fields(int pid) {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? "" : stat.substr(close + 2);
}

}  // namespace

bool process_alive(int pid) {
    const std::string fields = stat_fields(pid);
    return !fields.empty() && fields[0] != 'Z';
}

int parent_of(int pid) {
    const std::string fields = stat_fields(pid);
    return fields.size() > 2 ? std::atoi(fields.c_str() + 2) : -1;
}

void write_slow_dump(const std::string& path, const std::string& pids_file, const std::string& slow_name,
                     int seconds) {
    write_file(path, "#!/usr/bin/env python3\n"
                     "import os, sys, time\n"
                     "open('" + pids_file + "', 'a').write('%d\\n' % os.getpid())\n"
                     "if '" + slow_name + "' in sys.argv[-1]:\n"
                     "    open('" + pids_file + ".slow', 'w').close()\n"
                     "    time.sleep(" + std::to_string(seconds) + ")\n"
                     "os.execv('/usr/bin/h5dump', ['h5dump'] + sys.argv[1:])\n");
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
}

}  // namespace test_support
