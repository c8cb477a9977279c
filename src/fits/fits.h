// The FITS image product: the writer, the header keyword derivations, the
// telemetry field table and the bakeout table.
#pragma once

#include <cstdint>

constexpr int kCardBytes = 80;
constexpr int kFitsBlockBytes = 2880;
constexpr int kPrimaryCardCount = 502;
constexpr int kPrimaryHeaderBytes = 40320;  // 14 blocks
constexpr int kTelemetryFieldCount = 450;

// One telemetry field of the image header packet. Bit positions count from
// the most significant bit of byte 0; the container is read big-endian.
struct TelemetryField {
    const char* record_id;   // ISPH_nnn or ISPM_nnn
    uint16_t bit;            // position of the field's first bit
    uint8_t width;           // field width in bits, 1 to 32
    bool is_signed;          // S type: sign-extended from its container
    uint8_t container_bits;  // 8, 16 or 32
    const char* keyword;     // TAV_... mnemonic written as HIERARCH keyword
};

extern const TelemetryField telemetry_fields[kTelemetryFieldCount];

// One named position of a mechanism (filter wheel or aperture selector): the
// inclusive encoder range of the flight model with its own calibration
// ("special") and the range of every other flight model.
struct EncoderPosition {
    int32_t status;       // written as FWnSTATUS / ASSTATUS
    const char* name;     // quoted FITS string, apostrophes included
    int32_t wavelength;   // aperture selector only (Angstrom); 0 for the wheels
    uint16_t special_low, special_high;
    uint16_t other_low, other_high;
};

constexpr int kFilterWheelPositions = 5;
constexpr int kAperturePositions = 6;
constexpr uint32_t kFilterWheel1SpecialFm = 3;
constexpr uint32_t kFilterWheel2SpecialFm = 4;
constexpr uint32_t kApertureSpecialFm = 3;

extern const EncoderPosition filter_wheel1_positions[kFilterWheelPositions];
extern const EncoderPosition filter_wheel2_positions[kFilterWheelPositions];
extern const EncoderPosition aperture_positions[kAperturePositions];

// Writes one image product into product_dir (ending with the separator),
// despikes it and logs the outcome. header_packet is the image's header
// packet (at least 792 bytes), pixels its pixels in FITS byte order.
void write_fits_image(const char* product_dir, uint32_t image_id, uint32_t sel_count,
                      uint32_t image_date, uint32_t image_time, int32_t image_ms,
                      const uint8_t* header_packet, const uint16_t* pixels);
