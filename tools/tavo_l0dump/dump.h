// tavo_l0dump: writes one dataset of an HDF5 file as raw big-endian bytes,
// the job TAVO_L0 gives its dump utility.
#pragma once

#include <string>

namespace tavo_l0dump {

constexpr const char* kDumpVersion = "1.0";

// Writes the bytes of dataset in the file input to the file output, through
// a temporary file beside it that is renamed to output at the end, so no
// reader sees a half-written chunk (a device or a pipe is written in place). On failure error holds one message and:
// when output cannot be created or written, nothing is left; when the input
// cannot be read, output holds every whole chunk before the damage (an empty
// file when the input or the dataset cannot be opened at all).
bool dump_dataset(const std::string& input, const std::string& dataset, const std::string& output,
                  std::string& error);

}  // namespace tavo_l0dump
