// Metrics in the Prometheus text exposition format, written as files for
// the node exporter's textfile collector: each file written beside its name
// and renamed, so a scrape never reads half of one.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tavo_tools {

// The file name ending the textfile collector reads.
constexpr char kMetricsFileEnd[] = ".prom";

// The follower's metrics file of a satellite: "tavo_l0_follow_k16.prom".
std::string follow_metrics_file_name(int kite);
// The follower's two times that the mission page reads back from that file.
constexpr char kFollowProcessedToMetric[] = "tavo_l0_follow_processed_to_timestamp_seconds";
constexpr char kFollowLastProductMetric[] = "tavo_l0_follow_last_product_timestamp_seconds";

using MetricLabels = std::vector<std::pair<std::string, std::string>>;

// One metrics file's text, family by family.
class MetricsText {
public:
    // Starts a family: its HELP and TYPE ("gauge", "counter", "histogram").
    void family(std::string_view name, std::string_view type, std::string_view help);
    // One sample of the family started last (name may carry a suffix such as "_bucket").
    void sample(std::string_view name, const MetricLabels& labels, double value);
    // A histogram family's samples: bucket counts per upper bound (each
    // count of the values at or under that bound), "+Inf", _sum and _count.
    void histogram(std::string_view name, const MetricLabels& labels, const std::vector<double>& bounds,
                   const std::vector<uint64_t>& cumulative_counts, double sum, uint64_t count);
    const std::string& text() const { return text_; }

private:
    std::string text_;
};

// A value as the format spells it: integers without exponent, NaN, +Inf, -Inf.
std::string metric_value_text(double value);

// Observations of one histogram, kept by upper bound.
struct Histogram {
    std::vector<double> bounds;            // ascending upper bounds
    std::vector<uint64_t> counts;          // per bound, of values at or under it (cumulative)
    double sum = 0;
    uint64_t count = 0;
    explicit Histogram(std::vector<double> upper_bounds = {});
    void observe(double value);
};

// Writes text to path for the textfile collector (beside, then renamed);
// false with error set when it cannot.
bool write_metrics_file(const std::string& path, const std::string& text, std::string& error);

}  // namespace tavo_tools
