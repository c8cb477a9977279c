// The Prometheus text format, as the node exporter's textfile collector reads it.
#include "metrics.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "output_file.h"

namespace tavo_tools {

namespace {

// A label value escaped as the format asks: backslash, double quote, line feed.
std::string escaped_label_value(const std::string& value) {
    std::string out;
    for (const char c : value) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

std::string labels_text(const MetricLabels& labels) {
    if (labels.empty()) return "";
    std::string text = "{";
    for (size_t i = 0; i < labels.size(); ++i) {
        text += (i == 0 ? "" : ",") + labels[i].first + "=\"" + escaped_label_value(labels[i].second) + "\"";
    }
    return text + "}";
}

}  // namespace

std::string follow_metrics_file_name(int kite) {
    char name[64];
    std::snprintf(name, sizeof name, "tavo_l0_follow_k%02d%s", kite, kMetricsFileEnd);
    return name;
}

std::string metric_value_text(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    char text[64];
    if (value == std::floor(value) && std::fabs(value) < 1e15) {
        std::snprintf(text, sizeof text, "%.0f", value);
    } else {
        // The shortest text that reads back as the same value.
        std::snprintf(text, sizeof text, "%.15g", value);
        if (std::strtod(text, nullptr) != value) std::snprintf(text, sizeof text, "%.17g", value);
    }
    return text;
}

void MetricsText::family(std::string_view name, std::string_view type, std::string_view help) {
    text_ += "# HELP " + std::string(name) + " " + std::string(help) + "\n";
    text_ += "# TYPE " + std::string(name) + " " + std::string(type) + "\n";
}

void MetricsText::sample(std::string_view name, const MetricLabels& labels, double value) {
    text_ += std::string(name) + labels_text(labels) + " " + metric_value_text(value) + "\n";
}

void MetricsText::histogram(std::string_view name, const MetricLabels& labels, const std::vector<double>& bounds,
                            const std::vector<uint64_t>& cumulative_counts, double sum, uint64_t count) {
    const std::string bucket = std::string(name) + "_bucket";
    for (size_t i = 0; i < bounds.size(); ++i) {
        MetricLabels with_bound = labels;
        with_bound.emplace_back("le", metric_value_text(bounds[i]));
        sample(bucket, with_bound, static_cast<double>(cumulative_counts[i]));
    }
    MetricLabels infinite = labels;
    infinite.emplace_back("le", "+Inf");
    sample(bucket, infinite, static_cast<double>(count));
    sample(std::string(name) + "_sum", labels, sum);
    sample(std::string(name) + "_count", labels, static_cast<double>(count));
}

Histogram::Histogram(std::vector<double> upper_bounds) : bounds(std::move(upper_bounds)), counts(bounds.size(), 0) {}

void Histogram::observe(double value) {
    for (size_t i = 0; i < bounds.size(); ++i) {
        if (value <= bounds[i]) ++counts[i];
    }
    sum += value;
    ++count;
}

bool write_metrics_file(const std::string& path, const std::string& text, std::string& error) {
    return write_output_file(path, text, error);
}

}  // namespace tavo_tools
