// See l0_decoder.h.
#include "l0_decoder.h"

#include <cstdio>
#include <set>

namespace l0_test {

uint32_t be(const std::string& b, size_t at, int bytes) {
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) v = v << 8 | static_cast<uint8_t>(b[at + i]);
    return v;
}

Stream decode_stream(const std::string& bytes, const std::string& file) {
    Stream s;
    size_t at = 0;
    while (at < bytes.size()) {
        if (bytes.size() - at < 6) {
            s.truncated = true;
            break;
        }
        uint32_t length = be(bytes, at + 4, 2) + 7;
        if (at + length > bytes.size()) {
            s.truncated = true;
            break;
        }
        Packet p{};
        p.file = file;
        p.offset = at;
        p.bytes = bytes.substr(at, length);
        p.ident = static_cast<uint16_t>(be(bytes, at, 2));
        p.sequence = static_cast<uint16_t>(be(bytes, at + 2, 2));
        p.length = length;
        if (length >= 44) {
            p.day = be(bytes, at + 6, 3);
            p.ms = be(bytes, at + 9, 4);
            p.submillis = static_cast<uint16_t>(be(bytes, at + 13, 2));
            p.image_id = be(bytes, at + 20, 4);
            p.kind = static_cast<uint16_t>(be(bytes, at + 24, 2));
            p.first = be(bytes, at + 32, 4);
            p.last = be(bytes, at + 36, 4);
        }
        s.packets.push_back(p);
        at += length;
    }
    return s;
}

namespace {
bool instrument_apid(uint16_t apid) {
    static const std::set<uint16_t> accepted = {802, 810, 811, 812, 813, 814, 815, 848, 850, 858, 859};
    return accepted.count(apid & 0x3FF) > 0;
}
bool sound_header(const Packet& p) { return (p.ident & 0xE800) == 0x0800 && (p.sequence & 0xC000) == 0xC000; }
}  // namespace

std::map<uint32_t, Image> assemble_images(const std::vector<Packet>& packets) {
    std::map<uint32_t, Image> images;
    std::set<std::string> seen;
    for (const Packet& p : packets) {
        if (!instrument_apid(p.apid()) || !sound_header(p) || p.length < 44 || p.length > 8200) continue;
        if (!seen.insert(p.bytes).second) continue;
        Image& img = images[p.image_id];
        if (p.kind == 0) {
            img.header = p.bytes;
            uint32_t n = be(p.bytes, 40, 2) * be(p.bytes, 42, 2);
            img.samples.resize(n, 0);
            img.reached.resize(n, false);
            continue;
        }
        if (p.first >= p.last || p.last - p.first > 4073 || p.last >= img.samples.size()) continue;
        if (44 + 2 * (p.last - p.first + 1) > p.length) continue;
        for (uint32_t i = 0; i <= p.last - p.first; ++i) {
            img.samples[p.first + i] = p.sample(i);
            img.reached[p.first + i] = true;
        }
        ++img.pixel_packets;
        if (p.kind == 3) img.has_final = true;
    }
    return images;
}

std::string pixel_checksum(const std::vector<uint16_t>& samples) {
    uint64_t h = 1469598103934665603ULL;
    for (uint16_t s : samples) {
        uint16_t v = s & 0x3FFF;
        h = (h ^ (v >> 8)) * 1099511628211ULL;
        h = (h ^ (v & 0xFF)) * 1099511628211ULL;
    }
    char buf[24];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
    return buf;
}

}  // namespace l0_test
