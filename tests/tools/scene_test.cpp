// The synthetic Sun: counts in range, a disk brighter than the sky, dark
// frames at the bias, and spikes that are lone hits the despiker can see.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "scene.h"

namespace {

using tavo_sim::SceneParams;

struct SceneCase {
    int nx, ny, passband;
    bool dark;
};

class Scene : public ::testing::TestWithParam<SceneCase> {};

TEST_P(Scene, CountsSpikesAndShape) {
    SceneParams p;
    p.nx = GetParam().nx;
    p.ny = GetParam().ny;
    p.passband = GetParam().passband;
    p.dark = GetParam().dark;
    p.spike_rate = 0.01;
    p.scene_seed = 11;
    p.noise_seed = 4;
    std::vector<uint16_t> img(static_cast<size_t>(p.nx) * p.ny);
    auto spikes = tavo_sim::render_scene(p, img.data());
    for (uint16_t v : img) ASSERT_LE(v, tavo_sim::kMaxCount);
    EXPECT_GT(spikes.size(), 0u);
    for (size_t i = 0; i < spikes.size(); ++i) {
        const auto& s = spikes[i];
        EXPECT_TRUE(s.column >= 2 && s.column < p.nx - 2 && s.row >= 2 && s.row < p.ny - 2);
        EXPECT_EQ(img[static_cast<size_t>(s.row) * p.nx + s.column], s.value);
        // A lone hit: well above the mean of its eight neighbours.
        long sum = 0;
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx)
                if (dx || dy) sum += img[static_cast<size_t>(s.row + dy) * p.nx + s.column + dx];
        EXPECT_GT(s.value / 1.9, sum / 8.0 + 4.0);
        for (size_t j = 0; j < i; ++j)
            EXPECT_GE(std::max(std::abs(s.row - spikes[j].row), std::abs(s.column - spikes[j].column)), 3);
    }
    auto at = [&](int x, int y) { return img[static_cast<size_t>(y) * p.nx + x]; };
    if (p.dark) {
        std::vector<uint16_t> sorted = img;
        std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
        EXPECT_NEAR(sorted[sorted.size() / 2], 98.0, 4.0) << "median of a dark frame: the bias";
    } else {
        EXPECT_GT(at(p.nx / 2, p.ny / 2), at(0, 0)) << "disk brighter than the corner";
    }
    // Same seeds, same image.
    std::vector<uint16_t> again(img.size());
    EXPECT_EQ(tavo_sim::render_scene(p, again.data()).size(), spikes.size());
    EXPECT_EQ(again, img);
}

INSTANTIATE_TEST_SUITE_P(Sizes, Scene,
                         ::testing::Values(SceneCase{16, 16, 0, false}, SceneCase{200, 120, 1, false},
                                           SceneCase{96, 160, 5, false}, SceneCase{64, 64, 2, true}));

TEST(Scene, Int16VariantMatches) {
    SceneParams p;
    p.nx = 40;
    p.ny = 30;
    std::vector<uint16_t> u(1200);
    std::vector<int16_t> s(1200);
    tavo_sim::render_scene(p, u.data());
    tavo_sim::render_scene(p, s.data());
    EXPECT_TRUE(std::equal(u.begin(), u.end(), s.begin(), [](uint16_t a, int16_t b) { return a == b; }));
}

}  // namespace
