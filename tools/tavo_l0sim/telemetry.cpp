// Building the instrument's packets: CCSDS primary header with packet time,
// the ISP header, and the image header packet with its housekeeping fields
// placed by the telemetry field table.
#include <cstring>

#include "fits/fits.h"
#include "sim.h"

namespace tavo_sim {
namespace {

constexpr uint16_t kVersionAndSecondaryHeader = 0x0800;  // version 0, type 0, secondary header 1
constexpr uint16_t kApidMask = 0x07FF;
constexpr uint16_t kStandaloneSequence = 0xC000;  // both sequence flags set
constexpr uint16_t kSequenceCountMask = 0x3FFF;
constexpr int kFlightModeByte = 18;               // bits 7..1: flight model
constexpr uint16_t kCcdSide = 1280;               // full frame of the CCD
constexpr int kIspHeaderByte = 20;

const TelemetryField* find_field(const char* keyword) {
    for (const TelemetryField& f : telemetry_fields) {
        if (std::strcmp(f.keyword, keyword) == 0) return &f;
    }
    return nullptr;
}

int container_bytes(const TelemetryField& f) { return f.container_bits == 8 ? 1 : f.container_bits == 16 ? 2 : 4; }

uint32_t low_mask(int width) { return width >= 32 ? 0xFFFFFFFFu : (1u << width) - 1u; }

void put_field(uint8_t* packet, const TelemetryField& f, uint32_t value) {
    int bytes = container_bytes(f);
    uint8_t* at = packet + f.bit / 8;
    uint32_t container = 0;
    for (int i = 0; i < bytes; ++i) container = container << 8 | at[i];
    int shift = f.container_bits - f.bit % 8 - f.width;
    uint32_t mask = low_mask(f.width) << shift;
    container = (container & ~mask) | ((value << shift) & mask);
    for (int i = bytes - 1; i >= 0; --i, container >>= 8) at[i] = static_cast<uint8_t>(container);
}

uint64_t mix(uint64_t x) {
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDULL;
    x ^= x >> 33;
    x *= 0xC4CEB9FE1A85EC53ULL;
    return x ^ (x >> 33);
}

uint64_t keyword_hash(const char* keyword, uint64_t seed) {
    uint64_t h = 1469598103934665603ULL ^ seed;
    for (const char* c = keyword; *c; ++c) h = (h ^ static_cast<uint8_t>(*c)) * 1099511628211ULL;
    return mix(h);
}

// Analog housekeeping (temperatures, voltages, currents) sits near mid-scale
// of a 12-bit converter and wanders by a few counts from image to image.
bool is_analog_field(const TelemetryField& f) {
    const char* k = f.keyword;
    return f.width == 16 && (std::strstr(k, "_OTS") || std::strstr(k, "TAV_PWR_") || std::strstr(k, "_MUX_") ||
                             std::strstr(k, "TAV_HK_") || std::strstr(k, "TAV_CNV_") || std::strstr(k, "_HTR_V") ||
                             std::strstr(k, "_HTR_I"));
}

bool is_odometer(const TelemetryField& f) { return std::strstr(f.keyword, "ODOMETER") != nullptr; }

void fill_housekeeping(const Settings& s, const ImageState& img, uint8_t* packet) {
    for (const TelemetryField& f : telemetry_fields) {
        uint64_t h = keyword_hash(f.keyword, s.seed);
        uint32_t value;
        if (is_analog_field(f)) {
            uint64_t wobble = mix(h + static_cast<uint64_t>(img.ordinal));
            value = 1800u + static_cast<uint32_t>(h % 500) + static_cast<uint32_t>(wobble % 7);
        } else if (is_odometer(f)) {
            value = static_cast<uint32_t>(h % 100000) * 10u + static_cast<uint32_t>(img.ordinal) * 2u;
        } else if (f.width == 1) {
            value = static_cast<uint32_t>(h & 1);
        } else {
            // Status words and counters: a stable value for the run.
            value = static_cast<uint32_t>(h) & low_mask(f.width);
            if (f.width > 12) value &= 0x0FFF;
        }
        put_field(packet, f, value);
    }
}

// Shutter blade open and close times (microseconds of the exposure clock):
// four sensors see the blade within a few tens of microseconds of each other.
void put_shutter_times(uint8_t* packet, const ImageState& img, uint64_t h) {
    static const char* const kPairs[4][2] = {
        {"TAV_SHT_BC_CLOSE_TIME", "TAV_SHT_BC_OPEN_TIME"},
        {"TAV_SHT_BOT_CLOSE_TIM", "TAV_SHT_BOT_OPEN_TIME"},
        {"TAV_SHT_TC_CLOSE_TIME", "TAV_SHT_TC_OPEN_TIME"},
        {"TAV_SHT_TOP_CLOSE_TIM", "TAV_SHT_TOP_OPEN_TIME"},
    };
    uint32_t open_base = 20000u + static_cast<uint32_t>(h % 5000);
    for (int i = 0; i < 4; ++i) {
        uint32_t open = 0, close = 0;
        if (!img.dark) {
            uint64_t j = mix(h + static_cast<uint64_t>(i));
            open = open_base + static_cast<uint32_t>(j % 40);
            close = open + img.exposure_ms * 1000u + static_cast<uint32_t>((j >> 8) % 60) - 30u;
        }
        set_telemetry_field(packet, kPairs[i][0], close);
        set_telemetry_field(packet, kPairs[i][1], open);
    }
}

}  // namespace

void put_be16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void put_be32(uint8_t* p, uint32_t v) {
    put_be16(p, v >> 16);
    put_be16(p + 2, v);
}

bool set_telemetry_field(uint8_t* packet, const char* keyword, uint32_t value) {
    const TelemetryField* f = find_field(keyword);
    if (!f) return false;
    put_field(packet, *f, value);
    return true;
}

uint32_t get_telemetry_field(const uint8_t* packet, const char* keyword) {
    const TelemetryField* f = find_field(keyword);
    if (!f) return 0;
    uint32_t container = 0;
    for (int i = 0; i < container_bytes(*f); ++i) container = container << 8 | packet[f->bit / 8 + i];
    return container >> (f->container_bits - f->bit % 8 - f->width) & low_mask(f->width);
}

void put_primary_header(uint8_t* packet, uint16_t apid, uint16_t sequence_count, uint32_t total_length, Micros time,
                        int flight_model) {
    put_be16(packet, kVersionAndSecondaryHeader | (apid & kApidMask));
    put_be16(packet + 2, kStandaloneSequence | (sequence_count & kSequenceCountMask));
    put_be16(packet + 4, total_length - 7);  // the data length field counts from byte 6, minus one
    uint32_t day = epoch_day(time);
    packet[6] = static_cast<uint8_t>(day >> 16);
    packet[7] = static_cast<uint8_t>(day >> 8);
    packet[8] = static_cast<uint8_t>(day);
    put_be32(packet + 9, epoch_ms(time));
    put_be16(packet + 13, epoch_submillis(time));
    packet[kFlightModeByte] = static_cast<uint8_t>(flight_model << 1);
}

void put_isp_header(uint8_t* packet, uint32_t image_id, uint16_t kind, uint16_t image_type, uint16_t packet_number,
                    uint32_t first_pixel, uint32_t last_pixel, uint16_t rows, uint16_t cols, uint32_t total_length) {
    uint8_t* h = packet + kIspHeaderByte;
    put_be32(h, image_id);
    put_be16(h + 4, kind);
    put_be16(h + 6, image_type);
    put_be16(h + 8, packet_number);
    put_be16(h + 10, (total_length - kPixelPacketHeaderBytes + 3) / 4);  // payload in 32-bit words
    put_be32(h + 12, first_pixel);
    put_be32(h + 16, last_pixel);
    put_be16(h + 20, rows);
    put_be16(h + 22, cols);
}

void fill_header_packet(const Settings& s, const ImageState& img, uint8_t* packet) {
    std::memset(packet + kIspHeaderByte, 0, kHeaderPacketBytes - kIspHeaderByte);
    fill_housekeeping(s, img, packet);
    uint64_t h = mix(s.seed * 7919u + static_cast<uint64_t>(img.ordinal));
    auto set = [packet](const char* keyword, uint32_t value) { set_telemetry_field(packet, keyword, value); };

    put_isp_header(packet, img.image_id, 0, img.image_type, 0, 0, 0, static_cast<uint16_t>(s.ny),
                   static_cast<uint16_t>(s.nx), kHeaderPacketBytes);
    // Mechanisms.
    set("TAV_AS_ENC_BITS", img.as_encoder);
    set("TAV_AS_POS", img.as_encoder);
    set("TAV_AS_CMDED_TGT", img.as_encoder);
    set("TAV_AS_DONE", 1);
    set("TAV_AS_STUCK", 0);
    set("TAV_FW1_ENC_BITS", img.fw1_encoder);
    set("TAV_FW1_POS", img.fw1_encoder);
    set("TAV_FW1_CMDED_TGT", img.fw1_encoder);
    set("TAV_FW1_MOVE_DONE", 1);
    set("TAV_FW2_ENC_BITS", img.fw2_encoder);
    set("TAV_FW2_POS", img.fw2_encoder);
    set("TAV_FW2_CMDED_TGT", img.fw2_encoder);
    set("TAV_FW2_MOVE_DONE", 1);
    // Camera: exposure, readout window (centred on the CCD), frame type, binning.
    set("TAV_CA_FRM_EXP", img.exposure_ms);
    uint32_t srow = s.ny < kCcdSide ? (kCcdSide - s.ny) / 2u : 0u;
    uint32_t scol = s.nx < kCcdSide ? (kCcdSide - s.nx) / 2u : 0u;
    set("TAV_CA_FRM_SROW", srow);
    set("TAV_CA_FRM_EROW", srow + s.ny - 1u);
    set("TAV_CA_FRM_SCOL", scol);
    set("TAV_CA_FRM_ECOL", scol + s.nx - 1u);
    set("TAV_CA_FRM_TYPE", img.dark ? 2u : 1u);
    set("TAV_CA_FRM_SUMMD", 1);
    set("TAV_CA_PIC_COUNT", static_cast<uint32_t>(img.ordinal));
    set("TAV_CA_TKP_APID", img.apid);
    set("TAV_CA_TKP_IMG_TYP", img.image_type);
    set("TAV_CA_TKP_EOFRM_DAYS", epoch_day(img.end_of_frame));
    set("TAV_CA_TKP_EOFRM_MSEC", epoch_ms(img.end_of_frame));
    set("TAV_CA_TKP_EOFRM_USEC", epoch_submillis(img.end_of_frame));
    // Shutter.
    put_shutter_times(packet, img, h);
    set("TAV_SHT_N_NR_EXP", 1);
    set("TAV_SHT_N_NR_EXP_CMPL", 1);
    set("TAV_SHT_CMDED_EXP", img.exposure_ms & 0xFFFFu);
    set("TAV_SHT_DONE", 1);
    // Camera electronics.
    set("TAV_CEB_MUX_T_CCD_1", img.ccd_temp1);
    set("TAV_CEB_MUX_T_CCD_2", img.ccd_temp2);
    set("TAV_CEB_RDOUT_PORT", img.readout_port);
    set("TAV_CEB_PWR_ST", 1);
    // Pointing and state.
    set("TAV_GT_OS_ERR_Y_NR", static_cast<uint32_t>(img.gt_err_y));
    set("TAV_GT_OS_ERR_Z_NR", static_cast<uint32_t>(img.gt_err_z));
    set("TAV_CA_GT_OS_ERR_Y_NR", static_cast<uint32_t>(img.gt_err_y));
    set("TAV_CA_GT_OS_ERR_Z_NR", static_cast<uint32_t>(img.gt_err_z));
    set("TAV_IP_IMAGE_FLAGS1", img.image_flags);
    set("TAV_SQ_SCT_CAD", static_cast<uint32_t>(s.cadence / 1000));
}

}  // namespace tavo_sim
