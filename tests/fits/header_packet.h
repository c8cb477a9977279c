// Hand-built image header packets for the FITS tests: fields are placed at
// their byte offsets, big-endian, independently of the field table.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

namespace fits_test {

constexpr int kPacketBytes = 8200;

struct HeaderPacket {
    uint8_t bytes[kPacketBytes];

    HeaderPacket() { std::memset(bytes, 0, sizeof bytes); }
    HeaderPacket& u8(int byte, uint32_t value) {
        bytes[byte] = static_cast<uint8_t>(value);
        return *this;
    }
    HeaderPacket& u16(int byte, uint32_t value) {
        bytes[byte] = static_cast<uint8_t>(value >> 8);
        bytes[byte + 1] = static_cast<uint8_t>(value);
        return *this;
    }
    HeaderPacket& u32(int byte, uint32_t value) {
        for (int i = 0; i < 4; ++i) bytes[byte + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
        return *this;
    }
    // The fields the derivations read, at their byte offsets.
    HeaderPacket& flight_model(uint32_t fm) { return u8(18, fm << 1); }
    HeaderPacket& image_type(uint32_t v) { return u16(26, v); }
    HeaderPacket& size(uint32_t columns, uint32_t rows) { return u16(42, columns).u16(40, rows); }
    HeaderPacket& commanded_ms(uint32_t ms) { return u32(72, ms); }
    HeaderPacket& window(uint32_t srow, uint32_t erow, uint32_t scol, uint32_t ecol) {
        return u16(76, srow).u16(78, erow).u16(80, scol).u16(82, ecol);
    }
    HeaderPacket& frame_type(uint32_t v) { return u8(84, v); }
    HeaderPacket& summing(uint32_t v) { return u8(86, v); }
    HeaderPacket& aperture(uint32_t a) { return u8(46, a << 2); }
    HeaderPacket& wheel1(uint32_t p) { return u16(266, p << 7); }
    HeaderPacket& wheel2(uint32_t p) { return u16(290, p << 7); }
    HeaderPacket& guide_errors(int32_t y, int32_t z) {
        return u32(312, static_cast<uint32_t>(y)).u32(316, static_cast<uint32_t>(z));
    }
    HeaderPacket& flags(uint32_t word) { return u32(412, word); }
    // Shutter pair i (0 BC, 1 BOT, 2 TC, 3 TOP): close and open times in us.
    HeaderPacket& shutter(int pair, uint32_t close, uint32_t open) {
        static constexpr int kClose[4] = {564, 572, 616, 624};
        return u32(kClose[pair], close).u32(kClose[pair] + 4, open);
    }
    HeaderPacket& exposures(uint32_t n) { return u16(604, n); }
    HeaderPacket& ccd_counts(uint32_t t1, uint32_t t2) { return u16(760, t1).u16(762, t2); }
    HeaderPacket& readout_port(uint32_t r) { return u8(776, r << 5); }
};

// Card index (from 0) of header text and its 80 characters.
inline std::string card_at(const std::string& header, int index) {
    return header.substr(static_cast<size_t>(index) * 80, 80);
}

// The card without its trailing spaces.
inline std::string trimmed(const std::string& card) {
    const size_t end = card.find_last_not_of(' ');
    return end == std::string::npos ? "" : card.substr(0, end + 1);
}

}  // namespace fits_test
