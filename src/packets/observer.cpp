// The packet stage's codes: their texts, the final reason of an image no
// pair wrote, and where its loss lies.
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

ImageReason final_image_reason(const PassedOverImage& image) {
    if (image.file_count > 2) return ImageReason::kSpreadOverFiles;
    if (image.after_stop) return ImageReason::kRunStopped;
    if (image.decided) {
        if (image.decision == ImageReason::kTimeNotLater && image.outside_window) return ImageReason::kOutsideWindow;
        return image.decision;
    }
    if (!image.has_header) return ImageReason::kHeaderPacketMissing;
    if (image.outside_window) return ImageReason::kOutsideWindow;
    // Dropped by a later pair's packet window, which begins at the last image written.
    if (image.header_outside_window) return ImageReason::kTimeNotLater;
    return ImageReason::kHeldBack;
}

LossOrigin reason_loss_origin(ImageReason reason) {
    switch (reason) {
        case ImageReason::kOutsideWindow: return LossOrigin::kNone;
        // The telemetry lacks part of the image.
        case ImageReason::kFinalPacketMissing:
        case ImageReason::kHeaderPacketMissing:
        case ImageReason::kHeaderTooShort:
        case ImageReason::kImageTimeInvalid: return LossOrigin::kTelemetry;
        // The image is whole in the level-0; the run's rules or its stop lost it.
        case ImageReason::kIdNotAbove:
        case ImageReason::kTimeNotLater:
        case ImageReason::kHeldBack:
        case ImageReason::kSpreadOverFiles:
        case ImageReason::kRunStopped: break;
    }
    return LossOrigin::kRun;
}
