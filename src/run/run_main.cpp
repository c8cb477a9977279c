// Run control: dispatch on the command line and the stages of a processing run.
#include <strings.h>
#include <unistd.h>

#include <cstdio>

#include "despike/despike.h"
#include "driver/driver.h"
#include "fits/fits.h"
#include "input/input.h"
#include "isp/isp.h"
#include "packets/packets.h"
#include "run/run.h"

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

// Where the walk stands, for the progress display.
struct WalkPosition {
    int pair = 0;  // from 0
    int images_written = 0;
};
WalkPosition walk_position;

bool write_image_and_show_progress(void*, const char* product_dir, uint32_t image_id, uint32_t sel_count,
                                   uint32_t image_date, uint32_t image_time, int32_t image_ms,
                                   const uint8_t* header_packet, const uint16_t* pixels) {
    const bool written = write_image_product(product_dir, image_id, sel_count, image_date, image_time, image_ms,
                                             header_packet, pixels);
    if (written) ++walk_position.images_written;
    show_progress(walk_position.pair + 1, walk_position.images_written);
    return written;
}

// A processing run tells nobody of its packet decisions.
constexpr PipelineHooks kProductHooks = {write_image_and_show_progress, make_product_directory, nullptr, nullptr};

bool process_pair(void*, int pair, bool last_pair, int current, int successor) {
    walk_position.pair = pair;
    show_progress(pair + 1, walk_position.images_written);
    const FilePair next = file_pair_after(input_file_count, FilePair{current, successor});
    return process_input_file(run_message, last_pair, current, successor, kProductHooks, next);
}

// Hands every input file to the packet stage together with its successor,
// with its progress display, which is gone again before the outcome is
// logged.
bool walk_input_files_with_progress() {
    walk_position = WalkPosition{};
    start_progress(file_pair_count(input_file_count));
    const bool walked = walk_file_pairs(input_file_count, process_pair, nullptr);
    end_progress();
    return walked;
}

int processing_run(int argc, char** argv) {
    // Before any thread starts, so that each inherits the blocked signals.
    watch_stop_signals();
    if (!parse_parameters(argc, argv, run_message)) return fail_run();
    if (!validate_run_parameters(run_message)) return fail_run();

    if (find_input_files(run_message) == 0) return fail_run();
    if (!allocate_packet_table(run_message)) {
        release_packet_table();
        return fail_run();
    }
    if (!walk_input_files_with_progress()) {
        write_log_line(run_message);
        clean_work_directory();
        release_packet_table();
        return 1;
    }
    clean_work_directory();
    release_packet_table();
    if (run_settings.param_number[PARAM_ISP_CSV] == 1 && write_isp_csv(run_message) == 0) return fail_run();

    if (log_is_reserved()) pause();  // a stop by signal is under way; it ends the process
    std::fputs("Completed\n", stdout);
    std::fflush(stdout);
    return 0;
}

// Help and version exist only to print: a lost write is their failure.
int printed_status() { return (std::fflush(stdout) == 0 && !std::ferror(stdout)) ? 0 : 1; }

}  // namespace

bool write_image_product(const char* product_dir, uint32_t image_id, uint32_t sel_count, uint32_t image_date,
                         uint32_t image_time, int32_t image_ms, const uint8_t* header_packet,
                         const uint16_t* pixels) {
    char path[kProductFilePathSlot];
    char temporary_path[kProductFilePathSlot];
    if (!write_fits_image(product_dir, image_id, sel_count, image_date, image_time, image_ms, header_packet, pixels,
                          path, temporary_path)) {
        return false;
    }
    // Despiked before it takes its final name: its data is written once.
    despike_new_product(temporary_path, path);
    if (!publish_product(temporary_path, path)) return false;
    log_product_generated(path);
    return true;
}

int run_main(int argc, char** argv) {
    if (argc == 2 && matches_any(argv[1], kHelpWords)) {
        print_usage();
        return printed_status();
    }
    if (argc == 2 && matches_any(argv[1], kVersionWords)) {
        print_version();
        return printed_status();
    }
    return processing_run(argc, argv);
}
