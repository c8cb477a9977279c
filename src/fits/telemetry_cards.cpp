// Decoding of the telemetry fields of the image header packet and their
// HIERARCH cards.
#include <cstdio>
#include <cstring>

#include "fits/fits.h"

uint32_t packet_u8(const uint8_t* packet, int byte) { return packet[byte]; }

uint32_t packet_u16(const uint8_t* packet, int byte) {
    return (static_cast<uint32_t>(packet[byte]) << 8) | packet[byte + 1];
}

uint32_t packet_u32(const uint8_t* packet, int byte) {
    return (static_cast<uint32_t>(packet[byte]) << 24) | (static_cast<uint32_t>(packet[byte + 1]) << 16) |
           (static_cast<uint32_t>(packet[byte + 2]) << 8) | packet[byte + 3];
}

namespace {

uint32_t read_container(const uint8_t* packet, int byte, int container_bits) {
    if (container_bits == 8) return packet_u8(packet, byte);
    if (container_bits == 16) return packet_u16(packet, byte);
    return packet_u32(packet, byte);
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

void format_telemetry_card(const uint8_t* packet, const TelemetryField& field, char* card) {
    // The widest card text is 9 + 27 + 3 + 11 = 50 characters.
    char text[kCardBytes + 1];
    const int64_t value = decode_telemetry_field(packet, field);
    int length;
    if (field.is_signed) {
        length = std::snprintf(text, sizeof text, "HIERARCH %s = %+d", field.keyword, static_cast<int>(value));
    } else {
        length = std::snprintf(text, sizeof text, "HIERARCH %s = %u", field.keyword, static_cast<unsigned>(value));
    }
    if (length < 0) length = 0;
    if (length > kCardBytes) length = kCardBytes;
    std::memcpy(card, text, static_cast<size_t>(length));
    std::memset(card + length, ' ', static_cast<size_t>(kCardBytes - length));
}
