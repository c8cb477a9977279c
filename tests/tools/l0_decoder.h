// A small decoder of the simulator's packet streams, written from the
// packet layout alone, so that the tests do not trust the simulator's code.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace l0_test {

struct Packet {
    std::string file;    // relative path of the file holding it
    size_t offset;       // first byte in that file's stream
    uint16_t ident;      // bytes 0-1
    uint16_t sequence;   // bytes 2-3
    uint32_t length;     // total length, field + 7
    uint32_t day, ms;
    uint16_t submillis;
    uint32_t image_id;
    uint16_t kind;
    uint32_t first, last;  // pixel index range
    std::string bytes;     // the whole packet as stored
    uint16_t apid() const { return ident & 0x7FF; }
    uint16_t sample(uint32_t p) const {
        return static_cast<uint16_t>(static_cast<uint8_t>(bytes[45 + 2 * p]) << 8 |
                                     static_cast<uint8_t>(bytes[44 + 2 * p]));
    }
};

struct Stream {
    std::vector<Packet> packets;
    bool truncated = false;  // the stream ended inside a packet
};

uint32_t be(const std::string& b, size_t at, int bytes);
Stream decode_stream(const std::string& bytes, const std::string& file);

// One image as assembled from its packets (duplicates dropped by identical
// bytes, foreign and spoiled packets ignored).
struct Image {
    std::string header;  // header packet bytes
    std::vector<uint16_t> samples;  // as sent, flag bits included
    std::vector<bool> reached;      // pixel covered by some pixel packet
    bool has_final = false;
    int pixel_packets = 0;
};
std::map<uint32_t, Image> assemble_images(const std::vector<Packet>& packets);

// FNV-1a 64 over big-endian 14-bit values, as the manifest states it.
std::string pixel_checksum(const std::vector<uint16_t>& samples);

}  // namespace l0_test
