// Shared by the fuzz targets: a scratch directory for the files a target
// must hand to the code under test, and the run settings they start from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz_support {

// A directory of this process under the system's temporary folder, made on
// first use and removed at exit; ends without a separator.
const std::string& scratch_directory();

// Writes size bytes to path; false when that fails.
bool write_file(const std::string& path, const uint8_t* data, size_t size);

// Resets the run settings to a validated Unix-style run of satellite 16
// whose output root (and so its log) is the scratch directory, with
// DESPIKE set as given. Standard output, where the log is echoed, is sent to
// /dev/null once.
void set_quiet_run(bool despike);

}  // namespace fuzz_support
