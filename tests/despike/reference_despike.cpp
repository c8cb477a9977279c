#include "despike/reference_despike.h"

#include <algorithm>
#include <cstdlib>

namespace reference {

Outcome despike(const std::vector<int16_t>& original, int nx, int ny, float frac, float ped, int niter) {
    Outcome out;
    out.image = original;
    const int passes = std::abs(niter);
    const float s = static_cast<float>(1.0 / (1.0 + static_cast<double>(frac)));
    struct Entry {
        int pass;
        int32_t address;
        int16_t new_value;
    };
    std::vector<Entry> entries;
    for (int k = 0; k < passes; ++k) {
        const std::vector<int16_t> before = out.image;
        auto at = [&](int r, int c) { return before[static_cast<size_t>(r) * nx + c]; };
        out.flagged.emplace_back();
        out.pass_replacement.emplace_back();
        for (int r = 2; r <= ny - 3; ++r) {
            for (int c = 2; c <= nx - 3; ++c) {
                const int16_t v = at(r, c);
                if (v <= 0) continue;
                const float a = (v - ped) * s;
                int sum = 0;
                for (int dr = -1; dr <= 1; ++dr)
                    for (int dc = -1; dc <= 1; ++dc)
                        if (dr != 0 || dc != 0) sum += at(r + dr, c + dc);
                const float b = static_cast<float>(sum * 0.125 - static_cast<double>(ped));
                if (!(b < a && a - b > 4.0f)) continue;
                std::vector<int16_t> ring;
                for (int dc = -2; dc <= 2; ++dc) ring.push_back(at(r - 2, c + dc));
                for (int dr = -1; dr <= 1; ++dr) {
                    ring.push_back(at(r + dr, c - 2));
                    ring.push_back(at(r + dr, c + 2));
                }
                for (int dc = -2; dc <= 2; ++dc) ring.push_back(at(r + 2, c + dc));
                std::sort(ring.begin(), ring.end());
                const int32_t address = r * nx + c;
                entries.push_back({k, address, ring[7]});
                out.flagged[k].push_back(address);
                out.pass_replacement[k][address] = ring[7];
            }
        }
        for (const Entry& e : entries)
            if (e.pass == k) out.image[e.address] = e.new_value;
    }
    // Each pixel once, in the pass that flagged it last.
    for (size_t i = 0; i < entries.size(); ++i) {
        bool later = false;
        for (size_t j = i + 1; j < entries.size(); ++j) later = later || entries[j].address == entries[i].address;
        if (later) continue;
        out.addresses.push_back(entries[i].address);
        out.old_values.push_back(original[entries[i].address]);
        out.new_values.push_back(entries[i].new_value);
    }
    return out;
}

}  // namespace reference
