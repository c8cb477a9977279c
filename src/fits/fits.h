// The FITS image product: the format (blocks, cards and reading them back),
// the writer, the header keyword derivations, the telemetry field table and
// the bakeout table.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/base.h"
#include "layout/layout.h"

// --- The format --------------------------------------------------------------

constexpr int kCardBytes = 80;
constexpr int kFitsBlockBytes = 2880;
constexpr int kPrimaryCardCount = 502;
constexpr int kPrimaryHeaderBytes = 40320;  // 14 blocks
constexpr int kPrimaryHeaderCards = kPrimaryHeaderBytes / kCardBytes;  // 504, padding included
constexpr int kTelemetryFieldCount = 450;
// Column 26 (from 0: 25), where the integer values of the fixed header begin.
constexpr size_t kCardValueColumn = 25;

// Bytes that pad length to whole 2,880-byte blocks.
inline size_t fits_block_padding(size_t length) {
    return (kFitsBlockBytes - length % kFitsBlockBytes) % kFitsBlockBytes;
}

// For each of count keyword prefixes, the index of the first of the
// card_count cards of header that begins with it (compared over the prefix's
// length), or -1. A card is taken by the first prefix it matches.
void find_header_cards(const char* header, int card_count, const char* const* prefixes, int count, int* cards);

// The decimal integer of card's columns first to end - 1: leading blanks
// skipped, an optional sign, then digits; saturates at INT32_MAX rather
// than overflow.
int32_t read_card_integer(const char* card, size_t first, size_t end);

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

// Writes one image product for product_dir (ending with the separator)
// under its temporary name beside its final one, and leaves both paths; a
// failure is logged and nothing is left. header_packet is the image's
// header packet (at least 792 bytes), pixels its pixels in FITS byte order.
// True when the product was written. Despike, publish_product and the log
// line of the product follow in the run.
constexpr int kProductFilePathSlot = 4096;
bool write_fits_image(const char* product_dir, uint32_t image_id, uint32_t sel_count,
                      uint32_t image_date, uint32_t image_time, int32_t image_ms,
                      const uint8_t* header_packet, const uint16_t* pixels, char (&path)[kProductFilePathSlot],
                      char (&temporary_path)[kProductFilePathSlot]);
// Renames the product written at temporary_path to its final name path; a
// failure is logged ("ERROR - Failed to write") and the temporary removed.
bool publish_product(const char* temporary_path, const char* path);
// Logs "FITS - Generated %s" for the product at path.
void log_product_generated(const char* path);

// --- Header layout ---------------------------------------------------------

constexpr int kTelemetryFirstCard = 48;        // index (from 0) of the first telemetry card
constexpr uint32_t kMaxDataPixels = 2000000;   // capacity of the pixel buffer handed in
constexpr uint32_t kMaxSelCount = 9999999;     // widest value of the SEL_CNT card's 7 columns
constexpr int kTimeTextLength = 23;            // "YYYY-MM-DD hh:mm:ss.mmm"
constexpr int kTimeTextSlot = 40;              // room for the text of any 32-bit fields
constexpr int kCreationTimeLength = 24;        // ctime form without its line end

// NAXIS1 (columns, bytes 42-43) and NAXIS2 (rows, bytes 40-41).
uint32_t image_columns(const uint8_t* packet);
uint32_t image_rows(const uint8_t* packet);
// Pixels written to the data array: min(columns x rows, kMaxDataPixels).
uint32_t image_data_pixels(const uint8_t* packet);

// "%04d-%02d-%02d %02d:%02d:%02d.%03d" of a calendar date, clock time and
// milliseconds.
void format_time_text(uint32_t date, uint32_t time, int32_t ms, char (&text)[kTimeTextSlot]);

// The 24-character ctime form ("Wed Jun 30 21:49:08 1993") of a moment in
// local time, without a line end; false when the clock cannot be converted.
bool format_creation_time(int64_t unix_seconds, char (&text)[kCreationTimeLength + 1]);

// --- Telemetry fields ------------------------------------------------------

// The value of one field of the header packet: unsigned fields 0 to
// 4294967295, signed fields sign-extended from their container.
int64_t decode_telemetry_field(const uint8_t* packet, const TelemetryField& field);

// The record of a keyword (e.g. "TAV_CA_FRM_EXP"), or nullptr.
const TelemetryField* find_telemetry_field(const char* keyword);

// The byte offset in the header packet of a byte-aligned field of the table
// (e.g. "TAV_ISP_HDR_ISN": 20), for code that reads the field directly.
size_t telemetry_field_offset(const char* keyword);

// The value of the field named keyword; the keyword must be in the table.
int64_t telemetry_value(const uint8_t* packet, const char* keyword);

// The 80 characters of the field's card "HIERARCH %s = %+d" or "= %u",
// padded with spaces (no terminator is written).
void format_telemetry_card(const uint8_t* packet, const TelemetryField& field, char* card);

// --- Derived keywords ------------------------------------------------------

// The mechanism position whose range holds value, chosen by flight model
// (special_fm uses the special ranges), or nullptr for "'???'".
const EncoderPosition* find_encoder_position(const EncoderPosition* positions, int count,
                                             uint32_t special_fm, uint32_t flight_model,
                                             uint32_t value);

uint32_t flight_model_number(const uint8_t* packet);       // byte 18, bits 7..1
double commanded_exposure_time(const uint8_t* packet);    // seconds
double shutter_exposure_time(const uint8_t* packet);      // seconds, the median rules
double guide_telescope_arcsec(int64_t nanoradians);
double ccd_temperature(uint32_t flight_model, uint32_t raw_count);
const char* image_type_name(uint32_t value);
const char* frame_type_name(uint32_t value);
const char* summing_name(uint32_t value);
const char* amplifier_name(uint32_t readout_port);

// DATE_OBS: the image time moved back by the exposure (seconds).
void format_start_of_integration(uint32_t image_date, uint32_t image_time, int32_t image_ms,
                                 double exposure_seconds, char (&text)[kTimeTextSlot]);

// The value of every card from 12 to 48.
struct HeaderKeywords {
    double sht_exp_time;              // seconds; also EXPTIME
    double cmd_exp_time;              // seconds
    char date_obs[kTimeTextSlot];     // start of the integration
    const char* image_type;           // quoted FITS strings, apostrophes included
    const char* frame_type;
    uint32_t fw1_pos;
    int32_t fw1_status;
    const char* fw1_name;
    uint32_t fw2_pos;
    int32_t fw2_status;
    const char* fw2_name;
    uint32_t as_enc;
    int32_t as_status;
    const char* as_name;
    int32_t wavelength;               // Angstrom, -1 when unknown
    uint32_t readout_port;
    const char* amp_name;
    double gt_y_error;                // arcseconds
    double gt_z_error;                // arcseconds
    uint32_t yaw_flip;
    double ccd_temp1;                 // degrees C
    double ccd_temp2;
    char last_bakeout_time[kTimeTextSlot];
    const char* exposure_type;
    uint32_t start_col, end_col, start_row, end_row;
    const char* summing;
    uint32_t flight_model;
    uint32_t station, eclipse, calibration, bakeout, sc_maneuver, orne_offpoint;
};

void derive_header_keywords(const uint8_t* packet, uint32_t image_date, uint32_t image_time,
                            int32_t image_ms, HeaderKeywords& keywords);

// --- Bakeout events --------------------------------------------------------

// LAST_BAKEOUT_TIME: the latest event of the flight model before the image
// time text, the first event when none is earlier, or "Unknown for FM %03d     ".
void find_last_bakeout_time(uint32_t flight_model, const char* image_time_text,
                            char (&text)[kTimeTextSlot]);

// --- The product -----------------------------------------------------------

// Formats the 40,320-byte primary header (502 cards and space padding) into
// header. False when a value does not fit its card (nothing then is valid).
bool format_primary_header(char* header, const uint8_t* packet, uint32_t sel_count,
                           uint32_t image_date, uint32_t image_time, int32_t image_ms,
                           const char* creation_time);
