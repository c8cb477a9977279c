// One simulated run: images are rendered in time order, cut into packets,
// the packets sent into the level-0 file of their time, and every image is
// described in the manifest.
#include <array>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>

#include "fits/fits.h"
#include "layout/layout.h"
#include "output_file.h"
#include "scene.h"
#include "sim.h"

namespace tavo_sim {
namespace {

using nlohmann::json;

constexpr Micros kHeaderDelay = 100000;          // header packet after the end of frame
constexpr Micros kMaxReadout = 3 * kMicrosPerSecond;
constexpr Micros kMinPacketStep = 20;            // microseconds between packets
constexpr int kDarkApid = 802;
constexpr int kFirstPassbandApid = 810;          // 810..815, one per passband
constexpr int kAliasApidBit = 0x400;
constexpr std::array<int, 3> kForeignApids = {300, 901, 1023};
constexpr int kDuplicatedPackets = 5;
constexpr int kGapSurvivors = 2;
constexpr uint16_t kSelBit = 0x4000;
constexpr uint16_t kBit15 = 0x8000;
constexpr int kSelEvery = 97;
constexpr int kBit15Every = 89;
constexpr uint16_t kCcdTempCounts = 962;         // about -65 C on every flight model
constexpr uint32_t kStationFlag = 1u << 30;
constexpr uint16_t kSequenceImage = 10;
constexpr uint16_t kTakePictureImage = 12;

// Commanded exposure per passband (order of aperture_positions) and the
// filter-wheel positions (indexes into the wheel tables) that isolate it.
constexpr std::array<uint32_t, kPassbandCount> kExposureMs = {2000, 700, 1000, 3000, 800, 2900};
constexpr std::array<int, kPassbandCount> kWheel1 = {2, 1, 1, 2, 0, 3};
constexpr std::array<int, kPassbandCount> kWheel2 = {1, 1, 1, 2, 2, 1};
constexpr int kDarkWheel = 4;  // THICK_AL on both wheels

const char* fault_name(FaultKind k) {
    switch (k) {
        case FaultKind::duplicate: return "duplicate";
        case FaultKind::missing_final: return "missing-final";
        case FaultKind::truncate: return "truncate";
        case FaultKind::bad_length: return "bad-length";
        case FaultKind::id_repeat: return "id-repeat";
        case FaultKind::foreign_apid: return "foreign-apid";
        case FaultKind::alias_apid: return "alias-apid";
        case FaultKind::bad_header_bits: return "bad-header-bits";
        case FaultKind::bad_index: return "bad-index";
        case FaultKind::sel_bits: return "sel-bits";
        case FaultKind::bit15: return "bit15";
        case FaultKind::gap: return "gap";
        case FaultKind::damaged_file: return "damaged-file";
        case FaultKind::not_hdf5: return "not-hdf5";
    }
    return "?";
}

uint64_t mix(uint64_t x) {
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}


bool write_whole_file(const std::string& path, const void* data, size_t size, std::string& error) {
    return tavo_tools::write_named_output(path, [&](FILE* f) { std::fwrite(data, 1, size, f); }, error);
}

// What happened to one image on its way into the files.
struct ImageRecord {
    json files = json::array();
    int lost_packets = 0;
    json damaged = json::array();  // pixel ranges of packets lost or spoiled
    int sent_packets = 0;          // packets that reached a file whole
    bool header_sent = false;
    bool final_sent = false;
    int pixel_packets_lost = 0;    // other than the final one
    int64_t last_file = -1;        // file index of its last packet sent
};

struct SentPacket {
    size_t offset, length;
};

class Run {
public:
    explicit Run(const Settings& s) : s_(s) {}

    bool execute(std::string& error);

private:
    bool has_fault(FaultKind kind, int image) const {
        for (const Fault& f : s_.faults)
            if (f.kind == kind && f.image == image) return true;
        return false;
    }
    int64_t file_index(Micros t) const { return (t - s_.start) / s_.file_span; }
    Micros file_start(int64_t m) const { return s_.start + m * s_.file_span; }
    std::string relative_path(int64_t m) const {
        std::string dir = day_directory(s_, file_start(m));
        std::string name = file_name(s_, file_start(m), file_start(m + 1), s_.raw);
        return dir.empty() ? name : dir + "/" + name;
    }
    uint16_t next_sequence(uint16_t apid) { return sequence_[apid & 0x7FF]++; }

    bool send(const std::vector<uint8_t>& packet, Micros time, ImageRecord& rec, bool truncate_here,
              uint32_t first_pixel, uint32_t last_pixel, std::string& error);
    bool flush_file(std::string& error);
    ImageState image_state(int k) const;
    // What render makes of an image.
    struct Rendered {
        uint32_t npix = 0;
        std::vector<Spike> spikes;
        uint64_t fnv = 0;   // pixel checksum
        uint64_t sum = 0;
        uint32_t sel_count = 0;
    };
    Rendered render(int k, const ImageState& img);
    bool send_header(int k, const ImageState& img, ImageRecord& rec, std::string& error);
    bool send_pixel_packets(int k, const ImageState& img, uint32_t npix, ImageRecord& rec, size_t& packet_count,
                            std::string& error);
    bool add_manifest_entry(int k, const ImageState& img, const Rendered& r, const ImageRecord& rec,
                            size_t packet_count, std::string& error);
    bool send_image(int k, std::string& error);
    std::vector<uint8_t> pixel_packet(const ImageState& img, uint16_t kind, uint16_t number, uint32_t first,
                                      uint32_t count, const uint16_t* samples, Micros time);
    bool write_manifest(std::string& error);
    json expected_outcome(int k, const ImageRecord& rec) const;
    void apply_run_stop();

    const Settings& s_;
    std::array<uint16_t, 2048> sequence_{};
    std::array<std::vector<float>, kPassbandCount> base_;
    std::vector<uint16_t> pixels_;
    std::vector<uint16_t> samples_;

    int64_t current_file_ = -1;
    std::vector<uint8_t> stream_;
    std::vector<SentPacket> sent_;
    bool truncated_ = false;
    std::vector<uint8_t> carry_;  // duplicated packets waiting for the next file
    uint32_t carry_packets_ = 0;
    int64_t gap_file_ = -1;
    int gap_survivors_ = 0;
    json files_ = json::array();
    json images_ = json::array();
    std::vector<int64_t> last_files_;  // per image, the file of its last packet
    int64_t bad_length_file_ = -1;     // file holding a packet of impossible length
    std::unique_ptr<LiveDelivery> live_;  // set when files are delivered live
};

ImageState Run::image_state(int k) const {
    ImageState img{};
    uint64_t h = mix(s_.seed * 1000003u + static_cast<uint64_t>(k));
    img.ordinal = k;
    img.image_id = s_.first_id + static_cast<uint32_t>(k);
    if (has_fault(FaultKind::id_repeat, k) && k > 0) img.image_id -= 1;
    img.passband = k % kPassbandCount;
    img.dark = s_.dark_every > 0 && k % s_.dark_every == s_.dark_every - 1;
    img.apid = static_cast<uint16_t>(img.dark ? kDarkApid : kFirstPassbandApid + img.passband);
    if (has_fault(FaultKind::alias_apid, k)) img.apid |= kAliasApidBit;
    img.exposure_ms = kExposureMs[img.passband];
    img.image_type = k % 30 == 29 ? kTakePictureImage : kSequenceImage;
    // Frames end in the middle of their cadence slot, with a jitter that
    // keeps consecutive frames in different seconds.
    Micros slot = s_.start + k * s_.cadence;
    Micros offset = std::min<Micros>(s_.cadence / 2, 2 * kMicrosPerSecond);
    Micros jitter_range = std::min<Micros>(200000, (s_.cadence - kMicrosPerSecond) / 2);
    img.end_of_frame = slot + offset + (jitter_range > 0 ? static_cast<Micros>(h % jitter_range) : 0);
    img.ccd_temp1 = static_cast<uint16_t>(kCcdTempCounts + (h >> 8) % 5 - 2);
    img.ccd_temp2 = static_cast<uint16_t>(img.ccd_temp1 + 1);
    img.readout_port = k % 25 == 24 ? 2 : 1;
    img.image_flags = kStationFlag;
    img.gt_err_y = static_cast<int32_t>((h >> 16) % 6001) - 3000;
    img.gt_err_z = static_cast<int32_t>((h >> 32) % 6001) - 3000;
    int w1 = img.dark ? kDarkWheel : kWheel1[img.passband];
    int w2 = img.dark ? kDarkWheel : kWheel2[img.passband];
    auto fm = static_cast<uint32_t>(s_.flight_model);
    auto pick = [](const EncoderPosition& p, bool special, uint64_t r) {
        uint16_t lo = special ? p.special_low : p.other_low;
        uint16_t hi = special ? p.special_high : p.other_high;
        return static_cast<uint16_t>(lo + r % (hi - lo + 1u));
    };
    img.fw1_encoder = pick(filter_wheel1_positions[w1], fm == kFilterWheel1SpecialFm, h >> 40);
    img.fw2_encoder = pick(filter_wheel2_positions[w2], fm == kFilterWheel2SpecialFm, h >> 44);
    img.as_encoder = static_cast<uint8_t>(
        pick(aperture_positions[img.passband], fm == kApertureSpecialFm, h >> 48));
    return img;
}

bool Run::flush_file(std::string& error) {
    if (current_file_ < 0 || sent_.empty()) return true;
    const int64_t m = current_file_;
    const std::string rel = relative_path(m);
    const std::string dir = day_directory(s_, file_start(m));
    std::error_code ec;
    if (!dir.empty()) std::filesystem::create_directories(s_.out_dir + "/" + dir, ec);
    if (ec) {
        error = "cannot create directory " + s_.out_dir + "/" + dir + ": " + ec.message();
        return false;
    }
    FileInfo info{rel, file_start(m), file_start(m + 1), static_cast<uint32_t>(sent_.size())};
    const std::string path = s_.out_dir + "/" + rel;
    // Live, the file is made whole in the staging directory and sent from there.
    const std::string written = live_ ? live_->stage_path(files_.size()) : path;
    bool ok = s_.raw ? write_raw_file(written, stream_, error)
                     : write_netcdf_file(s_, written, info, stream_, error);
    if (!ok) return false;
    files_.push_back({{"path", rel},
                      {"start", iso_text(info.start, 1)},
                      {"end", iso_text(info.end - kMicrosPerSecond / 10, 1)},
                      {"packets", info.packets},
                      {"stream_bytes", stream_.size()}});
    for (const Fault& f : s_.faults) {
        if ((f.kind != FaultKind::damaged_file && f.kind != FaultKind::not_hdf5) ||
            file_index(image_state(f.image).end_of_frame + kHeaderDelay) != m) {
            continue;
        }
        if (!damage_level0_file(written, f.kind, error)) return false;
        files_.back()["damage"] = fault_name(f.kind);
    }
    if (live_ && !live_->add(path, info.end, files_.size() - 1, error)) return false;
    // A duplicated delivery repeats the last packets of this file at the
    // start of the next one.
    carry_.clear();
    carry_packets_ = 0;
    bool duplicate = false;
    for (const Fault& f : s_.faults)
        if (f.kind == FaultKind::duplicate && file_index(image_state(f.image).end_of_frame + kHeaderDelay) == m)
            duplicate = true;
    if (duplicate) {
        size_t n = std::min<size_t>(kDuplicatedPackets, sent_.size());
        for (size_t i = sent_.size() - n; i < sent_.size(); ++i) {
            carry_.insert(carry_.end(), stream_.begin() + sent_[i].offset,
                          stream_.begin() + sent_[i].offset + sent_[i].length);
            ++carry_packets_;
        }
    }
    return true;
}

bool Run::send(const std::vector<uint8_t>& packet, Micros time, ImageRecord& rec, bool truncate_here,
               uint32_t first_pixel, uint32_t last_pixel, std::string& error) {
    int64_t m = file_index(time);
    if (m != current_file_) {
        if (!flush_file(error)) return false;
        // Live, a file's packets are made while its span runs.
        if (live_ && !live_->wait_until(file_start(m), files_, error)) return false;
        current_file_ = m;
        stream_.clear();
        sent_.clear();
        truncated_ = false;
        if (!carry_.empty()) {
            stream_ = carry_;
            size_t at = 0;
            for (uint32_t i = 0; i < carry_packets_; ++i) {
                size_t len = (static_cast<size_t>(carry_[at + 4]) << 8 | carry_[at + 5]) + 7;
                sent_.push_back({at, len});
                at += len;
            }
            carry_.clear();
        }
    }
    bool dropped = truncated_ || m == gap_file_ || (m == gap_file_ + 1 && gap_file_ >= 0 && gap_survivors_ >= kGapSurvivors);
    if (m == gap_file_ + 1 && gap_file_ >= 0 && !dropped) ++gap_survivors_;
    if (dropped || truncate_here) {
        ++rec.lost_packets;
        if (last_pixel >= first_pixel && first_pixel != last_pixel) rec.damaged.push_back({first_pixel, last_pixel});
    }
    if (dropped) return true;
    if (!truncate_here) {
        ++rec.sent_packets;
        rec.last_file = m;
    }
    size_t length = truncate_here ? packet.size() / 2 : packet.size();
    sent_.push_back({stream_.size(), length});
    stream_.insert(stream_.end(), packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(length));
    if (truncate_here) truncated_ = true;
    const std::string rel = relative_path(m);
    if (rec.files.empty() || rec.files.back() != rel) rec.files.push_back(rel);
    return true;
}

std::vector<uint8_t> Run::pixel_packet(const ImageState& img, uint16_t kind, uint16_t number, uint32_t first,
                                       uint32_t count, const uint16_t* samples, Micros time) {
    uint32_t length = kPixelPacketHeaderBytes + 2 * count;
    std::vector<uint8_t> p(length, 0);
    put_primary_header(p.data(), img.apid, next_sequence(img.apid), length, time, s_.flight_model);
    put_isp_header(p.data(), img.image_id, kind, img.image_type, number, first, first + count - 1,
                   static_cast<uint16_t>(s_.ny), static_cast<uint16_t>(s_.nx), length);
    for (uint32_t i = 0; i < count; ++i) {  // samples are little-endian
        p[kPixelPacketHeaderBytes + 2 * i] = static_cast<uint8_t>(samples[i]);
        p[kPixelPacketHeaderBytes + 2 * i + 1] = static_cast<uint8_t>(samples[i] >> 8);
    }
    return p;
}

// Packet sizes of one image: never a packet of one sample.
std::vector<uint32_t> packet_sample_counts(uint32_t pixels, uint32_t per_packet) {
    std::vector<uint32_t> counts(pixels / per_packet, per_packet);
    uint32_t rest = pixels % per_packet;
    if (rest > 0) counts.push_back(rest);
    if (counts.size() >= 2 && counts.back() == 1) {
        if (per_packet > kMinSamplesPerPacket) {
            counts[counts.size() - 2] -= 1;
            counts.back() += 1;
        } else {
            counts.pop_back();
            counts.back() += 1;
        }
    }
    return counts;
}

// The image rendered and its samples as sent: the pixel checksum (FNV-1a
// over big-endian 14-bit values in row order) and any flag bits the faults ask for.
Run::Rendered Run::render(int k, const ImageState& img) {
    Rendered r;
    r.npix = static_cast<uint32_t>(s_.nx) * static_cast<uint32_t>(s_.ny);
    SceneParams scene;
    scene.nx = s_.nx;
    scene.ny = s_.ny;
    scene.scene_seed = s_.seed;
    scene.noise_seed = s_.seed * 1000003u + static_cast<uint64_t>(k) + 1;
    scene.passband = img.passband;
    scene.exposure_s = img.exposure_ms * 1e-3;
    scene.dark = img.dark;
    scene.spike_rate = s_.spike_rate;
    if (!img.dark && base_[img.passband].empty()) render_base_scene(scene, base_[img.passband]);
    pixels_.resize(r.npix);
    r.spikes = render_image(scene, base_[img.passband], pixels_.data());

    r.fnv = 1469598103934665603ULL;
    samples_.resize(r.npix);
    bool sel = has_fault(FaultKind::sel_bits, k), b15 = has_fault(FaultKind::bit15, k);
    for (uint32_t i = 0; i < r.npix; ++i) {
        uint16_t v = pixels_[i];
        r.fnv = (r.fnv ^ (v >> 8)) * 1099511628211ULL;
        r.fnv = (r.fnv ^ (v & 0xFF)) * 1099511628211ULL;
        r.sum += v;
        uint16_t sample = v;
        if (sel && i % kSelEvery == 13) {
            sample |= kSelBit;
            ++r.sel_count;
        }
        if (b15 && i % kBit15Every == 7) sample |= kBit15;
        samples_[i] = sample;
    }
    return r;
}

// The header packet, and the foreign packets a fault puts after it.
bool Run::send_header(int k, const ImageState& img, ImageRecord& rec, std::string& error) {
    std::vector<uint8_t> header(kHeaderPacketBytes, 0);
    const Micros header_time = img.end_of_frame + kHeaderDelay;
    put_primary_header(header.data(), img.apid, next_sequence(img.apid), kHeaderPacketBytes, header_time,
                       s_.flight_model);
    fill_header_packet(s_, img, header.data());
    if (!send(header, header_time, rec, false, 0, 0, error)) return false;
    rec.header_sent = rec.lost_packets == 0;
    if (has_fault(FaultKind::foreign_apid, k)) {
        for (size_t i = 0; i < kForeignApids.size(); ++i) {
            auto apid = static_cast<uint16_t>(kForeignApids[i]);
            uint32_t length = 24 + static_cast<uint32_t>(mix(k * 31u + i) % 500);
            std::vector<uint8_t> p(length, 0x5A);
            Micros t = header_time + 1 + static_cast<Micros>(i);
            put_primary_header(p.data(), apid, next_sequence(apid), length, t, s_.flight_model);
            if (!send(p, t, rec, false, 0, 0, error)) return false;
        }
    }
    return true;
}

// The pixel packets, with the faults that spoil, cut or drop them. Returns
// their count through packet_count.
bool Run::send_pixel_packets(int k, const ImageState& img, uint32_t npix, ImageRecord& rec, size_t& packet_count,
                             std::string& error) {
    const Micros header_time = img.end_of_frame + kHeaderDelay;
    const std::vector<uint32_t> counts =
        packet_sample_counts(npix, static_cast<uint32_t>(s_.samples_per_packet));
    const Micros readout = std::min<Micros>(kMaxReadout, s_.cadence * 2 / 5);
    const Micros step = std::max<Micros>(kMinPacketStep, readout / static_cast<Micros>(counts.size() + 1));
    const size_t target = counts.size() > 1 ? 1 : 0;  // the packet that faults spoil
    uint32_t first = 0;
    for (size_t p = 0; p < counts.size(); ++p) {
        const bool final_packet = p + 1 == counts.size();
        const uint16_t kind = final_packet ? 3 : p == 0 ? 1 : 2;
        const Micros t = header_time + static_cast<Micros>(p + 1) * step;
        std::vector<uint8_t> packet =
            pixel_packet(img, kind, static_cast<uint16_t>(p + 1), first, counts[p], &samples_[first], t);
        const uint32_t last = first + counts[p] - 1;
        bool spoiled = false;
        if (has_fault(FaultKind::bad_header_bits, k) && !final_packet && p < 3) {
            if (p == 0) packet[0] |= 0x20;   // version 1
            if (p == 1) packet[0] &= 0xF7;   // secondary-header flag clear
            if (p == 2) packet[2] = (packet[2] & 0x3F) | 0x40;  // first segment, not standalone
            spoiled = true;
        }
        if (has_fault(FaultKind::bad_length, k) && p == target) put_be16(packet.data() + 4, 0xFFFF);
        const int lost_before = rec.lost_packets;
        if (final_packet && has_fault(FaultKind::missing_final, k)) {
            ++rec.lost_packets;
            rec.damaged.push_back({first, last});
        } else {
            if (spoiled) {
                ++rec.lost_packets;
                rec.damaged.push_back({first, last});
            }
            bool cut = has_fault(FaultKind::truncate, k) && p == target;
            if (!send(packet, t, rec, cut, first, last, error)) return false;
            if (has_fault(FaultKind::bad_length, k) && p == target) bad_length_file_ = file_index(t);
        }
        const bool lost = rec.lost_packets != lost_before;
        if (final_packet) rec.final_sent = !lost;
        else if (lost) ++rec.pixel_packets_lost;
        if (p == 0 && has_fault(FaultKind::bad_index, k)) {
            // Extra packets the reader must refuse; their samples are all
            // full scale, so a reader that took them would show it.
            struct Bad { uint32_t first, last, samples; };
            const Bad bad[] = {{5, 5, 1}, {0, 4074, 4075}, {10, 5, 6}, {kReaderPixelLimit, kReaderPixelLimit + 99, 100}};
            Micros tb = t;
            for (const Bad& b : bad) {
                std::vector<uint16_t> full(b.samples, kMaxCount);
                std::vector<uint8_t> bp = pixel_packet(img, 2, 0, b.first, b.samples, full.data(), ++tb);
                put_be32(bp.data() + 36, b.last);
                if (!send(bp, tb, rec, false, 0, 0, error)) return false;
            }
        }
        first = last + 1;
    }
    packet_count = counts.size();
    return true;
}

bool Run::send_image(int k, std::string& error) {
    const ImageState img = image_state(k);
    const Rendered r = render(k, img);
    ImageRecord rec;
    size_t packet_count = 0;
    if (!send_header(k, img, rec, error) || !send_pixel_packets(k, img, r.npix, rec, packet_count, error)) return false;
    return add_manifest_entry(k, img, r, rec, packet_count, error);
}

// The image's manifest entry: what was sent, lost and damaged, and what a
// run should make of it.
bool Run::add_manifest_entry(int k, const ImageState& img, const Rendered& r, const ImageRecord& rec,
                             size_t packet_count, std::string& error) {
    const uint32_t npix = r.npix;
    json out = json::object();
    if (s_.dump_pixels) {
        std::vector<uint8_t> be(2 * static_cast<size_t>(npix));
        for (uint32_t i = 0; i < npix; ++i) put_be16(&be[2 * i], pixels_[i]);
        char name[64];
        std::snprintf(name, sizeof name, "pixels/image_%06d.be16", k);
        if (!write_whole_file(s_.out_dir + "/" + name, be.data(), be.size(), error)) return false;
        out["pixel_file"] = name;
    }

    json spike_list = json::array();
    for (const Spike& sp : r.spikes)
        spike_list.push_back({{"column", sp.column},
                              {"row", sp.row},
                              {"index", static_cast<int64_t>(sp.row) * s_.nx + sp.column},
                              {"value", sp.value},
                              {"background", sp.background}});
    json faults = json::array();
    for (const Fault& f : s_.faults)
        if (f.image == k) faults.push_back(fault_name(f.kind));
    const EncoderPosition& ap = aperture_positions[img.passband];
    Civil eof = to_civil(img.end_of_frame);
    char cal[32];
    std::snprintf(cal, sizeof cal, "%04d%02d%02d", eof.year, eof.month, eof.day);
    char clk[32];
    std::snprintf(clk, sizeof clk, "%02d%02d%02d", eof.hour, eof.minute, eof.second);
    out["ordinal"] = k;
    out["id"] = img.image_id;
    out["apid"] = img.apid;
    out["end_of_frame"] = {{"epoch_day", epoch_day(img.end_of_frame)},
                           {"epoch_ms", epoch_ms(img.end_of_frame)},
                           {"calendar", iso_text(img.end_of_frame, 3)},
                           {"date", std::stoi(cal)},
                           {"time", std::stoi(clk)},
                           {"ms", eof.micros / 1000}};
    out["nx"] = s_.nx;
    out["ny"] = s_.ny;
    out["passband"] = {{"index", img.passband}, {"wavelength", ap.wavelength}, {"name", tavo_tools::unquoted(ap.name)}};
    out["aperture_encoder"] = img.as_encoder;
    out["filter_wheel1"] = {{"encoder", img.fw1_encoder},
                            {"name", tavo_tools::unquoted(filter_wheel1_positions[img.dark ? kDarkWheel : kWheel1[img.passband]].name)}};
    out["filter_wheel2"] = {{"encoder", img.fw2_encoder},
                            {"name", tavo_tools::unquoted(filter_wheel2_positions[img.dark ? kDarkWheel : kWheel2[img.passband]].name)}};
    out["flight_model"] = s_.flight_model;
    out["frame_type"] = img.dark ? "DARK" : "LIGHT";
    out["exposure_ms"] = img.exposure_ms;
    out["image_type"] = img.image_type;
    out["readout_port"] = img.readout_port;
    out["ccd_temp_counts"] = {img.ccd_temp1, img.ccd_temp2};
    out["pixel_packets"] = packet_count;
    out["files"] = rec.files;
    out["spikes"] = spike_list;
    char hex[24];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(r.fnv));
    out["pixel_fnv1a64"] = hex;
    out["pixel_sum"] = r.sum;
    out["sel_count"] = r.sel_count;
    out["faults"] = faults;
    out["lost_packets"] = rec.lost_packets;
    out["damaged_pixel_ranges"] = rec.damaged;
    out["complete"] = rec.lost_packets == 0 && !has_fault(FaultKind::bad_length, k);
    out["in_level0"] = rec.sent_packets > 0;
    out["expected"] = expected_outcome(k, rec);
    last_files_.push_back(rec.last_file);
    images_.push_back(std::move(out));
    return true;
}

// What a TAVO_L0 run whose window is the simulated period makes of image k,
// from what the simulation sent of it: "written", "written_partial" or
// "not_written" with the reason code of the audit report.
json Run::expected_outcome(int k, const ImageRecord& rec) const {
    auto not_written = [](const char* reason) { return json{{"status", "not_written"}, {"reason", reason}}; };
    if (rec.sent_packets == 0) return not_written("no_packets");
    if (has_fault(FaultKind::id_repeat, k) && k > 0) return not_written("id_not_above_last");
    if (!rec.header_sent) return not_written("header_packet_missing");
    if (rec.files.size() > 2) return not_written("spread_over_files");
    if (!rec.final_sent) return not_written("final_packet_missing");
    if (rec.pixel_packets_lost > 0) return {{"status", "written_partial"}, {"reason", nullptr}};
    return {{"status", "written"}, {"reason", nullptr}};
}

// A packet of impossible length stops the run at the pair that ends with its
// file: images that end in a later file are never written, nor is anything
// when that pair is the first; those that end in the file before are written
// only when the pair before did not leave them to the next one.
void Run::apply_run_stop() {
    if (bad_length_file_ < 0) return;
    const int64_t stop_file = std::max<int64_t>(bad_length_file_ - 1, 0);
    for (size_t i = 0; i < images_.size(); ++i) {
        json& expected = images_[i]["expected"];
        if (!images_[i]["in_level0"].get<bool>()) continue;
        if (last_files_[i] < stop_file) continue;
        if (last_files_[i] > stop_file || bad_length_file_ <= 1 || expected["status"] == "not_written") {
            expected = {{"status", "not_written"}, {"reason", "run_stopped"}};
        } else {
            expected["or_run_stopped"] = true;
        }
    }
}

bool Run::write_manifest(std::string& error) {
    static const char* const kLayouts[] = {"flat", "ordinal", "calendar", "mixed"};
    json faults = json::array();
    for (const Fault& f : s_.faults) faults.push_back({{"kind", fault_name(f.kind)}, {"image", f.image}});
    json m = {{"simulator", "tavo_l0sim"},
              {"version", kSimVersion},
              {"seed", s_.seed},
              {"kite", s_.kite},
              {"platform", [&] { char b[kTreeLevelSlot]; format_satellite_directory(s_.kite, b); return std::string(b); }()},
              {"flight_model", s_.flight_model},
              {"start", iso_text(s_.start, 3)},
              {"end", iso_text(s_.start + s_.duration, 3)},
              {"cadence_s", static_cast<double>(s_.cadence) / kMicrosPerSecond},
              {"file_span_s", static_cast<double>(s_.file_span) / kMicrosPerSecond},
              {"nx", s_.nx},
              {"ny", s_.ny},
              {"layout", kLayouts[static_cast<int>(s_.layout)]},
              {"raw", s_.raw},
              {"dataset", kPacketDatasetName},
              {"pixel_checksum", "FNV-1a 64 of the 14-bit values as big-endian 16-bit words in row order"},
              {"faults", faults},
              {"expected_window", {{"start", iso_text(s_.start, 0)},
                                   {"end", iso_text(s_.start + s_.duration - kMicrosPerSecond, 0)}}},
              {"files", files_},
              {"images", images_}};
    const std::string path = s_.manifest_path.empty() ? s_.out_dir + "/manifest.json" : s_.manifest_path;
    const std::string text = m.dump(1) + "\n";
    return write_whole_file(path, text.data(), text.size(), error);
}

bool Run::execute(std::string& error) {
    std::error_code ec;
    std::filesystem::create_directories(s_.out_dir, ec);
    if (!ec && s_.dump_pixels) std::filesystem::create_directories(s_.out_dir + "/pixels", ec);
    if (ec) {
        error = "cannot create output directory " + s_.out_dir + ": " + ec.message();
        return false;
    }
    const int images = static_cast<int>(s_.duration / s_.cadence);
    if (s_.live) {
        live_ = std::make_unique<LiveDelivery>(s_);
        if (!live_->open(error)) return false;
    }
    for (const Fault& f : s_.faults) {
        if (f.kind == FaultKind::gap) gap_file_ = file_index(image_state(f.image).end_of_frame + kHeaderDelay);
    }
    for (int k = 0; k < images; ++k)
        if (!send_image(k, error)) return false;
    if (!flush_file(error)) return false;
    if (!carry_.empty()) {
        // The last file's duplicates go into a file of their own.
        current_file_ += 1;
        stream_ = carry_;
        sent_.assign(carry_packets_, SentPacket{0, 0});
        carry_.clear();
        if (!flush_file(error)) return false;
    }
    if (live_ && !live_->deliver_all(files_, error)) return false;
    apply_run_stop();
    if (!write_manifest(error)) return false;
    std::printf("tavo_l0sim: %d images in %zu files written to %s\n", images, files_.size(),
                tavo_tools::printable(s_.out_dir).c_str());
    return std::fflush(stdout) == 0;
}

}  // namespace

bool run_simulation(const Settings& s, std::string& error) {
    Run run(s);
    return run.execute(error);
}

}  // namespace tavo_sim
