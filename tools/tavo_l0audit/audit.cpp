// One audit: the run's parameters, the walk, the product checks, the outputs.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>

#include "audit.h"
#include "driver/driver.h"
#include "layout/layout.h"
#include "output_file.h"
#include "audit_report.h"
#include "time_text.h"

namespace tavo_audit {

namespace {

std::string window_text(uint32_t date, uint32_t time) {
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u", date / 10000, date / 100 % 100, date % 100,
                  time / 10000, time / 100 % 100, time % 100);
    return text;
}

// Exit status 1 when any image of the window is not a sound product,
// whatever the cause: lost by the run, incomplete or absent in the telemetry,
// or a damaged product.
int exit_status_of(const AuditResult& result) {
    if (result.run_stopped || !result.absent.empty()) return kExitProblems;
    for (const ImageAudit& image : result.images)
        if (loss_origin(image) != LossOrigin::kNone) return kExitProblems;
    return kExitSound;
}

// "2017-03-01T12:00:00.123Z": to the millisecond, so that two audits of a
// window tell apart which is the newer.
std::string utc_now_text() {
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    return tavo_tools::iso_text(now * 1000, 3);
}

std::string host_name() {
    char name[256] = "";
    if (gethostname(name, sizeof name - 1) != 0) return "";
    return name;
}

// The validated parameters that decide the run's products: a run with other
// values is another configuration. CONFIG names only where they were read.
std::string configuration_checksum() {
    std::string values;
    for (int i = 0; i < kParameterCount; ++i) {
        if (i == PARAM_CONFIG) continue;
        values += run_settings.param_text[i];
        values += '\n';
    }
    return checksum_text(stream_checksum(reinterpret_cast<const uint8_t*>(values.data()), values.size()));
}

std::string with_extension(const std::string& path, const char* extension) {
    const size_t dot = path.rfind('.');
    const size_t slash = path.find_last_of("/\\");
    const bool has_extension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    return (has_extension ? path.substr(0, dot) : path) + extension;
}

}  // namespace

bool run_audit(const AuditOptions& options, AuditResult& result, std::string& error) {
    std::vector<std::string> arguments = {"tavo_l0audit"};
    arguments.insert(arguments.end(), options.parameters.begin(), options.parameters.end());
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    char message[kRunMessageCapacity] = "";
    // The audit extracts nothing, so a working directory in use is no obstacle.
    if (!parse_parameters(static_cast<int>(arguments.size()), argv.data(), message) ||
        !validate_parameters(message, false)) {
        error = message;
        return false;
    }
    if (run_settings.param_number[PARAM_INPUT_TYPE] != 1) {
        error = "INPUT_TYPE is APID: such a run reads no packets and writes no product, there is nothing to audit";
        return false;
    }
    result.started = utc_now_text();
    result.host = host_name();
    result.configuration_checksum = configuration_checksum();
    result.output_root = run_settings.param_text[PARAM_OUTPUT_ROOT_DIRECTORY];
    result.kite = run_settings.param_number[PARAM_KITE];
    result.window_start = window_text(run_settings.start_date, run_settings.start_time);
    result.window_end = window_text(run_settings.end_date, run_settings.end_time);
    if (!audit_level0(result, error)) return false;
    if (options.check_products) audit_products(result);
    find_absent_images(result);
    result.exit_status = exit_status_of(result);
    result.finished = utc_now_text();

    std::string report = options.report_path;
    if (report.empty()) {
        char satellite[kTreeLevelSlot];
        format_satellite_directory(result.kite, satellite);
        const std::string root = run_settings.param_text[PARAM_OUTPUT_ROOT_DIRECTORY];
        if (!make_directory(root.c_str(), satellite) ||
            !make_directory((root + satellite + run_settings.path_separator).c_str(), tavo_tools::kAuditDirectoryName)) {
            error = "cannot create the report directory under " + root + satellite;
            return false;
        }
        report = default_report_path(result);
    }
    const std::string csv = options.csv_path.empty() ? with_extension(report, ".csv") : options.csv_path;
    if (!write_json_report(result, report, error) || !write_csv_report(result, csv, error)) return false;
    if (!options.quiet) {
        std::fputs(format_summary(result).c_str(), stdout);
        std::printf("Report: %s\nTable: %s\n", tavo_tools::printable(report).c_str(),
                    tavo_tools::printable(csv).c_str());
        std::fflush(stdout);
    }
    return true;
}

}  // namespace tavo_audit
