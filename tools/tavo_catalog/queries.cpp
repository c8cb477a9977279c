// The catalog's questions: completeness per day and passband, images
// missing, products, a product's sources, packet ranges to send again, and
// products to reprocess.
#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>

#include "catalog.h"
#include "driver/driver.h"
#include "layout/layout.h"
#include "text.h"
#include "time_text.h"

namespace tavo_catalog {

namespace {

using nlohmann::json;

constexpr const char* kPlanCommand = "tavo_campaign plan";
constexpr const char* kAllPassbands = "all";
constexpr const char* kUnknownPassband = "unknown";  // absent images: no packet tells the passband

std::string cell_text(const json& cell) {
    if (cell.is_string()) return cell.get<std::string>();
    if (cell.is_null()) return "";
    if (cell.is_number_float()) {
        char text[32];
        std::snprintf(text, sizeof text, "%.1f", cell.get<double>());
        return text;
    }
    return cell.dump();
}

// The period's bounds bound to ?1 and ?2, the satellite (0 for every one) to ?3.
void bind_period(Statement& statement, const Period& period) {
    statement.bind(1, period.from_ms).bind(2, period.to_ms).bind(3, period.kite);
}

bool query_failed(const Statement& statement, std::string& error) {
    if (statement.error().empty()) return false;
    error = statement.damaged() ? statement.error() : "catalog query failed: " + statement.error();
    return true;
}

// A word of a shell command as the shell reads it back: as it is when it
// holds only characters no shell treats specially, else in single quotes.
std::string shell_word(const std::string& word) {
    const bool plain = !word.empty() && word.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                                               "0123456789_./:=@%+,-") == std::string::npos;
    if (plain) return word;
    std::string quoted = "'";
    for (const char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// The relative path of a product, as TAVO_L0 names it.
std::string product_path(int kite, int64_t time_ms, int64_t image_id) {
    const std::string text = tavo_tools::utc_ms_text(time_ms);  // "2017-03-01T12:00:02.345"
    const auto date = static_cast<uint32_t>(std::stoul(text.substr(0, 4) + text.substr(5, 2) + text.substr(8, 2)));
    const auto clock = static_cast<uint32_t>(std::stoul(text.substr(11, 2) + text.substr(14, 2) + text.substr(17, 2)));
    char directory[64];
    if (!format_product_directory_path(kite, date, clock, '/', directory, sizeof directory)) return "";
    char name[kProductNameSlot];
    format_product_name(date, clock, static_cast<int32_t>(time_ms % 1000), static_cast<uint32_t>(image_id), name);
    return std::string(directory) + name;
}

// Dotted versions compared number by number: "1.10" is after "1.9".
bool version_before(const std::string& version, const std::string& limit) {
    std::istringstream a(version), b(limit);
    std::string x, y;
    while (true) {
        const bool more_a = static_cast<bool>(std::getline(a, x, '.'));
        const bool more_b = static_cast<bool>(std::getline(b, y, '.'));
        if (!more_a || !more_b) return !more_a && more_b;
        const long nx = std::strtol(x.c_str(), nullptr, 10), ny = std::strtol(y.c_str(), nullptr, 10);
        if (nx != ny) return nx < ny;
    }
}

// Days to reprocess per satellite, with why.
using ReprocessDays = std::map<int, std::map<int64_t, std::set<std::string>>>;

bool products_made_before(const Catalog& catalog, const std::string& limit, ReprocessDays& days, std::string& error) {
    int64_t date = 0;
    const bool by_date = tavo_tools::parse_utc_ms(limit, date);
    std::set<int64_t> old_runs;
    if (!by_date) {
        Statement runs(catalog, "SELECT id, version FROM runs");
        while (runs.step())
            if (version_before(runs.text(1), limit)) old_runs.insert(runs.integer(0));
        if (query_failed(runs, error)) return false;
    }
    Statement products(catalog, "SELECT kite, time, run, created FROM products");
    const std::string why = "made before " + limit;
    while (products.step()) {
        const bool old = by_date ? !products.is_null(3) && products.integer(3) < date
                                 : old_runs.count(products.integer(2)) != 0;
        if (old) days[static_cast<int>(products.integer(0))][products.integer(1) / kMsPerDay].insert(why);
    }
    return !query_failed(products, error);
}

// Products made before their level-0 files last changed: files whose
// checksum an audit found changed, written again after the product.
bool products_of_changed_files(const Catalog& catalog, ReprocessDays& days, std::string& error) {
    Statement changed(catalog,
                      "SELECT p.kite, p.time, f.name FROM level0_files f "
                      "JOIN product_sources s ON s.file = f.id AND s.kite = f.kite "
                      "JOIN products p ON p.kite = s.kite AND p.time = s.time AND p.image_id = s.image_id "
                      "WHERE f.changed IS NOT NULL AND (p.created IS NULL OR f.modified > p.created)");
    while (changed.step()) {
        days[static_cast<int>(changed.integer(0))][changed.integer(1) / kMsPerDay].insert(
            "level-0 file changed: " + changed.text(2));
    }
    return !query_failed(changed, error);
}

// "2017/03/01" of a day from 1970, as tavo_campaign takes it.
std::string plan_date(int64_t day) {
    std::string text = tavo_tools::utc_date_text(day * kMsPerDay);
    std::replace(text.begin(), text.end(), '-', '/');
    return text;
}

}  // namespace

std::string passband_text(int64_t wavelength) {
    return wavelength < 0 ? kUnknownPassband : std::to_string(wavelength);
}

std::string format_table(const Table& table, Format format) {
    std::string out;
    if (format == Format::kJson) {
        json rows = json::array();
        for (const auto& row : table.rows) {
            json object = json::object();
            for (size_t c = 0; c < table.columns.size() && c < row.size(); ++c) object[table.columns[c]] = row[c];
            rows.push_back(object);
        }
        return rows.dump(1) + "\n";
    }
    if (format == Format::kCsv) {
        for (size_t c = 0; c < table.columns.size(); ++c) out += (c ? "," : "") + tavo_tools::csv_field(table.columns[c]);
        out += "\n";
        for (const auto& row : table.rows) {
            for (size_t c = 0; c < row.size(); ++c) out += (c ? "," : "") + tavo_tools::csv_field(cell_text(row[c]));
            out += "\n";
        }
        return out;
    }
    std::vector<size_t> widths;
    for (const std::string& column : table.columns) widths.push_back(column.size());
    for (const auto& row : table.rows)
        for (size_t c = 0; c < row.size() && c < widths.size(); ++c) widths[c] = std::max(widths[c], cell_text(row[c]).size());
    const auto line = [&](const std::vector<std::string>& cells) {
        std::string text;
        for (size_t c = 0; c < cells.size(); ++c) {
            text += cells[c];
            if (c + 1 < cells.size()) text += std::string(widths[c] - cells[c].size() + 2, ' ');
        }
        return text + "\n";
    };
    out += line(table.columns);
    for (const auto& row : table.rows) {
        std::vector<std::string> cells;
        for (const json& cell : row) cells.push_back(cell_text(cell));
        out += line(cells);
    }
    if (table.rows.empty()) out += "(none)\n";
    return out;
}

bool make_period(const std::string& from, const std::string& to, int kite, Period& period, std::string& error) {
    int64_t first = 0, last = 0;
    if (!tavo_tools::parse_utc_ms(from, first) || !tavo_tools::parse_utc_ms(to, last) || from.size() != 10 || to.size() != 10) {
        error = "a period is two dates, YYYY-MM-DD or YYYY/MM/DD: got '" + from + "' and '" + to + "'";
        return false;
    }
    if (last < first) {
        error = "the period ends (" + to + ") before it begins (" + from + ")";
        return false;
    }
    period = {first, last + kMsPerDay - 1, kite};
    return true;
}

bool query_summary(const Catalog& catalog, const Period& period, Table& table, std::string& error) {
    Statement days(catalog, "SELECT kite, day, wavelength, products, partial, images FROM daily "
                            "WHERE day BETWEEN ?1 / 86400000 AND ?2 / 86400000 AND (?3 = 0 OR kite = ?3) "
                            "ORDER BY kite, day, wavelength");
    bind_period(days, period);
    table.columns = {"kite", "day", "passband", "products", "partial", "images", "completeness"};
    struct Total {
        int64_t products = 0, partial = 0, images = 0;
    };
    std::map<std::pair<int64_t, int64_t>, Total> totals;
    const auto add_row = [&](int64_t kite, int64_t day, const std::string& passband, const Total& t) {
        table.rows.push_back({kite, tavo_tools::utc_date_text(day * kMsPerDay), passband, t.products, t.partial, t.images,
                              t.images > 0 ? 100.0 * t.products / t.images : 0.0});
    };
    while (days.step()) {
        const Total t{days.integer(3), days.integer(4), days.integer(5)};
        Total& total = totals[{days.integer(0), days.integer(1)}];
        total.products += t.products;
        total.partial += t.partial;
        total.images += t.images;
        add_row(days.integer(0), days.integer(1), passband_text(days.integer(2)), t);
    }
    if (query_failed(days, error)) return false;
    // Each day's "all" row after its passbands.
    std::vector<std::vector<json>> rows;
    for (size_t i = 0; i < table.rows.size(); ++i) {
        rows.push_back(table.rows[i]);
        const bool last_of_day = i + 1 == table.rows.size() || table.rows[i + 1][0] != table.rows[i][0] ||
                                 table.rows[i + 1][1] != table.rows[i][1];
        if (!last_of_day) continue;
        int64_t day = 0;
        tavo_tools::parse_utc_ms(table.rows[i][1].get<std::string>(), day);
        const Total& t = totals[{table.rows[i][0].get<int64_t>(), day / kMsPerDay}];
        rows.push_back({table.rows[i][0], table.rows[i][1], kAllPassbands, t.products, t.partial, t.images,
                        t.images > 0 ? 100.0 * t.products / t.images : 0.0});
    }
    table.rows = std::move(rows);
    return true;
}

bool query_missing(const Catalog& catalog, const Period& period, Table& table, std::string& error) {
    Statement lost(catalog, "SELECT i.kite, i.time, i.image_id, i.wavelength, i.status, r.code FROM images i "
                            "LEFT JOIN reasons r ON r.id = i.reason "
                            "WHERE i.status != 0 AND i.status >= 2 AND i.time BETWEEN ?1 AND ?2 "
                            "AND (?3 = 0 OR i.kite = ?3) ORDER BY i.kite, i.time, i.image_id");
    bind_period(lost, period);
    table.columns = {"kite", "first_time", "last_time", "first_id", "last_id", "images", "passband", "reason"};
    while (lost.step()) {
        const int64_t kite = lost.integer(0), time = lost.integer(1), id = lost.integer(2);
        const bool absent = lost.integer(4) == static_cast<int>(Status::kAbsent);
        // Absent images with consecutive ids make one range.
        if (absent && !table.rows.empty()) {
            std::vector<json>& last = table.rows.back();
            if (last[0] == kite && last[7] == lost.text(5) && last[4].get<int64_t>() + 1 == id) {
                last[2] = tavo_tools::utc_ms_text(time);
                last[4] = id;
                last[5] = last[5].get<int64_t>() + 1;
                continue;
            }
        }
        table.rows.push_back({kite, tavo_tools::utc_ms_text(time), tavo_tools::utc_ms_text(time), id, id, 1, passband_text(lost.integer(3)),
                              lost.text(5)});
    }
    return !query_failed(lost, error);
}

bool query_products(const Catalog& catalog, const Period& period, const ProductFilter& filter, Table& table,
                    std::string& error) {
    Statement products(catalog,
                       "SELECT p.kite, p.time, p.image_id, i.wavelength, i.frame_type, i.status, p.size, p.despiked "
                       "FROM products p JOIN images i USING(kite, time, image_id) "
                       "WHERE p.time BETWEEN ?1 AND ?2 AND (?3 = 0 OR p.kite = ?3) AND (?4 = 0 OR i.wavelength = ?4) "
                       "AND (?5 < 0 OR i.frame_type = ?5) ORDER BY p.kite, p.time");
    bind_period(products, period);
    products.bind(4, filter.wavelength).bind(5, filter.frame_type.empty() ? -1 : filter.frame_type == "DARK" ? 1 : 0);
    table.columns = {"product", "time", "passband", "frame_type", "status", "bytes", "despiked"};
    while (products.step()) {
        const int kite = static_cast<int>(products.integer(0));
        table.rows.push_back({product_path(kite, products.integer(1), products.integer(2)),
                              tavo_tools::utc_ms_text(products.integer(1)), passband_text(products.integer(3)),
                              products.is_null(4) ? json() : json(products.integer(4) == 1 ? "DARK" : "LIGHT"),
                              status_code(static_cast<Status>(products.integer(5))),
                              products.is_null(6) ? json() : json(products.integer(6)),
                              products.is_null(7) ? json() : json(products.integer(7))});
    }
    return !query_failed(products, error);
}

bool query_sources(const Catalog& catalog, const std::string& product, Table& table, std::string& error) {
    const size_t slash = product.find_last_of('/');
    const std::string name = slash == std::string::npos ? product : product.substr(slash + 1);
    ProductName parsed{};
    if (!parse_product_name(name.c_str(), parsed)) {
        error = "'" + product + "' is no product name (YYYYMMDD_hhmmss_mmm_iiiiiiii.fits)";
        return false;
    }
    const uint32_t date = parsed.date, clock = parsed.time, ms = parsed.ms, id = parsed.image_id;
    int kite = 0;  // the satellite directory in the path, when there is one
    for (int32_t k = kFirstSatellite; k <= kLastSatellite; ++k) {
        char satellite[kTreeLevelSlot];
        format_satellite_directory(k, satellite);
        if (product.find(std::string(satellite) + "/") != std::string::npos) kite = k;
    }
    char iso[40];
    std::snprintf(iso, sizeof iso, "%04u-%02u-%02uT%02u:%02u:%02u.%03u", date / 10000, date / 100 % 100, date % 100,
                  clock / 10000, clock / 100 % 100, clock % 100, ms);
    int64_t time = 0;
    tavo_tools::parse_utc_ms(iso, time);
    Statement sources(catalog,
                      "SELECT p.kite, f.name, f.span_start, f.span_end, f.size, f.checksum, f.first_seen, f.changed, "
                      "r.version, r.host, r.finished, p.created FROM products p "
                      "JOIN runs r ON r.id = p.run "
                      "LEFT JOIN product_sources s ON s.kite = p.kite AND s.time = p.time AND s.image_id = p.image_id "
                      "LEFT JOIN level0_files f ON f.id = s.file "
                      "WHERE p.time = ?1 AND p.image_id = ?2 AND (?3 = 0 OR p.kite = ?3) ORDER BY f.span_start");
    sources.bind(1, time).bind(2, static_cast<int64_t>(id)).bind(3, kite);
    table.columns = {"product", "level0_file", "span_start", "span_end", "size", "checksum", "first_seen",
                     "changed", "made", "audit_version", "audit_host", "audited"};
    while (sources.step()) {
        const auto opt_time = [&](int column) {
            return sources.is_null(column) ? json() : json(tavo_tools::utc_ms_text(sources.integer(column)));
        };
        table.rows.push_back({product_path(static_cast<int>(sources.integer(0)), time, id), sources.text(1),
                              opt_time(2), opt_time(3), sources.integer(4), sources.text(5), sources.text(6),
                              sources.is_null(7) ? json() : json(sources.text(7)), opt_time(11), sources.text(8),
                              sources.text(9), sources.text(10)});
    }
    if (query_failed(sources, error)) return false;
    if (table.rows.empty()) {
        error = "product " + product + " is not in the catalog";
        return false;
    }
    return true;
}

bool query_replay(const Catalog& catalog, const Period& period, Table& table, std::string& error) {
    Statement ranges(catalog, "SELECT r.kite, r.apid, r.first_count, r.last_count, r.missing, r.after_time, "
                              "r.before_time, f.name FROM replay_ranges r JOIN level0_files f ON f.id = r.file "
                              "WHERE r.after_time <= ?2 AND r.before_time >= ?1 AND (?3 = 0 OR r.kite = ?3) "
                              "ORDER BY r.kite, r.apid, r.after_time");
    bind_period(ranges, period);
    table.columns = {"kite",  "apid",  "first_sequence_count", "last_sequence_count", "packets_missing",
                     "after", "before", "level0_file"};
    while (ranges.step()) {
        table.rows.push_back({ranges.integer(0), ranges.integer(1), ranges.integer(2), ranges.integer(3),
                              ranges.integer(4), tavo_tools::utc_ms_text(ranges.integer(5)), tavo_tools::utc_ms_text(ranges.integer(6)),
                              ranges.text(7)});
    }
    return !query_failed(ranges, error);
}

bool query_reprocess(const Catalog& catalog, const ReprocessRequest& request, Table& table, std::string& error) {
    ReprocessDays days;
    if (!request.made_before.empty() && !products_made_before(catalog, request.made_before, days, error)) return false;
    if (!products_of_changed_files(catalog, days, error)) return false;
    table.columns = {"kite", "from", "to", "why", "command"};
    for (const auto& [kite, by_day] : days) {
        // Consecutive days make one campaign.
        for (auto it = by_day.begin(); it != by_day.end();) {
            const int64_t first = it->first;
            int64_t last = first;
            std::set<std::string> why;
            for (; it != by_day.end() && it->first <= last + 1; ++it) {
                last = it->first;
                why.insert(it->second.begin(), it->second.end());
            }
            std::string reasons;
            for (const std::string& w : why) reasons += (reasons.empty() ? "" : "; ") + w;
            char directory[64];
            std::snprintf(directory, sizeof directory, "reprocess-K%d-%s", kite, tavo_tools::utc_date_text(first * kMsPerDay).c_str());
            const std::string command = std::string(kPlanCommand) + " --dir " + shell_word(directory) +
                                        " --config " + shell_word(request.config) + " --kite " + std::to_string(kite) + " --from " +
                                        plan_date(first) + " --to " + plan_date(last) + " --window 1d";
            table.rows.push_back({kite, tavo_tools::utc_date_text(first * kMsPerDay), tavo_tools::utc_date_text(last * kMsPerDay), reasons, command});
        }
    }
    return true;
}

}  // namespace tavo_catalog
