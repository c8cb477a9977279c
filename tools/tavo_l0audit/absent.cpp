// What the level-0 lacks: images absent from it, told by the image-id
// sequence of the window and confirmed by the packets' sequence gaps, and
// the origin of every loss.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "audit.h"
#include "time_text.h"

namespace tavo_audit {

namespace {

constexpr double kSecondsPerDay = 86400.0;
constexpr int64_t kEpochDayOffset = 10957;  // days from 1970-01-01 to 2000-01-01
constexpr double kEpochNoonSeconds = 43200.0;  // the epoch begins at 2000-01-01 12:00:00

// "2017-03-01T12" of seconds from 1970-01-01.
std::string hour_text(double seconds) {
    const auto whole = static_cast<int64_t>(std::floor(seconds));
    int64_t days = whole / 86400;
    if (whole % 86400 < 0) --days;
    const int hour = static_cast<int>((whole - days * 86400) / 3600);
    const tavo_tools::CivilDate date = tavo_tools::civil_from_days(days);
    char text[48];
    std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02d", static_cast<long long>(date.year), date.month, date.day,
                  hour);
    return text;
}

// Image time in seconds from 1970-01-01.
double image_seconds(const ImageAudit& image) {
    const int64_t days = tavo_tools::days_from_civil(image.date / 10000, image.date / 100 % 100, image.date % 100);
    return static_cast<double>(days) * kSecondsPerDay + image.time / 10000 * 3600.0 + image.time / 100 % 100 * 60.0 +
           image.time % 100 + image.ms / 1000.0;
}

// A packet time in the same seconds.
double packet_seconds(PacketTime time) {
    return (static_cast<double>(time.day) + kEpochDayOffset) * kSecondsPerDay + kEpochNoonSeconds + time.ms / 1000.0;
}

bool in_window(const ImageAudit& image) {
    return image.time_known && image.reason != ImageReason::kOutsideWindow;
}

// Median time step between images whose ids follow one another.
double id_cadence(const std::vector<ImageAudit>& images, const std::vector<size_t>& order) {
    std::vector<double> steps;
    for (size_t i = 1; i < order.size(); ++i) {
        const ImageAudit& a = images[order[i - 1]];
        const ImageAudit& b = images[order[i]];
        if (b.image_id == a.image_id + 1) steps.push_back(image_seconds(b) - image_seconds(a));
    }
    if (steps.empty()) return 0;
    std::nth_element(steps.begin(), steps.begin() + static_cast<long>(steps.size() / 2), steps.end());
    return steps[steps.size() / 2];
}

// The sequence gaps that overlap the time between the header packets of two
// images: each identifier's gap runs from its last packet before the loss.
void cite_sequence_gaps(const AuditResult& result, const ImageAudit& a, const ImageAudit& b, AbsentRange& range) {
    const double from = packet_seconds({a.header_day, a.header_ms});
    const double to = packet_seconds({b.header_day, b.header_ms});
    for (size_t f = 0; f < result.files.size(); ++f) {
        for (const SequenceGap& gap : result.files[f].gaps) {
            if (packet_seconds(gap.after) < to && packet_seconds(gap.before) > from)
                range.gaps.emplace_back(static_cast<int>(f), gap);
        }
    }
}

// The ids missing between images a and b (ids step > 1), as ranges of ids
// the level-0 holds no packet of, each counted per hour by the time
// interpolated between a and b.
void add_absent_ranges(AuditResult& result, size_t ia, size_t ib, const std::vector<uint32_t>& seen_ids) {
    const ImageAudit& a = result.images[ia];
    const ImageAudit& b = result.images[ib];
    const double ta = image_seconds(a), step = (image_seconds(b) - ta) / (b.image_id - a.image_id);
    AbsentRange* open = nullptr;
    for (uint32_t id = a.image_id + 1; id < b.image_id; ++id) {
        if (std::binary_search(seen_ids.begin(), seen_ids.end(), id)) {
            open = nullptr;
            continue;
        }
        if (open == nullptr) {
            result.absent.push_back({id, id, ia, ib, {}, {}});
            open = &result.absent.back();
            cite_sequence_gaps(result, a, b, *open);
        }
        open->last_id = id;
        ++open->by_hour[hour_text(ta + step * (id - a.image_id))];
    }
}

}  // namespace

LossOrigin loss_origin(const ImageAudit& image) {
    if (image.status == ImageStatus::kWritten) return image.problems.empty() ? LossOrigin::kNone : LossOrigin::kRun;
    if (image.status == ImageStatus::kWrittenPartial) return LossOrigin::kTelemetry;
    return image.reason ? reason_loss_origin(*image.reason) : LossOrigin::kRun;
}

void find_absent_images(AuditResult& result) {
    std::vector<uint32_t> seen_ids;
    std::vector<size_t> order;  // images of the window in time order
    for (size_t i = 0; i < result.images.size(); ++i) {
        seen_ids.push_back(result.images[i].image_id);
        if (in_window(result.images[i])) order.push_back(i);
    }
    std::sort(seen_ids.begin(), seen_ids.end());
    std::stable_sort(order.begin(), order.end(), [&](size_t x, size_t y) {
        return image_seconds(result.images[x]) < image_seconds(result.images[y]);
    });
    result.cadence_seconds = id_cadence(result.images, order);
    for (size_t i = 1; i < order.size(); ++i) {
        const ImageAudit& a = result.images[order[i - 1]];
        const ImageAudit& b = result.images[order[i]];
        if (b.image_id == a.image_id + 1) continue;
        if (b.image_id <= a.image_id) {
            result.id_breaks.push_back({order[i - 1], order[i], b.image_id == a.image_id ? "repeat" : "reset"});
            continue;
        }
        // The times must hold as many cadences as the ids step over.
        const double cadence = result.cadence_seconds;
        const double steps = cadence > 0 ? (image_seconds(b) - image_seconds(a)) / cadence : 0;
        if (cadence <= 0 || std::lround(steps) != static_cast<long>(b.image_id - a.image_id)) {
            result.id_breaks.push_back({order[i - 1], order[i], "jump"});
            continue;
        }
        add_absent_ranges(result, order[i - 1], order[i], seen_ids);
    }
}

}  // namespace tavo_audit
