// Fuzz target: the despike of a product file, on bytes given as the
// product. Byte 0 chooses the form (bit 0 set: DESPIKE=YES); the rest is the
// file.
#include "despike/despike.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    fuzz_support::set_quiet_run((data[0] & 1) != 0);
    static const std::string path = fuzz_support::scratch_directory() + "/product.fits";
    if (!fuzz_support::write_file(path, data + 1, size - 1)) return 0;
    despike_product(path.c_str());
    return 0;
}
