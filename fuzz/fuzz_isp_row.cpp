// Fuzz target: the CSV row read of a product header. Byte 0 says whether
// the row is the day's first (bit 0 set: the heading is written too); the
// rest is the product file.
#include <unistd.h>

#include "base/base.h"
#include "fuzz_support.h"
#include "isp/isp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    fuzz_support::set_quiet_run(false);
    static const std::string directory = fuzz_support::scratch_directory() + "/";
    static const std::string csv = directory + "day.csv";
    if (!fuzz_support::write_file(directory + "product.fits", data + 1, size - 1)) return 0;
    char message[kRunMessageCapacity];
    append_isp_row(csv.c_str(), directory.c_str(), "product.fits", (data[0] & 1) != 0, message);
    unlink(csv.c_str());  // one row at a time; the file must not grow
    return 0;
}
