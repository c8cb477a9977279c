// tavo_quicklook's costs: the picture and thumbnail of a full-frame
// product, and the report page of a day of 8,640 products.
#include <benchmark/benchmark.h>
#include <fitsio.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "quicklook.h"
#include "scene.h"

namespace {

namespace fs = std::filesystem;

constexpr int kSide = 1280;
constexpr int kDayProducts = 8640;   // one image every 10 s
constexpr int kPassbands = 6;

fs::path scratch() {
    static const fs::path dir = [] {
        fs::path d = fs::temp_directory_path() / "tavo_quicklook_bench";
        fs::create_directories(d / "png");
        fs::create_directories(d / "thumb");
        return d;
    }();
    return dir;
}

// A 171 A light product with the cards the pictures read and the simulator's Sun.
std::string full_frame_product() {
    const std::string path = (scratch() / "20170301_120012_345_00000002.fits").string();
    std::vector<int16_t> pixels(static_cast<size_t>(kSide) * kSide);
    tavo_sim::SceneParams scene;
    scene.nx = scene.ny = kSide;
    scene.passband = 1;
    scene.exposure_s = 0.7;
    tavo_sim::render_scene(scene, pixels.data());
    fitsfile* file = nullptr;
    int status = 0;
    long axes[2] = {kSide, kSide};
    long wavelength = 171, despike = 12;
    double exposure = 0.7;
    char frame[] = "LIGHT", params[] = "L1A nx=1280 ny=1280 frac=0.9 ped=101 niter=3";
    fs::remove(path);
    fits_create_diskfile(&file, path.c_str(), &status);
    fits_create_img(file, SHORT_IMG, 2, axes, &status);
    fits_write_record(file, "IMG_TIME = '2017-03-01 12:00:12.345' /End of CCD Integration time", &status);
    fits_write_key(file, TDOUBLE, "EXPTIME", &exposure, nullptr, &status);
    fits_write_key(file, TLONG, "WAVELNTH", &wavelength, nullptr, &status);
    fits_write_key(file, TSTRING, "FRAMETYPE", frame, nullptr, &status);
    fits_write_key(file, TLONG, "DESPIKE", &despike, nullptr, &status);
    fits_write_key(file, TSTRING, "DESPIKE_PARAMS", params, nullptr, &status);
    fits_write_img(file, TSHORT, 1, static_cast<LONGLONG>(pixels.size()), pixels.data(), &status);
    fits_close_file(file, &status);
    if (status != 0) std::fprintf(stderr, "cannot write %s (CFITSIO status %d)\n", path.c_str(), status);
    return path;
}

// Read, scale, both PNGs written: what the program does for every product.
void BM_PictureAndThumbnail1280(benchmark::State& state) {
    const std::string path = full_frame_product();
    // Buffers reused from product to product, as the program's threads do.
    std::vector<int16_t> pixels;
    quicklook::PictureSet set;
    for (auto _ : state) {
        quicklook::ProductInfo info;
        std::string error;
        bool ok = quicklook::read_product(path, info, &pixels, error);
        quicklook::make_pictures(info, pixels, set);
        const auto text = quicklook::picture_text(info, set);
        ok = ok && quicklook::write_png((scratch() / "png" / (info.name + ".png")).string(), set.full, text, error, false) &&
             quicklook::write_png((scratch() / "thumb" / (info.name + ".png")).string(), set.thumbnail, text, error);
        if (!ok) state.SkipWithError(error.c_str());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PictureAndThumbnail1280)->Unit(benchmark::kMillisecond);

// The three steps apart: reading, scaling, writing the two PNGs.
void BM_Step1280(benchmark::State& state) {
    const std::string path = full_frame_product();
    std::vector<int16_t> pixels;
    quicklook::ProductInfo info;
    quicklook::PictureSet set;
    std::string error;
    quicklook::read_product(path, info, &pixels, error);
    quicklook::make_pictures(info, pixels, set);
    const auto text = quicklook::picture_text(info, set);
    const int step = static_cast<int>(state.range(0));
    for (auto _ : state) {
        if (step == 0) quicklook::read_product(path, info, &pixels, error);
        if (step == 1) quicklook::make_pictures(info, pixels, set);
        if (step == 2) {
            quicklook::write_png((scratch() / "png" / (info.name + ".png")).string(), set.full, text, error, false);
            quicklook::write_png((scratch() / "thumb" / (info.name + ".png")).string(), set.thumbnail, text, error);
        }
    }
    state.SetLabel(step == 0 ? "read" : step == 1 ? "scale" : "write PNGs");
}
BENCHMARK(BM_Step1280)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

// The day's products as the program holds them after their pictures: six
// passbands in turn every 10 s, a dark every 50th image, 12 images missing.
quicklook::DayPage simulated_day() {
    quicklook::DayPage page;
    page.day = 20170301;
    page.kite = 16;
    const int wavelengths[kPassbands] = {131, 171, 195, 284, 304, 94};
    for (int k = 0; k < kDayProducts + 12; ++k) {
        if (k % 720 == 360) continue;
        quicklook::ProductInfo p;
        const int seconds = k * 10 + 2;
        char name[64], time[32];
        std::snprintf(name, sizeof name, "20170301_%02d%02d%02d_345_%08d", seconds / 3600, seconds / 60 % 60,
                      seconds % 60, k + 1);
        std::snprintf(time, sizeof time, "2017-03-01 %02d:%02d:%02d.345", seconds / 3600, seconds / 60 % 60,
                      seconds % 60);
        p.name = name;
        p.time_text = time;
        p.time = seconds + 0.345;
        p.nx = p.ny = kSide;
        p.wavelength = wavelengths[k % kPassbands];
        p.exposure = 1.0;
        p.dark = k % 50 == 49;
        p.columns = {std::to_string(p.wavelength), p.dark ? "DARK" : "LIGHT", "SEQUENCE", "1.00000000", "1280",
                     "1280", "-65.12345678", "0.12345678", "-0.87654321", "17", "0", "THIN_AL"};
        page.products.push_back(p);
        page.scaling.push_back("log 90 to 12000 DN/s, AIA 193 colours");
    }
    return page;
}

// Gaps found, the page formatted and written.
void BM_DayPage8640(benchmark::State& state) {
    quicklook::DayPage page = simulated_day();
    const std::string path = (scratch() / "index.html").string();
    for (auto _ : state) {
        page.gaps = quicklook::find_gaps(page.products, nullptr, page.day);
        const std::string html = quicklook::day_page_html(page);
        std::ofstream(path, std::ios::binary) << html;
        state.counters["bytes"] = static_cast<double>(html.size());
        state.counters["gaps"] = static_cast<double>(page.gaps.size());
    }
}
BENCHMARK(BM_DayPage8640)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
