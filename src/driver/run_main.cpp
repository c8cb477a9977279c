// Run control: dispatch on the command line and the stages of a processing run.
#include <strings.h>

#include <cstdio>

#include "driver/driver.h"

namespace {

// The run message of this process; every stage formats its failure here.
char run_message[kRunMessageCapacity];

bool matches_any(const char* argument, const char* const (&words)[4]) {
    for (const char* word : words) {
        if (strcasecmp(argument, word) == 0) return true;
    }
    return false;
}

constexpr const char* kHelpWords[4] = {"--help", "-help", "/help", "help"};
constexpr const char* kVersionWords[4] = {"--version", "-version", "/version", "version"};

// Logs the stage failure that run_message holds; the run's exit status.
int fail_run() {
    write_log_line(run_message);
    return 1;
}

int processing_run(int argc, char** argv) {
    if (!parse_parameters(argc, argv, run_message)) return fail_run();
    if (!validate_parameters(run_message)) return fail_run();

    // ---- Input selection, packet table, file walk, clean-up, CSV export ----
    // To be wired here, in this order (each failure: write_log_line, then the
    // release and clean-up that its stage requires, exit status 1):
    //   find_input_files, allocate_packet_table, process_input_file over the
    //   pairs (0,1) ... (N-2,N-1) or (0,-1), clean_work_directory, release of
    //   packet_table, write_isp_csv when ISP_CSV is YES.
    // ------------------------------------------------------------------------

    std::fputs("Completed\n", stdout);
    std::fflush(stdout);
    return 0;
}

}  // namespace

int run_main(int argc, char** argv) {
    if (argc == 2 && matches_any(argv[1], kHelpWords)) {
        print_usage();
        return 0;
    }
    if (argc == 2 && matches_any(argv[1], kVersionWords)) {
        print_version();
        return 0;
    }
    return processing_run(argc, argv);
}
