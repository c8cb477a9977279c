// plan: the campaign's windows, one configuration file per window, the task
// list. Times, parameters and input selection are judged by TAVO_L0's own
// code (src/time, src/driver, src/input), so a plan that passes is one that
// every window's run accepts.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

#include "audit_report.h"
#include "campaign.h"
#include "driver/driver.h"
#include "input/input.h"
#include "time/time.h"
#include "output_file.h"
#include "time_text.h"

namespace fs = std::filesystem;

namespace campaign {

namespace {

constexpr int kSchemaVersion = 1;

// A program beside this one (the build tree or the install's bin directory).
std::string sibling_program(const std::string& self, const char* name) {
    return (fs::path(self).parent_path() / name).string();
}

bool is_executable(const std::string& path) { return !path.empty() && access(path.c_str(), X_OK) == 0; }

// One PARAM=value line; a value with a double quote is written quoted, as
// the configuration reader takes the text between the first and last quote.
std::string config_line(int row, const std::string& value) {
    const bool quote = value.find('"') != std::string::npos;
    return std::string(parameter_names[row]) + "=" + (quote ? "\"" + value + "\"" : value) + "\n";
}

// The base configuration read as TAVO_L0 reads it, with the overrides.
RunSettings parse_base(const PlanRequest& request) {
    std::vector<std::string> args = {"TAVO_L0", "CONFIG=" + request.config};
    for (const std::string& o : request.overrides) args.push_back(o);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    char message[kRunMessageCapacity] = {};
    if (!parse_parameters(static_cast<int>(argv.size()), argv.data(), message)) throw CampaignError(message);
    return run_settings;
}

void set_text(int row, const std::string& value) { set_parameter_text(run_settings, row, value); }

int64_t window_seconds(const std::string& text) {
    tavo_tools::Micros micros = 0;
    std::string error;
    if (!tavo_tools::parse_duration(text, micros, error)) throw CampaignError("--window: " + error);
    if (micros % tavo_tools::kMicrosPerSecond != 0) throw CampaignError("--window: " + text + " is not whole seconds");
    return micros / tavo_tools::kMicrosPerSecond;
}

nlohmann::json campaign_json(const Campaign& c) {
    nlohmann::json windows = nlohmann::json::array();
    for (const WindowPlan& w : c.windows) {
        windows.push_back({{"number", w.window.number},
                           {"start", instant_text(w.window.start)},
                           {"end", instant_text(w.window.end)},
                           {"input_files", w.input_files}});
    }
    return {{tavo_tools::kSchemaVersionKey, kSchemaVersion},
            {"tool", "tavo_campaign"},
            {"kite", c.kite},
            {"from", c.from},
            {"to", c.to},
            {"product_root", c.product_root},
            {"isp_csv", c.isp_csv},
            {"tavo_l0", c.tavo_l0},
            {"audit", c.audit},
            {"catalog", c.catalog},
            {"tavo_catalog", c.catalog_program},
            {"self", c.self},
            {"windows", windows}};
}

}  // namespace

std::string instant_text(Instant i) {
    char text[32];
    std::snprintf(text, sizeof text, "%04u/%02u/%02ut%02u:%02u:%02u", i.date / 10000, i.date / 100 % 100, i.date % 100,
                  i.time / 10000, i.time / 100 % 100, i.time % 100);
    return text;
}

std::string shell_word(const std::string& text) {
    if (!text.empty() && text.find_first_of(" '\"\\$`*?;&|<>()#~%{}[]\t\n") == std::string::npos) return text;
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string join(const std::vector<std::string>& words, const std::string& separator) {
    std::string text;
    for (size_t i = 0; i < words.size(); ++i) {
        if (i > 0) text += separator;
        text += words[i];
    }
    return text;
}

std::pair<Instant, Instant> parse_period(const std::string& start, const std::string& end) {
    const RunSettings saved = run_settings;
    set_text(PARAM_START, start);
    set_text(PARAM_END, end);
    char message[kRunMessageCapacity] = {};
    const bool ok = parse_time_window(message);
    const std::pair<Instant, Instant> period = {{run_settings.start_date, run_settings.start_time},
                                                {run_settings.end_date, run_settings.end_time}};
    run_settings = saved;
    if (!ok) throw CampaignError(message);
    return period;
}

Instant shift_instant(Instant instant, int64_t seconds) {
    while (seconds != 0) {
        const int64_t step = std::clamp<int64_t>(seconds, -kMaxShiftSeconds, kMaxShiftSeconds);
        Instant next;
        if (!shift_date_time(instant.date, instant.time, static_cast<int32_t>(step), DATE_FORM_CALENDAR, next.date,
                             next.time)) {
            throw CampaignError("time outside the years 2000 to 2099 after " + instant_text(instant));
        }
        instant = next;
        seconds -= step;
    }
    return instant;
}

std::vector<Window> split_period(Instant from, Instant to, int64_t window_seconds, const std::vector<Instant>& bounds) {
    std::vector<Instant> edges = {from};
    if (!bounds.empty()) {
        for (const Instant& b : bounds) {
            if (b <= edges.back() || b >= to) {
                throw CampaignError("window bound " + instant_text(b) +
                                    " is not after the previous bound and before the end of the period");
            }
            edges.push_back(b);
        }
    } else {
        if (window_seconds <= 0) throw CampaignError("the window length must be positive");
        for (Instant next = shift_instant(from, window_seconds); next < to; next = shift_instant(next, window_seconds)) {
            edges.push_back(next);
        }
    }
    edges.push_back(to);
    std::vector<Window> windows;
    for (size_t i = 0; i + 1 < edges.size(); ++i) {
        windows.push_back({static_cast<int>(i + 1), edges[i], edges[i + 1]});
    }
    return windows;
}

std::string window_name(int number) {
    char name[16];
    std::snprintf(name, sizeof name, "%04d", number);
    return name;
}

std::string Campaign::window_directory(int number) const { return directory + "/windows/" + window_name(number); }
std::string Campaign::window_config(int number) const {
    return window_directory(number) + "/TAVO_configuration.cfg";
}
std::string Campaign::result_path(int number) const { return window_directory(number) + "/result.json"; }
std::string Campaign::console_log(int number) const { return window_directory(number) + "/tavo_l0.log"; }

RunSettings read_base_settings(const PlanRequest& request) {
    RunSettings base = parse_base(request);
    if (request.kite != 0) std::snprintf(base.param_text[PARAM_KITE], kValueSlot, "%d", request.kite);
    return base;
}

Campaign start_campaign(const PlanRequest& request, RunSettings& base) {
    if (request.directory.empty()) throw CampaignError("no campaign directory given");
    Campaign c;
    std::error_code ec;
    require_writable_directory(request.directory);
    c.directory = fs::absolute(request.directory).lexically_normal().string();
    while (c.directory.size() > 1 && c.directory.back() == '/') c.directory.pop_back();
    if (fs::exists(c.directory + "/campaign.json")) {
        throw CampaignError("a campaign is already planned in " + c.directory);
    }

    base = read_base_settings(request);
    c.from = request.from.empty() ? base.param_text[PARAM_START] : request.from;
    c.to = request.to.empty() ? base.param_text[PARAM_END] : request.to;
    // Every window's run takes its START and END from the period.
    if (c.from.empty()) throw CampaignError("the base configuration has no START: set it there, or give --from");
    if (c.to.empty()) throw CampaignError("the base configuration has no END: set it there, or give --to");
    parse_period(c.from, c.to);

    // The whole period's settings as one run would see them: the product
    // root, the satellite and the CSV switch come from there.
    run_settings = base;
    char message[kRunMessageCapacity] = {};
    const std::string first_dir = c.window_directory(1);
    fs::create_directories(first_dir + "/work", ec);
    set_text(PARAM_WORKING_DIRECTORY, first_dir + "/work/");
    set_text(PARAM_START, c.from);
    set_text(PARAM_END, c.to);
    if (!validate_parameters(message)) throw CampaignError(message);
    if (!run_settings.unix_paths) throw CampaignError("campaigns need Unix-style directories");
    c.kite = run_settings.param_number[PARAM_KITE];
    c.product_root = run_settings.param_text[PARAM_OUTPUT_ROOT_DIRECTORY];
    c.isp_csv = run_settings.param_number[PARAM_ISP_CSV] == 1;
    c.self = request.self;
    c.tavo_l0 = request.tavo_l0.empty() ? sibling_program(request.self, "TAVO_L0") : request.tavo_l0;
    if (!is_executable(c.tavo_l0)) throw CampaignError("TAVO_L0 program not found: " + c.tavo_l0);
    if (!request.no_audit) c.audit = request.audit.empty() ? sibling_program(request.self, "tavo_l0audit") : request.audit;
    if (!request.catalog.empty()) {
        if (c.audit.empty()) throw CampaignError("a catalog is filled from the audits: --catalog needs the audit");
        c.catalog = fs::absolute(request.catalog).lexically_normal().string();
        c.catalog_program = sibling_program(request.self, "tavo_catalog");
    }
    return c;
}

void add_window(Campaign& c, const RunSettings& base, const Window& w) {
    const std::string dir = c.window_directory(w.number);
    std::error_code ec;
    // The configuration's own directories, so that it also runs by hand.
    fs::create_directories(dir + "/work", ec);
    fs::create_directories(dir + "/out", ec);
    // A window without input files gets 0; any other refusal is the plan's failure.
    char message[kRunMessageCapacity];
    const int files = select_input_files(base, w.start, w.end, dir + "/work/", dir + "/out/", message);
    if (files == 0 && last_input_search != InputSearch::kNoneFound) {
        throw CampaignError(std::string(message) + " (window " + std::to_string(w.number) + ")");
    }
    c.windows.push_back({w, files});

    std::string config = "# Window " + std::to_string(w.number) + " of a tavo_campaign; the task overrides\n" +
                         "# WORKING_DIRECTORY and OUTPUT_ROOT_DIRECTORY with its attempt's own.\n";
    for (int row = 0; row < kParameterCount; ++row) {
        std::string value = base.param_text[row];
        if (row == PARAM_CONFIG || (base.param_source[row] == kSourceNone && value.empty())) continue;
        if (row == PARAM_START) value = instant_text(w.start);
        if (row == PARAM_END) value = instant_text(w.end);
        if (row == PARAM_ISP_CSV) value = "NO";  // the campaign's finish writes the tables
        if (row == PARAM_WORKING_DIRECTORY) value = dir + "/work/";
        if (row == PARAM_OUTPUT_ROOT_DIRECTORY) value = dir + "/out/";
        config += config_line(row, value);
    }
    write_file_atomically(c.window_config(w.number), config);
}

void save_campaign(const Campaign& c) {
    std::string tasks;
    for (const WindowPlan& w : c.windows) {
        tasks += shell_word(c.self) + " task " + shell_word(c.directory) + " " + std::to_string(w.window.number) + "\n";
    }
    std::error_code ec;
    fs::create_directories(c.logs_directory(), ec);
    write_file_atomically(c.tasks_file(), tasks);
    write_file_atomically(c.directory + "/campaign.json", campaign_json(c).dump(2) + "\n");
}

Campaign plan_campaign(const PlanRequest& request) {
    RunSettings base{};
    Campaign c = start_campaign(request, base);
    const auto [from, to] = parse_period(c.from, c.to);
    std::vector<Instant> bounds;
    for (const std::string& b : request.bounds) bounds.push_back(parse_period(b, b).first);
    for (const Window& w : split_period(from, to, window_seconds(request.window), bounds)) add_window(c, base, w);
    save_campaign(c);
    return c;
}

Campaign load_campaign(const std::string& directory) {
    const std::string path = directory + "/campaign.json";
    const nlohmann::json j = read_json(path);
    Campaign c;
    try {
        c.directory = fs::absolute(directory).lexically_normal().string();
        while (c.directory.size() > 1 && c.directory.back() == '/') c.directory.pop_back();
        c.kite = j.at("kite");
        c.from = j.at("from");
        c.to = j.at("to");
        c.product_root = j.at("product_root");
        c.isp_csv = j.at("isp_csv");
        c.tavo_l0 = j.at("tavo_l0");
        c.audit = j.at("audit");
        c.catalog = j.value("catalog", "");  // plans made before catalogs have none
        c.catalog_program = j.value("tavo_catalog", "");
        c.self = j.at("self");
        for (const nlohmann::json& w : j.at("windows")) {
            const auto start = parse_period(w.at("start"), w.at("start")).first;
            const auto end = parse_period(w.at("end"), w.at("end")).first;
            c.windows.push_back({{w.at("number").get<int>(), start, end}, w.at("input_files").get<int>()});
        }
    } catch (const nlohmann::json::exception& e) {
        throw CampaignError(path + " is not a campaign plan: " + e.what());
    }
    return c;
}

nlohmann::json read_json(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw CampaignError("cannot read " + path);
    try {
        return nlohmann::json::parse(in);
    } catch (const nlohmann::json::exception& e) {
        throw CampaignError(path + " is not valid JSON: " + e.what());
    }
}

nlohmann::json read_result(const std::string& path) {
    nlohmann::json result = read_json(path);
    const auto status = result.is_object() ? result.find("exit_status") : result.end();
    const auto products = result.is_object() ? result.find("products") : result.end();
    const bool sound =
        result.is_object() && (status == result.end() || status->is_number_integer()) &&
        (products == result.end() ||
         (products->is_array() &&
          std::all_of(products->begin(), products->end(), [](const nlohmann::json& p) { return p.is_string(); })));
    if (!sound) throw CampaignError(path + " is not a task result (exit_status an integer, products a list of names)");
    return result;
}

void set_parameter_text(RunSettings& settings, int row, const std::string& value) {
    std::snprintf(settings.param_text[row], kValueSlot, "%s", value.c_str());
}

int select_input_files(const RunSettings& base, Instant start, Instant end, const std::string& work,
                       const std::string& out, char (&message)[kRunMessageCapacity]) {
    run_settings = base;
    set_text(PARAM_START, instant_text(start));
    set_text(PARAM_END, instant_text(end));
    set_text(PARAM_WORKING_DIRECTORY, work);
    set_text(PARAM_OUTPUT_ROOT_DIRECTORY, out);
    message[0] = '\0';
    if (!validate_parameters(message)) throw CampaignError(message);
    return find_input_files(message);
}

void require_writable_directory(const std::string& directory) {
    std::error_code ec;
    fs::create_directories(directory, ec);
    if (ec) throw CampaignError("cannot create the campaign directory " + directory + ": " + ec.message());
    std::vector<char> probe(directory.size() + 80);
    const int fd = create_temporary_file((directory + "/.write-probe").c_str(), probe.data(), probe.size());
    if (fd < 0) throw CampaignError("cannot write in the campaign directory " + directory + ": " + std::strerror(errno));
    close(fd);
    unlink(probe.data());
}

void sync_path(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw CampaignError("cannot open " + path + " to make it durable: " + std::strerror(errno));
    const bool synced = fsync(fd) == 0;
    const int saved = errno;
    close(fd);
    if (!synced) throw CampaignError("cannot make " + path + " durable: " + std::strerror(saved));
}

void sync_directories(const std::string& root, const std::vector<std::string>& paths) {
    std::set<std::string> directories;
    for (const std::string& rel : paths) {
        for (fs::path dir = fs::path(rel).parent_path(); !dir.empty(); dir = dir.parent_path()) {
            directories.insert((fs::path(root) / dir).string());
        }
    }
    if (!paths.empty()) directories.insert(root);
    for (const std::string& dir : directories) sync_path(dir);
}

// Written beside, made durable, then renamed, and the rename made durable:
// after a power loss the file is the old one or the whole new one.
void write_file_atomically(const std::string& path, const std::string& text) {
    tavo_tools::OutputFile file(path);
    file.write(text);
    if (!file.commit(true)) throw CampaignError(file.error());
    sync_path(fs::path(path).parent_path().string());
}

std::vector<std::string> files_below(const std::string& root) {
    std::vector<std::string> files;
    std::error_code ec;
    if (!fs::is_directory(root, ec)) return files;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_regular_file(ec)) files.push_back(fs::relative(it->path(), root, ec).string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace campaign
