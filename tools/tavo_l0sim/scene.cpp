// Synthetic EUV Sun: see scene.h.
#include "scene.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace tavo_sim {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDiskRadiusFraction = 0.39;  // of the smaller image side
constexpr double kBiasCounts = 96.0;          // electronic pedestal
constexpr double kReadNoiseCounts = 2.5;
constexpr double kDarkCurrentCounts = 1.5;    // per second of exposure
constexpr int kNormalTableBits = 16;
constexpr int kSpikeEdge = 2;                 // the despiker never tests the outer two rows/columns
constexpr int kSpikeSpacing = 3;              // Chebyshev distance between spikes
constexpr int kSpikeTriesPerSpike = 30;

// Disk-centre count rate per second and active-region contrast per passband,
// in the order of aperture_positions (131, 171, 195, 284, 304, 94 A).
constexpr std::array<double, kPassbandCount> kDiskRate = {90.0, 2400.0, 1700.0, 220.0, 950.0, 35.0};
constexpr std::array<double, kPassbandCount> kRegionContrast = {9.0, 3.0, 4.0, 3.5, 2.5, 12.0};

uint64_t splitmix64(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

double uniform01(uint64_t& state) { return static_cast<double>(splitmix64(state) >> 11) * 0x1.0p-53; }

// Standard normal deviates drawn once (Box-Muller from a fixed seed); noise
// picks entries with 16-bit random indexes, four per random word.
const std::array<float, 1u << kNormalTableBits>& normal_table() {
    static const auto table = [] {
        std::array<float, 1u << kNormalTableBits> t{};
        uint64_t state = 0x5EEDF00DULL;
        for (size_t i = 0; i < t.size(); i += 2) {
            double u1 = std::max(uniform01(state), 1e-300);
            double u2 = uniform01(state);
            double r = std::sqrt(-2.0 * std::log(u1));
            t[i] = static_cast<float>(r * std::cos(2.0 * kPi * u2));
            t[i + 1] = static_cast<float>(r * std::sin(2.0 * kPi * u2));
        }
        return t;
    }();
    return table;
}

struct NormalSource {
    uint64_t state;
    uint64_t word = 0;
    int left = 0;
    float next() {
        if (left == 0) {
            word = splitmix64(state);
            left = 4;
        }
        float v = normal_table()[word & ((1u << kNormalTableBits) - 1)];
        word >>= kNormalTableBits;
        --left;
        return v;
    }
};

uint16_t to_count(double v) {
    if (v <= 0.0) return 0;
    if (v >= kMaxCount) return kMaxCount;
    return static_cast<uint16_t>(v + 0.5);
}

int clamp_passband(int passband) { return std::clamp(passband, 0, kPassbandCount - 1); }

void add_active_regions(const SceneParams& p, double cx, double cy, double radius, double disk_counts,
                        std::vector<float>& base) {
    uint64_t state = p.scene_seed * 0x2545F4914F6CDD1DULL + 17;
    int regions = 3 + static_cast<int>(splitmix64(state) % 3);
    double contrast = kRegionContrast[clamp_passband(p.passband)];
    for (int k = 0; k < regions; ++k) {
        double angle = 2.0 * kPi * uniform01(state);
        double dist = 0.8 * radius * std::sqrt(uniform01(state));
        double ax = cx + dist * std::cos(angle);
        double ay = cy + dist * std::sin(angle);
        double sigma = std::max(0.8, radius * (0.025 + 0.035 * uniform01(state)));
        double amplitude = disk_counts * contrast * (0.4 + 0.6 * uniform01(state));
        int x0 = std::max(0, static_cast<int>(ax - 4 * sigma));
        int x1 = std::min(p.nx - 1, static_cast<int>(ax + 4 * sigma));
        int y0 = std::max(0, static_cast<int>(ay - 4 * sigma));
        int y1 = std::min(p.ny - 1, static_cast<int>(ay + 4 * sigma));
        double inv = 1.0 / (2.0 * sigma * sigma);
        for (int y = y0; y <= y1; ++y) {
            for (int x = x0; x <= x1; ++x) {
                double d2 = (x - ax) * (x - ax) + (y - ay) * (y - ay);
                base[static_cast<size_t>(y) * p.nx + x] += static_cast<float>(amplitude * std::exp(-d2 * inv));
            }
        }
    }
}

// Places isolated spikes on the finished image, in row order.
std::vector<Spike> add_spikes(const SceneParams& p, NormalSource& rng, uint16_t* pixels) {
    std::vector<Spike> spikes;
    if (p.nx < 2 * kSpikeEdge + 1 || p.ny < 2 * kSpikeEdge + 1 || p.spike_rate <= 0.0) return spikes;
    double expected = p.spike_rate * p.nx * p.ny;
    auto wanted = static_cast<long>(expected + uniform01(rng.state));
    if (wanted == 0) return spikes;
    std::vector<uint8_t> taken(static_cast<size_t>(p.nx) * p.ny, 0);
    int span_x = p.nx - 2 * kSpikeEdge;
    int span_y = p.ny - 2 * kSpikeEdge;
    for (long tries = 0; tries < wanted * kSpikeTriesPerSpike && static_cast<long>(spikes.size()) < wanted; ++tries) {
        int x = kSpikeEdge + static_cast<int>(splitmix64(rng.state) % span_x);
        int y = kSpikeEdge + static_cast<int>(splitmix64(rng.state) % span_y);
        size_t at = static_cast<size_t>(y) * p.nx + x;
        uint16_t background = pixels[at];
        uint32_t value = 2u * background + 300u + static_cast<uint32_t>(splitmix64(rng.state) % 2000);
        if (taken[at] || value > kMaxCount) continue;
        spikes.push_back({x, y, static_cast<uint16_t>(value), background});
        pixels[at] = static_cast<uint16_t>(value);
        for (int dy = -kSpikeSpacing + 1; dy < kSpikeSpacing; ++dy) {
            for (int dx = -kSpikeSpacing + 1; dx < kSpikeSpacing; ++dx) {
                int yy = y + dy, xx = x + dx;
                if (yy >= 0 && yy < p.ny && xx >= 0 && xx < p.nx) taken[static_cast<size_t>(yy) * p.nx + xx] = 1;
            }
        }
    }
    std::sort(spikes.begin(), spikes.end(), [](const Spike& a, const Spike& b) {
        return a.row != b.row ? a.row < b.row : a.column < b.column;
    });
    return spikes;
}

}  // namespace

void render_base_scene(const SceneParams& p, std::vector<float>& base) {
    base.assign(static_cast<size_t>(p.nx) * p.ny, 0.0f);
    uint64_t state = p.scene_seed * 0x9E3779B97F4A7C15ULL + 3;
    double side = std::min(p.nx, p.ny);
    double cx = 0.5 * (p.nx - 1) + 0.01 * side * (uniform01(state) - 0.5);
    double cy = 0.5 * (p.ny - 1) + 0.01 * side * (uniform01(state) - 0.5);
    double radius = kDiskRadiusFraction * side;
    double disk_counts = kDiskRate[clamp_passband(p.passband)] * p.exposure_s;
    double inv_r = 1.0 / radius;
    double corona_scale = 0.08;  // of the radius
    for (int y = 0; y < p.ny; ++y) {
        float* row = &base[static_cast<size_t>(y) * p.nx];
        double dy = (y - cy) * inv_r;
        for (int x = 0; x < p.nx; ++x) {
            double dx = (x - cx) * inv_r;
            double r2 = dx * dx + dy * dy;
            double v;
            if (r2 < 1.0) {
                // Optically thin emission: brighter towards the limb.
                double mu = std::sqrt(1.0 - r2);
                v = disk_counts * (0.8 + 0.35 / std::sqrt(std::max(mu, 0.05)));
            } else {
                double r = std::sqrt(r2);
                v = disk_counts * (1.2 * std::exp(-(r - 1.0) / corona_scale) + 0.06 / (r2 * r));
            }
            row[x] = static_cast<float>(v);
        }
    }
    add_active_regions(p, cx, cy, radius, disk_counts, base);
}

std::vector<Spike> render_image(const SceneParams& p, const std::vector<float>& base, uint16_t* pixels) {
    NormalSource rng{p.noise_seed * 0xD1B54A32D192ED03ULL + p.scene_seed};
    size_t count = static_cast<size_t>(p.nx) * p.ny;
    if (p.dark) {
        double dark = kBiasCounts + kDarkCurrentCounts * p.exposure_s;
        for (size_t i = 0; i < count; ++i) pixels[i] = to_count(dark + kReadNoiseCounts * rng.next());
    } else {
        const double read2 = kReadNoiseCounts * kReadNoiseCounts;
        for (size_t i = 0; i < count; ++i) {
            double signal = base[i];
            double sigma = std::sqrt(signal + read2);
            pixels[i] = to_count(kBiasCounts + signal + sigma * rng.next());
        }
    }
    return add_spikes(p, rng, pixels);
}

std::vector<Spike> render_scene(const SceneParams& params, uint16_t* pixels) {
    std::vector<float> base;
    if (!params.dark) render_base_scene(params, base);
    return render_image(params, base, pixels);
}

std::vector<Spike> render_scene(const SceneParams& params, int16_t* pixels) {
    std::vector<uint16_t> counts(static_cast<size_t>(params.nx) * params.ny);
    std::vector<Spike> spikes = render_scene(params, counts.data());
    std::copy(counts.begin(), counts.end(), pixels);  // 14-bit counts fit in int16
    return spikes;
}

}  // namespace tavo_sim
