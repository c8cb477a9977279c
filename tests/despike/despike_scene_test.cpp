// Despiking the simulator's solar scenes: how many of the injected spikes
// are found, and what the products look like to astropy.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "despike/product_builder.h"
#include "scene.h"
#include "support/test_support.h"

namespace {

using namespace product_builder;
using test_support::write_file;

// The SPIKELOCS rows of a despiked product (the first extension after the
// padded image data).
std::vector<int32_t> spike_locations(const std::string& file, int nx, int ny) {
    const size_t data_end = kHeaderBytes + (2 * static_cast<size_t>(nx) * ny + kBlockBytes - 1) / kBlockBytes * kBlockBytes;
    std::vector<int32_t> rows;
    if (file.size() <= data_end) return rows;
    const std::string rows_card = file.substr(data_end + 4 * 80, 80);
    const int count = std::stoi(rows_card.substr(10, 20));
    for (int i = 0; i < count; ++i) {
        const size_t at = data_end + kBlockBytes + 4 * static_cast<size_t>(i);
        uint32_t v = 0;
        for (int b = 0; b < 4; ++b) v = v << 8 | static_cast<uint8_t>(file.at(at + b));
        rows.push_back(static_cast<int32_t>(v));
    }
    return rows;
}

struct SceneCase {
    int passband;
    bool dark;
    const char* frametype;
    const char* asstatus;
};

TEST(DespikeScene, FindsTheInjectedSpikes) {
    test_support::TempDir dir("tavo-despike-scene");
    const int nx = 384, ny = 384;
    size_t injected = 0;
    size_t found = 0;
    for (const SceneCase c : {SceneCase{2, false, "'LIGHT'", "+2"}, SceneCase{4, false, "'LIGHT'", "+4"},
                              SceneCase{1, false, "'LIGHT'", "+1"}, SceneCase{0, true, "'DARK'", "+0"}}) {
        tavo_sim::SceneParams params;
        params.nx = nx;
        params.ny = ny;
        params.passband = c.passband;
        params.dark = c.dark;
        params.spike_rate = 1e-3;
        params.noise_seed = 10 + c.passband;
        ProductPlan plan;
        plan.nx = nx;
        plan.ny = ny;
        plan.frametype = c.frametype;
        plan.asstatus = c.asstatus;
        plan.pixels.resize(static_cast<size_t>(nx) * ny);
        const std::vector<tavo_sim::Spike> spikes = tavo_sim::render_scene(params, plan.pixels.data());
        const std::string path = dir / ("scene" + std::to_string(c.passband) + ".fits");
        write_file(path, build_product(plan));
        ASSERT_TRUE(run_despike_product(path, true, dir.path()).empty());
        const std::vector<int32_t> listed = spike_locations(test_support::read_file(path), nx, ny);
        const std::set<int32_t> listed_set(listed.begin(), listed.end());
        size_t hits = 0;
        for (const tavo_sim::Spike& s : spikes) hits += listed_set.count(s.row * nx + s.column);
        std::printf("passband %d%s: %zu of %zu injected spikes found, %zu pixels listed\n", c.passband,
                    c.dark ? " (dark)" : "", hits, spikes.size(), listed.size());
        injected += spikes.size();
        found += hits;
    }
    ASSERT_GT(injected, 400u);
    EXPECT_GE(static_cast<double>(found) / static_cast<double>(injected), 0.99);
}

// astropy reads both forms and turns one into the other with the tables.
TEST(DespikeScene, AstropyReadsAndConvertsBothForms) {
    test_support::TempDir dir("tavo-despike-astropy");
    const int nx = 64, ny = 48;
    tavo_sim::SceneParams params;
    params.nx = nx;
    params.ny = ny;
    params.spike_rate = 5e-3;
    ProductPlan plan;
    plan.nx = nx;
    plan.ny = ny;
    plan.pixels.resize(static_cast<size_t>(nx) * ny);
    tavo_sim::render_scene(params, plan.pixels.data());
    const std::string yes = dir / "yes.fits";
    const std::string no = dir / "no.fits";
    write_file(yes, build_product(plan));
    write_file(no, build_product(plan));
    ASSERT_TRUE(run_despike_product(yes, true, dir.path()).empty());
    ASSERT_TRUE(run_despike_product(no, false, dir.path()).empty());
    const char* script = R"(
import sys
import numpy as np
from astropy.io import fits
yes, no = sys.argv[1], sys.argv[2]
with fits.open(yes) as a, fits.open(no) as b:
    assert [h.name for h in a] == ['PRIMARY', 'SPIKELOCS', 'OLDVALS'], [h.name for h in a]
    assert [h.name for h in b] == ['PRIMARY', 'SPIKELOCS', 'NEWVALS'], [h.name for h in b]
    assert a[0].header['DESPIKE'] == len(a['SPIKELOCS'].data) > 0
    loc = a['SPIKELOCS'].data['Address']
    assert (loc == b['SPIKELOCS'].data['Address']).all()
    raw = a[0].data.copy().ravel()
    raw[loc] = a['OLDVALS'].data['Old_vals']
    assert (raw.reshape(a[0].data.shape) == b[0].data).all(), 'OLDVALS do not restore the raw image'
    clean = b[0].data.copy().ravel()
    clean[loc] = b['NEWVALS'].data['New_vals']
    assert (clean.reshape(b[0].data.shape) == a[0].data).all(), 'NEWVALS do not give the despiked image'
print('ok', len(loc))
)";
    const auto result = test_support::run_program({"/usr/bin/python3", "-c", script, yes, no});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.out.substr(0, 3), "ok ") << result.out << result.err;
}

}  // namespace
