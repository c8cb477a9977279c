// Despike speed on full-size solar images: the kernel on a padded
// 1284 x 1284 image (3 passes), and the whole product rewrite of a
// 1280 x 1280 product.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "despike/despike.h"
#include "base/base.h"
#include "scene.h"

namespace {

constexpr int kSide = 1280;
constexpr int kBorder = 2;
constexpr int kPaddedSide = kSide + 2 * kBorder;
constexpr double kSpikeRate = 1e-3;
constexpr int kHeaderBytes = 40320;
constexpr int kBlockBytes = 2880;

std::vector<int16_t> solar_image(std::vector<tavo_sim::Spike>* spikes = nullptr) {
    tavo_sim::SceneParams params;
    params.nx = kSide;
    params.ny = kSide;
    params.spike_rate = kSpikeRate;
    std::vector<int16_t> pixels(static_cast<size_t>(kSide) * kSide);
    std::vector<tavo_sim::Spike> injected = tavo_sim::render_scene(params, pixels.data());
    if (spikes != nullptr) *spikes = injected;
    return pixels;
}

// The image inside a two-pixel border of the given pedestal.
std::vector<int16_t> padded(const std::vector<int16_t>& image, int16_t pedestal) {
    std::vector<int16_t> out(static_cast<size_t>(kPaddedSide) * kPaddedSide, pedestal);
    for (int r = 0; r < kSide; ++r)
        std::memcpy(&out[static_cast<size_t>(r + kBorder) * kPaddedSide + kBorder], &image[static_cast<size_t>(r) * kSide],
                    kSide * sizeof(int16_t));
    return out;
}

// The pedestal as the product step finds it: one above the value at which
// the cumulative count of the low 14 bits reaches pixels * 0.001 + 1.5.
int pedestal_of(const std::vector<int16_t>& image) {
    std::vector<uint64_t> histogram(16384, 0);
    for (int16_t v : image) ++histogram[static_cast<uint16_t>(v) & 16383];
    const uint64_t threshold = static_cast<uint64_t>(image.size() * 0.001 + 1.5);
    uint64_t sum = 0;
    int k = 0;
    while (k < 16383 && sum < threshold) sum += histogram[k++];
    return k;
}

void BM_DespikeImage(benchmark::State& state) {
    std::vector<tavo_sim::Spike> injected;
    const std::vector<int16_t> raw = solar_image(&injected);
    const int pedestal = pedestal_of(raw);
    const std::vector<int16_t> image = padded(raw, static_cast<int16_t>(pedestal));
    std::vector<int16_t> work;
    int32_t spikes = 0;
    double found = 0;
    for (auto _ : state) {
        state.PauseTiming();
        work = image;
        state.ResumeTiming();
        int32_t count = 0;
        int32_t* addresses = nullptr;
        int16_t* old_values = nullptr;
        int16_t* new_values = nullptr;
        despike_image(work.data(), kPaddedSide, kPaddedSide, 0.9f, static_cast<float>(pedestal), 3, count, addresses, old_values,
                      new_values);
        spikes = count;
        benchmark::DoNotOptimize(work.data());
        state.PauseTiming();
        std::vector<int32_t> listed(addresses, addresses + count);
        std::sort(listed.begin(), listed.end());
        found = 0;
        for (const tavo_sim::Spike& s : injected) {
            const int32_t at = (s.row + kBorder) * kPaddedSide + s.column + kBorder;
            found += std::binary_search(listed.begin(), listed.end(), at) ? 1 : 0;
        }
        delete[] addresses;
        delete[] old_values;
        delete[] new_values;
        state.ResumeTiming();
    }
    // How many of the simulator's injected spikes were listed.
    state.counters["injected"] = static_cast<double>(injected.size());
    state.counters["found"] = found;
    state.counters["spikes"] = spikes;
    state.counters["pedestal"] = pedestal;
    state.counters["pixels"] = static_cast<double>(kPaddedSide) * kPaddedSide;
}
BENCHMARK(BM_DespikeImage)->Unit(benchmark::kMillisecond);

std::string card(const std::string& text) {
    std::string padded_card = text;
    padded_card.resize(80, ' ');
    return padded_card;
}

// A product with the cards the despike step reads, END in the last block.
std::string product_bytes(const std::vector<int16_t>& image) {
    std::string file;
    for (const char* text : {"SIMPLE  =                    T", "BITPIX  =                   16",
                             "NAXIS   =                    2", "NAXIS1  =                 1280 /COLS",
                             "NAXIS2  =                 1280 /ROWS", "HIERARCH FRAMETYPE = 'LIGHT'",
                             "ASSTATUS= +2", "SUMM    = '1x1'",
                             "DESPIKE =                    0 /Despike Count and Headers Present if not 0",
                             "HIERARCH DESPIKE_PARAMS = 'Despike not yet run'"})
        file += card(text);
    file.resize(501 * 80, ' ');
    file += card("END");
    file.resize(kHeaderBytes, ' ');
    for (int16_t v : image) {
        file += static_cast<char>(static_cast<uint16_t>(v) >> 8);
        file += static_cast<char>(v & 0xFF);
    }
    file.resize((file.size() + kBlockBytes - 1) / kBlockBytes * kBlockBytes, '\0');
    return file;
}

bool write_whole_file(const std::string& path, const std::string& bytes) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

// Arg 1: DESPIKE=YES, 0: NO. The product lives in a scratch directory under
// TMPDIR (or /tmp).
void BM_DespikeProduct(benchmark::State& state) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr ? tmp : "/tmp") + "/despike-bench-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        state.SkipWithError("no scratch directory");
        return;
    }
    const std::string dir = pattern;
    const std::string path = dir + "/20180327_145038_092_00000123.fits";
    const std::string bytes = product_bytes(solar_image());

    reset_run_settings();
    std::snprintf(run_settings.param_text[PARAM_OUTPUT_ROOT_DIRECTORY], kValueSlot, "%s/", dir.c_str());
    run_settings.path_separator = '/';
    run_settings.param_number[PARAM_DESPIKE] = static_cast<int32_t>(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        if (!write_whole_file(path, bytes)) {
            state.SkipWithError("cannot write the product");
            break;
        }
        state.ResumeTiming();
        despike_product(path.c_str());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes.size()));
    unlink(path.c_str());
    rmdir(dir.c_str());
}
BENCHMARK(BM_DespikeProduct)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
