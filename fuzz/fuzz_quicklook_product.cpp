// Fuzz target: tavo_quicklook's product reader, on bytes given as the
// product file, and the pictures of what it reads.
#include "fuzz_support.h"
#include "quicklook.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = fuzz_support::scratch_directory() + "/20170301_120002_345_00000001.fits";
    if (!fuzz_support::write_file(path, data, size)) return 0;
    quicklook::ProductInfo info;
    std::vector<int16_t> pixels;
    std::string error;
    if (!quicklook::read_product(path, info, &pixels, error)) return 0;
    quicklook::PictureSet set;
    quicklook::make_pictures(info, pixels, set);
    return 0;
}
