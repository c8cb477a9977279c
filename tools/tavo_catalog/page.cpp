// The mission page: one static HTML file drawn from the catalog's daily
// counts. The followers' state from their metrics files, a calendar per
// satellite and passband (one cell per day, coloured by completeness,
// linked to the day's quicklook page when there is one), and the daily
// losses by reason as stacked bars.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>

#include "catalog.h"
#include "time_text.h"
#include "layout/layout.h"
#include "output_file.h"
#include "text.h"

namespace tavo_catalog {

namespace {

namespace fs = std::filesystem;

constexpr const char* kPageName = "index.html";
constexpr const char* kQuicklookPage = "index.html";  // tavo_quicklook's day page
constexpr double kRedBelow = 0.8;       // completeness at and below which a cell is full red
constexpr int kDaysPerWeek = 7;
constexpr int kPlotHeight = 160;        // pixels of the tallest bar
constexpr int64_t kPlotWidth = 900;    // pixels the bars share
constexpr int64_t kMaxBarWidth = 24;
constexpr int64_t kDateLabelWidth = 80;  // pixels of "2017-03-01" under the axis
constexpr int kAllPassbands = 1 << 30;  // the calendar of every passband together, after the others
constexpr int64_t kEpochThursday = 3;   // 1970-01-01 was a Thursday (Monday 0)
constexpr const char* kReasonColours[] = {"#d62728", "#ff7f0e", "#9467bd", "#8c564b", "#e377c2",
                                          "#7f7f7f", "#bcbd22", "#17becf", "#1f77b4", "#2ca02c"};

constexpr const char* kStyle = R"css(
body{font-family:sans-serif;margin:1.5em;color:#222}
h2{margin-top:1.5em}
.calendar{display:inline-grid;grid-template-rows:repeat(7,12px);grid-auto-flow:column;grid-auto-columns:12px;gap:2px;margin:0 1.5em 1em 0}
.cell{display:block;width:12px;height:12px;border-radius:2px}
.cell.empty{background:#eee}
.band{display:inline-block;vertical-align:top}
.band h3{font-size:0.9em;margin:0.2em 0}
.legend span{display:inline-block;margin-right:1em}
.legend i{display:inline-block;width:12px;height:12px;margin-right:0.3em;vertical-align:middle}
#followers td,#followers th{padding:0.2em 1em 0.2em 0;text-align:left}
.damaged{color:#d62728}
)css";

// Green when complete, through yellow, to red at kRedBelow and under.
std::string completeness_colour(double completeness) {
    const double level = std::clamp((completeness - kRedBelow) / (1.0 - kRedBelow), 0.0, 1.0);
    char colour[32];
    std::snprintf(colour, sizeof colour, "hsl(%d,70%%,45%%)", static_cast<int>(120 * level));
    return colour;
}

struct DayCount {
    int64_t products = 0, images = 0;
};

// Counts per satellite and passband (kAllPassbands for all of them), then per day.
using Calendar = std::map<int, std::map<int, std::map<int64_t, DayCount>>>;

// The output root each satellite's latest audit names.
std::map<int, std::string> output_roots(const Catalog& catalog) {
    std::map<int, std::string> roots;
    Statement runs(catalog, "SELECT kite, output_root FROM runs WHERE superseded_by IS NULL ORDER BY id");
    while (runs.step()) roots[static_cast<int>(runs.integer(0))] = runs.text(1);
    return roots;
}

// The link of a day's quicklook page, relative to the page's directory; "" when none.
std::string quicklook_link(const std::string& root, int kite, int64_t day, const fs::path& page_directory) {
    if (root.empty()) return "";
    const std::string date = tavo_tools::utc_date_text(day * kMsPerDay);
    char satellite[kTreeLevelSlot];
    format_satellite_directory(kite, satellite);
    const fs::path page = fs::path(root) / satellite / "quicklook" / date.substr(0, 4) / date.substr(5, 2) /
                          date.substr(8, 2) / kQuicklookPage;
    std::error_code ec;
    if (!fs::exists(page, ec)) return "";
    const fs::path relative = fs::relative(page, page_directory, ec);
    return ec ? page.string() : relative.string();
}

std::string calendar_html(const Calendar& calendar, const Period& period, const std::map<int, std::string>& roots,
                          const fs::path& directory) {
    const int64_t first_day = period.from_ms / kMsPerDay, last_day = period.to_ms / kMsPerDay;
    std::string html = "<h2>Completeness per day and passband</h2>\n";
    for (const auto& [kite, bands] : calendar) {
        char heading[64];
        std::snprintf(heading, sizeof heading, "<h2>KITE-%02d</h2>\n", kite);
        html += heading;
        const auto root = roots.find(kite);
        for (const auto& [wavelength, days] : bands) {
            const std::string band = wavelength == kAllPassbands ? "all" : std::to_string(wavelength);
            html += "<div class=\"band\"><h3>" + band + (wavelength == kAllPassbands ? "" : " A") +
                    "</h3><div class=\"calendar\" data-kite=\"" + std::to_string(kite) + "\" data-passband=\"" +
                    tavo_tools::escape_html(band) + "\">";
            // The first column begins on a Monday.
            const int64_t weekday = ((first_day + kEpochThursday) % kDaysPerWeek + kDaysPerWeek) % kDaysPerWeek;
            for (int64_t i = 0; i < weekday; ++i) html += "<span class=\"cell pad\"></span>";
            for (int64_t day = first_day; day <= last_day; ++day) {
                const auto count = days.find(day);
                const std::string date = tavo_tools::utc_date_text(day * kMsPerDay);
                if (count == days.end() || count->second.images == 0) {
                    html += "<span class=\"cell empty\" data-day=\"" + date + "\" title=\"" + date + ": no images\"></span>";
                    continue;
                }
                const double completeness = static_cast<double>(count->second.products) / count->second.images;
                char title[128];
                std::snprintf(title, sizeof title, "%s: %lld / %lld (%.1f%%)", date.c_str(),
                              static_cast<long long>(count->second.products),
                              static_cast<long long>(count->second.images), 100.0 * completeness);
                char value[16];
                std::snprintf(value, sizeof value, "%.4f", completeness);
                const std::string link =
                    root == roots.end() ? "" : quicklook_link(root->second, kite, day, directory);
                const std::string attributes = " class=\"cell\" data-day=\"" + date + "\" data-completeness=\"" +
                                               value + "\" style=\"background:" + completeness_colour(completeness) +
                                               "\" title=\"" + tavo_tools::escape_html(title) + "\"";
                html += link.empty() ? "<span" + attributes + "></span>"
                                     : "<a" + attributes + " href=\"" + tavo_tools::escape_html(link) + "\"></a>";
            }
            html += "</div></div>\n";
        }
    }
    return html;
}

// "2017-03-01T12:59:59Z", with milliseconds when it has them.
std::string seconds_text(double seconds) {
    const auto micros = static_cast<tavo_tools::Micros>(std::llround(seconds * 1000)) * 1000;
    return tavo_tools::iso_text(micros, micros % tavo_tools::kMicrosPerSecond == 0 ? 0 : 3);
}

// "2 d 3 h", "3 h 12 min", "12 min 5 s", "5 s".
std::string age_text(int64_t seconds) {
    constexpr int64_t kMinute = 60, kHour = 3600, kDay = 86400;
    const auto two = [](int64_t a, const char* unit_a, int64_t b, const char* unit_b) {
        return std::to_string(a) + " " + unit_a + " " + std::to_string(b) + " " + unit_b;
    };
    if (seconds >= kDay) return two(seconds / kDay, "d", seconds % kDay / kHour, "h");
    if (seconds >= kHour) return two(seconds / kHour, "h", seconds % kHour / kMinute, "min");
    if (seconds >= kMinute) return two(seconds / kMinute, "min", seconds % kMinute, "s");
    return std::to_string(seconds) + " s";
}

// Each follower's mark and how long ago its last products came, as of now_s;
// a metrics file that cannot be read is named instead.
std::string followers_html(const std::vector<FollowerState>& followers, int64_t now_s) {
    if (followers.empty()) return "";
    std::string html = "<h2>Followers</h2>\n<table id=\"followers\"><tr><th>satellite</th><th>processed to</th>"
                       "<th>last products</th></tr>\n";
    for (const FollowerState& f : followers) {
        char satellite[kTreeLevelSlot];
        format_satellite_directory(f.kite, satellite);
        html += "<tr data-kite=\"" + std::to_string(f.kite) + "\"><td>" + satellite + "</td>";
        if (!f.damage.empty()) {
            html += "<td colspan=\"2\" class=\"damaged\">metrics file " + tavo_tools::escape_html(tavo_tools::printable(f.file)) +
                    " is damaged (" + tavo_tools::escape_html(tavo_tools::printable(f.damage)) + ")</td></tr>\n";
            continue;
        }
        html += "<td class=\"processed-to\">" + seconds_text(f.processed_to) + "</td>";
        if (f.last_product <= 0) {
            html += "<td class=\"last-product\">none yet</td></tr>\n";
            continue;
        }
        const int64_t age = std::max<int64_t>(0, now_s - static_cast<int64_t>(f.last_product));
        html += "<td class=\"last-product\" data-age-seconds=\"" + std::to_string(age) + "\" title=\"" +
                seconds_text(f.last_product) + "\">" + age_text(age) + " ago</td></tr>\n";
    }
    return html + "</table>\n<p>As of " + seconds_text(static_cast<double>(now_s)) + ", when the page was drawn.</p>\n";
}

// Stacked bars of the images lost each day, one colour per reason.
std::string losses_html(const std::map<int64_t, std::map<std::string, int64_t>>& losses, const Period& period) {
    std::set<std::string> reasons;
    int64_t tallest = 1;
    for (const auto& [day, by_reason] : losses) {
        int64_t total = 0;
        for (const auto& [reason, n] : by_reason) {
            reasons.insert(reason);
            total += n;
        }
        tallest = std::max(tallest, total);
    }
    std::map<std::string, std::string> colours;
    size_t next = 0;
    for (const std::string& reason : reasons)
        colours[reason] = kReasonColours[next++ % (sizeof kReasonColours / sizeof kReasonColours[0])];
    const int64_t first_day = period.from_ms / kMsPerDay, last_day = period.to_ms / kMsPerDay;
    const int64_t bar = std::clamp<int64_t>(kPlotWidth / (last_day - first_day + 1), 2, kMaxBarWidth);
    const int64_t width = std::max<int64_t>((last_day - first_day + 1) * bar, kDateLabelWidth * 2);
    std::string html = "<h2>Images lost per day, by reason</h2>\n<p class=\"legend\">";
    for (const auto& [reason, colour] : colours)
        html += "<span><i style=\"background:" + colour + "\"></i>" + tavo_tools::escape_html(reason) + "</span>";
    html += "</p>\n<svg id=\"losses\" width=\"" + std::to_string(width) + "\" height=\"" +
            std::to_string(kPlotHeight + 20) + "\" xmlns=\"http://www.w3.org/2000/svg\">\n";
    for (const auto& [day, by_reason] : losses) {
        const int64_t x = (day - first_day) * bar;
        int64_t stacked = 0;
        for (const auto& [reason, n] : by_reason) {
            const int64_t height = std::max<int64_t>(1, n * kPlotHeight / tallest);
            stacked += height;
            html += "<rect class=\"loss\" x=\"" + std::to_string(x) + "\" y=\"" + std::to_string(kPlotHeight - stacked) +
                    "\" width=\"" + std::to_string(std::max<int64_t>(1, bar - 1)) + "\" height=\"" + std::to_string(height) +
                    "\" fill=\"" + colours[reason] + "\" data-day=\"" + tavo_tools::utc_date_text(day * kMsPerDay) +
                    "\" data-reason=\"" + tavo_tools::escape_html(reason) + "\" data-images=\"" + std::to_string(n) + "\"><title>" +
                    tavo_tools::utc_date_text(day * kMsPerDay) + ": " + std::to_string(n) + " " + tavo_tools::escape_html(reason) + "</title></rect>\n";
        }
    }
    // The first and the last day under the axis.
    const std::string label_y = std::to_string(kPlotHeight + 15);
    html += "<text x=\"0\" y=\"" + label_y + "\" font-size=\"11\">" + tavo_tools::utc_date_text(period.from_ms) +
            "</text><text x=\"" + std::to_string(width) + "\" y=\"" + label_y +
            "\" font-size=\"11\" text-anchor=\"end\">" + tavo_tools::utc_date_text(period.to_ms) + "</text></svg>\n";
    if (losses.empty()) html += "<p id=\"no-losses\">No image lost in the period.</p>\n";
    return html;
}

}  // namespace

bool write_mission_page(const Catalog& catalog, const Period& period, const std::string& directory,
                        const std::vector<FollowerState>& followers, int64_t now_s, std::string& page,
                        std::string& error) {
    Calendar calendar;
    Statement days(catalog, "SELECT kite, day, wavelength, products, images FROM daily "
                            "WHERE day BETWEEN ?1 / 86400000 AND ?2 / 86400000 AND (?3 = 0 OR kite = ?3)");
    days.bind(1, period.from_ms).bind(2, period.to_ms).bind(3, period.kite);
    while (days.step()) {
        const int kite = static_cast<int>(days.integer(0));
        const int64_t wavelength = days.integer(2);
        const DayCount count{days.integer(3), days.integer(4)};
        DayCount& all = calendar[kite][kAllPassbands][days.integer(1)];
        all.products += count.products;
        all.images += count.images;
        // Absent images count in the day's total only: no packet tells their passband.
        if (wavelength >= 0) calendar[kite][static_cast<int>(wavelength)][days.integer(1)] = count;
    }
    std::map<int64_t, std::map<std::string, int64_t>> losses;
    Statement lost(catalog, "SELECT day, reason, sum(images) FROM daily_losses "
                            "WHERE day BETWEEN ?1 / 86400000 AND ?2 / 86400000 AND (?3 = 0 OR kite = ?3) "
                            "GROUP BY day, reason");
    lost.bind(1, period.from_ms).bind(2, period.to_ms).bind(3, period.kite);
    while (lost.step()) losses[lost.integer(0)][lost.text(1)] = lost.integer(2);
    if (!days.error().empty() || !lost.error().empty()) {
        error = days.damaged() ? days.error() : lost.damaged() ? lost.error() : "catalog query failed: " + days.error() + lost.error();
        return false;
    }
    std::error_code ec;
    fs::create_directories(directory, ec);
    const fs::path out = fs::absolute(fs::path(directory), ec);
    const std::string title = "TAVO mission page " + tavo_tools::utc_date_text(period.from_ms) + " to " + tavo_tools::utc_date_text(period.to_ms);
    const std::string html = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + tavo_tools::escape_html(title) +
                             "</title><style>" + kStyle + "</style></head><body>\n<h1>" + tavo_tools::escape_html(title) + "</h1>\n" +
                             followers_html(followers, now_s) + calendar_html(calendar, period, output_roots(catalog), out) +
                             losses_html(losses, period) + "</body></html>\n";
    page = (out / kPageName).string();
    return tavo_tools::write_output_file(page, html, error);
}

}  // namespace tavo_catalog
