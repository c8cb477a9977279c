// Decoding of the telemetry fields of the image header packet and their
// HIERARCH cards.
#include <cstring>

#include "fits/fits.h"

namespace {

uint32_t read_container(const uint8_t* packet, int byte, int container_bits) {
    if (container_bits == 8) return read_be8(packet, byte);
    if (container_bits == 16) return read_be16(packet, byte);
    return read_be32(packet, byte);
}

}  // namespace

int64_t decode_telemetry_field(const uint8_t* packet, const TelemetryField& field) {
    const int container = field.container_bits == 8 || field.container_bits == 16 ? field.container_bits : 32;
    uint32_t value = read_container(packet, field.bit / 8, container);
    if (field.width != container) {
        const int shift = container - field.bit % 8 - field.width;
        value = (value >> shift) & ((1u << field.width) - 1u);
    }
    if (!field.is_signed) return value;
    // Signed fields fill their containers: extend the container's top bit.
    if (container == 8) return static_cast<int8_t>(value);
    if (container == 16) return static_cast<int16_t>(value);
    return static_cast<int32_t>(value);
}

const TelemetryField* find_telemetry_field(const char* keyword) {
    for (const TelemetryField& field : telemetry_fields) {
        if (std::strcmp(field.keyword, keyword) == 0) return &field;
    }
    return nullptr;
}

int64_t telemetry_value(const uint8_t* packet, const char* keyword) {
    return decode_telemetry_field(packet, *find_telemetry_field(keyword));
}

size_t telemetry_field_offset(const char* keyword) { return find_telemetry_field(keyword)->bit / 8; }

namespace {

// Writes the decimal digits of value at out; returns the count written.
int put_decimal(char* out, uint32_t value) {
    char digits[10];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (int i = 0; i < count; ++i) out[i] = digits[count - 1 - i];
    return count;
}

constexpr char kCardPrefix[] = "HIERARCH ";
constexpr char kValueIndicator[] = " = ";

}  // namespace

// Formats "HIERARCH %s = %+d" / "= %u" by hand: this runs 450 times for every
// image, and the widest card text is 9 + 27 + 3 + 11 = 50 characters.
void format_telemetry_card(const uint8_t* packet, const TelemetryField& field, char* card) {
    std::memset(card, ' ', kCardBytes);
    char* out = card;
    std::memcpy(out, kCardPrefix, sizeof kCardPrefix - 1);
    out += sizeof kCardPrefix - 1;
    const size_t keyword_length = std::strlen(field.keyword);
    std::memcpy(out, field.keyword, keyword_length);
    out += keyword_length;
    std::memcpy(out, kValueIndicator, sizeof kValueIndicator - 1);
    out += sizeof kValueIndicator - 1;
    const int64_t value = decode_telemetry_field(packet, field);
    if (field.is_signed) {
        *out++ = value < 0 ? '-' : '+';
        // The magnitude of a 32-bit value, -2147483648 included, fits 32 bits.
        put_decimal(out, static_cast<uint32_t>(value < 0 ? -value : value));
    } else {
        put_decimal(out, static_cast<uint32_t>(value));
    }
}
