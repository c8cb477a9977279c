// One CSV row per product: the primary header is read back and every keyword
// card from IMG_TIME up to END becomes one field.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "base/base.h"
#include "fits/fits.h"
#include "isp/isp.h"

namespace {

// Only columns 1 to 79 of a card are looked at; column 80 ends its text.
constexpr size_t kCardTextBytes = kCardBytes - 1;
constexpr size_t kPathCapacity = 512;
constexpr int kNotFound = -1;

// The cards a row needs, compared over their first nine characters.
enum RowKeyword : int { KEY_NAXIS1 = 0, KEY_NAXIS2, KEY_IMG_TIME, KEY_END, kRowKeywordCount };

constexpr const char* kRowKeywordPrefixes[kRowKeywordCount] = {"NAXIS1  =", "NAXIS2  =", "IMG_TIME ", "END      "};
constexpr const char* kMissingKeywordMessages[kRowKeywordCount] = {
    "ISP ERROR - Unable to find NAXIS1 keyword in %s\n",
    "ISP ERROR - Unable to find NAXIS2 keyword in %s\n",
    "ISP ERROR - Unable to find IMG_TIME keyword in %s\n",
    "ISP ERROR - Unable to find END keyword in %s\n",
};

constexpr const char* kHeadingStart = "FITS_NAME,COLS,ROWS";

// The primary header of the product being read; reused for every product.
char header_block[kPrimaryHeaderBytes];

const char* card_at(int index) { return header_block + static_cast<size_t>(index) * kCardBytes; }

// Position of the first "=" in the card's text, or nullptr.
const char* find_equals(const char* card) {
    return static_cast<const char*>(std::memchr(card, '=', kCardTextBytes));
}

bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool read_header_block(const char* product_path, char* run_message) {
    FileHandle product(std::fopen(product_path, "rb"));
    if (!product) {
        set_run_message(run_message, "ISP ERROR - failed to open input %s\n", product_path);
        return false;
    }
    if (std::fread(header_block, 1, sizeof header_block, product.get()) != sizeof header_block) {
        set_run_message(run_message, "ISP ERROR - failed to read FITS header from %s\n", product_path);
        return false;
    }
    return true;
}

// Card index of each row keyword, the first card that matches.
bool find_row_keywords(int (&positions)[kRowKeywordCount], const char* product_path, char* run_message) {
    find_header_cards(header_block, kPrimaryHeaderCards, kRowKeywordPrefixes, kRowKeywordCount, positions);
    for (int key = 0; key < kRowKeywordCount; ++key) {
        if (positions[key] == kNotFound) {
            set_run_message(run_message, kMissingKeywordMessages[key], product_path);
            return false;
        }
    }
    return true;
}

// The decimal number from column 26 on, leading blanks skipped.
int32_t naxis_value(const char* card) { return read_card_integer(card, kCardValueColumn, kCardTextBytes); }

bool write_text(FILE* csv, const char* text, size_t length) {
    return std::fwrite(text, 1, length, csv) == length;
}

// The keyword name: the last run of non-blank characters before the "=".
bool write_heading_name(FILE* csv, const char* card, const char* equals) {
    const char* end = equals;
    while (end > card && end[-1] == ' ') --end;
    const char* begin = end;
    while (begin > card && begin[-1] != ' ') --begin;
    return write_text(csv, ",", 1) && write_text(csv, begin, static_cast<size_t>(end - begin));
}

bool write_heading_row(FILE* csv, int first_card, int end_card) {
    bool ok = write_text(csv, kHeadingStart, std::strlen(kHeadingStart));
    for (int index = first_card; index < end_card && ok; ++index) {
        const char* card = card_at(index);
        const char* equals = find_equals(card);
        if (equals != nullptr && is_letter(card[0])) ok = write_heading_name(csv, card, equals);
    }
    return ok && write_text(csv, "\n", 1);
}

// The value after the "=": a quoted string through its closing quote,
// anything else up to the first blank (which drops a "/" comment).
bool write_value_field(FILE* csv, const char* card, const char* equals) {
    const char* card_end = card + kCardTextBytes;
    const char* begin = equals + 1;
    while (begin < card_end && *begin == ' ') ++begin;
    const char* end = begin;
    if (begin < card_end && *begin == '\'') {
        const char* closing = static_cast<const char*>(std::memchr(begin + 1, '\'', static_cast<size_t>(card_end - begin - 1)));
        end = card_end;
        if (closing != nullptr) {
            end = closing + 1;
        } else {
            while (end > begin + 1 && end[-1] == ' ') --end;  // an unclosed string keeps no padding
        }
    } else {
        while (end < card_end && *end != ' ') ++end;
    }
    return write_text(csv, ",", 1) && write_text(csv, begin, static_cast<size_t>(end - begin));
}

// The entry without its hour directory ("Hhh00" and the separator).
const char* product_file_name(const char* entry) {
    constexpr size_t kHourDirectoryLength = 5;
    if (std::strlen(entry) > kHourDirectoryLength && entry[kHourDirectoryLength] == run_settings.path_separator) {
        return entry + kHourDirectoryLength + 1;
    }
    return entry;
}

bool write_product_row(FILE* csv, const char* entry, const int (&positions)[kRowKeywordCount]) {
    bool ok = std::fprintf(csv, "%s,%d,%d", product_file_name(entry), naxis_value(card_at(positions[KEY_NAXIS1])),
                           naxis_value(card_at(positions[KEY_NAXIS2]))) >= 0;
    for (int index = positions[KEY_IMG_TIME]; index < positions[KEY_END] && ok; ++index) {
        const char* card = card_at(index);
        const char* equals = find_equals(card);
        if (equals != nullptr) ok = write_value_field(csv, card, equals);
    }
    return ok && write_text(csv, "\n", 1);
}

}  // namespace

bool append_isp_row(const char* csv_path, const char* day_directory, const char* entry, bool first_entry,
                    char* run_message) {
    run_message[0] = '\0';
    char product_path[kPathCapacity];
    const int length = std::snprintf(product_path, sizeof product_path, "%s%s", day_directory, entry);
    if (length < 0 || static_cast<size_t>(length) >= sizeof product_path) {
        // Not openable under its full name; report it as the open failure.
        set_run_message(run_message, "ISP ERROR - failed to open input %s%s\n", day_directory, entry);
        return false;
    }
    if (!read_header_block(product_path, run_message)) return false;
    int positions[kRowKeywordCount];
    if (!find_row_keywords(positions, product_path, run_message)) return false;

    FileHandle csv(open_append_stream(csv_path));
    if (!csv) {
        set_run_message(run_message, "ISP ERROR - failed to append to output file %s\n", csv_path);
        return false;
    }
    bool written = !first_entry || write_heading_row(csv.get(), positions[KEY_IMG_TIME], positions[KEY_END]);
    written = written && write_product_row(csv.get(), entry, positions);
    // The close flushes the row: a failure there is a lost row as well.
    const bool closed = std::fclose(csv.release()) == 0;
    if (!written || !closed) {
        set_run_message(run_message, "ERROR - Failed to write to file %s", csv_path);
        return false;
    }
    return true;
}
