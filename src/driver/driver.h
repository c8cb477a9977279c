// Run configuration: parameter parsing and validation, and the time window.
#pragma once

#include <cstdint>

#include "base/base.h"

// Stages of a processing run. Each returns false after formatting one
// message into run_message.
bool parse_parameters(int argc, char** argv, char* run_message);
bool validate_parameters(char* run_message);
// The same checks; a program that never extracts into WORKING_DIRECTORY
// (an audit) passes false to accept one that is not empty.
bool validate_parameters(char* run_message, bool require_empty_working_directory);
// The checks of a processing run: WORKING_DIRECTORY is also locked for the
// rest of the process (before it is found empty), so a second run on it
// stops here. Where its file system cannot lock (NFS), one warning line is
// logged and the run goes on.
bool validate_run_parameters(char* run_message);
// True once validate_run_parameters has claimed WORKING_DIRECTORY: only
// then are its files this run's own.
bool working_directory_claimed();
bool parse_time_window(char* run_message);

// The satellites of the instrument: KITE 16 to 19.
constexpr int32_t kFirstSatellite = 16;
constexpr int32_t kLastSatellite = 19;
bool satellite_is_valid(int32_t kite);
// The number of a KITE value text ("16"); false for any other text.
bool parse_satellite(const char* text, int32_t& kite);
// The message for a KITE value that names no satellite, with the text.
#define TAVO_SATELLITE_RANGE_FORMAT "parameter KITE must be 16, 17, 18, or 19, got: %s"
