// Derivation of the header keywords of cards 12 to 48 from the image header
// packet: exposure, start of integration, mechanisms, temperatures, flags.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "fits/fits.h"
#include "time/time.h"

namespace {

// Source fields, named as in the telemetry field table.
enum SourceField : int {
    SRC_IMG_TYPE,
    SRC_FRM_EXP,
    SRC_FRM_SROW,
    SRC_FRM_EROW,
    SRC_FRM_SCOL,
    SRC_FRM_ECOL,
    SRC_FRM_TYPE,
    SRC_FRM_SUMMD,
    SRC_AS_ENC,
    SRC_FW1_ENC,
    SRC_FW2_ENC,
    SRC_GT_Y,
    SRC_GT_Z,
    SRC_FLAGS1,
    SRC_BC_CLOSE,
    SRC_BC_OPEN,
    SRC_BOT_CLOSE,
    SRC_BOT_OPEN,
    SRC_TC_CLOSE,
    SRC_TC_OPEN,
    SRC_TOP_CLOSE,
    SRC_TOP_OPEN,
    SRC_N_NR_EXP,
    SRC_T_CCD_1,
    SRC_T_CCD_2,
    SRC_RDOUT_PORT,
    SRC_COUNT,
};

constexpr const char* kSourceKeywords[SRC_COUNT] = {
    "TAV_ISP_HDR_IMG_TYPE", "TAV_CA_FRM_EXP",        "TAV_CA_FRM_SROW",       "TAV_CA_FRM_EROW",
    "TAV_CA_FRM_SCOL",      "TAV_CA_FRM_ECOL",       "TAV_CA_FRM_TYPE",       "TAV_CA_FRM_SUMMD",
    "TAV_AS_ENC_BITS",      "TAV_FW1_ENC_BITS",      "TAV_FW2_ENC_BITS",      "TAV_GT_OS_ERR_Y_NR",
    "TAV_GT_OS_ERR_Z_NR",   "TAV_IP_IMAGE_FLAGS1",   "TAV_SHT_BC_CLOSE_TIME", "TAV_SHT_BC_OPEN_TIME",
    "TAV_SHT_BOT_CLOSE_TIM", "TAV_SHT_BOT_OPEN_TIME", "TAV_SHT_TC_CLOSE_TIME", "TAV_SHT_TC_OPEN_TIME",
    "TAV_SHT_TOP_CLOSE_TIM", "TAV_SHT_TOP_OPEN_TIME", "TAV_SHT_N_NR_EXP",      "TAV_CEB_MUX_T_CCD_1",
    "TAV_CEB_MUX_T_CCD_2",  "TAV_CEB_RDOUT_PORT",
};

// The table records of the source fields, looked up once per run.
struct SourceTable {
    const TelemetryField* field[SRC_COUNT];
    SourceTable() {
        for (int i = 0; i < SRC_COUNT; ++i) field[i] = find_telemetry_field(kSourceKeywords[i]);
    }
};

int64_t source_value(const uint8_t* packet, SourceField which) {
    static const SourceTable table;
    return decode_telemetry_field(packet, *table.field[which]);
}

uint32_t source_unsigned(const uint8_t* packet, SourceField which) {
    return static_cast<uint32_t>(source_value(packet, which));
}

constexpr int kFlightModelByte = 18;
constexpr uint32_t kDarkFrame = 2;
constexpr double kMillisecondsToSeconds = 0.001;
constexpr double kMicrosecondsToSeconds = 1e-6;
constexpr double kNoShutterExposure = 9999.0;
// Short median exposures are scaled: x 7 x 0.05 x TAV_SHT_N_NR_EXP.
constexpr double kShortExposureLimit = 0.072;
constexpr double kShortExposureFactor1 = 7.0;
constexpr double kShortExposureFactor2 = 0.05;
constexpr int kShutterPairs = 4;
constexpr double kPi = 3.14159265358979323846;

// CCD temperature coefficients c0..c3, set 0 for FM 1 and unknown models.
constexpr double kCcdCoefficients[4][4] = {
    {-1167.58, 2.03148, -0.00164741, 7.5174e-07},
    {-1217.18, 2.1762, -0.00178623, 8.01479e-07},
    {-1097.12, 1.87075, -0.00152466, 7.23482e-07},
    {-265.62, -0.70932, 0.00111491, -1.6599e-07},
};

constexpr const char* kUnknownName = "'\?\?\?'";  // escaped: not a trigraph
constexpr int32_t kUnknownStatus = -1;
constexpr int32_t kUnknownWavelength = -1;

constexpr const char* kImageTypeNames[] = {"'SEQUENCE'", "'CALIBRATION'", "'TAKEPIC'"};
constexpr uint32_t kFirstImageType = 10;
constexpr const char* kFrameTypeNames[] = {"'LAST'", "'LIGHT'", "'DARK'", "'LED'",
                                           "'LTC'",  "'SPAT'",  "'VPAT'", "'RCLK'"};
constexpr const char* kSummingNames[] = {"'DEFAULT'", "'1x1'", "'2x2'", "'4x4'", "'8x8'"};

template <size_t N>
const char* name_from(const char* const (&names)[N], uint32_t index) {
    return index < N ? names[index] : kUnknownName;
}

// Bit group of TAV_IP_IMAGE_FLAGS1 with its lowest bit at position low.
uint32_t flag_bits(uint32_t flags, int low, int width) { return (flags >> low) & ((1u << width) - 1u); }

// Ascending insertion sort of the at most four shutter durations.
void sort_durations(uint32_t* durations, int count) {
    for (int i = 1; i < count; ++i) {
        const uint32_t value = durations[i];
        int j = i;
        for (; j > 0 && durations[j - 1] > value; --j) durations[j] = durations[j - 1];
        durations[j] = value;
    }
}

}  // namespace

uint32_t image_columns(const uint8_t* packet) {
    static const size_t offset = telemetry_field_offset("TAV_ISP_HDR_COLS");
    return read_be16(packet, offset);
}
uint32_t image_rows(const uint8_t* packet) {
    static const size_t offset = telemetry_field_offset("TAV_ISP_HDR_ROWS");
    return read_be16(packet, offset);
}

uint32_t image_data_pixels(const uint8_t* packet) {
    // Both factors are 16-bit, so the 32-bit product cannot wrap.
    return std::min(image_columns(packet) * image_rows(packet), kMaxDataPixels);
}

uint32_t flight_model_number(const uint8_t* packet) { return read_be8(packet, kFlightModelByte) >> 1; }

double commanded_exposure_time(const uint8_t* packet) {
    return source_unsigned(packet, SRC_FRM_EXP) * kMillisecondsToSeconds;
}

double shutter_exposure_time(const uint8_t* packet) {
    const double commanded = commanded_exposure_time(packet);
    if (source_unsigned(packet, SRC_FRM_TYPE) == kDarkFrame) return commanded;

    static constexpr SourceField kPairs[kShutterPairs][2] = {
        {SRC_BC_CLOSE, SRC_BC_OPEN},
        {SRC_BOT_CLOSE, SRC_BOT_OPEN},
        {SRC_TC_CLOSE, SRC_TC_OPEN},
        {SRC_TOP_CLOSE, SRC_TOP_OPEN},
    };
    uint32_t durations[kShutterPairs];
    int count = 0;
    int empty = 0;
    for (const auto& pair : kPairs) {
        const uint32_t close = source_unsigned(packet, pair[0]);
        const uint32_t open = source_unsigned(packet, pair[1]);
        if (close > open) {
            durations[count++] = close - open;
        } else if (close == 0 && open == 0) {
            ++empty;
        }
    }
    if (empty == kShutterPairs) return commanded;
    if (count == 0) return kNoShutterExposure;

    sort_durations(durations, count);
    const double median = count % 2 == 1
                              ? static_cast<double>(durations[count / 2])
                              : (static_cast<double>(durations[count / 2 - 1]) + durations[count / 2]) / 2.0;
    double seconds = median * kMicrosecondsToSeconds;
    if (seconds <= kShortExposureLimit) {
        seconds = seconds * kShortExposureFactor1 * kShortExposureFactor2 * source_unsigned(packet, SRC_N_NR_EXP);
    }
    return seconds;
}

double guide_telescope_arcsec(int64_t nanoradians) {
    return static_cast<double>(nanoradians) * 1e-9 * 3600 * 180 * (1 / kPi);
}

double ccd_temperature(uint32_t flight_model, uint32_t raw_count) {
    const int set = flight_model >= 2 && flight_model <= 4 ? static_cast<int>(flight_model) - 1 : 0;
    const double* c = kCcdCoefficients[set];
    const double r = raw_count;
    return c[0] + c[1] * r + c[2] * r * r + c[3] * r * r * r;
}

const char* image_type_name(uint32_t value) {
    return value >= kFirstImageType ? name_from(kImageTypeNames, value - kFirstImageType) : kUnknownName;
}

const char* frame_type_name(uint32_t value) { return name_from(kFrameTypeNames, value); }

const char* summing_name(uint32_t value) { return name_from(kSummingNames, value); }

const char* amplifier_name(uint32_t readout_port) {
    if (readout_port == 1) return "'LEFT'";
    if (readout_port == 2) return "'RIGHT'";
    return kUnknownName;
}

const EncoderPosition* find_encoder_position(const EncoderPosition* positions, int count, uint32_t special_fm,
                                             uint32_t flight_model, uint32_t value) {
    const bool special = flight_model == special_fm;
    for (int i = 0; i < count; ++i) {
        const EncoderPosition& p = positions[i];
        const uint32_t low = special ? p.special_low : p.other_low;
        const uint32_t high = special ? p.special_high : p.other_high;
        if (value >= low && value <= high) return &p;
    }
    return nullptr;
}

void format_time_text(uint32_t date, uint32_t time, int32_t ms, char (&text)[kTimeTextSlot]) {
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", static_cast<int>(date / 10000),
                  static_cast<int>(date / 100 % 100), static_cast<int>(date % 100), static_cast<int>(time / 10000),
                  static_cast<int>(time / 100 % 100), static_cast<int>(time % 100), static_cast<int>(ms));
}

void format_start_of_integration(uint32_t image_date, uint32_t image_time, int32_t image_ms,
                                 double exposure_seconds, char (&text)[kTimeTextSlot]) {
    // Exposures never reach 2^32 ms (CMD_EXP_TIME is a 32-bit ms count);
    // the 64-bit count keeps the arithmetic exact all the same.
    const uint64_t exposure_ms = static_cast<uint64_t>(exposure_seconds * 1000 + 0.5);
    const int64_t ms = image_ms;
    if (exposure_ms <= static_cast<uint64_t>(std::max<int64_t>(ms, 0))) {
        format_time_text(image_date, image_time, static_cast<int32_t>(ms - static_cast<int64_t>(exposure_ms)),
                         text);
        return;
    }
    uint64_t seconds = exposure_ms / 1000;
    const int64_t fraction = static_cast<int64_t>(exposure_ms % 1000);
    int64_t start_ms;
    if (fraction <= ms) {
        start_ms = ms - fraction;
    } else {
        start_ms = ms + 1000 - fraction;
        ++seconds;
    }
    // Move back in steps of at most a day; a start before the supported
    // range keeps the image's date and clock time.
    uint32_t date = image_date;
    uint32_t time = image_time;
    while (seconds > 0) {
        const int32_t step = static_cast<int32_t>(std::min<uint64_t>(seconds, kSecondsPerDay));
        if (!shift_date_time(date, time, -step, DATE_FORM_CALENDAR, date, time)) {
            date = image_date;
            time = image_time;
            break;
        }
        seconds -= static_cast<uint64_t>(step);
    }
    format_time_text(date, time, static_cast<int32_t>(start_ms), text);
}

void derive_header_keywords(const uint8_t* packet, uint32_t image_date, uint32_t image_time, int32_t image_ms,
                            HeaderKeywords& k) {
    k.flight_model = flight_model_number(packet);
    k.cmd_exp_time = commanded_exposure_time(packet);
    k.sht_exp_time = shutter_exposure_time(packet);
    format_start_of_integration(image_date, image_time, image_ms, k.sht_exp_time, k.date_obs);
    k.exposure_type = k.cmd_exp_time < 1.0 ? "'SHORT'" : "'LONG'";
    k.image_type = image_type_name(source_unsigned(packet, SRC_IMG_TYPE));
    k.frame_type = frame_type_name(source_unsigned(packet, SRC_FRM_TYPE));

    k.fw1_pos = source_unsigned(packet, SRC_FW1_ENC);
    const EncoderPosition* fw1 = find_encoder_position(filter_wheel1_positions, kFilterWheelPositions,
                                                       kFilterWheel1SpecialFm, k.flight_model, k.fw1_pos);
    k.fw1_status = fw1 ? fw1->status : kUnknownStatus;
    k.fw1_name = fw1 ? fw1->name : kUnknownName;

    k.fw2_pos = source_unsigned(packet, SRC_FW2_ENC);
    const EncoderPosition* fw2 = find_encoder_position(filter_wheel2_positions, kFilterWheelPositions,
                                                       kFilterWheel2SpecialFm, k.flight_model, k.fw2_pos);
    k.fw2_status = fw2 ? fw2->status : kUnknownStatus;
    k.fw2_name = fw2 ? fw2->name : kUnknownName;

    k.as_enc = source_unsigned(packet, SRC_AS_ENC);
    const EncoderPosition* as = find_encoder_position(aperture_positions, kAperturePositions, kApertureSpecialFm,
                                                      k.flight_model, k.as_enc);
    k.as_status = as ? as->status : kUnknownStatus;
    k.as_name = as ? as->name : kUnknownName;
    k.wavelength = as ? as->wavelength : kUnknownWavelength;

    k.readout_port = source_unsigned(packet, SRC_RDOUT_PORT);
    k.amp_name = amplifier_name(k.readout_port);
    k.gt_y_error = guide_telescope_arcsec(source_value(packet, SRC_GT_Y));
    k.gt_z_error = guide_telescope_arcsec(source_value(packet, SRC_GT_Z));
    k.ccd_temp1 = ccd_temperature(k.flight_model, source_unsigned(packet, SRC_T_CCD_1));
    k.ccd_temp2 = ccd_temperature(k.flight_model, source_unsigned(packet, SRC_T_CCD_2));

    char image_time_text[kTimeTextSlot];
    format_time_text(image_date, image_time, image_ms, image_time_text);
    find_last_bakeout_time(k.flight_model, image_time_text, k.last_bakeout_time);

    k.start_col = source_unsigned(packet, SRC_FRM_SCOL);
    k.end_col = source_unsigned(packet, SRC_FRM_ECOL);
    k.start_row = source_unsigned(packet, SRC_FRM_SROW);
    k.end_row = source_unsigned(packet, SRC_FRM_EROW);
    k.summing = summing_name(source_unsigned(packet, SRC_FRM_SUMMD));

    const uint32_t flags = source_unsigned(packet, SRC_FLAGS1);
    k.station = flag_bits(flags, 30, 2);
    k.eclipse = flag_bits(flags, 28, 2);
    k.calibration = flag_bits(flags, 27, 1);
    k.bakeout = flag_bits(flags, 26, 1);
    k.sc_maneuver = flag_bits(flags, 24, 2);
    k.orne_offpoint = flag_bits(flags, 22, 2);
    k.yaw_flip = flag_bits(flags, 20, 2);
}
