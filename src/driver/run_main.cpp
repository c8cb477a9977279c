// Program entry and run driver: help, version, or a processing run whose
// stages run in a fixed order; every failure becomes one log line and exit 1.
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "driver/driver.h"
#include "isp/isp.h"

namespace {

constexpr const char* kReleaseText = "1.0";
constexpr const char* kRevisionKeyword = "$Rev: 18597 $";
constexpr size_t kRevisionCopy = 8;  // characters copied after ": "
constexpr size_t kRevisionKeep = 7;  // of which at most these are kept

constexpr int kExitCompleted = 0;
constexpr int kExitFailed = 1;

const char* const kHelpWords[] = {"--help", "-help", "/help", "help"};
const char* const kVersionWords[] = {"--version", "-version", "/version", "version"};

const char* const kUsagePieces[] = {
    "\nTAVO_L0 usage:\n\n",
    "To run using parameters within TAVO_configuration.cfg: TAVO_L0\n\n",
    "To run using a different configuration file: TAVO_L0 CONFIG=other.cfg\n\n",
    "To override selected parameters in TAVO_configuration.cfg:\n",
    " TAVO_L0 KITE=17 START=2018/11/01 END=2018/11/01\n\n",
    "Improper OUTPUT_ROOT_DIRECTORY values will produce no output files\n",
    " (including LOG files) with any error messages appearing in the terminal\n",
    " window only.  This includes cases where OUTPUT_ROOT_DIRECTORY is valid,\n",
    " but cannot be written due to permission or disk space issues.\n\n",
    "Missing or invalid input parameters will produce no output files, and\n",
    " error messages will only be displayed in the terminal window (no LOG files).\n\n",
    "If input data files exist for part of the time range specified, partial\n",
    "  outputs will still occur for the available data.\n\n",
    "If no input files are available for any part of the time range, no output\n",
    " will be generated and an error message will be generated.\n\n",
    "Input files which are present but corrupted will output valid data where\n",
    " possible and generate error messages for the invalid data files.\n\n",
    "To output this help screen: TAVO_L0 --help\n\n",
    "To output the current version of the software: TAVO_L0 --version\n\n",
};

// The run message lives for the whole run.
char run_message[kRunMessageCapacity];

template <size_t N>
bool is_one_of(const char* argument, const char* const (&words)[N]) {
    for (const char* word : words) {
        if (strcasecmp(argument, word) == 0) return true;
    }
    return false;
}

// The revision number between "$Rev: " and " $", or "00000".
void revision_text(char* text, size_t capacity) {
    std::snprintf(text, capacity, "00000");
    const char* colon = std::strstr(kRevisionKeyword, ": ");
    if (colon == nullptr || colon[2] < '0' || colon[2] > '9') return;
    char copy[kRevisionCopy + 1] = {};
    std::strncpy(copy, colon + 2, kRevisionCopy);
    copy[kRevisionKeep] = '\0';
    copy[std::strcspn(copy, " ")] = '\0';
    std::snprintf(text, capacity, "%s", copy);
}

int fail_run() {
    write_log_line(run_message);
    return kExitFailed;
}

int processing_run(int argc, char** argv) {
    if (!parse_parameters(argc, argv, run_message)) return fail_run();
    if (!validate_parameters(run_message)) return fail_run();

    // Input discovery, the packet table and the walk over the input files in
    // overlapping pairs come here, followed by emptying the working directory.

    if (run_settings.param_number[PARAM_ISP_CSV] == 1 && write_isp_csv(run_message) == 0) return fail_run();
    std::printf("Completed\n");
    std::fflush(stdout);
    return kExitCompleted;
}

}  // namespace

void print_usage() {
    for (const char* piece : kUsagePieces) std::fputs(piece, stdout);
    std::fflush(stdout);
}

void print_version() {
    char revision[kRevisionCopy + 1];
    revision_text(revision, sizeof revision);
    std::printf("TAVO_L0 Released Version %s.%s\n", kReleaseText, revision);
    std::fflush(stdout);
}

int run_main(int argc, char** argv) {
    if (argc == 2 && is_one_of(argv[1], kHelpWords)) {
        print_usage();
        return kExitCompleted;
    }
    if (argc == 2 && is_one_of(argv[1], kVersionWords)) {
        print_version();
        return kExitCompleted;
    }
    return processing_run(argc, argv);
}
