// A plain reading of the despike algorithm, written for clarity rather than
// speed, to check the real kernel against.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

namespace reference {

struct Outcome {
    std::vector<int16_t> image;  // the image after the passes
    std::vector<int32_t> addresses;
    std::vector<int16_t> old_values;
    std::vector<int16_t> new_values;
    std::vector<std::vector<int32_t>> flagged;                // per pass, in raster order
    std::vector<std::map<int32_t, int16_t>> pass_replacement;  // per pass: address -> ring median
};

Outcome despike(const std::vector<int16_t>& image, int nx, int ny, float frac, float ped, int niter);

}  // namespace reference
