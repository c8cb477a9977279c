// tavo_l0audit: accounts for every image of a TAVO_L0 run's window.
#include <CLI/CLI.hpp>
#include <cstdio>

#include "command_line.h"
#include "audit.h"
#include "output_file.h"

int main(int argc, char** argv) {
    CLI::App app{
        "tavo_l0audit accounts for every image of a TAVO_L0 run's window: a sound product, or the reason why "
        "not. It takes the run's parameters (configuration file and PARAM=value overrides) exactly as TAVO_L0 "
        "does, reads each level-0 file of the window once, follows the run's own packet decisions without "
        "writing anything, checks the products and the CSV tables, and writes a JSON report and a CSV table "
        "(default OUTPUT_ROOT_DIRECTORY/KITE-nn/audit/audit_START_END.json and .csv).\n"
        "Images absent from the level-0 are inferred from the image ids and counted; the summary separates the "
        "losses the run caused (a reprocessing mends them) from those in the telemetry (only a re-sent downlink "
        "does).\n"
        "Exit status: 0 every image of the window is a sound product; 1 some image is lost or damaged, whatever "
        "the cause; 2 the audit could not run.\n\n"
        "Example: tavo_l0audit CONFIG=demo/TAVO_configuration.cfg START=2017/03/01t12 END=2017/03/01t14",
        "tavo_l0audit"};
    tavo_audit::AuditOptions options;
    bool no_products = false;
    app.add_option("parameters", options.parameters, "PARAM=value overrides of the configuration file, as for TAVO_L0");
    app.add_option("--report", options.report_path, "JSON report path");
    app.add_option("--csv", options.csv_path, "CSV table path (default: the report's path with .csv)");
    app.add_flag("--no-products", no_products, "Account for the level-0 images only; do not check the products");
    app.add_flag("--quiet", options.quiet, "No summary on standard output");
    app.set_version_flag("--version", std::string("tavo_l0audit ") + tavo_audit::kAuditVersion);
    if (const int status = tavo_tools::parse_command_line(app, argc, argv); status >= 0) return status;
    options.check_products = !no_products;

    tavo_audit::AuditResult result;
    std::string error;
    if (!tavo_audit::run_audit(options, result, error)) {
        std::fprintf(stderr, "tavo_l0audit: %s\n", tavo_tools::printable(error).c_str());
        return tavo_audit::kExitCannotRun;
    }
    return result.exit_status;
}
