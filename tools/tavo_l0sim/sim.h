// Internals of the level-0 simulator: run settings, time helpers, packet
// building, file naming and the writers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "packets/packets.h"
#include "text.h"
#include "time_text.h"

namespace tavo_sim {

constexpr const char* kSimVersion = "1.0";
constexpr const char* kDimensionName = "packet_stream_bytes";

// Time: the companions' own (microseconds since 1970-01-01 UTC).
using tavo_tools::Civil;
using tavo_tools::epoch_day;
using tavo_tools::epoch_ms;
using tavo_tools::epoch_submillis;
using tavo_tools::iso_text;
using tavo_tools::kEpochOrigin;
using tavo_tools::kMicrosPerDay;
using tavo_tools::kMicrosPerSecond;
using tavo_tools::Micros;
using tavo_tools::name_time_field;
using tavo_tools::parse_duration;
using tavo_tools::parse_time;
using tavo_tools::to_civil;

// Limits of the telemetry as the ground system reads it.
constexpr int kHeaderPacketBytes = kMinHeaderPacketLength;
constexpr int kPixelPacketHeaderBytes = 44;
constexpr int kMaxSamplesPerPacket = 4074;
constexpr int kMinSamplesPerPacket = 2;
constexpr uint32_t kReaderPixelLimit = kMaxImagePixels;
constexpr int kMaxImageSide = 4096;

enum class Layout { flat, ordinal, calendar, mixed };

enum class FaultKind {
    duplicate,        // last packets of a file repeated at the start of the next
    missing_final,    // the final pixel packet of an image is not sent
    truncate,         // a file ends in the middle of a packet
    bad_length,       // a packet's length field is impossible
    id_repeat,        // an image carries the id of the one before it
    foreign_apid,     // packets of identifiers outside the instrument's set
    alias_apid,       // identifiers with bit 10 set (802 + 1024 and so on)
    bad_header_bits,  // version, secondary-header flag or sequence flags wrong
    bad_index,        // extra pixel packets with index ranges the reader refuses
    sel_bits,         // bit 14 (SEL) set on some samples
    bit15,            // bit 15 set on some samples
    gap,              // a file's worth of data lost, the next file near empty
    damaged_file,     // a file's last chunk of packet data damaged on the way
    not_hdf5,         // a file under a level-0 name that is no HDF5 file
};

struct Fault {
    FaultKind kind;
    int image;  // ordinal of the image in the run (0-based)
};

// A file delivered after its usual landing time (--late K:DELAY).
struct LateFile {
    int file;      // ordinal of the file in the manifest's list (0-based)
    Micros delay;  // simulated time added to its landing
};

struct Settings {
    int kite = 16;
    int flight_model = 1;
    Micros start = 0;
    Micros duration = 3600 * kMicrosPerSecond;
    Micros cadence = 10 * kMicrosPerSecond;
    Micros file_span = 360 * kMicrosPerSecond;
    int nx = 256;
    int ny = 256;
    Layout layout = Layout::flat;
    std::string out_dir;
    std::string manifest_path;  // empty: out_dir/manifest.json
    uint64_t seed = 1;
    uint32_t first_id = 1;
    int dark_every = 12;        // every n-th image is a dark frame; 0 never
    double spike_rate = 2e-5;   // spikes per pixel
    int samples_per_packet = kMaxSamplesPerPacket;
    int deflate_level = 1;
    bool raw = false;
    bool dump_pixels = false;
    std::vector<Fault> faults;
    bool live = false;           // deliver each file at its landing time, as the ground system does
    double speed = 1.0;          // live: simulated seconds per wall-clock second
    std::vector<LateFile> late;  // live: files that land late
    Micros delivery_time = 0;    // live: simulated time a file takes to arrive; 0: its span
    bool in_place_all = false;   // live: every file grows under its final name
    std::vector<int> in_place_files;  // live: files (0-based) that grow under their final name
};

// --- names --------------------------------------------------------------
std::string file_name(const Settings& s, Micros file_start, Micros file_end, bool raw);
std::string day_directory(const Settings& s, Micros file_start);  // "" for flat

// --- packets ------------------------------------------------------------
struct ImageState {
    int ordinal;
    uint32_t image_id;
    int passband;          // index into aperture_positions
    bool dark;
    uint16_t apid;
    uint32_t exposure_ms;
    uint16_t image_type;   // 10 sequence, 12 take-picture
    Micros end_of_frame;
    uint16_t ccd_temp1, ccd_temp2;
    uint8_t readout_port;
    uint32_t image_flags;
    int32_t gt_err_y, gt_err_z;  // nanoradians
    uint16_t fw1_encoder, fw2_encoder;
    uint8_t as_encoder;
};

struct FieldValue {
    const char* keyword;
    uint32_t value;
};

// Sets a telemetry field of the header packet at its bit position.
bool set_telemetry_field(uint8_t* packet, const char* keyword, uint32_t value);
uint32_t get_telemetry_field(const uint8_t* packet, const char* keyword);

// Writes the CCSDS primary header, packet time and the ISP header.
void put_primary_header(uint8_t* packet, uint16_t apid, uint16_t sequence_count, uint32_t total_length,
                        Micros time, int flight_model);
void put_isp_header(uint8_t* packet, uint32_t image_id, uint16_t kind, uint16_t image_type, uint16_t packet_number,
                    uint32_t first_pixel, uint32_t last_pixel, uint16_t rows, uint16_t cols,
                    uint32_t total_length);
void fill_header_packet(const Settings& s, const ImageState& img, uint8_t* packet);

void put_be16(uint8_t* p, uint32_t v);
void put_be32(uint8_t* p, uint32_t v);

// --- writers ------------------------------------------------------------
struct FileInfo {
    std::string relative_path;
    Micros start, end;
    uint32_t packets;
};
// The writers fill the file under its temporary name (part_path) and rename
// it into place.
std::string part_path(const std::string& path);
// Damages the written level-0 file at path as the fault asks: the middle
// of the packet variable's last chunk overwritten (a reader gets the whole
// chunks before it), or the whole file replaced by text.
bool damage_level0_file(const std::string& path, FaultKind kind, std::string& error);

bool write_netcdf_file(const Settings& s, const std::string& path, const FileInfo& info,
                       const std::vector<uint8_t>& stream, std::string& error);
bool write_raw_file(const std::string& path, const std::vector<uint8_t>& stream, std::string& error);

// Simulated delay from a file's end to its delivery (and its creation-time field).
constexpr Micros kDeliveryDelay = 60 * kMicrosPerSecond;

// --- live delivery (live.cpp) -------------------------------------------
// Maps simulated time to the wall clock at Settings::speed from the moment
// it is made, and sends each file as the ground system does: its bytes are
// written in steps over its delivery time, which ends at its landing time
// (span end plus the delivery delay plus any lateness), under its part name
// and renamed at the end, or in place under its final name. Each file is
// first written whole into a private staging directory, so the delivered
// bytes are those of a run at once.
class LiveDelivery {
public:
    explicit LiveDelivery(const Settings& s);
    ~LiveDelivery();  // removes the staging directory and any file not delivered whole
    LiveDelivery(const LiveDelivery&) = delete;
    LiveDelivery& operator=(const LiveDelivery&) = delete;

    // Makes the staging directory; false with error set.
    bool open(std::string& error);
    // Where file manifest_index is staged before it is sent.
    std::string stage_path(size_t manifest_index) const;
    // Queues the staged file for delivery to path; manifest_index is its
    // entry in the manifest's file list, which receives its delivery times.
    bool add(const std::string& path, Micros file_end, size_t manifest_index, std::string& error);
    // Sleeps until the wall-clock instant of sim_time, sending every file's
    // bytes due by then.
    bool wait_until(Micros sim_time, nlohmann::json& files, std::string& error);
    // Delivers every queued file at its time.
    bool deliver_all(nlohmann::json& files, std::string& error);

private:
    struct Delivery {
        std::string path;       // final name
        std::string target;     // name written: path, or its part name
        std::string stage;      // the whole file, staged (unlinked once open)
        size_t manifest_index;
        Micros start, due;      // simulated delivery start and landing time
        Micros step;            // simulated time between two writes
        uint64_t size = 0, written = 0;
        int in = -1, out = -1;  // descriptors of stage and target
    };
    bool advance(Micros sim_now, nlohmann::json& files, std::string& error);
    bool send_bytes(Delivery& d, uint64_t upto, std::string& error);
    Micros sim_now() const;
    bool in_place(size_t file) const;

    const Settings& s_;
    int64_t wall_origin_us_;  // steady clock at simulated time s_.start
    std::string stage_dir_;   // private, removed at the end
    std::vector<Delivery> active_;
};

// Runs the whole simulation; false with error set on a failure.
bool run_simulation(const Settings& s, std::string& error);

}  // namespace tavo_sim
