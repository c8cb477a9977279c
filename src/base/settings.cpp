// The run-settings record, the parameter table and the run message.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/base.h"

const char parameter_names[kParameterCount][kParameterNameSlot] = {
    "INPUT_TYPE",    "INPUT_ROOT_DIRECTORY", "INPUT_SUBDIRECTORY", "WORKING_DIRECTORY", "H5DUMP_EXE",
    "OUTPUT_PRODUCT", "EVENT_OUTPUT",        "OUTPUT_ROOT_DIRECTORY", "DESPIKE",         "ISP_CSV",
    "KITE",          "START",                "END",                "CONFIG",
};

RunSettings run_settings = {};

void reset_run_settings() {
    std::memset(&run_settings, 0, sizeof run_settings);
    run_settings.unix_paths = true;
    run_settings.path_separator = '\\';
}

void set_run_message(char* run_message, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(run_message, kRunMessageCapacity, format, args);
    va_end(args);
}
