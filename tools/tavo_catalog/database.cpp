// The catalog file: its tables, opening and checking it, statements.
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "catalog.h"

namespace tavo_catalog {

namespace {

constexpr int kBusyTimeoutMs = 10000;  // readers and the writer wait this long for each other
// The files SQLite keeps beside the catalog, named after it.
constexpr const char* kCompanionSuffixes[] = {"-journal", "-wal", "-shm"};

// The tables. Images, products and their sources are keyed by satellite,
// image time (ms from 1970) and image id, without row ids, so that a
// satellite's period is one range of the key and a row costs few bytes.
// Product paths are not stored: the product name is made of these three.
// The daily tables are the images counted per day (days from 1970), kept
// up to date by every ingest for the days of its window.
constexpr const char* kSchemaSql = R"sql(
CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE runs(
  id INTEGER PRIMARY KEY,
  program TEXT NOT NULL, version TEXT NOT NULL, host TEXT NOT NULL,
  configuration_checksum TEXT NOT NULL, kite INTEGER NOT NULL,
  window_start INTEGER NOT NULL, window_end INTEGER NOT NULL,
  started TEXT NOT NULL, finished TEXT NOT NULL, exit_status INTEGER NOT NULL,
  output_root TEXT NOT NULL, report TEXT NOT NULL, ingested TEXT NOT NULL,
  superseded_by INTEGER REFERENCES runs(id));
CREATE INDEX runs_window ON runs(kite, window_start, window_end);
CREATE TABLE level0_files(
  id INTEGER PRIMARY KEY, kite INTEGER NOT NULL, name TEXT NOT NULL,
  span_start INTEGER, span_end INTEGER, size INTEGER NOT NULL, checksum TEXT NOT NULL,
  modified INTEGER, first_seen TEXT NOT NULL, changed TEXT, UNIQUE(kite, name));
CREATE TABLE reasons(id INTEGER PRIMARY KEY, code TEXT NOT NULL UNIQUE);
CREATE TABLE images(
  kite INTEGER NOT NULL, time INTEGER NOT NULL, image_id INTEGER NOT NULL,
  wavelength INTEGER NOT NULL, frame_type INTEGER, status INTEGER NOT NULL,
  reason INTEGER REFERENCES reasons(id), run INTEGER NOT NULL,
  PRIMARY KEY(kite, time, image_id)) WITHOUT ROWID;
CREATE INDEX images_lost ON images(kite, time) WHERE status != 0;
CREATE TABLE products(
  kite INTEGER NOT NULL, time INTEGER NOT NULL, image_id INTEGER NOT NULL,
  size INTEGER, despiked INTEGER, created INTEGER, run INTEGER NOT NULL,
  PRIMARY KEY(kite, time, image_id)) WITHOUT ROWID;
CREATE TABLE product_sources(
  kite INTEGER NOT NULL, time INTEGER NOT NULL, image_id INTEGER NOT NULL, file INTEGER NOT NULL,
  PRIMARY KEY(kite, time, image_id, file)) WITHOUT ROWID;
CREATE TABLE replay_ranges(
  kite INTEGER NOT NULL, apid INTEGER NOT NULL, after_time INTEGER NOT NULL,
  first_count INTEGER NOT NULL, last_count INTEGER NOT NULL, missing INTEGER NOT NULL,
  before_time INTEGER NOT NULL, file INTEGER NOT NULL, run INTEGER NOT NULL,
  PRIMARY KEY(kite, after_time, apid)) WITHOUT ROWID;
CREATE TABLE daily(
  kite INTEGER NOT NULL, day INTEGER NOT NULL, wavelength INTEGER NOT NULL,
  products INTEGER NOT NULL, partial INTEGER NOT NULL, images INTEGER NOT NULL,
  PRIMARY KEY(kite, day, wavelength)) WITHOUT ROWID;
CREATE TABLE daily_losses(
  kite INTEGER NOT NULL, day INTEGER NOT NULL, reason TEXT NOT NULL, images INTEGER NOT NULL,
  PRIMARY KEY(kite, day, reason)) WITHOUT ROWID;
)sql";

bool failed(sqlite3* db, int status, const std::string& what, std::string& error) {
    if (status == SQLITE_OK || status == SQLITE_DONE || status == SQLITE_ROW) return false;
    error = what + ": " + (db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(status));
    return true;
}

// The catalog's schema version, 0 for an empty file; -1 with error set when
// the file is no catalog (or a damaged one).
int schema_of(const Catalog& catalog, std::string& error) {
    Statement tables(catalog, "SELECT count(*) FROM sqlite_master");
    if (!tables.ok() || !tables.step()) {
        error = tables.error();
        return -1;
    }
    if (tables.integer(0) == 0) return 0;
    Statement version(catalog, "SELECT value FROM meta WHERE key = 'schema'");
    if (!version.ok() || !version.step()) {
        error = "no catalog schema in the file";
        return -1;
    }
    const int schema = std::atoi(version.text(0).c_str());
    if (schema <= 0) error = "catalog schema '" + version.text(0) + "' is no number";
    return schema > 0 ? schema : -1;
}

}  // namespace

const char* status_code(Status status) {
    switch (status) {
        case Status::kWritten: return "written";
        case Status::kWrittenPartial: return "written_partial";
        case Status::kNotWritten: return "not_written";
        case Status::kAbsent: break;
    }
    return "absent";
}

Catalog::~Catalog() {
    if (db_ != nullptr) sqlite3_close_v2(db_);
}

bool Catalog::open(const std::string& path, bool writable, std::string& error) {
    path_ = path;
    // Never through a link: the catalog and its journal files are written where its name stands.
    const int flags = (writable ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY) |
                      SQLITE_OPEN_NOFOLLOW;
    // SQLite never makes a link: one at the name of a file it keeps beside
    // the catalog was planted, and goes (never its target).
    for (const char* suffix : kCompanionSuffixes) {
        const std::string companion = path + suffix;
        struct stat status;
        if (lstat(companion.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) unlink(companion.c_str());
    }
    const int status = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
    if (status != SQLITE_OK && sqlite3_extended_errcode(db_) == SQLITE_CANTOPEN_SYMLINK) {
        error = "catalog " + path + " is a symbolic link: a catalog is opened by its own name, never through a link";
        return false;
    }
    if (failed(db_, status, "cannot open catalog " + path, error)) return false;
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    std::string why;
    const int schema = schema_of(*this, why);
    if (schema < 0) {
        error = "catalog " + path + " is damaged or not a catalog (" + why + "); nothing changed";
        return false;
    }
    if (schema == 0 && !writable) {
        error = "catalog " + path + " is empty: ingest audit reports first";
        return false;
    }
    if (schema > 0 && schema != kCatalogSchema) {
        error = "catalog " + path + " has schema " + std::to_string(schema) + ", this program reads schema " +
                std::to_string(kCatalogSchema);
        return false;
    }
    if (!writable) return true;
    if (!execute(*this, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", why)) {
        error = "catalog " + path + ": " + why;
        return false;
    }
    if (schema == 0) {
        const std::string create = std::string("BEGIN;") + kSchemaSql + "INSERT INTO meta VALUES('schema', '" +
                                   std::to_string(kCatalogSchema) + "'); COMMIT;";
        if (!execute(*this, create.c_str(), why)) {
            execute(*this, "ROLLBACK", error);
            error = "cannot create the tables of catalog " + path + ": " + why;
            return false;
        }
    }
    return true;
}

Statement::Statement(const Catalog& catalog, const char* sql) : db_(catalog.db()) {
    if (sqlite3_prepare_v2(db_, sql, -1, &stmt_, nullptr) != SQLITE_OK) {
        error_ = sqlite3_errmsg(db_);
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
    }
}

Statement::~Statement() { sqlite3_finalize(stmt_); }

Statement& Statement::bind(int index, int64_t value) {
    sqlite3_bind_int64(stmt_, index, value);
    return *this;
}

Statement& Statement::bind(int index, const std::string& value) {
    sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    return *this;
}

Statement& Statement::bind_null(int index) {
    sqlite3_bind_null(stmt_, index);
    return *this;
}

bool Statement::step() {
    if (stmt_ == nullptr) return false;
    const int status = sqlite3_step(stmt_);
    if (status == SQLITE_ROW) return true;
    if (status != SQLITE_DONE) error_ = sqlite3_errmsg(db_);
    return false;
}

bool Statement::run() {
    while (step()) {
    }
    const bool ok = stmt_ != nullptr && error_.empty();
    reset();
    return ok;
}

void Statement::reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

int64_t Statement::integer(int column) const { return sqlite3_column_int64(stmt_, column); }

std::string Statement::text(int column) const {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    return text != nullptr ? text : "";
}

bool Statement::is_null(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

int Statement::columns() const { return sqlite3_column_count(stmt_); }

bool execute(const Catalog& catalog, const char* sql, std::string& error) {
    char* message = nullptr;
    if (sqlite3_exec(catalog.db(), sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    error = message != nullptr ? message : sqlite3_errmsg(catalog.db());
    sqlite3_free(message);
    return false;
}

int64_t last_insert_id(const Catalog& catalog) { return sqlite3_last_insert_rowid(catalog.db()); }

}  // namespace tavo_catalog
