// Pictures of a product: the image over its exposure, stretched within the
// passband's fixed range (darks within their own percentiles), as colour
// indexes into the passband's table; a box-averaged thumbnail; palette PNG
// files with text chunks.
#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "output_file.h"
#include "quicklook.h"

namespace quicklook {
namespace {

constexpr int kValueCount = 65536;  // every 16-bit pixel value
constexpr int kValueOffset = 32768;

double stretched(Stretch stretch, double x) {
    switch (stretch) {
        case Stretch::linear: return x;
        case Stretch::sqrt: return std::sqrt(x);
        case Stretch::log: return std::log10(x);
    }
    return x;
}

const char* stretch_name(Stretch stretch) {
    switch (stretch) {
        case Stretch::linear: return "linear";
        case Stretch::sqrt: return "sqrt";
        case Stretch::log: return "log";
    }
    return "?";
}

double unstretched(Stretch stretch, double y) {
    switch (stretch) {
        case Stretch::linear: return y;
        case Stretch::sqrt: return y * y;
        case Stretch::log: return std::pow(10.0, y);
    }
    return y;
}

// The colour index of every 16-bit value. The index only grows with the
// value, so the table is filled between the smallest values that reach each
// index: the inverse stretch gives a first guess, scale_pixel the exact one.
void index_table(const Scaling& s, std::vector<uint8_t>& table) {
    table.resize(kValueCount);
    const double bottom = stretched(s.stretch, s.low);
    const double top = stretched(s.stretch, s.high);
    int from = 0;  // table position of the first value not yet filled
    for (int k = 1; k <= 255 && from < kValueCount; ++k) {
        const double guess = unstretched(s.stretch, bottom + (k - 0.5) / 255.0 * (top - bottom)) * s.divisor;
        int v = static_cast<int>(std::clamp(std::floor(guess), -32768.0, 32767.0));
        while (v > -32768 && scale_pixel(s, v - 1) >= k) --v;
        while (v <= 32767 && scale_pixel(s, v) < k) ++v;
        const int to = std::max(from, v + kValueOffset);  // first position of index k or more
        std::fill(table.begin() + from, table.begin() + to, static_cast<uint8_t>(k - 1));
        from = to;
    }
    std::fill(table.begin() + from, table.end(), static_cast<uint8_t>(255));
}

// Colour indexes of the image with the data's row 0 as the bottom row.
void full_picture(const std::vector<int16_t>& pixels, int nx, int ny, const std::vector<uint8_t>& table,
                  Picture& picture) {
    picture.width = nx;
    picture.height = ny;
    picture.index.resize(static_cast<size_t>(nx) * ny);
    for (int row = 0; row < ny; ++row) {
        const int16_t* in = pixels.data() + static_cast<size_t>(row) * nx;
        uint8_t* out = picture.index.data() + static_cast<size_t>(ny - 1 - row) * nx;
        for (int x = 0; x < nx; ++x) out[x] = table[static_cast<size_t>(in[x] + kValueOffset)];
    }
}

// Each thumbnail pixel is the rounded mean of the block of pixels it covers.
void thumbnail_picture(const std::vector<int16_t>& pixels, int nx, int ny, const std::vector<uint8_t>& table,
                       Picture& picture) {
    const int longer = std::max(nx, ny);
    const int side = std::min(longer, kThumbnailSide);
    const int tw = std::max(1, static_cast<int>(std::lround(static_cast<double>(nx) * side / longer)));
    const int th = std::max(1, static_cast<int>(std::lround(static_cast<double>(ny) * side / longer)));
    picture.width = tw;
    picture.height = th;
    picture.index.resize(static_cast<size_t>(tw) * th);
    std::vector<int64_t> sums(static_cast<size_t>(tw));
    std::vector<int> column_block(static_cast<size_t>(nx));
    std::vector<int> block_width(static_cast<size_t>(tw), 0);
    for (int x = 0; x < nx; ++x) {
        column_block[static_cast<size_t>(x)] = static_cast<int>(static_cast<int64_t>(x) * tw / nx);
        ++block_width[static_cast<size_t>(column_block[static_cast<size_t>(x)])];
    }
    int row = 0;
    for (int ty = 0; ty < th; ++ty) {
        const int row_end = static_cast<int>(static_cast<int64_t>(ty + 1) * ny / th);
        std::fill(sums.begin(), sums.end(), 0);
        const int rows = row_end - row;
        for (; row < row_end; ++row) {
            const int16_t* in = pixels.data() + static_cast<size_t>(row) * nx;
            for (int x = 0; x < nx; ++x) sums[static_cast<size_t>(column_block[static_cast<size_t>(x)])] += in[x];
        }
        uint8_t* out = picture.index.data() + static_cast<size_t>(th - 1 - ty) * tw;
        for (int tx = 0; tx < tw; ++tx) {
            const double count = static_cast<double>(rows) * block_width[static_cast<size_t>(tx)];
            const long mean = count > 0 ? std::lround(static_cast<double>(sums[static_cast<size_t>(tx)]) / count) : 0;
            out[tx] = table[static_cast<size_t>(mean + kValueOffset)];
        }
    }
}

std::string number_text(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

}  // namespace

uint8_t scale_pixel(const Scaling& s, double value) {
    const double x = std::clamp(value / s.divisor, s.low, s.high);
    const double bottom = stretched(s.stretch, s.low);
    const double fraction = (stretched(s.stretch, x) - bottom) / (stretched(s.stretch, s.high) - bottom);
    return static_cast<uint8_t>(std::clamp(std::floor(fraction * 255.0 + 0.5), 0.0, 255.0));
}

int16_t percentile_value(const std::vector<int16_t>& pixels, double percentile) {
    if (pixels.empty()) return 0;
    std::vector<uint32_t> histogram(kValueCount, 0);
    for (int16_t v : pixels) ++histogram[static_cast<size_t>(v + kValueOffset)];
    // The smallest value with at least that share of the pixels at or below it.
    const double wanted = std::max(1.0, std::ceil(percentile / 100.0 * static_cast<double>(pixels.size())));
    double seen = 0;
    for (int v = 0; v < kValueCount; ++v) {
        seen += histogram[static_cast<size_t>(v)];
        if (seen >= wanted) return static_cast<int16_t>(v - kValueOffset);
    }
    return static_cast<int16_t>(kValueCount - 1 - kValueOffset);
}

void make_pictures(const ProductInfo& info, const std::vector<int16_t>& pixels, PictureSet& set) {
    const PassbandDisplay* display = info.dark ? nullptr : find_passband_display(info.wavelength);
    Scaling& s = set.scaling;
    ColourTable colours = display ? colour_table(*display) : grey_table();
    if (display && info.exposure > 0) {
        s = {display->stretch, display->low, display->high, info.exposure};
        set.scaling_text = std::string(stretch_name(s.stretch)) + " " + number_text(s.low) + " to " +
                           number_text(s.high) + " DN/s, " + display->table_name + " colours";
    } else {
        const double low = percentile_value(pixels, kLowPercentile);
        const double high = std::max(low + 1, static_cast<double>(percentile_value(pixels, kHighPercentile)));
        s = {Stretch::linear, low, high, 1.0};
        set.scaling_text = "linear " + number_text(low) + " to " + number_text(high) + " DN (percentiles " +
                           number_text(kLowPercentile) + " to " + number_text(kHighPercentile) + "), " +
                           (display ? std::string(display->table_name) + " colours, exposure unknown"
                                    : std::string("grey"));
    }
    std::vector<uint8_t> table;
    index_table(s, table);
    full_picture(pixels, info.nx, info.ny, table, set.full);
    thumbnail_picture(pixels, info.nx, info.ny, table, set.thumbnail);
    set.full.colours = colours;
    set.thumbnail.colours = colours;
}

std::vector<std::pair<std::string, std::string>> picture_text(const ProductInfo& info, const PictureSet& set) {
    char exposure[32];
    std::snprintf(exposure, sizeof exposure, "%.3f s", info.exposure);
    return {
        {"Product", info.name + ".fits"},
        {"Time", info.time_text},
        {"Passband", info.wavelength > 0 ? std::to_string(info.wavelength) + " A" : "unknown"},
        {"Frame", info.dark ? "DARK" : "LIGHT"},
        {"Exposure", exposure},
        {"Despike", std::to_string(info.despike_count) + " (" + info.despike_params + ")"},
        {"Scaling", set.scaling_text},
        {"Software", "tavo_quicklook"},
    };
}

namespace {

// The libpng calls alone, so that its error jump skips no destructor.
bool encode_png(FILE* file, const Picture& picture, png_text* chunks, int chunk_count, png_bytep* rows,
                bool compress) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file);
    // Noise leaves deflate few long matches: Huffman coding of the
    // difference from the row above compresses about as well as a match
    // search, in a fraction of its time.
    if (compress) {
        png_set_compression_level(png, 1);
        png_set_compression_strategy(png, 2);  // Z_HUFFMAN_ONLY
        png_set_filter(png, 0, PNG_FILTER_UP);
    } else {
        png_set_compression_level(png, 0);
        png_set_filter(png, 0, PNG_FILTER_NONE);
    }
    png_set_IHDR(png, info, static_cast<png_uint_32>(picture.width), static_cast<png_uint_32>(picture.height), 8,
                 PNG_COLOR_TYPE_PALETTE, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_color palette[256];
    for (int i = 0; i < 256; ++i) {
        palette[i].red = picture.colours[static_cast<size_t>(3 * i)];
        palette[i].green = picture.colours[static_cast<size_t>(3 * i + 1)];
        palette[i].blue = picture.colours[static_cast<size_t>(3 * i + 2)];
    }
    png_set_PLTE(png, info, palette, 256);
    png_set_text(png, info, chunks, chunk_count);
    png_write_info(png, info);
    png_write_image(png, rows);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

bool write_png(const std::string& path, const Picture& picture,
               const std::vector<std::pair<std::string, std::string>>& text, std::string& error, bool compress) {
    std::vector<png_text> chunks(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        chunks[i] = {};
        chunks[i].compression = PNG_TEXT_COMPRESSION_NONE;
        chunks[i].key = const_cast<char*>(text[i].first.c_str());
        chunks[i].text = const_cast<char*>(text[i].second.c_str());
        chunks[i].text_length = text[i].second.size();
    }
    std::vector<png_bytep> rows(static_cast<size_t>(picture.height));
    for (int y = 0; y < picture.height; ++y) {
        rows[static_cast<size_t>(y)] =
            const_cast<png_bytep>(picture.index.data() + static_cast<size_t>(y) * picture.width);
    }
    // Written beside and renamed: no partial picture stays behind, and
    // nothing standing at the name is written through.
    tavo_tools::OutputFile file(path);
    if (!file.ok()) {
        error = file.error();
        return false;
    }
    const bool encoded = encode_png(file.stream(), picture, chunks.data(), static_cast<int>(chunks.size()),
                                    rows.data(), compress);
    if (!encoded) {
        error = "cannot write " + tavo_tools::printable(path);
        return false;
    }
    if (!file.commit()) {
        error = file.error();
        return false;
    }
    return true;
}

Picture placeholder_picture(int width, int height) {
    Picture p;
    p.width = std::max(width, 16);
    p.height = std::max(height, 16);
    p.index.assign(static_cast<size_t>(p.width) * p.height, 0);
    p.colours.fill(0);
    p.colours[0] = p.colours[1] = p.colours[2] = 48;  // index 0: dark grey; 1: red
    p.colours[3] = 220;
    p.colours[4] = p.colours[5] = 30;
    const int border = std::max(2, p.width / 64);
    for (int y = 0; y < p.height; ++y) {
        for (int x = 0; x < p.width; ++x) {
            const bool edge = x < border || y < border || x >= p.width - border || y >= p.height - border;
            const double u = static_cast<double>(x) / p.width, v = static_cast<double>(y) / p.height;
            const bool cross = std::abs(u - v) * p.width < border || std::abs(u + v - 1.0) * p.width < border;
            if (edge || cross) p.index[static_cast<size_t>(y) * p.width + x] = 1;
        }
    }
    return p;
}

}  // namespace quicklook
