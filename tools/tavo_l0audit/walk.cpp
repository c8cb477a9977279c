// The walk over the window's level-0 files: the run's own scan, selection
// and assembly, told to an observer, with a writer that writes nothing.
// Each file is read once; at most two files' streams are held.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <tuple>
#include <unordered_set>

#include "audit.h"
#include "base/base.h"
#include "fits/fits.h"
#include "input/input.h"
#include "layout/layout.h"
#include "run/run.h"
#include "time/time.h"
#include "text.h"

namespace tavo_audit {

namespace {

constexpr uint32_t kIdentifierMask = 0x07FF;  // the 11-bit identifier of the primary header
constexpr uint32_t kCountMask = 0x3FFF;       // 14-bit sequence count
constexpr uint32_t kCountHalf = 0x2000;       // a step back of up to half the range is a repeat
constexpr uint32_t kFinalKind = 3;
constexpr size_t kIsspHeaderEnd = 40;         // SPIX and EPIX present

// One packet as duplicate detection sees it: time and sequence word.
struct PacketKey {
    uint32_t day, millisecond, submillisecond, sequence_word;
    bool operator==(const PacketKey&) const = default;
};
struct PacketKeyHash {
    size_t operator()(const PacketKey& k) const {
        uint64_t h = k.day;
        h = h * 0x9E3779B97F4A7C15ULL ^ k.millisecond;
        h = h * 0x9E3779B97F4A7C15ULL ^ (static_cast<uint64_t>(k.submillisecond) << 16 | k.sequence_word);
        return static_cast<size_t>(h ^ (h >> 29));
    }
};
using PacketKeys = std::unordered_set<PacketKey, PacketKeyHash>;

// Owner of a stream over bytes in memory.
FileHandle open_memory_stream(PacketBuffer& bytes) {
    if (bytes.size() == 0) return FileHandle(std::fopen("/dev/null", "rb"));
    return FileHandle(fmemopen(bytes.data(), bytes.size(), "rb"));
}

bool later(uint32_t date, uint32_t time, uint32_t mark_date, uint32_t mark_time) {
    return date > mark_date || (date == mark_date && time > mark_time);
}

bool record_image(void* walk, const char* product_dir, uint32_t image_id, uint32_t sel_count, uint32_t image_date,
                  uint32_t image_time, int32_t image_ms, const uint8_t* header_packet, const uint16_t* pixels);

class Walk : public PacketObserver, public InputObserver {
public:
    explicit Walk(AuditResult& result) : result_(result) {}

    // InputObserver
    void file_passed_over(const char* prefix, const char* name, FileSkip why) override {
        FileAudit file;
        file.entry = std::string(prefix) + name;
        file.skip_reason = file_skip_code(why);
        skipped_files_.push_back(std::move(file));
    }

    // PacketObserver
    void packet_scanned(const ScannedPacket& packet) override;
    void record_dropped(const PacketRecord& record, RecordDrop why) override;
    void image_passed_over(const PacketRecord& header, ImageReason reason) override;
    void pixels_stored(const PacketRecord& record, uint32_t first, uint32_t count) override;

    bool walk(std::string& error);
    void image_written(const char* product_dir, uint32_t image_id, uint32_t sel_count, uint32_t image_date,
                       uint32_t image_time, int32_t image_ms);

private:
    bool visit_pair(int pair, bool last_pair, int current, int successor);
    static bool visit(void* context, int pair, bool last_pair, int current, int successor) {
        return static_cast<Walk*>(context)->visit_pair(pair, last_pair, current, successor);
    }
    bool load(int file, PacketBuffer& bytes);
    void begin_file(int source, int file, PacketBuffer& bytes);
    bool count_packet(FileAudit& file, const ScannedPacket& packet);
    bool note_repeat(FileAudit& file, int file_index, const PacketRecord& record);
    void follow_sequence_count(FileAudit& file, const ScannedPacket& packet);
    void add_to_image(const ScannedPacket& packet, int file_index);
    void scan_alone(int file);
    ImageAudit& image_of(uint32_t image_id);
    ImageAudit* image_with_header(const PacketRecord& header);
    void note_header(ImageAudit& image, const PacketRecord& record, const uint8_t* packet, uint32_t length);
    void settle_outcomes();

    AuditResult& result_;
    // Product directories are only named: the audit writes nothing.
    const PipelineHooks hooks_ = {record_image, format_product_directory, this, this};
    std::vector<FileAudit> skipped_files_;
    std::map<uint32_t, std::vector<ImageAudit>> images_;
    int source_file_[3] = {-1, -1, -1};  // file index of each stream source
    bool counting_[3] = {false, false, false};  // first scan of the file: its packets are counted
    bool last_pair_ = false;
    int pair_ = 0;
    int images_written_ = 0;
    int scanned_up_to_ = -1;             // highest file index scanned
    std::map<int, PacketKeys> file_keys_;  // per file index, the last two files
    struct LastCount {
        uint32_t count;
        PacketTime time;
    };
    std::map<uint32_t, LastCount> last_count_;  // per 11-bit identifier
    std::vector<std::pair<uint32_t, uint32_t>> stored_ranges_;  // pixels of the image being assembled
    PacketBuffer streams_[2];
    char message_[kRunMessageCapacity] = "";
};

// The images the run would write are recorded, not written.
bool record_image(void* walk, const char* product_dir, uint32_t image_id, uint32_t sel_count, uint32_t image_date,
                  uint32_t image_time, int32_t image_ms, const uint8_t*, const uint16_t*) {
    static_cast<Walk*>(walk)->image_written(product_dir, image_id, sel_count, image_date, image_time, image_ms);
    return true;
}

ImageAudit& Walk::image_of(uint32_t image_id) {
    std::vector<ImageAudit>& entries = images_[image_id];
    if (entries.empty()) {
        entries.emplace_back();
        entries.back().image_id = image_id;
    }
    return entries.front();
}

ImageAudit* Walk::image_with_header(const PacketRecord& header) {
    auto found = images_.find(header.image_id);
    if (found == images_.end()) return nullptr;
    for (ImageAudit& image : found->second) {
        if (image.has_header && image.header_day == header.day && image.header_ms == header.millisecond &&
            image.header_submillisecond == header.submillisecond)
            return &image;
    }
    return nullptr;
}

void Walk::note_header(ImageAudit& image, const PacketRecord& record, const uint8_t* packet, uint32_t length) {
    image.has_header = true;
    image.header_day = record.day;
    image.header_ms = record.millisecond;
    image.header_submillisecond = record.submillisecond;
    image.apid = static_cast<int>(record.apid);
    if (length < static_cast<uint32_t>(kMinHeaderPacketLength)) return;
    image.rows = image_rows(packet);
    image.columns = image_columns(packet);
    const auto day = static_cast<uint32_t>(telemetry_value(packet, "TAV_CA_TKP_EOFRM_DAYS"));
    const auto ms = static_cast<uint32_t>(telemetry_value(packet, "TAV_CA_TKP_EOFRM_MSEC"));
    image.time_known = epoch_to_calendar(day, ms, image.date, image.time, image.ms);
    if (!image.time_known) return;
    HeaderKeywords keywords{};
    derive_header_keywords(packet, image.date, image.time, image.ms, keywords);
    image.wavelength = keywords.wavelength;
    image.frame_type = tavo_tools::unquoted(keywords.frame_type != nullptr ? keywords.frame_type : "");
}

void Walk::begin_file(int source, int file, PacketBuffer& bytes) {
    source_file_[source] = file;
    counting_[source] = file > scanned_up_to_;
    if (!counting_[source]) return;
    scanned_up_to_ = file;
    // The keys of this file and of the one before it are kept.
    file_keys_.erase(file - 2);
    file_keys_[file].clear();
    FileAudit& audit = result_.files[file];
    audit.scanned = true;
    audit.bytes = bytes.size();
    audit.checksum = stream_checksum(bytes.data(), bytes.size());
    struct stat info = {};
    const std::string path = std::string(run_settings.param_text[PARAM_INPUT_ROOT_DIRECTORY]) + input_file_list[file];
    if (stat(path.c_str(), &info) == 0) {
        audit.size = static_cast<uint64_t>(info.st_size);
        audit.modified = static_cast<int64_t>(info.st_mtime);
    }
}

// Every packet the scan reads: counted for its file; a recorded one is
// checked for repeats, followed in its identifier's sequence count and
// added to its image.
void Walk::packet_scanned(const ScannedPacket& packet) {
    if (!counting_[packet.source]) return;
    const int file_index = source_file_[packet.source];
    FileAudit& file = result_.files[file_index];
    if (!count_packet(file, packet)) return;
    const bool repeated = note_repeat(file, file_index, *packet.record);
    follow_sequence_count(file, packet);
    if (!repeated) add_to_image(packet, file_index);  // a repeat's image has it already
}

// The file's packet counts by verdict; true for a recorded packet.
bool Walk::count_packet(FileAudit& file, const ScannedPacket& packet) {
    if (packet.verdict == PacketVerdict::kCutShort) {
        file.leftover_bytes += packet.available;
        return false;
    }
    ++file.packets;
    if (packet.verdict == PacketVerdict::kBadLength) {
        file.bad_length_offset = packet.offset;
        file.bad_length_field = packet.length - 7;
    }
    if (packet.verdict != PacketVerdict::kRecorded) {
        ++file.skipped[packet_verdict_code(packet.verdict)];
        return false;
    }
    ++file.apid_packets[packet.record->apid];
    return true;
}

// True when the packet repeats one of this file or of the file before.
bool Walk::note_repeat(FileAudit& file, int file_index, const PacketRecord& record) {
    const PacketKey key{record.day, record.millisecond, record.submillisecond, record.sequence_word};
    if (!file_keys_[file_index].insert(key).second) {
        ++file.duplicates_within;
        return true;
    }
    const auto previous = file_keys_.find(file_index - 1);
    if (previous != file_keys_.end() && previous->second.count(key) != 0) {
        ++file.duplicates_from_previous;
        return true;
    }
    return false;
}

// Gaps in the 14-bit sequence count of the packet's 11-bit identifier, with
// the times of the packets on either side.
void Walk::follow_sequence_count(FileAudit& file, const ScannedPacket& packet) {
    const PacketRecord& record = *packet.record;
    const uint32_t identifier = (static_cast<uint32_t>(packet.bytes[0]) << 8 | packet.bytes[1]) & kIdentifierMask;
    const uint32_t count = record.sequence_word & kCountMask;
    const PacketTime time{record.day, record.millisecond};
    auto last = last_count_.find(identifier);
    if (last == last_count_.end()) {
        last_count_[identifier] = {count, time};
        return;
    }
    const uint32_t step = (count - last->second.count) & kCountMask;
    if (step == 0 || step >= kCountHalf) return;  // a step back is a repeat
    if (step > 1) {
        file.gaps.push_back({identifier, (last->second.count + 1) & kCountMask, (count - 1) & kCountMask, step - 1,
                             last->second.time, time});
    }
    last->second = {count, time};
}

// The packet's share of its image: header, kinds, announced pixels, files.
void Walk::add_to_image(const ScannedPacket& packet, int file_index) {
    const PacketRecord& record = *packet.record;
    ImageAudit* image = nullptr;
    if (record.packet_kind == 0) {
        image = image_with_header(record);
        if (image == nullptr) {
            std::vector<ImageAudit>& entries = images_[record.image_id];
            if (!entries.empty() && !entries.front().has_header) {
                image = &entries.front();
            } else {
                entries.emplace_back();
                image = &entries.back();
                image->image_id = record.image_id;
            }
            note_header(*image, record, packet.bytes, packet.available);
        }
    } else {
        image = &image_of(record.image_id);
        if (record.packet_kind >= 1 && record.packet_kind <= kFinalKind && packet.available >= kIsspHeaderEnd) {
            const int64_t first = telemetry_value(packet.bytes, "TAV_ISP_HDR_SPIX");
            const int64_t last_pixel = telemetry_value(packet.bytes, "TAV_ISP_HDR_EPIX");
            if (last_pixel >= first) image->pixels_announced += static_cast<uint64_t>(last_pixel - first + 1);
        }
    }
    const auto earlier = [](const PacketRecord& r, PacketTime t) {
        return r.day < t.day || (r.day == t.day && r.millisecond < t.ms);
    };
    if (!image->has_packet_time || earlier(record, image->first_packet)) {
        image->has_packet_time = true;
        image->first_packet = {record.day, record.millisecond};
    }
    if (record.packet_kind <= kFinalKind) ++image->packets_by_kind[record.packet_kind];
    else ++image->packets_other_kind;
    if (image->files.empty() || image->files.back() != file_index) image->files.push_back(file_index);
}

void Walk::record_dropped(const PacketRecord& record, RecordDrop why) {
    if (why != RecordDrop::kOutsideWindow || record.packet_kind != 0) return;
    if (ImageAudit* image = image_with_header(record)) image->header_outside_window = true;
}

void Walk::image_passed_over(const PacketRecord& header, ImageReason reason) {
    stored_ranges_.clear();
    ImageAudit* image = image_with_header(header);
    if (image == nullptr || image->written) return;
    if (reason == ImageReason::kHeldBack && !last_pair_) {
        image->held_back = true;
        return;
    }
    // In the last pair no record is left to a next pair: a group that runs
    // to the end of the table has no final packet.
    image->decided = reason == ImageReason::kHeldBack ? ImageReason::kFinalPacketMissing : reason;
}

void Walk::pixels_stored(const PacketRecord&, uint32_t first, uint32_t count) {
    if (count > 0) stored_ranges_.emplace_back(first, first + count);
}

void Walk::image_written(const char* product_dir, uint32_t image_id, uint32_t sel_count, uint32_t image_date,
                         uint32_t image_time, int32_t image_ms) {
    ImageAudit* image = &image_of(image_id);
    for (ImageAudit& candidate : images_[image_id]) {
        if (candidate.time_known && candidate.date == image_date && candidate.time == image_time &&
            candidate.ms == image_ms) {
            image = &candidate;
            break;
        }
    }
    image->written = true;
    image->sel_count = sel_count;
    // Distinct pixels stored: later packets may overwrite earlier ones.
    std::sort(stored_ranges_.begin(), stored_ranges_.end());
    uint64_t carried = 0;
    uint32_t reached = 0;
    for (const auto& [begin, end] : stored_ranges_) {
        const uint32_t from = std::max(begin, reached);
        if (end > from) carried += end - from;
        reached = std::max(reached, end);
    }
    image->pixels_carried = carried;
    stored_ranges_.clear();
    char name[kProductNameSlot];
    format_product_name(image_date, image_time, image_ms, image_id, name);
    const char* root = run_settings.param_text[PARAM_OUTPUT_ROOT_DIRECTORY];
    const size_t root_length = std::strlen(root);
    std::string directory = product_dir;
    if (directory.compare(0, root_length, root) == 0) directory = directory.substr(root_length);
    image->product = directory + name;
    show_progress(pair_ + 1, ++images_written_);
}

bool Walk::load(int file, PacketBuffer& bytes) {
    std::string path = std::string(run_settings.param_text[PARAM_INPUT_ROOT_DIRECTORY]) + input_file_list[file];
    std::string error;
    const ReadOutcome outcome = read_packet_stream(path, bytes, error);
    if (outcome == ReadOutcome::kWhole) return true;
    result_.files[file].read_error = error;
    if (outcome == ReadOutcome::kDamaged) return true;  // the run goes on with the bytes before the damage
    set_run_message(message_, "ERROR - unable to read the packets of input file %s", error.c_str());
    return false;
}

bool Walk::visit_pair(int pair, bool last_pair, int current, int successor) {
    pair_ = pair;
    last_pair_ = last_pair;
    show_progress(pair + 1, images_written_);
    // The current file is the last pair's successor, already in memory.
    if (pair == 0 && !load(current, streams_[0])) return false;
    if (successor >= 0 && !load(successor, streams_[1])) return false;
    FileHandle current_stream = open_memory_stream(streams_[0]);
    FileHandle successor_stream;
    if (successor >= 0) successor_stream = open_memory_stream(streams_[1]);
    if (!current_stream || (successor >= 0 && !successor_stream)) {
        set_run_message(message_, "ERROR - unable to open the packets of input file %s in memory",
                        input_file_list[current]);
        return false;
    }
    begin_file(1, current, streams_[0]);
    if (successor >= 0) begin_file(2, successor, streams_[1]);
    const bool processed =
        process_packet_streams(message_, current_stream.get(), successor_stream.get(), last_pair,
                               input_file_list[current], successor >= 0 ? input_file_list[successor] : nullptr,
                               hooks_);
    std::swap(streams_[0], streams_[1]);
    return processed;
}

// After the run stopped: the files it never reached are read for the count
// of their packets and images only.
void Walk::scan_alone(int file) {
    PacketBuffer& bytes = streams_[0];
    if (!load(file, bytes)) return;
    FileHandle stream = open_memory_stream(bytes);
    if (!stream) return;
    begin_file(1, file, bytes);
    char ignored[kRunMessageCapacity];
    scan_packet_streams(ignored, stream.get(), nullptr, input_file_list[file], nullptr, this);
}

void Walk::settle_outcomes() {
    const uint32_t start_date = run_settings.start_date, start_time = run_settings.start_time;
    const uint32_t end_date = run_settings.end_date, end_time = run_settings.end_time;
    for (auto& [id, entries] : images_) {
        for (ImageAudit& image : entries) {
            if (image.written) {
                // The product holds at most the writer's pixel capacity.
                const uint64_t expected =
                    std::min<uint64_t>(static_cast<uint64_t>(image.rows) * image.columns, kMaxDataPixels);
                image.status =
                    image.pixels_carried < expected ? ImageStatus::kWrittenPartial : ImageStatus::kWritten;
                continue;
            }
            image.status = ImageStatus::kNotWritten;
            // The window that owns the image's time accounts for it: an image
            // of another window's time is outside this one, whatever else is
            // wrong with it. Without an image time (its header lost, or in a
            // file the run did not select) its earliest packet places it, so
            // that of the windows seeing its packets exactly one counts it.
            uint32_t date = image.date, time = image.time;
            int32_t ms = 0;
            const bool placed =
                image.time_known ||
                (image.has_packet_time && epoch_to_calendar(image.first_packet.day, image.first_packet.ms, date, time, ms));
            const bool outside = placed && (!later(date, time, start_date, start_time) ||
                                            later(date, time, end_date, end_time));
            if (outside) {
                image.reason = ImageReason::kOutsideWindow;
                continue;
            }
            PassedOverImage facts;
            facts.has_header = image.has_header;
            facts.file_count = image.files.size();
            facts.after_stop =
                result_.run_stopped && !image.files.empty() && image.files.back() >= result_.stop_pair;
            facts.decided = image.decided.has_value();
            if (image.decided) facts.decision = *image.decided;
            facts.header_outside_window = image.header_outside_window;
            image.reason = final_image_reason(facts);
        }
    }
}

bool Walk::walk(std::string& error) {
    if (find_input_files(message_, this) == 0) {
        error = message_;
        return false;
    }
    result_.files.resize(static_cast<size_t>(input_file_count));
    for (int i = 0; i < input_file_count; ++i) {
        result_.files[i].entry = input_file_list[i];
        result_.files[i].selected = true;
    }
    if (!allocate_packet_table(message_)) {
        error = message_;
        return false;
    }
    const int pairs = file_pair_count(input_file_count);
    start_progress(pairs);
    const bool walked = walk_file_pairs(input_file_count, visit, this);
    if (!walked) {
        result_.run_stopped = true;
        result_.stop_message = message_;
        result_.stop_pair = pair_;
        for (int file = scanned_up_to_ + 1; file < input_file_count; ++file) scan_alone(file);
    }
    end_progress();
    release_packet_table();

    settle_outcomes();
    for (auto& [id, entries] : images_) {
        std::sort(entries.begin(), entries.end(), [](const ImageAudit& a, const ImageAudit& b) {
            return std::tie(a.header_day, a.header_ms, a.header_submillisecond) <
                   std::tie(b.header_day, b.header_ms, b.header_submillisecond);
        });
        for (ImageAudit& image : entries) result_.images.push_back(std::move(image));
    }
    for (FileAudit& file : skipped_files_) result_.files.push_back(std::move(file));
    return true;
}

}  // namespace

uint64_t stream_checksum(const uint8_t* bytes, size_t size) {
    constexpr uint64_t kMultiplier = 0x9E3779B97F4A7C15ULL;
    uint64_t h = size * kMultiplier;
    size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        uint64_t word = 0;
        std::memcpy(&word, bytes + i, 8);
        h = (h ^ word) * kMultiplier;
        h ^= h >> 32;
    }
    uint64_t tail = 0;
    if (size > i) std::memcpy(&tail, bytes + i, size - i);
    h = (h ^ tail) * kMultiplier;
    return h ^ (h >> 29);
}

bool audit_level0(AuditResult& result, std::string& error) {
    Walk walk(result);
    return walk.walk(error);
}

}  // namespace tavo_audit
