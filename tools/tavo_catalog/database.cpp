// The catalog file: its tables, opening and checking it, statements.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "catalog.h"
#include "output_file.h"

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

constexpr const char* kVerifiedSuffix = "-verified";  // the memo of the last verification

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
        error = sqlite3_errmsg(catalog.db());
        return -1;
    }
    if (tables.integer(0) == 0) return 0;
    Statement version(catalog, "SELECT value FROM meta WHERE key = 'schema'");
    if (!version.ok() || !version.step()) {
        error = version.error().empty() ? "no catalog schema in the file" : sqlite3_errmsg(catalog.db());
        return -1;
    }
    const int schema = std::atoi(version.text(0).c_str());
    if (schema <= 0) error = "catalog schema '" + version.text(0) + "' is no number";
    return schema > 0 ? schema : -1;
}

// What stat tells of the file and its WAL: any write by anyone changes it
// (the change times cannot be set back). An empty or absent WAL is the same.
std::string fingerprint(const std::string& path) {
    struct stat file, wal;
    if (lstat(path.c_str(), &file) != 0) return "";
    char text[256];
    std::snprintf(text, sizeof text, "%llu %llu %lld %lld.%09ld %lld.%09ld", static_cast<unsigned long long>(file.st_dev),
                  static_cast<unsigned long long>(file.st_ino), static_cast<long long>(file.st_size),
                  static_cast<long long>(file.st_mtim.tv_sec), file.st_mtim.tv_nsec,
                  static_cast<long long>(file.st_ctim.tv_sec), file.st_ctim.tv_nsec);
    std::string print = text;
    if (lstat((path + "-wal").c_str(), &wal) == 0 && wal.st_size > 0) {
        std::snprintf(text, sizeof text, " wal %lld %lld.%09ld %lld.%09ld", static_cast<long long>(wal.st_size),
                      static_cast<long long>(wal.st_mtim.tv_sec), wal.st_mtim.tv_nsec,
                      static_cast<long long>(wal.st_ctim.tv_sec), wal.st_ctim.tv_nsec);
        print += text;
    }
    return print;
}

// The memo's content; "" when there is none (a link is none).
std::string read_memo(const std::string& path) {
    const int fd = ::open((path + kVerifiedSuffix).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return "";
    char text[512];
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    return n > 0 && text[n - 1] == '\n' ? std::string(text, static_cast<size_t>(n - 1)) : "";
}

// "file:PATH?immutable=1" with the path's special characters escaped.
std::string immutable_uri(const std::string& path) {
    std::string uri = "file:";
    for (const unsigned char c : path) {
        if (std::isalnum(c) || std::strchr("/._-~", c) != nullptr) {
            uri += static_cast<char>(c);
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", c);
            uri += escaped;
        }
    }
    return uri + "?immutable=1";
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

bool is_damage(int status) {
    const int primary = status & 0xff;
    return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

Catalog::~Catalog() {
    rollback();
    if (db_ != nullptr) sqlite3_close_v2(db_);
    // Closed, the file is as this program left it: sound when verified and
    // no damage was met since. A memo that cannot be written (a reader who
    // cannot write the directory) only means the next reader checks again.
    if (!verified_ || !sound_ || immutable_) return;
    const std::string print = fingerprint(path_);
    std::string ignored;
    if (!print.empty() && print != memo_) tavo_tools::write_output_file(path_ + kVerifiedSuffix, print + "\n", ignored);
}

std::string Catalog::damaged(const std::string& why) const {
    sound_ = false;
    return "catalog " + path_ + " is damaged or not a catalog (" + why + ")";
}

bool Catalog::open_connection(int flags, bool as_uri, std::string& error) {
    if (db_ != nullptr) sqlite3_close_v2(db_);
    db_ = nullptr;
    // Never through a link: the catalog and its journal files are written where its name stands.
    flags |= SQLITE_OPEN_NOFOLLOW | (as_uri ? SQLITE_OPEN_URI : 0);
    const int status = sqlite3_open_v2(as_uri ? immutable_uri(path_).c_str() : path_.c_str(), &db_, flags, nullptr);
    if (status != SQLITE_OK && sqlite3_extended_errcode(db_) == SQLITE_CANTOPEN_SYMLINK) {
        error = "catalog " + path_ + " is a symbolic link: a catalog is opened by its own name, never through a link";
        return false;
    }
    if (failed(db_, status, "cannot open catalog " + path_, error)) return false;
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    return true;
}

// A first ingest beside this one may hold the new file while it makes it a
// WAL file; SQLite answers "locked" at once there rather than call the busy
// handler, so the change is tried again for as long as a busy wait lasts.
bool Catalog::make_wal_file(std::string& why) {
    constexpr int kRetryMs = 10;
    for (int waited = 0;; waited += kRetryMs) {
        if (execute(*this, "PRAGMA journal_mode=WAL", why)) return true;
        const int status = sqlite3_errcode(db_) & 0xff;
        if ((status != SQLITE_BUSY && status != SQLITE_LOCKED) || waited >= kBusyTimeoutMs) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(kRetryMs));
    }
}

bool Catalog::open(const std::string& path, bool writable, std::string& error, bool verified) {
    path_ = path;
    memo_ = read_memo(path);
    // SQLite never makes a link: one at the name of a file it keeps beside
    // the catalog was planted, and goes (never its target).
    for (const char* suffix : kCompanionSuffixes) {
        const std::string companion = path + suffix;
        struct stat status;
        if (lstat(companion.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) unlink(companion.c_str());
    }
    std::string why;
    if (writable) {
        struct stat status;
        const bool fresh = lstat(path.c_str(), &status) != 0 || status.st_size == 0;
        if (!open_connection(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, false, error)) return false;
        // A new file is made a WAL file before its first page is written;
        // an existing catalog is one already, and another file is left as it is.
        if ((fresh && !make_wal_file(why)) || !execute(*this, "PRAGMA synchronous=NORMAL", why)) {
            error = "catalog " + path + ": " + why;
            return false;
        }
        return begin_write(error);
    }
    if (!open_connection(SQLITE_OPEN_READONLY, false, error)) return false;
    int schema = schema_of(*this, why);
    const int status = sqlite3_extended_errcode(db_) & 0xff;
    if (schema < 0 && (status == SQLITE_CANTOPEN || status == SQLITE_READONLY)) {
        // The WAL's index cannot be made here: read the file as it stands.
        immutable_ = true;
        if (!open_connection(SQLITE_OPEN_READONLY, true, error)) return false;
        schema = schema_of(*this, why);
    }
    if (schema < 0) {
        error = damaged(why);
        return false;
    }
    if (schema == 0) {
        error = "catalog " + path + " is empty: ingest audit reports first";
        return false;
    }
    if (schema != kCatalogSchema) {
        error = "catalog " + path + " has schema " + std::to_string(schema) + ", this program reads schema " +
                std::to_string(kCatalogSchema);
        return false;
    }
    return !verified || verify(error);
}

// Verified unless unchanged since the last verification: quick_check reads
// every page and every row's format (not the indexes against their tables;
// check does).
bool Catalog::verify(std::string& error) {
    if (verified_) return true;
    if (!memo_.empty() && memo_ == fingerprint(path_)) {
        verified_ = true;
        return true;
    }
    Statement check(*this, "PRAGMA quick_check(1)");
    if (!check.step()) {
        error = check.damaged() ? check.error() : "cannot verify catalog " + path_ + ": " + check.error();
        return false;
    }
    if (check.text(0) != "ok") {
        error = damaged(check.text(0));
        return false;
    }
    verified_ = true;
    return true;
}

bool Catalog::begin_write(std::string& error) {
    if (writing_) return true;
    std::string why;
    if (!execute(*this, "BEGIN IMMEDIATE", why)) {
        error = sound_ ? "catalog " + path_ + " is busy or cannot be written: " + why : why;
        return false;
    }
    writing_ = true;
    // The schema read under the write lock: a first ingest beside this one
    // has created the tables or has not begun.
    const int schema = schema_of(*this, why);
    if (schema < 0) {
        rollback();
        error = damaged(why);
        return false;
    }
    if (schema == 0) {
        const std::string create = std::string(kSchemaSql) + "INSERT INTO meta VALUES('schema', '" +
                                   std::to_string(kCatalogSchema) + "');";
        if (!execute(*this, create.c_str(), why)) {
            rollback();
            error = sound_ ? "cannot create the tables of catalog " + path_ + ": " + why : why;
            return false;
        }
        verified_ = true;
        return true;
    }
    if (schema != kCatalogSchema) {
        rollback();
        error = "catalog " + path_ + " has schema " + std::to_string(schema) + ", this program writes schema " +
                std::to_string(kCatalogSchema);
        return false;
    }
    if (!verify(error)) {
        rollback();
        return false;
    }
    return true;
}

bool Catalog::commit(std::string& error) {
    if (!writing_) return true;
    std::string why;
    if (!execute(*this, "COMMIT", why)) {
        rollback();
        error = sound_ ? "cannot commit to catalog " + path_ + ": " + why : why;
        return false;
    }
    writing_ = false;
    return true;
}

void Catalog::rollback() {
    if (!writing_) return;
    writing_ = false;
    std::string ignored;
    execute(*this, "ROLLBACK", ignored);
}

bool Catalog::check(std::vector<std::string>& problems, std::string& error) {
    Statement check(*this, "PRAGMA integrity_check");
    while (check.step())
        if (check.text(0) != "ok") problems.push_back(check.text(0));
    if (check.damaged()) {
        problems.push_back(check.error());
    } else if (!check.error().empty()) {
        error = "cannot check catalog " + path_ + ": " + check.error();
        return false;
    }
    if (!problems.empty()) {
        sound_ = false;
        return true;
    }
    verified_ = true;
    return true;
}

Statement::Statement(const Catalog& catalog, const char* sql) : catalog_(&catalog), db_(catalog.db()) {
    const int status = sqlite3_prepare_v2(db_, sql, -1, &stmt_, nullptr);
    if (status != SQLITE_OK) {
        fail(status);
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
    }
}

void Statement::fail(int status) {
    damaged_ = is_damage(status);
    error_ = damaged_ ? catalog_->damaged(sqlite3_errmsg(db_)) : sqlite3_errmsg(db_);
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
    if (status != SQLITE_DONE) fail(status);
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
    const int status = sqlite3_exec(catalog.db(), sql, nullptr, nullptr, &message);
    if (status == SQLITE_OK) return true;
    error = message != nullptr ? message : sqlite3_errmsg(catalog.db());
    sqlite3_free(message);
    if (is_damage(status)) error = catalog.damaged(error);
    return false;
}

int64_t last_insert_id(const Catalog& catalog) { return sqlite3_last_insert_rowid(catalog.db()); }

}  // namespace tavo_catalog
