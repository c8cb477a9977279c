// tavo_l0dump: the dump utility of TAVO_L0 (H5DUMP_EXE), taking the options
// TAVO_L0 passes to it.
#include <CLI/CLI.hpp>
#include <hdf5.h>
#include <libdeflate.h>

#include <cstdio>
#include <string>

#include "command_line.h"
#include "dump.h"
#include "output_file.h"

namespace {


std::string version_text() {
    unsigned major = 0, minor = 0, release = 0;
    H5get_libversion(&major, &minor, &release);
    return std::string("tavo_l0dump ") + tavo_l0dump::kDumpVersion + " (HDF5 " + std::to_string(major) + "." +
           std::to_string(minor) + "." + std::to_string(release) + ", libdeflate " + LIBDEFLATE_VERSION_STRING + ")";
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "tavo_l0dump writes one dataset of an HDF5 file as raw bytes, numbers wider than a byte most significant "
        "byte first, as `h5dump -o FILE -d DATASET -b BE INPUT` does, in a fraction of the time. Give it to "
        "TAVO_L0 as H5DUMP_EXE. Chunks compressed with deflate (with or without shuffle) are inflated here; every "
        "other layout goes through the HDF5 library. The output is written under a temporary name beside FILE "
        "and renamed when done; when the input is damaged, FILE keeps every whole chunk before the damage.\n"
        "Exit status: 0 the dataset was written; 1 it was not, or only in part; 2 bad usage (one message on "
        "standard error).\n\n"
        "Example: tavo_l0dump -o work/f1.bin -d tavo_space_packet_data -b BE "
        "level0/OR_TAVO-L0_K16_s20170601200000_e20170601205599_c20170601207000.nc",
        "tavo_l0dump"};
    std::string output, dataset, order, input;
    // Presence is checked after parsing, so that an unknown option is what
    // gets reported when there is one.
    CLI::Option* output_option = app.add_option("-o", output, "Output file (required)")->type_name("FILE");
    CLI::Option* dataset_option = app.add_option("-d", dataset, "Dataset to write (required)")->type_name("DATASET");
    CLI::Option* order_option = app.add_option("-b", order, "Byte order of the output, only BE: big-endian (required)")
                                    ->type_name("BE")
                                    ->check(CLI::IsMember({"BE"}));
    CLI::Option* input_option = app.add_option("input", input, "HDF5 file (required)")->type_name("INPUT");
    app.set_version_flag("--version", version_text());
    if (const int status = tavo_tools::parse_command_line(app, argc, argv); status >= 0) return status;
    for (const CLI::Option* option : {output_option, dataset_option, order_option, input_option}) {
        if (option->count() == 0) {
            return tavo_tools::report_failure("tavo_l0dump", option->get_name() + " is required (see tavo_l0dump --help)",
                                              tavo_tools::kExitBadInput);
        }
    }
    std::string error;
    if (!tavo_l0dump::dump_dataset(input, dataset, output, error)) {
        std::fprintf(stderr, "tavo_l0dump: %s\n", tavo_tools::printable(error).c_str());
        return tavo_tools::kExitFailed;
    }
    return tavo_tools::kExitSuccess;
}
