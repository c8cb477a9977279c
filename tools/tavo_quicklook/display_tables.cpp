// How each passband is shown: colour table, stretch and fixed range. The
// README ("Quicklook pictures") tells where each entry comes from.
#include <cmath>

#include "fits/fits.h"
#include "quicklook.h"

namespace quicklook {
namespace {

// In the order of aperture_positions (131, 171, 195, 284, 304, 94 A). The
// ranges are in DN/s of the exposure-normalised image, bias included: the
// lower end sits at the bias over the passband's usual exposure, the upper
// end above the brightest active regions.
constexpr PassbandDisplay kPassbandDisplays[kAperturePositions] = {
    {"AIA 131", Curve::g0, Curve::r0, Curve::r0, Stretch::log, 50.0, 2000.0},
    {"AIA 171", Curve::r0, Curve::c0, Curve::b0, Stretch::sqrt, 140.0, 15000.0},
    {"AIA 193", Curve::c1, Curve::c0, Curve::c2, Stretch::log, 100.0, 30000.0},
    {"AIA 335", Curve::c2, Curve::c0, Curve::c1, Stretch::log, 35.0, 3000.0},
    {"AIA 304", Curve::r0, Curve::g0, Curve::b0, Stretch::log, 125.0, 10000.0},
    {"AIA 94", Curve::c2, Curve::c3, Curve::c0, Stretch::sqrt, 34.0, 250.0},
};

// A ramp from 0 at index first to 255 at index last, truncated to integers.
double ramp(int index, int first, int last) {
    if (index <= first) return 0.0;
    if (index >= last) return 255.0;
    return static_cast<double>((index - first) * 255 / (last - first));
}

}  // namespace

const PassbandDisplay* find_passband_display(int wavelength) {
    for (int i = 0; i < kAperturePositions; ++i) {
        if (aperture_positions[i].wavelength == wavelength) return &kPassbandDisplays[i];
    }
    return nullptr;
}

double curve_value(Curve curve, int index) {
    const double x = index;
    switch (curve) {
        case Curve::c0: return x;
        case Curve::c1: return std::sqrt(x * 255.0);
        case Curve::c2: return x * x / 255.0;
        case Curve::c3: return (std::sqrt(x * 255.0) + x * x / 510.0) * 255.0 / (255.0 + 127.5);
        case Curve::r0: return ramp(index, 0, 176);
        case Curve::g0: return ramp(index, 120, 255);
        case Curve::b0: return ramp(index, 190, 255);
    }
    return 0.0;
}

ColourTable colour_table(const PassbandDisplay& display) {
    ColourTable table{};
    for (int i = 0; i < 256; ++i) {
        const Curve curves[3] = {display.red, display.green, display.blue};
        for (int c = 0; c < 3; ++c) {
            table[static_cast<size_t>(3 * i + c)] = static_cast<uint8_t>(std::lround(curve_value(curves[c], i)));
        }
    }
    return table;
}

ColourTable grey_table() {
    ColourTable table{};
    for (int i = 0; i < 256; ++i) {
        for (int c = 0; c < 3; ++c) table[static_cast<size_t>(3 * i + c)] = static_cast<uint8_t>(i);
    }
    return table;
}

}  // namespace quicklook
