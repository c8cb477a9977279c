#include "packets/packet_streams.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "base/base.h"
#include "input/input.h"
#include "packets/packets.h"
#include "support/run_window.h"

namespace packet_streams {

std::vector<HandedImage> handed_images;

namespace {

void put16(std::vector<uint8_t>& p, size_t at, uint32_t v) {
    p[at] = static_cast<uint8_t>(v >> 8);
    p[at + 1] = static_cast<uint8_t>(v);
}

void put32(std::vector<uint8_t>& p, size_t at, uint32_t v) {
    put16(p, at, v >> 16);
    put16(p, at + 2, v & 0xFFFF);
}

uint16_t pixel_value(const uint16_t* pixels, size_t index) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(pixels);
    return static_cast<uint16_t>(bytes[2 * index] << 8 | bytes[2 * index + 1]);
}

bool recording_writer(void*, const char* product_dir, uint32_t image_id, uint32_t sel_count, uint32_t image_date,
                      uint32_t image_time, int32_t image_ms, const uint8_t* header_packet, const uint16_t* pixels) {
    HandedImage image;
    image.product_dir = product_dir;
    image.image_id = image_id;
    image.sel_count = sel_count;
    image.date = image_date;
    image.time = image_time;
    image.ms = image_ms;
    image.header.assign(header_packet, header_packet + kHeaderPacketBytes);
    for (size_t i = 0; i < kKeptPixels; ++i) image.pixels.push_back(pixel_value(pixels, i));
    image.pixel_at_limit = pixel_value(pixels, kMaxImagePixels - 1);
    const uint64_t rows = static_cast<uint64_t>(header_packet[40]) << 8 | header_packet[41];
    const uint64_t cols = static_cast<uint64_t>(header_packet[42]) << 8 | header_packet[43];
    const uint64_t count = std::min<uint64_t>(rows * cols, kMaxImagePixels);
    const auto* bytes = reinterpret_cast<const uint8_t*>(pixels);
    uint64_t fnv = 1469598103934665603ULL;
    for (uint64_t i = 0; i < 2 * count; ++i) fnv = (fnv ^ bytes[i]) * 1099511628211ULL;
    char hex[24];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(fnv));
    image.pixel_fnv = hex;
    handed_images.push_back(std::move(image));
    return true;
}

}  // namespace

PacketTime at_seconds(int64_t seconds, int64_t extra_ms) {
    int64_t ms = seconds * 1000 + extra_ms;
    int64_t day = kStartEpochDay;
    while (ms < 0) {
        ms += 86400000;
        --day;
    }
    while (ms >= 86400000) {
        ms -= 86400000;
        ++day;
    }
    return {static_cast<uint32_t>(day), static_cast<uint32_t>(ms)};
}

std::vector<uint8_t> make_packet(const PacketFields& f) {
    std::vector<uint8_t> p(std::max<uint32_t>(f.length, 26), 0);
    put16(p, 0, f.identification);
    put16(p, 2, f.sequence_word);
    put16(p, 4, f.length - 7);
    p[6] = static_cast<uint8_t>(f.time.day >> 16);
    put16(p, 7, f.time.day & 0xFFFF);
    put32(p, 9, f.time.ms);
    put16(p, 13, f.submillisecond);
    put32(p, 20, f.image_id);
    put16(p, 24, f.kind);
    p.resize(f.length);
    return p;
}

std::vector<uint8_t> header_packet(uint32_t image_id, PacketTime time, PacketTime eof, uint32_t sequence,
                                   uint32_t length) {
    PacketFields f;
    f.sequence_word = 0xC000 | (sequence & 0x3FFF);
    f.length = length;
    f.time = time;
    f.image_id = image_id;
    f.kind = 0;
    std::vector<uint8_t> p = make_packet(f);
    if (p.size() >= 128) {
        put32(p, 120, eof.day);
        put32(p, 124, eof.ms);
    }
    return p;
}

std::vector<uint8_t> pixel_packet(uint32_t image_id, uint32_t kind, PacketTime time, uint32_t sequence,
                                  uint32_t first, uint32_t last, const std::vector<uint16_t>& samples) {
    PacketFields f;
    f.sequence_word = 0xC000 | (sequence & 0x3FFF);
    f.length = static_cast<uint32_t>(44 + 2 * samples.size());
    f.time = time;
    f.image_id = image_id;
    f.kind = kind;
    std::vector<uint8_t> p = make_packet(f);
    put32(p, 32, first);
    put32(p, 36, last);
    for (size_t i = 0; i < samples.size(); ++i) {
        p[44 + 2 * i] = static_cast<uint8_t>(samples[i] & 0xFF);  // little-endian samples
        p[45 + 2 * i] = static_cast<uint8_t>(samples[i] >> 8);
    }
    return p;
}

std::vector<uint8_t> simple_image(uint32_t image_id, int64_t eof_seconds, uint32_t sequence_base, uint16_t value,
                                  uint32_t per_packet) {
    std::vector<uint8_t> stream;
    append(stream, header_packet(image_id, at_seconds(eof_seconds, 1), at_seconds(eof_seconds), sequence_base));
    const std::vector<uint16_t> samples(per_packet, value);
    for (uint32_t kind = 1; kind <= 3; ++kind) {
        const uint32_t first = (kind - 1) * per_packet;
        append(stream, pixel_packet(image_id, kind, at_seconds(eof_seconds, 1 + kind), sequence_base + kind, first,
                                    first + per_packet - 1, samples));
    }
    return stream;
}

void append(std::vector<uint8_t>& stream, const std::vector<uint8_t>& bytes) {
    stream.insert(stream.end(), bytes.begin(), bytes.end());
}

Stream open_stream(const std::vector<uint8_t>& bytes) {
    Stream stream(std::tmpfile());
    if (!stream) throw std::runtime_error("tmpfile failed");
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), stream.get()) != bytes.size())
        throw std::runtime_error("tmpfile write failed");
    std::rewind(stream.get());
    return stream;
}

const PipelineHooks recording_hooks = {recording_writer, make_product_directory, nullptr, nullptr};

void record_images() { handed_images.clear(); }

void set_up_run(const std::string& output_root, uint32_t end_time) {
    test_support::RunWindow window;
    window.end_time = end_time;
    test_support::set_unix_run("/input/", false, window);
    test_support::set_parameter_text(PARAM_OUTPUT_ROOT_DIRECTORY, output_root + "/");
    char message[kRunMessageCapacity];
    if (!allocate_packet_table(message)) throw std::runtime_error(message);
}

void RecordedImages::TearDown() {
    release_packet_table();
}

}  // namespace packet_streams
