// tavo_quicklook: pictures of TAVO products, a report page per day and a
// movie per passband of the day.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <thread>

#include "command_line.h"
#include "output_file.h"
#include "quicklook.h"

int main(int argc, char** argv) {
    CLI::App app{
        "Writes a PNG picture and a thumbnail of every product of a day, a static report page "
        "(timeline of gaps, thumbnails per passband, sortable product table) and, when ffmpeg is installed, "
        "an MP4 movie per passband. Parameters come from TAVO_L0's configuration file and PARAM=value "
        "overrides (OUTPUT_ROOT_DIRECTORY, KITE, START and END: one page per day of the window); the options "
        "below win over them. Products given by name get their pictures only.\n\n"
        "Examples:\n"
        "  tavo_quicklook CONFIG=demo/TAVO_configuration.cfg\n"
        "  tavo_quicklook --root /data/products --kite 16 --day 2017-03-01\n"
        "  tavo_quicklook --out pictures 20170301_120012_345_00000002.fits",
        "tavo_quicklook"};
    quicklook::Options options;
    std::vector<std::string> arguments;
    std::string day;
    app.add_option("--root", options.root, "Product tree root (default OUTPUT_ROOT_DIRECTORY)");
    app.add_option("--kite", options.kite, "Satellite, 16 to 19 (default KITE)")->check(CLI::Range(16, 19));
    app.add_option("--day", day, "Day YYYY-MM-DD (default: every day from START to END)");
    app.add_option("--out", options.out,
                   "Output directory (default ROOT/KITE-nn/quicklook/YYYY/MM/DD; ./quicklook for named products)");
    app.add_option("--audit", options.audit,
                   "tavo_l0audit report (JSON) whose not-written images mark the gaps (default: the newest report "
                   "under ROOT/KITE-nn/audit/ whose window holds the day)");
    app.add_flag("!--no-movie", options.movies, "Make no movies");
    app.add_flag("--new-only", options.new_only,
                 "Draw only the products whose pictures are missing or older than the product; the page lists all");
    app.add_option("--ffmpeg", options.ffmpeg, "The ffmpeg program (default: found on PATH)");
    options.jobs = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    app.add_option("-j,--jobs", options.jobs, "Threads making pictures (default: one per processor)")
        ->check(CLI::Range(1, 256));
    app.add_option("arguments", arguments, "PARAM=value parameters (CONFIG=file among them) and product files");
    if (const int status = tavo_tools::parse_command_line(app, argc, argv); status >= 0) return status;

    std::vector<std::string> parameters;
    for (const std::string& a : arguments) {
        (a.find('=') != std::string::npos ? parameters : options.files).push_back(a);
    }
    if (!day.empty()) {
        options.first_day = options.last_day = quicklook::parse_day(day);
        if (options.first_day == 0) {
            return tavo_tools::report_failure("tavo_quicklook", "--day " + day + " is not a date YYYY-MM-DD",
                                              tavo_tools::kExitBadInput);
        }
    }
    if (options.files.empty()) {
        std::string error;
        if (!quicklook::options_from_parameters(parameters, options, error)) {
            return tavo_tools::report_failure("tavo_quicklook", error, tavo_tools::kExitBadInput);
        }
    }
    return quicklook::run_quicklook(options);
}
