// run and status: the task list handed to an engine (GNU parallel, a Slurm
// job array, or one task after the other), and what the tasks recorded.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <ctime>
#include <fstream>
#include <map>

#include "campaign.h"
#include "metrics.h"

namespace fs = std::filesystem;

namespace campaign {

namespace {

std::string command_text(const std::vector<std::string>& argv) {
    std::vector<std::string> words;
    for (const std::string& a : argv) words.push_back(shell_word(a));
    return join(words, " ");
}

// "1-4,7,9-10": the task numbers in the form sbatch --array takes.
std::string array_ranges(const std::vector<int>& tasks) {
    std::vector<std::string> ranges;
    for (size_t i = 0; i < tasks.size();) {
        size_t j = i;
        while (j + 1 < tasks.size() && tasks[j + 1] == tasks[j] + 1) ++j;
        ranges.push_back(std::to_string(tasks[i]) + (j > i ? "-" + std::to_string(tasks[j]) : std::string()));
        i = j + 1;
    }
    return join(ranges, ",");
}

std::string slurm_script(const Campaign& c, const RunRequest& r, const std::vector<int>& tasks) {
    std::string script = "#!/bin/bash\n# A tavo_campaign job array: array task N runs window N.\n";
    script += "#SBATCH --job-name=tavo_campaign\n";
    script += "#SBATCH --array=" + array_ranges(tasks) + (r.jobs > 0 ? "%" + std::to_string(r.jobs) : "") + "\n";
    script += "#SBATCH --output=" + c.logs_directory() + "/slurm-task-%a.log\n";
    script += "#SBATCH --ntasks=1\n#SBATCH --cpus-per-task=1\n";
    script += "exec " + shell_word(c.self) + " task " + shell_word(c.directory) + " \"$SLURM_ARRAY_TASK_ID\"\n";
    return script;
}

}  // namespace

std::string last_line_of(const std::string& path) {
    std::ifstream in(path);
    std::string line, last;
    while (std::getline(in, line)) {
        if (line.find_first_not_of(" \t\r") != std::string::npos) last = line;
    }
    return last;
}

namespace {

std::string slurm_script_path(const Campaign& c) { return c.logs_directory() + "/campaign.sbatch"; }

// GNU parallel's joblog: for each task number, the login and exit value of
// its last job. A task whose login was dead never wrote anything itself.
struct EngineOutcome {
    std::string host;
    int exit_value = 0;
};
std::map<int, EngineOutcome> joblog_outcomes(const Campaign& c) {
    std::map<int, EngineOutcome> outcomes;
    std::ifstream in(c.logs_directory() + "/joblog");
    std::string line;
    std::getline(in, line);  // the heading
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        size_t begin = 0;
        for (size_t tab; (tab = line.find('\t', begin)) != std::string::npos; begin = tab + 1) {
            fields.push_back(line.substr(begin, tab - begin));
        }
        fields.push_back(line.substr(begin));
        if (fields.size() < 9) continue;
        // The command ends with the task number.
        const std::string& command = fields[8];
        const size_t space = command.find_last_of(' ');
        try {
            const int task = std::stoi(command.substr(space + 1));
            outcomes[task] = {fields[1], std::stoi(fields[6])};
        } catch (const std::exception&) {
        }
    }
    return outcomes;
}

}  // namespace

std::vector<std::string> engine_command(const Campaign& c, const RunRequest& r, const std::vector<int>& tasks) {
    switch (r.engine) {
        case Engine::parallel: {
            std::vector<std::string> argv = {"parallel", "--will-cite", "-j", std::to_string(r.jobs),
                                             "--joblog", c.logs_directory() + "/joblog"};
            if (r.resume_failed) argv.push_back("--resume-failed");
            if (!r.sshloginfile.empty()) {
                argv.push_back("--sshloginfile");
                argv.push_back(r.sshloginfile);
            }
            argv.push_back("-a");
            argv.push_back(c.tasks_file());
            return argv;
        }
        case Engine::slurm: {
            std::vector<std::string> argv = {"sbatch"};
            if (r.wait) argv.push_back("--wait");
            for (const std::string& o : r.slurm_options) argv.push_back(o);
            argv.push_back(slurm_script_path(c));
            (void)tasks;
            return argv;
        }
        case Engine::serial:
            break;
    }
    return {};
}

// Finds a program on PATH; engines are started directly, not through a shell.
static std::string program_path(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t begin = 0;
    while (begin <= dirs.size()) {
        const size_t end = dirs.find(':', begin);
        const std::string dir = dirs.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        if (end == std::string::npos) break;
        begin = end + 1;
    }
    throw CampaignError(name + " not found on PATH (scripts/install_packages.sh installs it)");
}

int run_campaign(const RunRequest& r) {
    const Campaign c = load_campaign(r.directory);
    std::vector<int> tasks;
    for (const TaskStatus& t : campaign_status(c)) {
        if (!r.resume_failed || r.engine == Engine::parallel || t.state != "done") tasks.push_back(t.number);
    }
    if (tasks.empty()) {
        std::printf("Nothing to run: every task is done.\n");
        return 0;
    }
    if (r.engine == Engine::serial) {
        const bool terminal = isatty(STDERR_FILENO) != 0;
        const auto started = std::chrono::steady_clock::now();
        for (size_t i = 0; i < tasks.size(); ++i) {
            const std::vector<std::string> argv = {c.self, "task", c.directory, std::to_string(tasks[i])};
            if (terminal) {
                const double elapsed =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
                std::fprintf(stderr, "\rTask %zu of %zu, elapsed %.0f s\x1b[K", i + 1, tasks.size(), elapsed);
            }
            std::printf("Running: %s\n", command_text(argv).c_str());
            std::fflush(stdout);
            run_program(argv, "");
        }
        if (terminal) std::fprintf(stderr, "\r\x1b[K");
    } else {
        if (r.engine == Engine::slurm) write_file_atomically(slurm_script_path(c), slurm_script(c, r, tasks));
        std::vector<std::string> argv = engine_command(c, r, tasks);
        std::printf("Running: %s\n", command_text(argv).c_str());
        std::fflush(stdout);
        argv[0] = program_path(argv[0]);
        run_program(argv, "");
    }
    int done = 0;
    const std::vector<TaskStatus> status = campaign_status(c);
    for (const TaskStatus& t : status) done += t.state == "done";
    std::printf("%d of %zu tasks done.\n", done, status.size());
    return done == static_cast<int>(status.size()) ? 0 : 1;
}

std::vector<TaskStatus> campaign_status(const Campaign& c) {
    std::vector<TaskStatus> tasks;
    const std::string host = host_name();
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    const std::map<int, EngineOutcome> engine = joblog_outcomes(c);
    for (const WindowPlan& w : c.windows) {
        TaskStatus t;
        t.number = w.window.number;
        const std::string result_path = c.result_path(t.number);
        std::error_code ec;
        const std::optional<Lease> lease = read_lease(c.window_directory(t.number));
        if (lease && lease_is_live(*lease, host, now)) {
            // The holder replaces any result of an earlier attempt.
            t.state = "running elsewhere";
            t.last_line = "lease held by " + lease_holder_text(*lease);
        } else if (fs::exists(result_path, ec)) {
            const nlohmann::json result = read_result(result_path);
            t.exit_status = result.value("exit_status", -1);
            t.state = t.exit_status == 0 ? "done" : "failed";
            t.products = result.contains("products") ? result["products"].size() : 0;
            if (t.state == "failed") {
                const nlohmann::json why = result.value("why", nlohmann::json());
                t.last_line = why.is_string() ? why.get<std::string>() : last_line_of(c.console_log(t.number));
            }
            t.damaged = damaged_input_texts(result);
        } else if (const auto job = engine.find(t.number); job != engine.end() && job->second.exit_value != 0) {
            t.state = "failed";
            t.exit_status = job->second.exit_value;
            t.last_line = "the engine's job failed on " + job->second.host + " (GNU parallel joblog)";
        } else {
            t.state = "pending";
            const std::string started = c.window_directory(t.number) + "/started.json";
            if (lease) {
                t.last_line = "interrupted: stale lease of " + lease_holder_text(*lease);
            } else if (fs::exists(started, ec)) {
                const nlohmann::json s = read_json(started);
                // Written by a task, but read as any file: a field of another type reads "?".
                const auto field = [&](const char* key) {
                    const auto it = s.find(key);
                    if (it == s.end()) return std::string("?");
                    if (it->is_string()) return it->get<std::string>();
                    return it->is_number_integer() ? std::to_string(it->get<long long>()) : std::string("?");
                };
                t.last_line = "started on " + field("host") + ", pid " + field("pid") + ", " + field("started") +
                              " (interrupted)";
            }
        }
        tasks.push_back(t);
    }
    return tasks;
}

std::string status_text(const std::vector<TaskStatus>& tasks, bool as_json) {
    int done = 0, failed = 0, pending = 0, running = 0;
    for (const TaskStatus& t : tasks) {
        done += t.state == "done";
        failed += t.state == "failed";
        pending += t.state == "pending";
        running += t.state == "running elsewhere";
    }
    if (as_json) {
        nlohmann::json list = nlohmann::json::array();
        for (const TaskStatus& t : tasks) {
            list.push_back({{"task", t.number},
                            {"state", t.state},
                            {"exit_status", t.exit_status},
                            {"products", t.products},
                            {"last_line", t.last_line},
                            {"damaged_inputs", t.damaged}});
        }
        return nlohmann::json{{"done", done}, {"failed", failed}, {"pending", pending}, {"running", running},
                              {"tasks", list}}
                   .dump(2) +
               "\n";
    }
    std::string text;
    char line[160];
    for (const TaskStatus& t : tasks) {
        std::snprintf(line, sizeof line, "task %4d  %-7s", t.number, t.state.c_str());
        text += line;
        if (t.state == "done" || t.state == "failed") {
            std::snprintf(line, sizeof line, "  exit %d, %zu products", t.exit_status, t.products);
            text += line;
        }
        if (!t.last_line.empty()) text += "  " + t.last_line;
        text += "\n";
        for (const std::string& d : t.damaged) text += "  damaged input: " + d + "\n";
    }
    std::snprintf(line, sizeof line, "done %d, failed %d, pending %d, running elsewhere %d\n", done, failed, pending,
                  running);
    return text + line;
}

void write_status_metrics(const Campaign& campaign, const std::vector<TaskStatus>& tasks, const std::string& directory) {
    const std::string name = fs::path(campaign.directory).filename().string();
    tavo_tools::MetricsText m;
    m.family("tavo_l0_campaign_windows", "gauge", "A campaign's windows by state.");
    for (const char* state : {"done", "failed", "pending", "running"}) {
        const std::string shown = std::string(state) == "running" ? "running elsewhere" : state;
        const auto count = std::count_if(tasks.begin(), tasks.end(), [&](const TaskStatus& t) { return t.state == shown; });
        m.sample("tavo_l0_campaign_windows",
                 {{"kite", std::to_string(campaign.kite)}, {"campaign", name}, {"state", state}},
                 static_cast<double>(count));
    }
    std::string error;
    const std::string path = directory + "/tavo_l0_campaign_" + name + tavo_tools::kMetricsFileEnd;
    if (!tavo_tools::write_metrics_file(path, m.text(), error)) throw CampaignError(error);
}

}  // namespace campaign
