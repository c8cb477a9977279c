// The texts of the packet stage's codes.
#include "base/base.h"
#include "packets/packets.h"

namespace {

constexpr CodeText kImageReasons[kImageReasonCount] = {
    {"final_packet_missing", "final packet missing"},
    {"header_packet_missing", "header packet missing"},
    {"header_too_short", "header too short"},
    {"image_time_invalid", "image time invalid"},
    {"outside_window", "outside the window"},
    {"id_not_above_last", "id not above the last one written"},
    {"time_not_later", "time not later than the last one written"},
    {"held_back_at_pair_end", "held back at a pair's end"},
    {"spread_over_files", "spread over more files than a pair holds"},
    {"run_stopped", "run stopped before it"},
};

constexpr const char* kPacketVerdicts[kPacketVerdictCount] = {
    "recorded", "apid_not_accepted", "header_bits", "bad_length", "cut_short",
};

}  // namespace


const char* image_reason_code(ImageReason reason) { return kImageReasons[static_cast<int>(reason)].code; }
const char* image_reason_text(ImageReason reason) { return kImageReasons[static_cast<int>(reason)].text; }
const char* packet_verdict_code(PacketVerdict verdict) { return kPacketVerdicts[static_cast<int>(verdict)]; }
