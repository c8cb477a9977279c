// Despike of one FITS product: reads the header and image back, finds the
// spikes on a pedestal-padded copy, and replaces the file by its despiked
// form with the DESPIKE cards filled in and the spike tables appended.
//
// The new file is written completely under a temporary name beside the
// product and renamed over it only once every write and the close have
// succeeded, so a failure never leaves a truncated product behind.
#include "despike/despike.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "base/base.h"
#include "fits/fits.h"
#include "layout/layout.h"

namespace {

constexpr int kHeaderBytes = kPrimaryHeaderBytes;  // the product's fixed primary header
constexpr int kMinProductSide = 10;
constexpr int kMaxProductSide = 1396;
constexpr int kBorder = 2;  // pedestal rows and columns on each side
constexpr int kMaxPaddedSide = kMaxProductSide + 2 * kBorder;
constexpr int kMaxProductPixels = kMaxProductSide * kMaxProductSide;
constexpr int kHistogramBins = 16384;  // low 14 bits of a pixel
constexpr int kMaxPedestal = kHistogramBins - 1;
constexpr int kDespikePasses = 3;
constexpr float kFracDefault = 0.7f;
constexpr float kFracOpenLight = 0.9f;  // light 1x1 frames through apertures 2 and 4
constexpr int kParamsValueBytes = 50;   // DESPIKE_PARAMS value, columns 27-76
constexpr int kParamsValueOffset = 26;
constexpr int kCountOffset = 23;        // DESPIKE count, columns 24-30
constexpr int kCountWidth = 7;
constexpr int kSummDigitOffset = 11;    // SUMM '<digit>x...' from column 11
constexpr int kAsSignOffset = 10;       // ASSTATUS sign in column 11
constexpr int kFrameLetterOffset = 22;  // FRAMETYPE first letter in column 23
constexpr int kTableChunk = 8192;       // table rows converted per write
constexpr size_t kPathCapacity = 4096;

enum Keyword : int {
    KEY_NAXIS1 = 0,
    KEY_NAXIS2,
    KEY_DESPIKE,
    KEY_DESPIKE_PARAMS,
    KEY_SUMM,
    KEY_ASSTATUS,
    KEY_FRAMETYPE,
    kKeywordCount
};

// Compared over their full length, in this order.
constexpr const char* kKeywordPrefixes[kKeywordCount] = {
    "NAXIS1  =", "NAXIS2  =", "DESPIKE =", "HIERARCH DESPIKE_PARAMS =",
    "SUMM    =", "ASSTATUS=", "HIERARCH FRAMETYPE =",
};

// Working buffers, sized for the largest accepted image and reused.
uint8_t header_block[kHeaderBytes];
uint8_t original_header[kHeaderBytes];  // the header as first written, put back when a patch fails
uint8_t data_bytes[kMaxProductPixels * 2];
int16_t padded_image[kMaxPaddedSide * kMaxPaddedSide];
uint32_t histogram[kHistogramBins];
uint8_t table_bytes[kTableChunk * 4];

// Removes the temporary file on every path that does not hand it over.
struct TemporaryFile {
    const char* path = nullptr;
    ~TemporaryFile() {
        if (path != nullptr) unlink(path);
    }
};

void log_warning(const char* format, ...) __attribute__((format(printf, 1, 2)));
void log_warning(const char* format, ...) {
    char message[kRunMessageCapacity];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    write_log_line(message);
}

// What the header scan found.
struct ProductHeader {
    int card[kKeywordCount];  // byte offset of each keyword's card, -1 when missing
    int nx = 0;
    int ny = 0;
    int binning = 0;          // 1, 2, 4 or 8; 0 when invalid
    int aperture_status = -1; // 0 to 5; -1 when none
    char frame_letter = 0;    // column 23 of FRAMETYPE
    bool light_frame = false;
    bool dark_frame = false;
};

// Byte offset of each keyword's card in the header, -1 when missing.
void find_keyword_cards(const uint8_t* block, ProductHeader& header) {
    find_header_cards(reinterpret_cast<const char*>(block), kPrimaryHeaderCards, kKeywordPrefixes, kKeywordCount,
                      header.card);
    for (int& card : header.card) {
        if (card >= 0) card *= kCardBytes;
    }
}

// A NAXISn value, from column 26 to the card's end.
int read_size_card(const uint8_t* card) {
    return read_card_integer(reinterpret_cast<const char*>(card), kCardValueColumn, kCardBytes);
}

void read_header_values(const uint8_t* block, ProductHeader& header) {
    if (header.card[KEY_NAXIS1] >= 0) header.nx = read_size_card(block + header.card[KEY_NAXIS1]);
    if (header.card[KEY_NAXIS2] >= 0) header.ny = read_size_card(block + header.card[KEY_NAXIS2]);
    if (header.card[KEY_SUMM] >= 0) {
        const uint8_t* card = block + header.card[KEY_SUMM];
        const uint8_t digit = card[kSummDigitOffset];
        if ((digit == '1' || digit == '2' || digit == '4' || digit == '8') &&
            card[kSummDigitOffset + 1] == 'x') {
            header.binning = digit - '0';
        }
    }
    if (header.card[KEY_ASSTATUS] >= 0) {
        const uint8_t* card = block + header.card[KEY_ASSTATUS];
        if (card[kAsSignOffset] == '+' && card[kAsSignOffset + 1] >= '0' &&
            card[kAsSignOffset + 1] <= '5') {
            header.aperture_status = card[kAsSignOffset + 1] - '0';
        }
    }
    if (header.card[KEY_FRAMETYPE] >= 0) {
        header.frame_letter = static_cast<char>(block[header.card[KEY_FRAMETYPE] + kFrameLetterOffset]);
        header.light_frame = header.frame_letter == 'L';
        header.dark_frame = header.frame_letter == 'D';
    }
}

// Logs the warning of the last failing check; true when the product can be
// despiked.
bool check_header(const ProductHeader& header, const char* path) {
    const char* failure = nullptr;
    if (header.card[KEY_NAXIS1] < 0) failure = "DESPIKE WARNING - Unable to find NAXIS1 keyword in %s\n";
    if (header.card[KEY_NAXIS2] < 0) failure = "DESPIKE WARNING - Unable to find NAXIS2 keyword in %s\n";
    if (header.card[KEY_DESPIKE] < 0) failure = "DESPIKE WARNING - Unable to find DESPIKE keyword in %s\n";
    if (header.card[KEY_DESPIKE_PARAMS] < 0) {
        failure = "DESPIKE WARNING - Unable to find DESPIKE_PARAMS keyword in %s\n";
    }
    if (header.card[KEY_SUMM] < 0) {
        failure = "DESPIKE WARNING - Unable to find SUMM keyword in %s\n";
    } else if (header.binning == 0) {
        failure = "DESPIKE WARNING - Invalid binning size for SUMM in %s\n";
    }
    if (header.card[KEY_ASSTATUS] < 0) failure = "DESPIKE WARNING - Unable to find ASSTATUS keyword in %s\n";
    if (header.card[KEY_FRAMETYPE] < 0) {
        failure = "DESPIKE WARNING - Unable to find FRAMETYPE keyword in %s\n";
    } else if (!header.light_frame && !header.dark_frame) {
        // A control byte would spoil the log line; it is shown as '?'.
        const char letter = header.frame_letter >= ' ' && header.frame_letter <= '~' ? header.frame_letter : '?';
        log_warning("DESPIKE WARNING - Invalid value for FRAMETYPE %c in %s\n", letter, path);
        return false;
    }
    if (failure != nullptr) {
        log_warning(failure, path);
        return false;
    }
    return true;
}

// Converts the big-endian data into the interior of the padded image and
// counts every pixel in the histogram of its low 14 bits.
void unpack_image(int nx, int ny) {
    std::memset(histogram, 0, sizeof histogram);
    const int width = nx + 2 * kBorder;
    const uint8_t* in = data_bytes;
    for (int r = 0; r < ny; ++r) {
        int16_t* out = padded_image + static_cast<size_t>(r + kBorder) * width + kBorder;
        for (int c = 0; c < nx; ++c, in += 2) {
            const int16_t value = static_cast<int16_t>((in[0] << 8) | in[1]);
            out[c] = value;
            ++histogram[static_cast<uint16_t>(value) & (kHistogramBins - 1)];
        }
    }
}

// One more than the lowest value at which the cumulative count reaches
// pixels * 0.001 + 1.5 (truncated), at most 16,383.
int histogram_pedestal(int pixels) {
    const uint64_t threshold = static_cast<uint64_t>(pixels * 0.001 + 1.5);
    uint64_t sum = 0;
    int k = 0;
    while (k < kMaxPedestal && sum < threshold) sum += histogram[k++];
    return k;
}

void fill_border(int nx, int ny, int16_t pedestal) {
    const int width = nx + 2 * kBorder;
    const int height = ny + 2 * kBorder;
    for (int r = 0; r < height; ++r) {
        int16_t* row = padded_image + static_cast<size_t>(r) * width;
        if (r < kBorder || r >= height - kBorder) {
            for (int c = 0; c < width; ++c) row[c] = pedestal;
        } else {
            row[0] = row[1] = pedestal;
            row[width - 2] = row[width - 1] = pedestal;
        }
    }
}

// The product's own pixel index of a padded-image address, or -1 for one on
// the pedestal border.
int64_t product_pixel(int32_t address, int nx, int ny) {
    const int width = nx + 2 * kBorder;
    const int row = address / width - kBorder;
    const int column = address % width - kBorder;
    if (row < 0 || row >= ny || column < 0 || column >= nx) return -1;
    return static_cast<int64_t>(row) * nx + column;
}

// A pixel value in file byte order.
void put_pixel(uint8_t* out, int16_t value) {
    out[0] = static_cast<uint8_t>(static_cast<uint16_t>(value) >> 8);
    out[1] = static_cast<uint8_t>(value);
}

// The despiked image in file byte order: the data as read with each
// replaced pixel's final value written in (every other pixel is as read).
void patch_spikes(int nx, int ny, const int32_t* addresses, const int16_t* values, int32_t count) {
    for (int32_t i = 0; i < count; ++i) {
        const int64_t pixel = product_pixel(addresses[i], nx, ny);
        if (pixel >= 0) put_pixel(data_bytes + 2 * pixel, values[i]);
    }
}

void fill_header_cards(const ProductHeader& header, int32_t spike_count, float frac, int pedestal) {
    char text[kParamsValueBytes * 2];
    std::snprintf(text, sizeof text, "%*d", kCountWidth, static_cast<int>(spike_count));
    std::memcpy(header_block + header.card[KEY_DESPIKE] + kCountOffset, text, kCountWidth);

    const char* label = despike_label(run_settings.param_number[PARAM_DESPIKE] == 1);
    const int length = std::snprintf(text, sizeof text, "'%s nx=%d ny=%d frac=%.1f ped=%d niter=%d'", label,
                                     header.nx, header.ny, static_cast<double>(frac), pedestal,
                                     kDespikePasses);
    uint8_t* value = header_block + header.card[KEY_DESPIKE_PARAMS] + kParamsValueOffset;
    std::memset(value, ' ', kParamsValueBytes);
    std::memcpy(value, text, length < kParamsValueBytes ? length : kParamsValueBytes);
}

bool write_bytes(FILE* file, const void* bytes, size_t length) {
    return length == 0 || std::fwrite(bytes, 1, length, file) == length;
}

// Zero bytes that bring a part of `length` bytes to a whole number of blocks.
bool write_block_padding(FILE* file, size_t length) {
    static const uint8_t zeros[kFitsBlockBytes] = {};
    return write_bytes(file, zeros, fits_block_padding(length));
}

// One binary-table header block: the cards, each padded to 80 columns, then
// blank cards to 36.
bool write_table_header(FILE* file, int row_bytes, int32_t rows, const char* ttype_card,
                        const char* tform_card, const char* extname_card) {
    char block[kFitsBlockBytes];
    std::memset(block, ' ', sizeof block);
    char naxis1[kCardBytes + 1];
    char naxis2[kCardBytes + 1];
    std::snprintf(naxis1, sizeof naxis1, "NAXIS1  =                    %d / width of table in bytes", row_bytes);
    std::snprintf(naxis2, sizeof naxis2, "NAXIS2  =              %7d / number of rows in table",
                  static_cast<int>(rows));
    const char* cards[] = {
        "XTENSION= 'BINTABLE'           / binary table extension",
        "BITPIX  =                    8 / 8-bit bytes",
        "NAXIS   =                    2 / 2-dimensional binary table",
        naxis1,
        naxis2,
        "PCOUNT  =                    0 / size of special data area",
        "GCOUNT  =                    1 / one data group (required keyword)",
        "TFIELDS =                    1 / number of fields in each row",
        ttype_card,
        tform_card,
        extname_card,
        "END",
    };
    int offset = 0;
    for (const char* card : cards) {
        std::memcpy(block + offset, card, std::strlen(card));
        offset += kCardBytes;
    }
    return write_bytes(file, block, sizeof block);
}

// The SPIKELOCS table: each padded address as the product's own index.
bool write_spike_locations(FILE* file, const ProductHeader& header, const int32_t* addresses, int32_t count,
                           const char* path) {
    if (!write_table_header(file, 4, count, "TTYPE1  = 'Address'            / label for field 1",
                            "TFORM1  = '1J      '           / data format of field: 4-byte INTEGER",
                            "EXTNAME = 'SPIKELOCS'          / name of this binary table extension")) {
        return false;
    }
    const uint32_t width = static_cast<uint32_t>(header.nx + 2 * kBorder);
    for (int32_t first = 0; first < count; first += kTableChunk) {
        const int32_t rows = count - first < kTableChunk ? count - first : kTableChunk;
        for (int32_t i = 0; i < rows; ++i) {
            const uint32_t v = static_cast<uint32_t>(addresses[first + i]);
            const int padded_row = static_cast<int>(v / width);
            const int padded_col = static_cast<int>(v % width);
            uint32_t index = 0;
            if (padded_row < kBorder || padded_row > header.ny + 1 || padded_col < kBorder ||
                padded_col > header.nx + 1) {
                log_warning("DESPIKE WARNING - bad SPIKELOC v=%d, v_r=%d, v_c=%d in %s\n",
                            static_cast<int>(v), padded_row, padded_col, path);
            } else {
                index = static_cast<uint32_t>((padded_row - kBorder) * header.nx + (padded_col - kBorder));
            }
            uint8_t* out = table_bytes + 4 * i;
            out[0] = static_cast<uint8_t>(index >> 24);
            out[1] = static_cast<uint8_t>(index >> 16);
            out[2] = static_cast<uint8_t>(index >> 8);
            out[3] = static_cast<uint8_t>(index);
        }
        if (!write_bytes(file, table_bytes, static_cast<size_t>(rows) * 4)) return false;
    }
    return write_block_padding(file, static_cast<size_t>(count) * 4);
}

// The OLDVALS (DESPIKE=YES) or NEWVALS (NO) table.
bool write_spike_values(FILE* file, bool despiked, const int16_t* values, int32_t count) {
    const bool ok = despiked
                        ? write_table_header(file, 2, count, "TTYPE1  = 'Old_vals'           / label for field 1",
                                             "TFORM1  = '1I      '           / data format of field: 2-byte INTEGER",
                                             "EXTNAME = 'OLDVALS'            / name of this binary table extension")
                        : write_table_header(file, 2, count, "TTYPE1  = 'New_vals'           / label for field 1",
                                             "TFORM1  = '1I      '           / data format of field: 2-byte INTEGER",
                                             "EXTNAME = 'NEWVALS'            / name of this binary table extension");
    if (!ok) return false;
    for (int32_t first = 0; first < count; first += kTableChunk) {
        const int32_t rows = count - first < kTableChunk ? count - first : kTableChunk;
        for (int32_t i = 0; i < rows; ++i) {
            const uint16_t value = static_cast<uint16_t>(values[first + i]);
            table_bytes[2 * i] = static_cast<uint8_t>(value >> 8);
            table_bytes[2 * i + 1] = static_cast<uint8_t>(value);
        }
        if (!write_bytes(file, table_bytes, static_cast<size_t>(rows) * 2)) return false;
    }
    return write_block_padding(file, static_cast<size_t>(count) * 2);
}

struct SpikeList {
    int32_t count = 0;
    std::unique_ptr<int32_t[]> addresses;
    std::unique_ptr<int16_t[]> old_values;
    std::unique_ptr<int16_t[]> new_values;
};

// Writes the whole new product to `file`: header, data, and the tables when
// there are spikes.
bool write_product(FILE* file, const ProductHeader& header, const SpikeList& spikes, size_t data_length,
                   const char* path) {
    const bool despiked = run_settings.param_number[PARAM_DESPIKE] == 1;
    if (!write_bytes(file, header_block, kHeaderBytes) || !write_bytes(file, data_bytes, data_length) ||
        !write_block_padding(file, kHeaderBytes + data_length)) {
        return false;
    }
    if (spikes.count == 0) return true;
    return write_spike_locations(file, header, spikes.addresses.get(), spikes.count, path) &&
           write_spike_values(file, despiked, despiked ? spikes.old_values.get() : spikes.new_values.get(),
                              spikes.count);
}

// Replaces the product by its new form through a temporary file beside it.
bool replace_product(const ProductHeader& header, const SpikeList& spikes, size_t data_length,
                     const char* path) {
    char temporary_path[kPathCapacity];
    if (!format_temporary_path(path, kDespikeTemporarySuffix, temporary_path, sizeof temporary_path)) return false;
    FileHandle file(create_output_stream(temporary_path));
    if (!file) return false;
    TemporaryFile temporary{temporary_path};
    if (!write_product(file.get(), header, spikes, data_length, path)) return false;
    if (std::fclose(file.release()) != 0) return false;
    if (std::rename(temporary_path, path) != 0) return false;
    temporary.path = nullptr;
    return true;
}

// Reads the product at file_path, finds its spikes and fills in the header
// cards in the work buffers (the header as read kept in original_header).
// Warnings name the product as product_path. False when the product stays
// as it is.
bool despike_buffers(const char* file_path, const char* product_path, ProductHeader& header, SpikeList& spikes,
                     size_t& data_length) {
    const char* path = product_path;
    {
        FileHandle input(std::fopen(file_path, "rb"));
        if (!input) {
            log_warning("DESPIKE WARNING - failed to open input %s\n", path);
            return false;
        }
        if (std::fread(header_block, 1, kHeaderBytes, input.get()) != static_cast<size_t>(kHeaderBytes)) {
            log_warning("DESPIKE WARNING - failed to read FITS header from %s\n", path);
            return false;
        }
        find_keyword_cards(header_block, header);
        read_header_values(header_block, header);
        if (!check_header(header, path)) return false;
        if (header.nx < kMinProductSide || header.nx > kMaxProductSide || header.ny < kMinProductSide ||
            header.ny > kMaxProductSide) {
            log_warning("DESPIKE WARNING - bad col or row size (%dx%d) from %s\n", header.nx, header.ny, path);
            return false;
        }
        const int expected = header.nx * header.ny;
        data_length = std::fread(data_bytes, 1, static_cast<size_t>(expected) * 2, input.get());
        const int pixels = static_cast<int>(data_length / 2);
        if (pixels != expected) {
            log_warning("DESPIKE WARNING - missing data, got %d pixels, expected (%dx%d=%d) from %s\n", pixels,
                        header.nx, header.ny, expected, path);
            return false;
        }
    }

    const int nx = header.nx;
    const int ny = header.ny;
    unpack_image(nx, ny);
    const int pedestal = histogram_pedestal(nx * ny);
    fill_border(nx, ny, static_cast<int16_t>(pedestal));

    const float frac = header.light_frame && header.binning == 1 &&
                               (header.aperture_status == 2 || header.aperture_status == 4)
                           ? kFracOpenLight
                           : kFracDefault;
    int32_t* addresses = nullptr;
    int16_t* old_values = nullptr;
    int16_t* new_values = nullptr;
    const int status = despike_image(padded_image, nx + 2 * kBorder, ny + 2 * kBorder, frac,
                                     static_cast<float>(pedestal), kDespikePasses, spikes.count, addresses,
                                     old_values, new_values);
    spikes.addresses.reset(addresses);
    spikes.old_values.reset(old_values);
    spikes.new_values.reset(new_values);
    if (status != 0) {
        // Only memory can fail here; the product keeps its undespiked form
        // and says so ('Despike not yet run').
        log_warning("DESPIKE WARNING - insufficient memory to despike %s\n", path);
        return false;
    }

    std::memcpy(original_header, header_block, kHeaderBytes);
    fill_header_cards(header, spikes.count, frac, pedestal);
    return true;
}

bool write_at(int fd, const void* bytes, size_t length, off_t offset) {
    const char* next = static_cast<const char*>(bytes);
    while (length > 0) {
        const ssize_t written = pwrite(fd, next, length, offset);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        next += written;
        length -= static_cast<size_t>(written);
        offset += written;
    }
    return true;
}

// Writes the product's new form into the file itself: the spike tables
// after its data, the replaced pixels, then the header. Only for a file no
// reader sees yet. On a failure the first form is put back.
bool patch_product(const char* file_path, const char* product_path, const ProductHeader& header,
                   const SpikeList& spikes, size_t data_length) {
    FileHandle file(reopen_output_stream(file_path));
    if (!file) return false;
    const size_t first_length = kHeaderBytes + data_length + fits_block_padding(kHeaderBytes + data_length);
    const bool despiked = run_settings.param_number[PARAM_DESPIKE] == 1;
    const int fd = fileno(file.get());
    // Only the replaced pixels differ from the data as first written.
    const auto write_pixels = [&](const int16_t* values) {
        for (int32_t i = 0; i < spikes.count; ++i) {
            const int64_t pixel = product_pixel(spikes.addresses[i], header.nx, header.ny);
            if (pixel < 0) continue;
            uint8_t bytes[2];
            put_pixel(bytes, values[i]);
            if (!write_at(fd, bytes, sizeof bytes, static_cast<off_t>(kHeaderBytes + 2 * pixel))) return false;
        }
        return true;
    };
    bool written = std::fseek(file.get(), static_cast<long>(first_length), SEEK_SET) == 0;
    if (written && spikes.count > 0) {
        written = write_spike_locations(file.get(), header, spikes.addresses.get(), spikes.count, product_path) &&
                  write_spike_values(file.get(), despiked, despiked ? spikes.old_values.get() : spikes.new_values.get(),
                                     spikes.count);
    }
    written = written && std::fflush(file.get()) == 0;
    if (written && despiked) written = write_pixels(spikes.new_values.get());
    written = written && write_at(fd, header_block, kHeaderBytes, 0);
    if (written && std::fclose(file.release()) == 0) return true;
    if (file) {
        write_at(fd, original_header, kHeaderBytes, 0);
        if (despiked) write_pixels(spikes.old_values.get());
        if (ftruncate(fd, static_cast<off_t>(first_length)) != 0) return false;
    }
    return false;
}

}  // namespace

void despike_product(const char* path) {
    ProductHeader header;
    SpikeList spikes;
    size_t data_length = 0;
    if (!despike_buffers(path, path, header, spikes, data_length)) return;
    if (run_settings.param_number[PARAM_DESPIKE] == 1) {
        patch_spikes(header.nx, header.ny, spikes.addresses.get(), spikes.new_values.get(), spikes.count);
    }
    if (!replace_product(header, spikes, data_length, path)) {
        log_warning("DESPIKE WARNING - failed to overwrite output %s\n", path);
    }
}

void despike_new_product(const char* file_path, const char* product_path) {
    ProductHeader header;
    SpikeList spikes;
    size_t data_length = 0;
    if (!despike_buffers(file_path, product_path, header, spikes, data_length)) return;
    if (!patch_product(file_path, product_path, header, spikes, data_length)) {
        log_warning("DESPIKE WARNING - failed to overwrite output %s\n", product_path);
    }
}
