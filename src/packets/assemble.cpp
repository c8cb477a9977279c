// Image assembly: groups the selected records into images, reads their
// packets again by offset and hands each new image of the window over.
#include <algorithm>
#include <bit>
#include <cstring>

#include "base/base.h"
#include "fits/fits.h"
#include "packets/packets.h"
#include "time/time.h"

uint8_t image_header_packet[kMaxPacketLength];
uint16_t image_pixels[kMaxImagePixels];

namespace {

constexpr uint32_t kHeaderKind = 0;
constexpr uint32_t kFinalKind = 3;
constexpr size_t kFirstSampleOffset = 44;
constexpr uint32_t kMaxSampleSpan = 4073;      // last - first: 2 to 4,074 samples
constexpr uint32_t kPixelValueMask = 0x3FFF;   // bits 0-13; bit 15 is ignored
constexpr uint32_t kSelFlag = 0x4000;          // bit 14

uint8_t pixel_packet[kMaxPacketLength];

// Where the fields read here lie in a packet, from the telemetry table.
struct FieldOffsets {
    size_t image_id = telemetry_field_offset("TAV_ISP_HDR_ISN");
    size_t first_pixel = telemetry_field_offset("TAV_ISP_HDR_SPIX");
    size_t last_pixel = telemetry_field_offset("TAV_ISP_HDR_EPIX");
    size_t pixel_index_end = last_pixel + 4;  // a pixel packet must carry both indexes
    size_t end_of_frame_day = telemetry_field_offset("TAV_CA_TKP_EOFRM_DAYS");
    size_t end_of_frame_ms = telemetry_field_offset("TAV_CA_TKP_EOFRM_MSEC");
};
const FieldOffsets field = {};

// Where each stream (index: record source) stands after the last packet
// read from it, or kPositionUnknown. The packets of an image mostly follow
// one another, and a seek costs a system call even inside the buffer.
constexpr int64_t kPositionUnknown = -1;
int64_t stream_position[3] = {kPositionUnknown, kPositionUnknown, kPositionUnknown};

// Reads the packet of a record again from its stream.
bool read_packet(const PacketRecord& record, FILE* current, FILE* successor, uint8_t* buffer) {
    FILE* stream = record.source == 1 ? current : successor;
    if (stream == nullptr || record.length > kMaxPacketLength) return false;
    int64_t& position = stream_position[record.source == 1 ? 1 : 2];
    if (position != static_cast<int64_t>(record.offset)) {
        position = kPositionUnknown;
        if (fseeko(stream, static_cast<off_t>(record.offset), SEEK_SET) != 0) return false;
    }
    if (std::fread(buffer, 1, record.length, stream) != record.length) {
        position = kPositionUnknown;
        return false;
    }
    position = static_cast<int64_t>(record.offset) + record.length;
    return true;
}

bool later(uint32_t date, uint32_t time, const DateTime& mark) {
    return date > mark.date || (date == mark.date && time > mark.time);
}

int find_next_header(int from, PacketObserver* observer) {
    const PacketRecord* records = packet_records();
    for (int j = from; j < packet_count; ++j) {
        if (records[j].selected == 0 || records[j].packet_kind != kHeaderKind) continue;
        if (records[j].image_id > last_image_id) return j;
        if (observer != nullptr) observer->image_passed_over(records[j], ImageReason::kIdNotAbove);
    }
    return -1;
}

void tell_passed_over(PacketObserver* observer, const PacketRecord& header, ImageReason reason) {
    if (observer != nullptr) observer->image_passed_over(header, reason);
}

// Converts count samples (least significant byte first, bit 14 the SEL
// flag, bit 15 ignored) into 14-bit pixel values stored most significant
// byte first; returns how many samples had bit 14 set.
uint32_t convert_samples(const uint8_t* samples, uint8_t* pixels, uint32_t count) {
    uint32_t p = 0;
    uint32_t sel_count = 0;
    if constexpr (std::endian::native == std::endian::little) {
        // Four samples per 64-bit word, one per 16-bit lane: the flags are
        // counted per lane (a packet's 4,074 samples fit a lane), then every
        // lane is masked and its two bytes swapped.
        constexpr uint64_t kLanes = 0x0001000100010001;
        uint64_t lane_sel = 0;
        for (; p + 4 <= count; p += 4) {
            uint64_t word;
            std::memcpy(&word, samples + 2 * p, sizeof word);
            lane_sel += (word >> 14) & kLanes;
            word &= kPixelValueMask * kLanes;
            word = ((word >> 8) & (0xFF * kLanes)) | ((word & (0xFF * kLanes)) << 8);
            std::memcpy(pixels + 2 * p, &word, sizeof word);
        }
        sel_count = static_cast<uint32_t>((lane_sel * kLanes) >> 48);  // the four lanes summed in the top one
    }
    for (; p < count; ++p) {
        const uint32_t sample = static_cast<uint32_t>(samples[2 * p + 1]) << 8 | samples[2 * p];
        if ((sample & kSelFlag) != 0) ++sel_count;
        const uint32_t value = sample & kPixelValueMask;
        pixels[2 * p] = static_cast<uint8_t>(value >> 8);
        pixels[2 * p + 1] = static_cast<uint8_t>(value & 0xFF);
    }
    return sel_count;
}

// The samples a pixel packet with an accepted index range stores: only
// those it carries; an over-long announcement leaves the pixels beyond as
// they were.
uint32_t stored_samples(const uint8_t* packet, uint32_t length) {
    const uint32_t first = read_be32(packet, field.first_pixel);
    const uint32_t last = read_be32(packet, field.last_pixel);
    const uint32_t carried = length > kFirstSampleOffset ? (length - kFirstSampleOffset) / 2 : 0;
    return std::min(last - first + 1, carried);
}

// Stores the samples of one pixel packet (of length bytes) into
// image_pixels; false when its index range is refused.
bool store_pixel_samples(const uint8_t* packet, uint32_t length, uint32_t& sel_count) {
    if (length < field.pixel_index_end) return false;
    const uint32_t first = read_be32(packet, field.first_pixel);
    const uint32_t last = read_be32(packet, field.last_pixel);
    if (first >= last || last >= static_cast<uint32_t>(kMaxImagePixels) || last - first > kMaxSampleSpan) return false;
    const uint32_t count = stored_samples(packet, length);
    sel_count += convert_samples(packet + kFirstSampleOffset,
                                 reinterpret_cast<uint8_t*>(image_pixels) + 2 * static_cast<size_t>(first), count);
    return true;
}

// Fills image_pixels from the pixel records first + 1 .. last and returns
// the SEL count.
uint32_t assemble_pixels(int first, int last, FILE* current, FILE* successor, PacketObserver* observer) {
    std::memset(image_pixels, 0, sizeof image_pixels);
    const PacketRecord* records = packet_records();
    uint32_t sel_count = 0;
    for (int k = first + 1; k <= last; ++k) {
        const PacketRecord& record = records[k];
        if (record.selected == 0 || record.packet_kind < 1 || record.packet_kind > kFinalKind) continue;
        if (!read_packet(record, current, successor, pixel_packet)) continue;
        const bool stored = store_pixel_samples(pixel_packet, record.length, sel_count);
        if (observer != nullptr) {
            const uint32_t first_pixel = stored ? read_be32(pixel_packet, field.first_pixel) : 0;
            observer->pixels_stored(record, first_pixel, stored ? stored_samples(pixel_packet, record.length) : 0);
        }
    }
    return sel_count;
}

}  // namespace

bool assemble_images(char* run_message, FILE* current, FILE* successor, const PipelineHooks& hooks) {
    const PacketRecord* records = packet_records();
    // The scan, or anyone else, may have moved the streams since.
    stream_position[1] = stream_position[2] = kPositionUnknown;
    int j = 0;
    for (;;) {
        j = find_next_header(j, hooks.observer);
        if (j < 0) return true;
        const int first = j;
        int last = j;
        const uint32_t image_id = records[first].image_id;
        for (++j; j < packet_count; ++j) {
            const PacketRecord& record = records[j];
            if (record.selected == 0) continue;
            if (record.image_id != image_id || record.packet_kind == kFinalKind) break;
            // A second header of the same id joins the group as well: its own
            // image can never be written after this one.
            if (record.packet_kind == kHeaderKind) tell_passed_over(hooks.observer, record, ImageReason::kIdNotAbove);
            last = j;
        }
        // A group that runs to the end of the table may go on in a later
        // file: the pair ends. One that ends at another image's header or
        // pixel packet lost its final packet: that image is passed over and
        // the search goes on from the record that ended it.
        const PacketRecord& header = records[first];
        if (j >= packet_count) {
            tell_passed_over(hooks.observer, header, ImageReason::kHeldBack);
            return true;
        }
        if (records[j].packet_kind != kFinalKind) {
            tell_passed_over(hooks.observer, header, ImageReason::kFinalPacketMissing);
            continue;
        }
        if (records[j].image_id == image_id) last = j;

        if (header.length < static_cast<uint32_t>(kMinHeaderPacketLength) ||
            !read_packet(header, current, successor, image_header_packet)) {
            tell_passed_over(hooks.observer, header, ImageReason::kHeaderTooShort);
            continue;
        }
        uint32_t image_date = 0;
        uint32_t image_time = 0;
        int32_t image_ms = 0;
        if (!epoch_to_calendar(read_be32(image_header_packet, field.end_of_frame_day),
                               read_be32(image_header_packet, field.end_of_frame_ms), image_date, image_time, image_ms)) {
            tell_passed_over(hooks.observer, header, ImageReason::kImageTimeInvalid);
            continue;
        }
        if (!later(image_date, image_time, last_image_time)) {
            tell_passed_over(hooks.observer, header, ImageReason::kTimeNotLater);
            continue;
        }
        if (later(image_date, image_time, window_end)) {  // no later image of this pair is written
            tell_passed_over(hooks.observer, header, ImageReason::kOutsideWindow);
            return true;
        }

        last_image_time = {image_date, image_time};
        last_image_id = read_be32(image_header_packet, field.image_id);

        char product_dir[kProductPathSlot];
        if (!hooks.product_directory(run_message, image_date, image_time, product_dir)) return false;
        const uint32_t sel_count = assemble_pixels(first, last, current, successor, hooks.observer);
        hooks.write_image(hooks.context, product_dir, last_image_id, sel_count, image_date, image_time, image_ms,
                          image_header_packet, image_pixels);
    }
}
