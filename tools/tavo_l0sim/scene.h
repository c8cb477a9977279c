// Synthetic EUV Sun for the level-0 simulator and for benchmarks: a
// limb-brightened disk, a corona falling off outside the limb, a few active
// regions, photon-like noise and isolated single-pixel spikes, in 14-bit
// counts.
#pragma once

#include <cstdint>
#include <vector>

namespace tavo_sim {

constexpr uint16_t kMaxCount = 16383;  // 14-bit full scale
constexpr int kPassbandCount = 6;      // index into aperture_positions

struct SceneParams {
    int nx = 256;              // columns (length of a row)
    int ny = 256;              // rows
    uint64_t scene_seed = 1;   // places the disk and the active regions
    uint64_t noise_seed = 1;   // draws the noise and the spikes of one image
    int passband = 0;          // 0..5, the order of aperture_positions
    double exposure_s = 1.0;   // scales the signal
    bool dark = false;         // shutter closed: bias and read noise only
    double spike_rate = 1e-4;  // spikes per pixel
};

// One injected spike: pixel index row * nx + column.
struct Spike {
    int32_t column;
    int32_t row;
    uint16_t value;       // count written into the image
    uint16_t background;  // count the pixel would have had without the hit
};

// Noise-free expected counts of a light frame, nx * ny floats in row order.
// Depends only on the size, scene_seed, passband and exposure, so a run can
// compute it once per passband and reuse it.
void render_base_scene(const SceneParams& params, std::vector<float>& base);

// Draws noise around base (or a dark frame when params.dark) into pixels
// (nx * ny values, 0..kMaxCount) and adds isolated spikes. Spikes lie at
// least two pixels from every edge and at least three pixels from each
// other, so each one is a lone hit; they are returned in row order.
std::vector<Spike> render_image(const SceneParams& params, const std::vector<float>& base,
                                uint16_t* pixels);

// Both steps at once.
std::vector<Spike> render_scene(const SceneParams& params, uint16_t* pixels);
std::vector<Spike> render_scene(const SceneParams& params, int16_t* pixels);

}  // namespace tavo_sim
