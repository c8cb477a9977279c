// tavo_catalog: the mission's memory. Every audit report of TAVO_L0's
// windows goes into one SQLite file (WAL mode: one writer, many readers),
// and the questions of a month or a mission become queries: completeness
// per day and passband, images missing and why, products and their level-0
// sources, products to reprocess, packet ranges to ask the ground station
// for again, and a static mission page.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace tavo_catalog {

constexpr int kCatalogSchema = 1;      // the tables below; kept in the meta table
constexpr const char* kCatalogVersion = "1.0";

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitCannotRun = 2;     // bad request, damaged catalog, unreadable report

// Image statuses as stored (small integers keep the rows short).
enum class Status : int { kWritten = 0, kWrittenPartial = 1, kNotWritten = 2, kAbsent = 3 };
const char* status_code(Status status);  // "written", "written_partial", "not_written", "absent"

// --- The database -------------------------------------------------------------

// Owner of an open catalog. A catalog is never answered from nor written to
// while damaged: opening verifies the file (PRAGMA quick_check) unless it is
// unchanged since its last verification, which FILE-verified remembers (the
// file's identity, size and change times as stat tells them).
class Catalog {
public:
    Catalog() = default;
    ~Catalog();  // rolls back a write not committed; remembers a sound file
    Catalog(const Catalog&) = delete;
    Catalog& operator=(const Catalog&) = delete;
    // False with error set when the file cannot be opened, is no catalog or
    // is damaged. Writable: the file is created when absent, and the catalog
    // is left in a write transaction (begin_write). Read-only where even the
    // WAL's index cannot be made (a read-only mount, another user's
    // directory): opened immutable, as of its last checkpoint. Unverified:
    // for check, which runs the full integrity check itself.
    bool open(const std::string& path, bool writable, std::string& error, bool verified = true);
    // Takes the write lock (BEGIN IMMEDIATE), then looks at the schema:
    // creates the tables when the file is new, verifies it otherwise before
    // anything is written. Does nothing while a write transaction is open.
    bool begin_write(std::string& error);
    bool commit(std::string& error);
    void rollback();
    bool writing() const { return writing_; }
    bool immutable() const { return immutable_; }
    // The full integrity check: problems as SQLite words them, none when sound.
    bool check(std::vector<std::string>& problems, std::string& error);
    // "catalog FILE is damaged or not a catalog (why)"; marks it unsound.
    std::string damaged(const std::string& why) const;
    sqlite3* db() const { return db_; }
    const std::string& path() const { return path_; }

private:
    // A new file made a WAL file, waiting for a first ingest beside this one.
    bool make_wal_file(std::string& why);
    bool open_connection(int flags, bool as_uri, std::string& error);
    bool verify(std::string& error);

    sqlite3* db_ = nullptr;
    std::string path_;
    std::string memo_;             // FILE-verified as read at open
    bool writing_ = false;
    bool immutable_ = false;
    bool verified_ = false;        // checked (or created) by this connection
    mutable bool sound_ = true;    // no damage met
};

// True when an SQLite status says the file is damaged or no database.
bool is_damage(int status);

// Owner of a prepared statement, with typed binding and reading.
class Statement {
public:
    Statement(const Catalog& catalog, const char* sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    bool ok() const { return stmt_ != nullptr; }
    Statement& bind(int index, int64_t value);
    Statement& bind(int index, const std::string& value);
    Statement& bind_null(int index);
    // Steps once: true while a row is there. A failure sets error().
    bool step();
    // Steps to the end; false on a failure.
    bool run();
    void reset();
    int64_t integer(int column) const;
    std::string text(int column) const;
    bool is_null(int column) const;
    int columns() const;
    // The failure's message; a damaged file's is the catalog's own message.
    const std::string& error() const { return error_; }
    bool damaged() const { return damaged_; }

private:
    void fail(int status);

    const Catalog* catalog_ = nullptr;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* stmt_ = nullptr;
    std::string error_;
    bool damaged_ = false;
};

// Runs SQL without results; false with error set.
bool execute(const Catalog& catalog, const char* sql, std::string& error);
// The row id of the last row inserted.
int64_t last_insert_id(const Catalog& catalog);

// --- Ingest ---------------------------------------------------------------------

struct IngestOutcome {
    std::string report;
    std::string result;  // "ingested", "unchanged" (already there), "superseded" (an older audit replaced),
                         // "older" (a newer audit of its window is there; left out)
    int64_t images = 0;
};

// Checks a report field by field before anything of it is used: the types,
// the satellite, the window's years, the ranges of ids and counters, and
// absent ranges no larger than the window holds. False with error set
// ("FIELD ...").
bool validate_report(const nlohmann::json& report, std::string& error);
// Reads, parses and validates a report file; false with error set
// ("report FILE: ...").
bool read_report(const std::string& path, nlohmann::json& report, std::string& error);

// Ingests audit reports, all in one transaction (begun when the catalog is
// not in one already): on any failure nothing changes and error says which
// report and why, or that the catalog is damaged.
bool ingest_reports(Catalog& catalog, const std::vector<std::string>& reports, std::vector<IngestOutcome>& outcomes,
                    std::string& error);

// --- Times ------------------------------------------------------------------------

// Times are kept as milliseconds from 1970-01-01 UTC: tools/common's
// parse_utc_ms, utc_ms_text and utc_date_text read and write them.
constexpr int64_t kMsPerDay = 86400000;

// --- Queries ------------------------------------------------------------------------

// A query's result: named columns and rows of JSON values (strings and
// numbers), printed as an aligned text table, JSON or CSV.
struct Table {
    std::vector<std::string> columns;
    std::vector<std::vector<nlohmann::json>> rows;
};
enum class Format { kText, kJson, kCsv };
std::string format_table(const Table& table, Format format);

// A period of days [from, to], both inclusive, and an optional satellite.
struct Period {
    int64_t from_ms = 0;  // first day's midnight
    int64_t to_ms = 0;    // last day's last millisecond
    int kite = 0;         // 0: every satellite
};
// "2017-03-01" and "2017-03-31" as a period; false with error set.
bool make_period(const std::string& from, const std::string& to, int kite, Period& period, std::string& error);

bool query_summary(const Catalog& catalog, const Period& period, Table& table, std::string& error);
bool query_missing(const Catalog& catalog, const Period& period, Table& table, std::string& error);
struct ProductFilter {
    int wavelength = 0;        // 0: every passband
    std::string frame_type;    // "LIGHT", "DARK" or "" for both
};
bool query_products(const Catalog& catalog, const Period& period, const ProductFilter& filter, Table& table,
                    std::string& error);
// The level-0 files a product came from and the run that made it; product
// is a product path or file name.
bool query_sources(const Catalog& catalog, const std::string& product, Table& table, std::string& error);
bool query_replay(const Catalog& catalog, const Period& period, Table& table, std::string& error);

// Products made before a version ("1.2") or a date ("2017-06-01"), and
// products whose level-0 files changed since they were made, as windows of
// whole days with the tavo_campaign plan command that reprocesses each.
struct ReprocessRequest {
    std::string made_before;           // "" : only the changed level-0 files
    std::string config = "TAVO_configuration.cfg";  // for the printed plan commands
};
bool query_reprocess(const Catalog& catalog, const ReprocessRequest& request, Table& table, std::string& error);

// How the daily table counts the images of a day and passband: products
// (written, partial ones included), partial products and images (absent
// ones included), over rows of the images table.
constexpr const char* kImageCountColumns =
    "sum(status IN (0, 1)) AS products, sum(status = 1) AS partial, count(*) AS images";

// A passband as the queries name it: Angstrom, or "unknown" (absent images:
// no packet of them told it).
std::string passband_text(int64_t wavelength);

// --- Metrics --------------------------------------------------------------------------

// The catalog's metrics file, in the directory the textfile collector reads.
constexpr const char* kCatalogMetricsFile = "tavo_l0_catalog.prom";

// The catalog's metrics in the Prometheus text format (docs/metrics.md):
// per satellite and passband the images, products and completeness of the
// last 24 hours and 30 days before the satellite's newest image, the
// packets replay asks for over them, and the satellite's last ingest.
bool catalog_metrics(const Catalog& catalog, std::string& text, std::string& error);

// A follower as its metrics file (tavo_l0_follow_kNN.prom) tells it.
struct FollowerState {
    int kite = 0;
    std::string file;            // the metrics file
    std::string damage;          // why the file could not be read; "" when read
    double processed_to = 0;     // s from 1970: every image at or before it processed
    double last_product = 0;     // s from 1970 of the last products moved into the tree; 0: none yet
};
// The follower's metrics file of a satellite in directory.
std::string follower_metrics_path(const std::string& directory, int kite);
// Reads the two gauges of kite from a follower's metrics text; false with
// why set ("line 3: ...") when the text is damaged or lacks one.
bool parse_follower_metrics(const std::string& text, int kite, FollowerState& state, std::string& why);
// The followers whose metrics file is in directory, by satellite; a file
// that cannot be read or parsed is kept with its damage.
std::vector<FollowerState> read_follower_states(const std::string& directory);

// --- The mission page -------------------------------------------------------------

// Writes index.html into directory: the followers' state (processed-to time
// and the age of their last products, at now_s), a calendar heat map of
// daily completeness per passband (cells linked to the day's quicklook page
// where it exists) and a plot of daily losses by reason. Returns the page's
// path.
bool write_mission_page(const Catalog& catalog, const Period& period, const std::string& directory,
                        const std::vector<FollowerState>& followers, int64_t now_s, std::string& page,
                        std::string& error);

}  // namespace tavo_catalog
