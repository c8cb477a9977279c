// The run-settings record as a validated Unix-style run of satellite 16
// leaves it, for tests that call the stages in process (they link the
// run-control library).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "base/base.h"

namespace test_support {

struct RunWindow {
    uint32_t start_date = 20170301;
    uint32_t start_time = 120000;
    uint32_t end_date = 20170301;
    uint32_t end_time = 121000;
};

inline void set_parameter_text(int index, const std::string& text) {
    std::snprintf(run_settings.param_text[index], kValueSlot, "%s", text.c_str());
}

// Resets run_settings to HDF input of KITE 16 under input_root (flat, or one
// directory per day when hierarchical) over the window, written as START
// and END texts too.
inline void set_unix_run(const std::string& input_root, bool hierarchical, const RunWindow& window) {
    reset_run_settings();
    set_parameter_text(PARAM_INPUT_ROOT_DIRECTORY, input_root);
    run_settings.param_number[PARAM_INPUT_TYPE] = 1;
    run_settings.param_number[PARAM_INPUT_SUBDIRECTORY] = hierarchical ? 1 : 0;
    run_settings.param_number[PARAM_KITE] = 16;
    run_settings.unix_paths = true;
    run_settings.path_separator = '/';
    run_settings.start_date = window.start_date;
    run_settings.start_time = window.start_time;
    run_settings.end_date = window.end_date;
    run_settings.end_time = window.end_time;
    std::snprintf(run_settings.param_text[PARAM_START], kValueSlot, "%08u %06u", window.start_date, window.start_time);
    std::snprintf(run_settings.param_text[PARAM_END], kValueSlot, "%08u %06u", window.end_date, window.end_time);
}

}  // namespace test_support
