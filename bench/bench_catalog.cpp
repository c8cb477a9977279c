// Catalog benchmark: synthetic audit reports of many satellite-days, ingested
// into a fresh catalog, then a month's summary and a year's missing images
// timed, the file's bytes per image, and what verifying the file costs.
//
// Usage: bench_catalog DIRECTORY DAYS [SATELLITES]
// Each report is one day of one satellite with an image every 10 s (8640),
// a few images lost (not written, partial, an absent range) and the
// sequence gaps of the absent ones, as tavo_l0audit writes them. Reports
// are written a day at a time into DIRECTORY and removed once ingested;
// only the ingest is timed.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "catalog.h"
#include "time_text.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kImagesPerDay = 8640;   // one every 10 s
constexpr int kFilesPerDay = 240;     // 6-minute files
constexpr int kImagesPerFile = kImagesPerDay / kFilesPerDay;
constexpr int kWavelengths[] = {94, 131, 171, 195, 284, 304};
constexpr int kAbsentFirst = 4000, kAbsentCount = 12;  // one absent range a day
constexpr int kNotWrittenEvery = 997;                  // final packet missing
constexpr int kPartialEvery = 1499;
constexpr int kSummaryRuns = 5;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string iso(int64_t ms) { return tavo_tools::utc_ms_text(ms); }

// "YYYYDDDhhmmss" and tenths of a level-0 file name's time fields.
std::string name_time(int64_t ms) {
    const std::string t = iso(ms);
    int64_t january = 0;
    tavo_tools::parse_utc_ms(t.substr(0, 4) + "-01-01", january);
    const int day_of_year = static_cast<int>((ms - january) / tavo_catalog::kMsPerDay) + 1;
    char text[24];
    std::snprintf(text, sizeof text, "%s%03d%s%s%s%c", t.substr(0, 4).c_str(), day_of_year, t.substr(11, 2).c_str(),
                  t.substr(14, 2).c_str(), t.substr(17, 2).c_str(), t[20]);
    return text;
}

std::string file_name(int kite, int64_t start_ms) {
    char name[96];
    std::snprintf(name, sizeof name, "OR_TAVO-L0_K%02d_s%s_e%s_c%s.nc", kite, name_time(start_ms).c_str(),
                  name_time(start_ms + 359900).c_str(), name_time(start_ms + 420000).c_str());
    return name;
}

// One day's report of one satellite, as tavo_l0audit writes it.
void write_report(const std::string& path, int kite, int64_t day_ms, uint32_t first_id) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    const std::string start = iso(day_ms).substr(0, 19), end = iso(day_ms + tavo_catalog::kMsPerDay - 1000).substr(0, 19);
    out << "{\n \"schema_version\": 2,\n \"tool\": \"tavo_l0audit\",\n \"version\": \"2.0\",\n \"kite\": " << kite
        << ",\n \"window\": {\"start\": \"" << start << "\", \"end\": \"" << end << "\"},\n"
        << " \"audit_run\": {\"host\": \"bench\", \"started\": \"2026-01-01T00:00:00.000Z\", \"finished\": "
           "\"2026-01-01T00:00:01.000Z\", \"configuration_checksum\": \"0123456789abcdef\", \"output_root\": \"/data/\"},\n"
        << " \"exit_status\": 1,\n \"files\": [";
    for (int f = 0; f < kFilesPerDay; ++f) {
        const int64_t file_start = day_ms + f * 360000LL;
        out << (f ? ",\n  " : "\n  ") << "{\"entry\": \"" << file_name(kite, file_start)
            << "\", \"selected\": true, \"scanned\": true, \"packets\": 2000, \"bytes\": 90000000, \"size\": 90001234, "
               "\"checksum\": \"" << std::hex << (file_start * 2654435761u + kite) << std::dec
            << "\", \"modified\": \"2026-01-01T00:00:00Z\", \"apid_packets\": {}, \"sequence_gaps\": [";
        if (f == kAbsentFirst / kImagesPerFile) {
            for (int apid = 810; apid <= 815; ++apid)
                out << (apid > 810 ? ", " : "") << "{\"apid\": " << apid << ", \"first\": 100, \"last\": 120, "
                    << "\"missing\": 21, \"after\": \"" << iso(file_start + 1000 + apid) << "\", \"before\": \""
                    << iso(file_start + 300000 + apid) << "\"}";
        }
        out << "], \"duplicates_within\": 0, \"duplicates_from_previous\": 0, \"skipped\": {}, \"bad_length\": null, "
               "\"leftover_bytes\": 0}";
    }
    out << "\n ],\n \"images\": [";
    bool first = true;
    for (int i = 0; i < kImagesPerDay; ++i) {
        if (i >= kAbsentFirst && i < kAbsentFirst + kAbsentCount) continue;
        const int64_t time = day_ms + i * 10000LL + 2345;
        const uint32_t id = first_id + static_cast<uint32_t>(i);
        const bool lost = i % kNotWrittenEvery == kNotWrittenEvery - 1;
        const bool partial = i % kPartialEvery == kPartialEvery - 1;
        const int wavelength = kWavelengths[i % 6];
        const std::string t = iso(time), file = file_name(kite, day_ms + i / kImagesPerFile * 360000LL);
        char product[96];
        std::snprintf(product, sizeof product, "KITE-%02d/%s/%s/%s/H%s00/%s%s%s_%s%s%s_%s_%08u.fits", kite,
                      t.substr(0, 4).c_str(), t.substr(5, 2).c_str(), t.substr(8, 2).c_str(), t.substr(11, 2).c_str(),
                      t.substr(0, 4).c_str(), t.substr(5, 2).c_str(), t.substr(8, 2).c_str(), t.substr(11, 2).c_str(),
                      t.substr(14, 2).c_str(), t.substr(17, 2).c_str(), t.substr(20, 3).c_str(), id);
        out << (first ? "\n  " : ",\n  ") << "{\"image_id\": " << id << ", \"time\": \"" << t << "\", \"apid\": "
            << 810 + i % 6 << ", \"wavelength\": " << wavelength << ", \"frame_type\": \""
            << (i % 12 == 11 ? "DARK" : "LIGHT") << "\", \"status\": \""
            << (lost ? "not_written" : partial ? "written_partial" : "written") << "\", \"reason\": "
            << (lost ? "\"final_packet_missing\"" : "null") << ", \"reason_text\": "
            << (lost ? "\"final packet missing\"" : "null") << ", \"product\": ";
        if (lost) out << "null";
        else out << '"' << product << '"';
        out << ", \"files\": [\"" << file << "\"], \"packets\": {\"header\": 1, \"pixel\": 401, \"final\": "
            << (lost ? 0 : 1) << ", \"other\": 0}, \"rows\": 1280, \"columns\": 1280, \"pixels_announced\": 1638400, "
            << "\"pixels_carried\": " << (lost ? "null" : "1638400") << ", \"sel_count\": " << (lost ? "null" : "0")
            << ", \"product_problems\": [], \"product_bytes\": " << (lost ? "null" : "3317760")
            << ", \"despiked\": " << (lost ? "null" : "17") << ", \"product_modified\": "
            << (lost ? "null" : "\"2026-01-01T00:00:00Z\"") << "}";
        first = false;
    }
    const std::string after = iso(day_ms + (kAbsentFirst - 1) * 10000LL + 2345);
    const std::string before = iso(day_ms + (kAbsentFirst + kAbsentCount) * 10000LL + 2345);
    out << "\n ],\n \"absent_ranges\": [{\"first_id\": " << first_id + kAbsentFirst << ", \"last_id\": "
        << first_id + kAbsentFirst + kAbsentCount - 1 << ", \"images\": " << kAbsentCount
        << ", \"after\": {\"image_id\": " << first_id + kAbsentFirst - 1 << ", \"time\": \"" << after
        << "\"}, \"before\": {\"image_id\": " << first_id + kAbsentFirst + kAbsentCount << ", \"time\": \"" << before
        << "\"}, \"sequence_gaps\": []}],\n \"id_sequence_breaks\": []\n}\n";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_catalog DIRECTORY DAYS [SATELLITES]\n");
        return 2;
    }
    const fs::path directory = argv[1];
    const int days = std::atoi(argv[2]);
    const int satellites = argc > 3 ? std::atoi(argv[3]) : 4;
    fs::create_directories(directory);
    const std::string database = (directory / "catalog.sqlite").string();
    for (const char* end : {"", "-wal", "-shm", "-verified"}) fs::remove(database + end);
    auto catalog = std::make_unique<tavo_catalog::Catalog>();
    std::string error;
    if (!catalog->open(database, true, error)) {
        std::fprintf(stderr, "bench_catalog: %s\n", error.c_str());
        return 2;
    }
    int64_t first_day = 0;
    tavo_tools::parse_utc_ms("2017-01-01", first_day);
    double ingest_seconds = 0;
    int64_t images = 0;
    for (int d = 0; d < days; ++d) {
        std::vector<std::string> reports;
        for (int s = 0; s < satellites; ++s) {
            const std::string path = (directory / ("report_" + std::to_string(s) + ".json")).string();
            write_report(path, 16 + s, first_day + d * tavo_catalog::kMsPerDay,
                         static_cast<uint32_t>(1 + d * kImagesPerDay));
            reports.push_back(path);
        }
        std::vector<tavo_catalog::IngestOutcome> outcomes;
        const auto start = Clock::now();
        if (!tavo_catalog::ingest_reports(*catalog, reports, outcomes, error)) {
            std::fprintf(stderr, "bench_catalog: %s\n", error.c_str());
            return 2;
        }
        ingest_seconds += seconds_since(start);
        for (const auto& outcome : outcomes) images += outcome.images;
        for (const std::string& path : reports) fs::remove(path);
    }
    std::string ignored;
    tavo_catalog::execute(*catalog, "PRAGMA wal_checkpoint(TRUNCATE)", ignored);

    // A month in the middle of the period, every satellite.
    tavo_catalog::Period month, all;
    const int month_first = days > 60 ? days / 2 : 0;
    month = {first_day + month_first * tavo_catalog::kMsPerDay,
             first_day + (month_first + 30) * tavo_catalog::kMsPerDay - 1, 0};
    all = {first_day, first_day + days * tavo_catalog::kMsPerDay - 1, 0};
    double summary_best = 1e9;
    size_t summary_rows = 0;
    for (int i = 0; i < kSummaryRuns; ++i) {
        tavo_catalog::Table table;
        const auto start = Clock::now();
        if (!tavo_catalog::query_summary(*catalog, month, table, error)) return 2;
        const std::string text = tavo_catalog::format_table(table, tavo_catalog::Format::kText);
        summary_best = std::min(summary_best, seconds_since(start));
        summary_rows = table.rows.size();
    }
    tavo_catalog::Table missing;
    const auto missing_start = Clock::now();
    if (!tavo_catalog::query_missing(*catalog, all, missing, error)) return 2;
    const std::string missing_text = tavo_catalog::format_table(missing, tavo_catalog::Format::kText);
    const double missing_seconds = seconds_since(missing_start);

    catalog.reset();  // closed: the file remembered as verified

    // What verification costs: the file opened without its memo runs
    // quick_check (as before the first read or write of a changed file);
    // check runs the full integrity check; a month's summary on the
    // unchanged file, opening included, only compares the memo.
    const auto timed_open = [&](bool verified, tavo_catalog::Catalog& opened) {
        const auto start = Clock::now();
        if (!opened.open(database, false, error, verified)) {
            std::fprintf(stderr, "bench_catalog: %s\n", error.c_str());
            std::exit(2);
        }
        return seconds_since(start);
    };
    const std::string memo = database + "-verified";
    const std::string remembered = std::filesystem::exists(memo) ? "remembered" : "NOT remembered";
    fs::remove(memo);
    double quick_check_seconds = 0, integrity_seconds = 0;
    {
        tavo_catalog::Catalog fresh;
        quick_check_seconds = timed_open(true, fresh);
    }
    {
        tavo_catalog::Catalog full;
        timed_open(false, full);
        std::vector<std::string> problems;
        const auto start = Clock::now();
        if (!full.check(problems, error) || !problems.empty()) return 2;
        integrity_seconds = seconds_since(start);
    }
    double unchanged_best = 1e9;
    for (int i = 0; i < kSummaryRuns; ++i) {
        const auto start = Clock::now();
        tavo_catalog::Catalog unchanged;
        timed_open(true, unchanged);
        tavo_catalog::Table table;
        if (!tavo_catalog::query_summary(unchanged, month, table, error)) return 2;
        const std::string text = tavo_catalog::format_table(table, tavo_catalog::Format::kText);
        unchanged_best = std::min(unchanged_best, seconds_since(start));
    }

    const auto bytes = static_cast<double>(fs::file_size(database));
    std::printf("images %lld (%d days x %d satellites)\n", static_cast<long long>(images), days, satellites);
    std::printf("ingest %.1f s, %.0f images/s\n", ingest_seconds, images / ingest_seconds);
    std::printf("summary of 30 days: %.1f ms (best of %d, %zu rows)\n", summary_best * 1000, kSummaryRuns, summary_rows);
    std::printf("missing of the whole period: %.1f ms (%zu rows)\n", missing_seconds * 1000, missing.rows.size());
    std::printf("database %.1f MiB, %.1f bytes per image\n", bytes / 1048576, bytes / static_cast<double>(images));
    std::printf("verification at open (quick_check): %.2f s; full check (integrity_check): %.2f s; ingest %s it\n",
                quick_check_seconds, integrity_seconds, remembered.c_str());
    std::printf("summary of 30 days on the unchanged file, opening included: %.1f ms (best of %d)\n",
                unchanged_best * 1000, kSummaryRuns);
    return 0;
}
