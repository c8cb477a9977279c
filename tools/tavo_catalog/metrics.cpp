// The catalog's metrics for Prometheus, and the followers' metrics files
// the mission page reads.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>

#include "catalog.h"
#include "driver/driver.h"
#include "metrics.h"
#include "time_text.h"

namespace tavo_catalog {

namespace {

struct Range {
    const char* label;
    int64_t ms;
};
// Counted back from the satellite's newest image.
constexpr Range kRanges[] = {{"24h", kMsPerDay}, {"30d", 30 * kMsPerDay}};
constexpr size_t kRangeCount = sizeof kRanges / sizeof kRanges[0];

constexpr const char* kProcessedTo = tavo_tools::kFollowProcessedToMetric;
constexpr const char* kLastProduct = tavo_tools::kFollowLastProductMetric;
constexpr off_t kMaxFollowerFileBytes = 1 << 20;  // a follower's file is a few KiB
constexpr double kLatestTimestamp = 4102444800;   // 2100-01-01: the catalog's times end before

struct Counts {
    int64_t products = 0, images = 0;
};

struct Satellite {
    bool has_images = false;
    std::map<int64_t, Counts> passbands[kRangeCount];  // by wavelength, -1 unknown
    int64_t replay_packets[kRangeCount] = {};
    bool has_ingest = false;
    double last_ingest_s = 0;
};

bool failed_query(const Statement& statement, std::string& error) {
    if (statement.error().empty()) return false;
    error = statement.damaged() ? statement.error() : "catalog query failed: " + statement.error();
    return true;
}

// A range's counts: the daily table's whole days from the first one that
// starts inside the range to the newest image's day (no image lies after
// it), and the images table for the part of the day the range starts in.
bool count_range(Statement& counts, int kite, int64_t from, std::map<int64_t, Counts>& passbands, std::string& error) {
    const int64_t first_whole_day = (from + kMsPerDay - 1) / kMsPerDay;
    counts.reset();
    counts.bind(1, kite).bind(2, first_whole_day).bind(3, from).bind(4, first_whole_day * kMsPerDay - 1);
    while (counts.step()) {
        Counts& c = passbands[counts.integer(0)];
        c.products = counts.integer(1);
        c.images = counts.integer(2);
    }
    return !failed_query(counts, error);
}

bool read_satellites(const Catalog& catalog, std::map<int, Satellite>& satellites, std::string& error) {
    Statement ingests(catalog, "SELECT kite, max(ingested) FROM runs GROUP BY kite");
    while (ingests.step()) {
        Satellite& s = satellites[static_cast<int>(ingests.integer(0))];
        int64_t ms = 0;
        s.has_ingest = tavo_tools::parse_utc_ms(ingests.text(1), ms);
        s.last_ingest_s = static_cast<double>(ms) / 1000;
    }
    if (failed_query(ingests, error)) return false;
    Statement newest(catalog, "SELECT max(time) FROM images WHERE kite = ?");
    const std::string sql =
        std::string("SELECT wavelength, sum(products), sum(images) FROM ("
                    "SELECT wavelength, products, images FROM daily WHERE kite = ?1 AND day >= ?2 "
                    "UNION ALL SELECT wavelength, products, images FROM (SELECT wavelength, ") +
        kImageCountColumns + " FROM images WHERE kite = ?1 AND time BETWEEN ?3 AND ?4 GROUP BY wavelength)) "
                             "GROUP BY wavelength";
    Statement counts(catalog, sql.c_str());
    for (auto& [kite, satellite] : satellites) {
        newest.reset();
        newest.bind(1, kite);
        if (!newest.step()) {
            if (failed_query(newest, error)) return false;
            continue;
        }
        if (newest.is_null(0)) continue;
        satellite.has_images = true;
        const int64_t last = newest.integer(0);
        for (size_t r = 0; r < kRangeCount; ++r) {
            const int64_t from = last - kRanges[r].ms + 1;
            if (!count_range(counts, kite, from, satellite.passbands[r], error)) return false;
            // The packets replay asks for over the range: every gap it overlaps.
            Table replay;
            if (!query_replay(catalog, Period{from, std::numeric_limits<int64_t>::max(), kite}, replay, error))
                return false;
            for (const auto& row : replay.rows) satellite.replay_packets[r] += row[4].get<int64_t>();
        }
    }
    return true;
}

// The text up to the end of a label value's quotes; npos when unclosed.
size_t label_value_end(const std::string& line, size_t at) {
    for (; at < line.size(); ++at) {
        if (line[at] == '\\') {
            ++at;
        } else if (line[at] == '"') {
            return at;
        }
    }
    return std::string::npos;
}

bool is_name_char(char c, bool first) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' || (!first && c >= '0' && c <= '9');
}

// One sample line: "name{label="value",...} value [timestamp]". False with
// why set when it is none.
bool parse_sample(const std::string& line, std::string& name, std::map<std::string, std::string>& labels,
                  double& value, std::string& why) {
    size_t at = 0;
    while (at < line.size() && is_name_char(line[at], at == 0)) ++at;
    if (at == 0) {
        why = "no metric name";
        return false;
    }
    name = line.substr(0, at);
    labels.clear();
    if (at < line.size() && line[at] == '{') {
        ++at;
        while (true) {
            while (at < line.size() && line[at] == ' ') ++at;
            if (at < line.size() && line[at] == '}') break;
            const size_t start = at;
            while (at < line.size() && is_name_char(line[at], at == start)) ++at;
            if (at == start || at + 1 >= line.size() || line[at] != '=' || line[at + 1] != '"') {
                why = "a label of " + name + " is not name=\"value\"";
                return false;
            }
            const size_t end = label_value_end(line, at + 2);
            if (end == std::string::npos) {
                why = "a label value of " + name + " is not closed";
                return false;
            }
            labels[line.substr(start, at - start)] = line.substr(at + 2, end - at - 2);
            at = end + 1;
            while (at < line.size() && line[at] == ' ') ++at;
            if (at < line.size() && line[at] == ',') ++at;
            else if (at >= line.size() || line[at] != '}') {
                why = "the labels of " + name + " are not closed";
                return false;
            }
        }
        ++at;
    }
    const size_t value_start = line.find_first_not_of(' ', at);
    if (value_start == at || value_start == std::string::npos) {
        why = "no value after " + name;
        return false;
    }
    const size_t value_end = std::min(line.find(' ', value_start), line.size());
    const std::string number = line.substr(value_start, value_end - value_start);
    errno = 0;
    char* end = nullptr;
    value = std::strtod(number.c_str(), &end);
    if (end != number.c_str() + number.size() || errno == ERANGE) {
        why = "the value of " + name + " is no number";
        return false;
    }
    // An optional timestamp (integer milliseconds) ends the line.
    const size_t stamp = line.find_first_not_of(' ', value_end);
    if (stamp != std::string::npos && line.find_first_not_of("-0123456789", stamp) != std::string::npos) {
        why = "text after the value of " + name;
        return false;
    }
    return true;
}

}  // namespace

bool catalog_metrics(const Catalog& catalog, std::string& text, std::string& error) {
    std::map<int, Satellite> satellites;
    if (!read_satellites(catalog, satellites, error)) return false;
    tavo_tools::MetricsText metrics;
    using Value = double (*)(const Counts&);
    const struct {
        const char* name;
        const char* help;
        Value value;
    } kCountFamilies[] = {
        {"tavo_l0_catalog_images", "Images of the range, absent ones included (passband unknown).",
         [](const Counts& c) { return static_cast<double>(c.images); }},
        {"tavo_l0_catalog_products", "Products among them, partial ones included.",
         [](const Counts& c) { return static_cast<double>(c.products); }},
        {"tavo_l0_catalog_completeness_ratio", "Products / images (1 when there are no images).",
         [](const Counts& c) { return c.images > 0 ? static_cast<double>(c.products) / c.images : 1.0; }},
    };
    for (const auto& family : kCountFamilies) {
        metrics.family(family.name, "gauge", family.help);
        for (const auto& [kite, satellite] : satellites) {
            // The 30 days hold every passband of the 24 hours: both ranges name the same ones.
            for (const auto& [wavelength, ignored] : satellite.passbands[kRangeCount - 1]) {
                for (size_t r = 0; r < kRangeCount; ++r) {
                    const auto found = satellite.passbands[r].find(wavelength);
                    metrics.sample(family.name,
                                   {{"kite", std::to_string(kite)}, {"passband", passband_text(wavelength)},
                                    {"range", kRanges[r].label}},
                                   family.value(found == satellite.passbands[r].end() ? Counts{} : found->second));
                }
            }
        }
    }
    metrics.family("tavo_l0_catalog_replay_packets", "gauge",
                   "Packets to ask the ground station for again over the range.");
    for (const auto& [kite, satellite] : satellites) {
        if (!satellite.has_images) continue;
        for (size_t r = 0; r < kRangeCount; ++r) {
            metrics.sample("tavo_l0_catalog_replay_packets", {{"kite", std::to_string(kite)}, {"range", kRanges[r].label}},
                           static_cast<double>(satellite.replay_packets[r]));
        }
    }
    metrics.family("tavo_l0_catalog_last_ingest_timestamp_seconds", "gauge",
                   "When the catalog last took a report of the satellite.");
    for (const auto& [kite, satellite] : satellites) {
        if (satellite.has_ingest)
            metrics.sample("tavo_l0_catalog_last_ingest_timestamp_seconds", {{"kite", std::to_string(kite)}},
                           satellite.last_ingest_s);
    }
    text = metrics.text();
    return true;
}

std::string follower_metrics_path(const std::string& directory, int kite) {
    return directory + "/" + tavo_tools::follow_metrics_file_name(kite);
}

bool parse_follower_metrics(const std::string& text, int kite, FollowerState& state, std::string& why) {
    bool processed_to = false, last_product = false;
    size_t number = 0;
    for (size_t at = 0; at < text.size();) {
        const size_t end = std::min(text.find('\n', at), text.size());
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        ++number;
        if (line.empty() || line[0] == '#') continue;
        std::string name;
        std::map<std::string, std::string> labels;
        double value = 0;
        if (!parse_sample(line, name, labels, value, why)) {
            why = "line " + std::to_string(number) + ": " + why;
            return false;
        }
        const auto label = labels.find("kite");
        if ((name != kProcessedTo && name != kLastProduct) || (label != labels.end() && label->second != std::to_string(kite)))
            continue;
        if (!(value >= 0 && value < kLatestTimestamp)) {
            why = "line " + std::to_string(number) + ": " + name + " is no time of the years to 2099";
            return false;
        }
        (name == kProcessedTo ? processed_to : last_product) = true;
        (name == kProcessedTo ? state.processed_to : state.last_product) = value;
    }
    if (!processed_to || !last_product) {
        why = std::string("no ") + (processed_to ? kLastProduct : kProcessedTo) + " of KITE-" + std::to_string(kite);
        return false;
    }
    return true;
}

std::vector<FollowerState> read_follower_states(const std::string& directory) {
    std::vector<FollowerState> followers;
    for (int kite = kFirstSatellite; kite <= kLastSatellite; ++kite) {
        FollowerState state;
        state.kite = kite;
        state.file = follower_metrics_path(directory, kite);
        // Non-blocking: a pipe at the name is refused, not waited on.
        const int fd = ::open(state.file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT) continue;
        struct stat info;
        std::string text;
        if (fd < 0) {
            state.damage = std::strerror(errno);
        } else if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            state.damage = "not a regular file";
        } else if (info.st_size > kMaxFollowerFileBytes) {
            state.damage = "larger than " + std::to_string(kMaxFollowerFileBytes) + " bytes";
        } else {
            char buffer[65536];
            ssize_t n = 0;
            while ((n = read(fd, buffer, sizeof buffer)) > 0 && text.size() <= static_cast<size_t>(kMaxFollowerFileBytes))
                text.append(buffer, static_cast<size_t>(n));
            if (n < 0) state.damage = std::strerror(errno);
        }
        if (fd >= 0) close(fd);
        std::string why;
        if (state.damage.empty() && !parse_follower_metrics(text, kite, state, why)) state.damage = why;
        followers.push_back(state);
    }
    return followers;
}

}  // namespace tavo_catalog
