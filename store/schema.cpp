#include <array>
#include <filesystem>
#include <system_error>

#include "platform/file_system.h"
#include "store/store_impl.h"

// The database file: its checks, its schema and the migrations that bring it forward.

namespace {

constexpr int kBusyTimeoutMs = 2000;

// Forward migrations: entry N brings a database of user_version N to N + 1.
// The per-run tables are kept in run order (WITHOUT ROWID), so a history read is one pass
// over each of them.
const std::array<const char*, 2> kMigrations = {
    R"sql(
CREATE TABLE displays (
  ip TEXT PRIMARY KEY,
  name TEXT NOT NULL DEFAULT '',
  model TEXT NOT NULL DEFAULT '',
  serial TEXT NOT NULL DEFAULT '',
  mac TEXT NOT NULL DEFAULT '',
  version TEXT NOT NULL DEFAULT '',
  capabilities TEXT NOT NULL DEFAULT '{}',
  first_seen INTEGER,
  last_seen INTEGER,
  manual INTEGER NOT NULL DEFAULT 0,
  last_run INTEGER,
  last_state TEXT NOT NULL DEFAULT ''
);
CREATE TABLE groups (name TEXT PRIMARY KEY);
CREATE TABLE group_members (
  "group" TEXT NOT NULL REFERENCES groups(name) ON DELETE CASCADE ON UPDATE CASCADE,
  ip TEXT NOT NULL REFERENCES displays(ip) ON DELETE CASCADE ON UPDATE CASCADE,
  PRIMARY KEY ("group", ip)
) WITHOUT ROWID;
CREATE INDEX group_members_ip ON group_members(ip);
CREATE TABLE runs (
  id INTEGER PRIMARY KEY,
  kind TEXT NOT NULL,
  started INTEGER NOT NULL,
  ended INTEGER,
  playlist TEXT NOT NULL DEFAULT '',
  group_name TEXT NOT NULL DEFAULT '',
  retry_of INTEGER NOT NULL DEFAULT 0,
  request TEXT NOT NULL DEFAULT '{}'
);
CREATE INDEX runs_group ON runs(group_name, id DESC);
CREATE TABLE run_files (
  run INTEGER NOT NULL REFERENCES runs(id) ON DELETE CASCADE,
  position INTEGER NOT NULL,
  name TEXT NOT NULL,
  size INTEGER NOT NULL,
  sha256 TEXT NOT NULL,
  PRIMARY KEY (run, position)
) WITHOUT ROWID;
CREATE INDEX run_files_name ON run_files(name, size);
CREATE TABLE run_displays (
  run INTEGER NOT NULL REFERENCES runs(id) ON DELETE CASCADE,
  ip TEXT NOT NULL,
  state TEXT NOT NULL,
  updated INTEGER NOT NULL,
  detail TEXT NOT NULL DEFAULT '{}',
  PRIMARY KEY (run, ip)
) WITHOUT ROWID;
CREATE INDEX run_displays_ip ON run_displays(ip, run DESC);
CREATE TABLE steps (
  run INTEGER NOT NULL REFERENCES runs(id) ON DELETE CASCADE,
  ip TEXT NOT NULL,
  seq INTEGER NOT NULL,
  at INTEGER NOT NULL,
  step TEXT NOT NULL,
  status TEXT NOT NULL,
  detail TEXT NOT NULL DEFAULT '{}',
  PRIMARY KEY (run, ip, seq)
) WITHOUT ROWID;
)sql",
    // Schedules: `handled` is the last firing done (fired or journalled as missed).
    R"sql(
CREATE TABLE schedules (
  id INTEGER PRIMARY KEY,
  body TEXT NOT NULL,
  paused INTEGER NOT NULL DEFAULT 0,
  handled INTEGER NOT NULL DEFAULT 0
);
ALTER TABLE runs ADD COLUMN schedule INTEGER NOT NULL DEFAULT 0;
CREATE INDEX runs_schedule ON runs(schedule, id DESC);
)sql",
};
constexpr int kSchemaVersion = static_cast<int>(kMigrations.size());

struct Connection {
  sqlite3* db = nullptr;
  ~Connection() {
    if (db) sqlite3_close_v2(db);
  }
};

// The sentence for a refused open, from the code of the statement that failed.
std::string openFailure(const std::string& path, int code, const std::string& message) {
  switch (code & 0xff) {
    case SQLITE_NOTADB:
      return "The store " + path + " is not a database; it was left as it is.";
    case SQLITE_CORRUPT:
      return "The store " + path + " is damaged (" + message + "); it was left as it is.";
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return "The store " + path + " is locked by another program.";
    case SQLITE_READONLY:
    case SQLITE_CANTOPEN:
    case SQLITE_PERM:
      return "The store " + path + " cannot be written (" + message + ").";
    default:
      return "The store " + path + " could not be opened (" + message + ").";
  }
}

// One-value query during open; the error sentence when it fails.
bool pragmaText(sqlite3* db, const char* sql, const std::string& path, std::string& value,
                std::string& error) {
  sqlite3_stmt* statement = nullptr;
  int code = sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
  if (code == SQLITE_OK) code = sqlite3_step(statement);
  if (code == SQLITE_ROW) {
    const unsigned char* text = sqlite3_column_text(statement, 0);
    value = text ? reinterpret_cast<const char*>(text) : "";
    code = SQLITE_OK;
  } else if (code == SQLITE_DONE) {
    code = SQLITE_OK;
  }
  if (code != SQLITE_OK) error = openFailure(path, code, sqlite3_errmsg(db));
  sqlite3_finalize(statement);
  return code == SQLITE_OK;
}

bool execOpen(sqlite3* db, const std::string& sql, const std::string& path, std::string& error) {
  char* message = nullptr;
  int code = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
  if (code != SQLITE_OK) {
    error = openFailure(path, sqlite3_extended_errcode(db), message ? message : "");
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  sqlite3_free(message);
  return code == SQLITE_OK;
}

// Every check that can refuse the file runs before anything is written to it.
sqlite3* openDatabase(const std::string& path, bool exists, std::string& error) {
  Connection connection;
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (exists ? 0 : SQLITE_OPEN_CREATE);
  int code = sqlite3_open_v2(path.c_str(), &connection.db, flags, nullptr);
  if (code != SQLITE_OK) {
    error = openFailure(path, code, connection.db ? sqlite3_errmsg(connection.db) : "");
    return nullptr;
  }
  // A write-protected file opens read-only without a word; every later write would fail.
  if (sqlite3_db_readonly(connection.db, "main") == 1) {
    error = openFailure(path, SQLITE_READONLY, "the file is write-protected");
    return nullptr;
  }
  sqlite3_extended_result_codes(connection.db, 1);
  // Closing the last connection would fold a waiting log into the file: not while refusing it.
  sqlite3_db_config(connection.db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  sqlite3_busy_timeout(connection.db, kBusyTimeoutMs);
  std::string version;
  if (!pragmaText(connection.db, "PRAGMA user_version", path, version, error)) return nullptr;
  if (std::stoi(version) > kSchemaVersion) {
    error = "The store " + path + " was written by a newer version of the program (schema " +
            version + "; this one knows up to " + std::to_string(kSchemaVersion) +
            "); it was left as it is.";
    return nullptr;
  }
  // The whole file is checked on request or after a crash, in the background: at start only
  // the tables whose size does not grow with the journal, so that opening stays quick.
  if (std::stoi(version) == kSchemaVersion) {
    std::string tables;
    if (!pragmaText(connection.db,
                    "SELECT count(*) FROM sqlite_schema WHERE type = 'table' AND name IN"
                    " ('displays', 'groups', 'group_members', 'runs', 'run_files',"
                    " 'run_displays', 'steps', 'schedules')",
                    path, tables, error))
      return nullptr;
    if (tables != "8") {
      error = openFailure(path, SQLITE_CORRUPT, "tables of the journal are missing");
      return nullptr;
    }
    for (const char* sql : {"PRAGMA quick_check(displays)", "PRAGMA quick_check(groups)",
                            "PRAGMA quick_check(group_members)"}) {
      std::string check;
      if (!pragmaText(connection.db, sql, path, check, error)) return nullptr;
      if (check != "ok") {
        error = openFailure(path, SQLITE_CORRUPT, check);
        return nullptr;
      }
    }
  }
  // A new file gives freed pages back to the file system as the journal is pruned: set before
  // its first page is written, or it is ignored. An older file is converted once, later, by the
  // pruning (store/maintenance.cpp).
  if (std::stoi(version) == 0 &&
      !execOpen(connection.db, "PRAGMA auto_vacuum=INCREMENTAL;", path, error))
    return nullptr;
  // Takes the write lock first: a read-only file or another writer refuses here, unchanged.
  if (!execOpen(connection.db, "BEGIN IMMEDIATE; COMMIT;", path, error)) return nullptr;
  std::string mode;
  if (!pragmaText(connection.db, "PRAGMA journal_mode=WAL", path, mode, error)) return nullptr;
  if (!execOpen(connection.db,
                "PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=ON; PRAGMA cache_size=-65536;",
                path, error))
    return nullptr;
  for (int from = std::stoi(version); from < kSchemaVersion; ++from) {
    std::string migration = std::string("BEGIN IMMEDIATE;") + kMigrations[from] +
                            "PRAGMA user_version=" + std::to_string(from + 1) + "; COMMIT;";
    if (!execOpen(connection.db, migration, path, error)) return nullptr;
  }
  sqlite3_db_config(connection.db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 0, nullptr);
  return std::exchange(connection.db, nullptr);
}

}  // namespace

Result<std::unique_ptr<Store>> Store::open(const std::string& appFolder) {
  namespace fs = std::filesystem;
  std::string folder = appFolder + "/data";
  std::string path = folder + "/quillora.db";
  std::error_code ec;
  if (fs::create_directory(pathFromUtf8(folder), ec)) {
    fs::permissions(pathFromUtf8(folder), fs::perms::owner_all, ec);
  }
  if (!fs::is_directory(pathFromUtf8(folder), ec)) {
    return failure("The store cannot be written: " + folder + " is not a folder that can be made.");
  }
  bool exists = fs::exists(pathFromUtf8(path), ec);
  if (exists && !fs::is_regular_file(pathFromUtf8(path), ec)) {
    return failure("The store " + path + " is not a file; it was left as it is.");
  }
  // SQLite gives the log and shared-memory files the database's mode: each is made private
  // before the database is opened and again once they exist.
  auto ownerOnly = [&path] {
    for (const char* suffix : {"", "-wal", "-shm"}) {
      std::error_code ignored;
      if (fs::exists(pathFromUtf8(path + suffix), ignored)) {
        fs::permissions(pathFromUtf8(path + suffix), fs::perms::owner_read | fs::perms::owner_write,
                        ignored);
      }
    }
  };
  ownerOnly();
  std::string error;
  sqlite3* db = openDatabase(path, exists, error);
  if (!db) return failure(error);
  ownerOnly();
  auto impl = std::make_unique<Impl>(db);
  impl->path = path;
  return std::unique_ptr<Store>(new Store(std::move(impl)));
}
