// The FITS image product: the 502-card primary header built in memory, the
// pixel array and the 2880-byte blocking.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "fits/fits.h"

namespace {

constexpr const char* kFitsVersionText = "2 /FITS version #2 - 2018/10/26";

// Appends 80-character cards to the header buffer. A card whose text would
// pass 80 characters is not cut: it marks the whole header as invalid.
struct CardCursor {
    char* next;
    int cards = 0;
    bool fits = true;

    void put(const char* format, ...) __attribute__((format(printf, 2, 3)));
};

void CardCursor::put(const char* format, ...) {
    char text[2 * kCardBytes];
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (length < 0 || length > kCardBytes) {
        fits = false;
        return;
    }
    std::memcpy(next, text, static_cast<size_t>(length));
    std::memset(next + length, ' ', static_cast<size_t>(kCardBytes - length));
    next += kCardBytes;
    ++cards;
}

// Owns a file descriptor; closes it on every path that did not close it.
struct FileDescriptor {
    int fd = -1;
    ~FileDescriptor() {
        if (fd >= 0) ::close(fd);
    }
    // Closes the file; false when the close reports a failed write.
    bool close() {
        const int result = ::close(fd);
        fd = -1;
        return result == 0;
    }
};

bool write_all(int fd, const void* data, size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd, bytes, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (written == 0) return false;
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

char header_buffer[kPrimaryHeaderBytes];
const char zero_block[kFitsBlockBytes] = {};

// Writes header and data into the temporary file beside the product
// (replacing one a killed run left, or whatever stands at its name); it is renamed to the product's name
// once despiked, so a product under its final name is always complete. On
// false the temporary file is removed again.
bool write_product_file(const char* temporary_path, uint32_t sel_count, uint32_t image_date, uint32_t image_time,
                        int32_t image_ms, const uint8_t* header_packet, const uint16_t* pixels) {
    FileDescriptor file;
    file.fd = create_output_file(temporary_path);
    if (file.fd < 0) return false;

    char creation_time[kCreationTimeLength + 1];
    const size_t data_bytes = static_cast<size_t>(image_data_pixels(header_packet)) * 2;
    const bool written =
        format_creation_time(static_cast<int64_t>(std::time(nullptr)), creation_time) &&
        format_primary_header(header_buffer, header_packet, sel_count, image_date, image_time, image_ms,
                              creation_time) &&
        write_all(file.fd, header_buffer, sizeof header_buffer) && write_all(file.fd, pixels, data_bytes) &&
        write_all(file.fd, zero_block, fits_block_padding(data_bytes));
    if (written && file.close()) return true;
    ::unlink(temporary_path);
    return false;
}

void log_product_line(const char* format, const char* path) {
    char message[kRunMessageCapacity];
    set_run_message(message, format, path);
    write_log_line(message);
}

}  // namespace

bool format_creation_time(int64_t unix_seconds, char (&text)[kCreationTimeLength + 1]) {
    static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const time_t moment = static_cast<time_t>(unix_seconds);
    struct tm local;
    if (localtime_r(&moment, &local) == nullptr) return false;
    if (local.tm_wday < 0 || local.tm_wday > 6 || local.tm_mon < 0 || local.tm_mon > 11) return false;
    char buffer[2 * kCreationTimeLength];
    const int length = std::snprintf(buffer, sizeof buffer, "%s %s%3d %02d:%02d:%02d %d", kDays[local.tm_wday],
                                     kMonths[local.tm_mon], local.tm_mday, local.tm_hour, local.tm_min,
                                     local.tm_sec, local.tm_year + 1900);
    if (length != kCreationTimeLength) return false;
    std::memcpy(text, buffer, sizeof text);
    return true;
}

bool format_primary_header(char* header, const uint8_t* packet, uint32_t sel_count, uint32_t image_date,
                           uint32_t image_time, int32_t image_ms, const char* creation_time) {
    HeaderKeywords k;
    derive_header_keywords(packet, image_date, image_time, image_ms, k);
    char image_time_text[kTimeTextSlot];
    format_time_text(image_date, image_time, image_ms, image_time_text);

    CardCursor c{header};
    c.put("SIMPLE  =                    T /Written by TAVO_L0:  %24s", creation_time);
    c.put("BITPIX  =                   16 /2_BYTE_DATA");
    c.put("NAXIS   =                    2 /2_AXIS_IMAGE");
    c.put("NAXIS1  =                %5u /COLS", image_columns(packet));
    c.put("NAXIS2  =                %5u /ROWS", image_rows(packet));
    c.put("EXTEND  =                    T / FITS dataset may contain extensions");
    c.put("COMMENT   FITS (Flexible Image Transport System) format is defined in 'Astronomy");
    c.put("COMMENT   and Astrophysics', volume 376, page 359; bibcode: 2001A&A...376..359H");
    c.put("HIERARCH FILE_CREATION_TIME = '%24s'", creation_time);
    c.put("HIERARCH VERSION_OF_FITS_HEADER = %-40s", kFitsVersionText);
    c.put("IMG_TIME = '%s' /End of CCD Integration time", image_time_text);
    c.put("HIERARCH SHT_EXP_TIME = %20.8f", k.sht_exp_time);
    c.put("HIERARCH CMD_EXP_TIME = %20.8f", k.cmd_exp_time);
    c.put("EXPTIME = %20.8f / Actual Shutter Exposure Time", k.sht_exp_time);
    c.put("DATE_OBS = '%s' /Start of CCD integration time", k.date_obs);
    c.put("HIERARCH IMAGETYPE = %-20s", k.image_type);
    c.put("HIERARCH FRAMETYPE = %-20s", k.frame_type);
    c.put("FW1POS  = %5u", k.fw1_pos);
    c.put("HIERARCH FW1STATUS = %+2d", k.fw1_status);
    c.put("FW1NAME = %-20s", k.fw1_name);
    c.put("FW2POS  = %5u", k.fw2_pos);
    c.put("HIERARCH FW2STATUS = %+2d", k.fw2_status);
    c.put("FW2NAME = %-20s", k.fw2_name);
    c.put("ASENC   = %5u", k.as_enc);
    c.put("ASSTATUS= %+2d", k.as_status);
    c.put("ASNAME  = %-20s", k.as_name);
    c.put("WAVELNTH=                %5d /WAVELENGTH (-1 = UNKNOWN)", k.wavelength);
    c.put("HIERARCH RDOUTPORT = %5u", k.readout_port);
    c.put("GTYERR  = %20.8f", k.gt_y_error);
    c.put("GTZERR  = %20.8f", k.gt_z_error);
    c.put("YAW_FLIP= %5u", k.yaw_flip);
    c.put("CCDTEMP1= %20.8f", k.ccd_temp1);
    c.put("CCDTEMP2= %20.8f", k.ccd_temp2);
    c.put("HIERARCH LAST_BAKEOUT_TIME = '%s'", k.last_bakeout_time);
    c.put("AMPNAME = %-20s", k.amp_name);
    c.put("EXPTYPE = %-20s", k.exposure_type);
    c.put("STCOL   = %5u", k.start_col);
    c.put("ENCOL   = %5u", k.end_col);
    c.put("STROW   = %5u", k.start_row);
    c.put("ENROW   = %5u", k.end_row);
    c.put("SUMM    = %-20s", k.summing);
    c.put("FM      = %5u", k.flight_model);
    c.put("STATION = %5u", k.station);
    c.put("ECLIPSE = %5u", k.eclipse);
    c.put("HIERARCH CALIBRATION = %5u", k.calibration);
    c.put("BAKEOUT = %5u", k.bakeout);
    c.put("HIERARCH SC_MANUVER = %5u", k.sc_maneuver);
    c.put("HIERARCH ORNE_OFFPOINT = %5u", k.orne_offpoint);
    if (!c.fits) return false;
    for (const TelemetryField& field : telemetry_fields) {
        format_telemetry_card(packet, field, c.next);
        c.next += kCardBytes;
        ++c.cards;
    }
    c.put("DESPIKE =                    0 /Despike Count and Headers Present if not 0");
    c.put("HIERARCH DESPIKE_PARAMS = 'Despike not yet run'");
    // The seven columns hold at most 9,999,999; larger counts saturate.
    c.put("SEL_CNT =              %7u /Count of SEL errors in data (bit 14)",
          sel_count < kMaxSelCount ? sel_count : kMaxSelCount);
    c.put("END");
    if (!c.fits || c.cards != kPrimaryCardCount) return false;
    std::memset(c.next, ' ', static_cast<size_t>(header + kPrimaryHeaderBytes - c.next));
    return true;
}

bool write_fits_image(const char* product_dir, uint32_t image_id, uint32_t sel_count, uint32_t image_date,
                      uint32_t image_time, int32_t image_ms, const uint8_t* header_packet, const uint16_t* pixels,
                      char (&path)[kProductFilePathSlot], char (&temporary_path)[kProductFilePathSlot]) {
    char name[kProductNameSlot];
    format_product_name(image_date, image_time, image_ms, image_id, name);
    const int length = std::snprintf(path, sizeof path, "%s%s", product_dir, name);
    const bool path_fits = length > 0 && length < kProductFilePathSlot &&
                           format_temporary_path(path, kProductTemporarySuffix, temporary_path, sizeof temporary_path);
    if (!path_fits ||
        !write_product_file(temporary_path, sel_count, image_date, image_time, image_ms, header_packet, pixels)) {
        log_product_line("ERROR - Failed to write %s", path);
        return false;
    }
    return true;
}

bool publish_product(const char* temporary_path, const char* path) {
    if (std::rename(temporary_path, path) == 0) return true;
    ::unlink(temporary_path);
    log_product_line("ERROR - Failed to write %s", path);
    return false;
}

void log_product_generated(const char* path) { log_product_line("FITS - Generated %s", path); }
