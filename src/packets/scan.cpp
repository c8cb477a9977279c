// The CCSDS packet scan of a file pair, the record order and the selection
// of the records that image assembly may use.
#include <algorithm>
#include <cstring>
#include <iterator>

#include "base/base.h"
#include "packets/packets.h"
#include "time/time.h"

const uint16_t accepted_apids[kAcceptedApidCount] = {802, 810, 811, 812, 813, 814, 815, 848, 850, 858, 859};

int packet_count = 0;

namespace {

constexpr size_t kScanHeaderBytes = 20;       // read first: primary header and packet time
constexpr uint32_t kLengthFieldExtra = 7;     // total length = length field + 7
constexpr uint32_t kApidMask = 0x03FF;        // low 10 bits, bit 10 not part of the identifier
constexpr uint32_t kVersionFlagMask = 0xE800; // version bits and secondary-header flag
constexpr uint32_t kVersionFlagValue = 0x0800;
constexpr uint32_t kSequenceFlagMask = 0xC000;  // both flags set: unsegmented packet
constexpr size_t kKindEnd = 26;                 // bytes 24-25 hold the packet kind
constexpr uint32_t kNoKind = 0xFFFF;            // packet too short to carry its kind
constexpr uint64_t kMaxRecordOffset = UINT32_MAX;
constexpr int kLastRecordsKept = 4;             // records left to the next pair
constexpr int32_t kWindowLeadSeconds = -5;
constexpr int32_t kWindowTrailSeconds = 30;

uint8_t scan_buffer[kMaxPacketLength];


bool is_accepted_apid(uint32_t apid) {
    return std::find(std::begin(accepted_apids), std::end(accepted_apids), apid) != std::end(accepted_apids);
}

void append_record(const uint8_t* packet, uint32_t length, uint32_t source, uint32_t offset) {
    PacketRecord& record = packet_records()[packet_count];
    record.apid = read_be16(packet, 0) & kApidMask;
    record.day = read_be24(packet, 6);
    record.millisecond = read_be32(packet, 9);
    record.submillisecond = read_be16(packet, 13);
    record.length = length;
    record.sequence_word = read_be16(packet, 2);
    record.source = source;
    record.image_id = read_be32(packet, 20);
    record.packet_kind = length >= kKindEnd ? read_be16(packet, 24) : kNoKind;
    record.offset = offset;
    record.selected = 1;
}

bool report_too_many(char* run_message, const char* current_entry, const char* successor_entry) {
    const char* root = run_settings.param_text[PARAM_INPUT_ROOT_DIRECTORY];
    if (successor_entry != nullptr) {
        set_run_message(run_message,
                        "ERROR - Exceeded maximum number of CCSDS packets which can be processed in %s%s and %s",
                        root, current_entry, successor_entry);
    } else {
        set_run_message(run_message, "ERROR - Exceeded maximum number of CCSDS packets which can be processed in %s%s",
                        root, current_entry);
    }
    return false;
}

// Reads one stream packet by packet until it ends, recording the packets of
// the accepted identifiers. False only for a run-ending condition.
bool scan_stream(char* run_message, FILE* stream, uint32_t source, const char* entry, const char* current_entry,
                 const char* successor_entry, PacketObserver* observer) {
    const char* root = run_settings.param_text[PARAM_INPUT_ROOT_DIRECTORY];
    uint64_t position = 0;
    for (;;) {
        const size_t head = std::fread(scan_buffer, 1, kScanHeaderBytes, stream);
        if (head != kScanHeaderBytes) {
            if (observer != nullptr && head > 0) {
                observer->packet_scanned({source, position, scan_buffer, static_cast<uint32_t>(head), 0,
                                          PacketVerdict::kCutShort, nullptr});
            }
            return true;
        }
        const uint32_t identification = read_be16(scan_buffer, 0);
        const uint32_t sequence_word = read_be16(scan_buffer, 2);
        const uint32_t length_field = read_be16(scan_buffer, 4);
        const uint32_t length = length_field + kLengthFieldExtra;
        const bool sane_length = length >= kMinPacketLength && length <= kMaxPacketLength;
        if (!sane_length) {
            if (observer != nullptr) {
                observer->packet_scanned({source, position, scan_buffer, static_cast<uint32_t>(head), length,
                                          PacketVerdict::kBadLength, nullptr});
            }
            set_run_message(run_message,
                            "ERROR - Bad packet length of %d at offset %ld in extracted binary APIDs from %s%s, "
                            "cannot continue",
                            static_cast<int>(length_field), static_cast<long>(position), root, entry);
            return false;
        }
        // The rest of the packet is read in every case: rejected packets are
        // skipped without leaving the stream's buffer.
        const size_t rest = length - kScanHeaderBytes;
        const size_t got = std::fread(scan_buffer + kScanHeaderBytes, 1, rest, stream);
        if (got != rest) {
            if (observer != nullptr) {
                observer->packet_scanned({source, position, scan_buffer,
                                          static_cast<uint32_t>(kScanHeaderBytes + got), length,
                                          PacketVerdict::kCutShort, nullptr});
            }
            return true;
        }
        const bool known_apid = is_accepted_apid(identification & kApidMask);
        const bool accepted = known_apid && (identification & kVersionFlagMask) == kVersionFlagValue &&
                              (sequence_word & kSequenceFlagMask) == kSequenceFlagMask;
        if (observer != nullptr && !accepted) {
            const PacketVerdict verdict = known_apid ? PacketVerdict::kHeaderBits : PacketVerdict::kApidNotAccepted;
            observer->packet_scanned({source, position, scan_buffer, length, length, verdict, nullptr});
        }
        if (accepted) {
            if (position > kMaxRecordOffset) {
                set_run_message(run_message,
                                "ERROR - Packet at offset %llu beyond 4 GiB in extracted binary APIDs from %s%s, "
                                "cannot continue",
                                static_cast<unsigned long long>(position), root, entry);
                return false;
            }
            append_record(scan_buffer, length, source, static_cast<uint32_t>(position));
            if (observer != nullptr) {
                observer->packet_scanned({source, position, scan_buffer, length, length, PacketVerdict::kRecorded,
                                          &packet_records()[packet_count]});
            }
            if (++packet_count >= kMaxPackets) return report_too_many(run_message, current_entry, successor_entry);
        }
        position += length;
    }
}

bool same_packet_time(const PacketRecord& a, const PacketRecord& b) {
    return a.day == b.day && a.millisecond == b.millisecond && a.submillisecond == b.submillisecond &&
           a.sequence_word == b.sequence_word;
}

bool before(uint32_t day, uint32_t ms, uint32_t limit_day, uint32_t limit_ms) {
    return day < limit_day || (day == limit_day && ms < limit_ms);
}

int compare_signed(uint32_t a, uint32_t b) {
    const int32_t x = static_cast<int32_t>(a);
    const int32_t y = static_cast<int32_t>(b);
    return x < y ? -1 : (x > y ? 1 : 0);
}

}  // namespace

bool scan_packet_streams(char* run_message, FILE* current, FILE* successor, const char* current_entry,
                         const char* successor_entry, PacketObserver* observer) {
    packet_count = 0;
    if (packet_table == nullptr) {
        set_run_message(run_message, "ERROR - No packet table allocated for APID processing");
        return false;
    }
    if (!scan_stream(run_message, current, 1, current_entry, current_entry, successor_entry, observer)) return false;
    if (successor == nullptr) return true;
    return scan_stream(run_message, successor, 2, successor_entry, current_entry, successor_entry, observer);
}

int compare_packet_records(const PacketRecord& a, const PacketRecord& b) {
    if (int c = compare_signed(a.image_id, b.image_id)) return c;
    if (int c = compare_signed(a.packet_kind, b.packet_kind)) return c;
    if (int c = compare_signed(a.day, b.day)) return c;
    if (int c = compare_signed(a.millisecond, b.millisecond)) return c;
    if (int c = compare_signed(a.submillisecond, b.submillisecond)) return c;
    return compare_signed(a.offset, b.offset);
}

void sort_packet_records() {
    // Records equal in every compared word keep the current stream's first,
    // so the order, and the copy that survives as duplicate, are fixed.
    std::sort(packet_records(), packet_records() + packet_count, [](const PacketRecord& a, const PacketRecord& b) {
        const int c = compare_packet_records(a, b);
        return c != 0 ? c < 0 : a.source < b.source;
    });
}

bool compute_packet_window(char* run_message, PacketWindow& window) {
    if (!shift_date_time(last_image_time.date, last_image_time.time, kWindowLeadSeconds, DATE_FORM_EPOCH,
                         window.start_day, window.start_ms) ||
        !shift_date_time(window_end.date, window_end.time, kWindowTrailSeconds, DATE_FORM_EPOCH, window.end_day,
                         window.end_ms)) {
        set_run_message(run_message, "ERROR - Invalid time range of %08u / %06u to %08u / %06u in FITS processing",
                        last_image_time.date, last_image_time.time, window_end.date, window_end.time);
        return false;
    }
    return true;
}

bool latest_end_before(DateTime until, DateTime& end) {
    // The window's end is inclusive to the millisecond: END + 30 s must lie
    // a whole second before until.
    return shift_date_time(until.date, until.time, -(kWindowTrailSeconds + 1), DATE_FORM_CALENDAR, end.date,
                           end.time);
}

void select_packet_records(const PacketWindow& window, bool last_pair, PacketObserver* observer) {
    PacketRecord* records = packet_records();
    for (int i = 0; i < packet_count; ++i) {
        PacketRecord& record = records[i];
        if (record.selected == 0) continue;
        for (int k = i + 1; k < packet_count && records[k].selected != 0 && same_packet_time(records[k], record); ++k) {
            records[k].selected = 0;
            if (observer != nullptr) observer->record_dropped(records[k], RecordDrop::kDuplicate);
        }
        if (before(record.day, record.millisecond, window.start_day, window.start_ms) ||
            before(window.end_day, window.end_ms, record.day, record.millisecond)) {
            record.selected = 0;
            if (observer != nullptr) observer->record_dropped(record, RecordDrop::kOutsideWindow);
        }
        // The next pair reads the successor again but never this pair's
        // current file, so only successor records are left to it.
        // With fewer than four records nothing is left over.
        if (!last_pair && packet_count >= kLastRecordsKept && i >= packet_count - kLastRecordsKept &&
            record.source == 2 && record.selected != 0) {
            record.selected = 0;
            if (observer != nullptr) observer->record_dropped(record, RecordDrop::kHeldBack);
        }
    }
}

bool process_packet_streams(char* run_message, FILE* current, FILE* successor, bool last_pair,
                            const char* current_entry, const char* successor_entry, const PipelineHooks& hooks) {
    if (!scan_packet_streams(run_message, current, successor, current_entry, successor_entry, hooks.observer)) {
        return false;
    }
    if (packet_count == 0) return true;
    sort_packet_records();
    PacketWindow window{};
    if (!compute_packet_window(run_message, window)) return false;
    select_packet_records(window, last_pair, hooks.observer);
    return assemble_images(run_message, current, successor, hooks);
}
