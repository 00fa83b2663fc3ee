#include "store/store.h"

#include <array>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "base/json_fields.h"
#include "base/log.h"
#include "media/file_utils.h"
#include "platform/file_system.h"
#include "store/store_impl.h"

using nlohmann::json;

namespace {

constexpr int kBusyTimeoutMs = 2000;
// Jobs committed in one transaction at most; a long queue is written in several.
constexpr size_t kBatchLimit = 4096;

// Forward migrations: entry N brings a database of user_version N to N + 1.
// The per-run tables are kept in run order (WITHOUT ROWID), so a history read is one pass
// over each of them.
const std::array<const char*, 1> kMigrations = {
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
};
constexpr int kSchemaVersion = static_cast<int>(kMigrations.size());

// A second line of defence: whatever the caller passes, no credential reaches the disk.
json withoutCredentials(json value) {
  for (json* object : {&value, value.is_object() && value.contains("P") ? &value["P"] : nullptr}) {
    if (object && object->is_object()) {
      object->erase("user");
      object->erase("pass");
    }
  }
  return value;
}

// A decimal number up to `max` written without leading zeros.
bool isPlainNumber(std::string_view text, unsigned max) {
  if (text.empty() || text.size() > 5 || (text.size() > 1 && text[0] == '0')) return false;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value <= max;
}

// "a.b.c.d:port" as the program itself writes it, so that one display has one key.
bool isDisplayAddress(const std::string& ip) {
  const std::string_view text = ip;
  const size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) return false;
  const std::string_view port = text.substr(colon + 1);
  if (!isPlainNumber(port, 65535) || port == "0") return false;
  const std::string_view host = text.substr(0, colon);
  int parts = 0;
  for (size_t start = 0;; ++parts) {
    const size_t dot = host.find('.', start);
    if (!isPlainNumber(host.substr(start, dot - start), 255)) return false;
    if (dot == std::string_view::npos) return parts == 3;
    start = dot + 1;
  }
}

bool isUtf8(const std::string& text) {
  for (size_t at = 0; at < text.size();) {
    size_t length = utf8SequenceLength(text, at);
    if (length == 0) return false;
    at += length;
  }
  return true;
}

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
  std::string check;
  if (!pragmaText(connection.db, "PRAGMA quick_check", path, check, error)) return nullptr;
  if (check != "ok") {
    error = openFailure(path, SQLITE_CORRUPT, check);
    return nullptr;
  }
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

Query::~Query() {
  if (statement_) {
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
  }
}

Query& Query::bind(int index, const std::string& text) {
  if (statement_) sqlite3_bind_text(statement_, index, text.data(), text.size(), SQLITE_TRANSIENT);
  return *this;
}

Query& Query::bind(int index, int64_t value) {
  if (statement_) sqlite3_bind_int64(statement_, index, value);
  return *this;
}

Query& Query::bindNull(int index) {
  if (statement_) sqlite3_bind_null(statement_, index);
  return *this;
}

int Query::step() {
  return statement_ ? sqlite3_step(statement_) : SQLITE_ERROR;
}

bool Query::run() {
  int code;
  while ((code = step()) == SQLITE_ROW) {
  }
  if (code != SQLITE_DONE) diagLog(std::string("store: ") + sqlite3_errmsg(db_));
  return code == SQLITE_DONE;
}

std::string Query::text(int column) const {
  const unsigned char* value = sqlite3_column_text(statement_, column);
  return value ? std::string(reinterpret_cast<const char*>(value),
                             sqlite3_column_bytes(statement_, column))
               : std::string();
}

Store::Impl::Impl(sqlite3* connection) : db(connection) {
  writer_ = std::thread([this] { writerLoop(); });
}

Store::Impl::~Impl() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  writer_.join();
  for (auto& [sql, statement] : statements_) sqlite3_finalize(statement);
  sqlite3_close_v2(db);
}

Query Store::Impl::prepare(const char* sql) {
  auto& statement = statements_[sql];
  if (!statement && sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement,
                                       nullptr) != SQLITE_OK) {
    diagLog("store: " + lastError());
    statement = nullptr;
  }
  return Query(db, statement);
}

bool Store::Impl::exec(const char* sql) {
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK) return true;
  diagLog(std::string("store: ") + sql + ": " + lastError());
  return false;
}

void Store::Impl::submit(Job job) {
  if (std::this_thread::get_id() == writer_.get_id()) {
    std::string error = runJob(job);
    if (job.done) job.done(error);
    return;
  }
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(job));
  }
  wake_.notify_one();
}

void Store::Impl::writerLoop() {
  for (;;) {
    std::deque<Job> batch;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;
      while (!queue_.empty() && batch.size() < kBatchLimit) {
        batch.push_back(std::move(queue_.front()));
        queue_.pop_front();
      }
    }
    runBatch(batch);
  }
}

// A savepoint per job: one failed job loses only its own changes. The error is read before the
// rollback, which would otherwise replace it with its own.
std::string Store::Impl::runJob(Job& job) {
  if (!exec("SAVEPOINT job")) return lastError();
  std::string error;
  if (!job.work()) {
    error = lastError();  // never empty; a job that refused by itself says why on its own
    exec("ROLLBACK TO job");
  }
  if (!exec("RELEASE job") && error.empty()) error = lastError();
  return error;
}

void Store::Impl::runBatch(std::deque<Job>& batch) {
  // Without the transaction (another program holds the lock) each job still commits alone.
  bool inTransaction = exec("BEGIN IMMEDIATE");
  std::vector<std::string> errors;
  errors.reserve(batch.size());
  for (auto& job : batch) errors.push_back(runJob(job));
  if (inTransaction && !exec("COMMIT")) {
    const std::string error = lastError();
    exec("ROLLBACK");
    for (auto& lost : errors) {
      if (lost.empty()) lost = error;
    }
  }
  for (size_t i = 0; i < batch.size(); ++i) {
    if (!errors[i].empty()) diagLog("store: a write was lost: " + errors[i]);
    if (batch[i].done) batch[i].done(errors[i]);
  }
}

Store::Store(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Store::~Store() = default;

Store::Opened Store::open(const std::string& appFolder) {
  namespace fs = std::filesystem;
  Opened opened;
  std::string folder = appFolder + "/data";
  std::string path = folder + "/quillora.db";
  std::error_code ec;
  if (fs::create_directory(pathFromUtf8(folder), ec)) {
    fs::permissions(pathFromUtf8(folder), fs::perms::owner_all, ec);
  }
  if (!fs::is_directory(pathFromUtf8(folder), ec)) {
    opened.error = "The store cannot be written: " + folder + " is not a folder that can be made.";
    return opened;
  }
  bool exists = fs::exists(pathFromUtf8(path), ec);
  if (exists && !fs::is_regular_file(pathFromUtf8(path), ec)) {
    opened.error = "The store " + path + " is not a file; it was left as it is.";
    return opened;
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
  sqlite3* db = openDatabase(path, exists, opened.error);
  if (!db) return opened;
  ownerOnly();
  opened.store.reset(new Store(std::make_unique<Impl>(db)));
  return opened;
}

void Store::displaySeen(const std::string& ip, const json& record, int64_t nowMs) {
  // The address comes from a datagram anyone on the network can send.
  if (!isDisplayAddress(ip)) {
    diagLog("store: ignored a display at \"" + ip + "\"");
    return;
  }
  json capabilities = json::object();
  if (record.is_object()) {
    for (const auto& [key, value] : record.items()) {
      if (key.size() > 7 && key.ends_with("Support")) capabilities[key] = value;
    }
  }
  impl_->submit(
      {[this, ip, nowMs, capabilities = dumpCompact(capabilities),
        fields = std::array{stringOr(record, "DeviceName"), stringOr(record, "DeviceModel"),
                            stringOr(record, "SerialNumber"), stringOr(record, "MacAddr"),
                            stringOr(record, "SoftwareVersion")}] {
         auto query = impl_->prepare(
             "INSERT INTO displays (ip, name, model, serial, mac, version, capabilities,"
             " first_seen, last_seen) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?8)"
             " ON CONFLICT (ip) DO UPDATE SET"
             // A shorter answer updates what it has and keeps the rest.
             " name = coalesce(nullif(excluded.name, ''), name),"
             " model = coalesce(nullif(excluded.model, ''), model),"
             " serial = coalesce(nullif(excluded.serial, ''), serial),"
             " mac = coalesce(nullif(excluded.mac, ''), mac),"
             " version = coalesce(nullif(excluded.version, ''), version),"
             " capabilities = coalesce(nullif(excluded.capabilities, '{}'), capabilities),"
             " first_seen = coalesce(first_seen, excluded.first_seen),"
             " last_seen = excluded.last_seen");
         query.bind(1, ip).bind(7, capabilities).bind(8, nowMs);
         for (int i = 0; i < 5; ++i) query.bind(i + 2, fields[i]);
         return query.run();
       },
       {}});
}

void Store::recordStep(RunStep step, std::function<void(const std::string& error)> after) {
  impl_->submit(
      {[this, step = std::move(step)] {
         auto insert = impl_->prepare(
             "INSERT INTO steps (run, ip, seq, at, step, status, detail)"
             " SELECT ?1, ?2, coalesce(max(seq), 0) + 1, ?3, ?4, ?5, ?6 FROM steps"
             " WHERE run = ?1 AND ip = ?2");
         json detail = withoutCredentials(step.detail);
         if (!insert.bind(1, step.runId)
                  .bind(2, step.ip)
                  .bind(3, step.atMs)
                  .bind(4, step.step)
                  .bind(5, step.status)
                  .bind(6, dumpCompact(detail))
                  .run())
           return false;
         if (step.state.empty()) return true;
         auto state = impl_->prepare(
             "INSERT INTO run_displays (run, ip, state, updated, detail) VALUES (?1, ?2, ?3, ?4, "
             "?5)"
             " ON CONFLICT (run, ip) DO UPDATE SET state = excluded.state,"
             " updated = excluded.updated, detail = excluded.detail");
         json summary = detail;
         summary["step"] = step.step;
         summary["status"] = step.status;
         if (!state.bind(1, step.runId)
                  .bind(2, step.ip)
                  .bind(3, step.state)
                  .bind(4, step.atMs)
                  .bind(5, dumpCompact(summary))
                  .run())
           return false;
         return impl_->prepare("UPDATE displays SET last_run = ?1, last_state = ?2 WHERE ip = ?3")
             .bind(1, step.runId)
             .bind(2, step.state)
             .bind(3, step.ip)
             .run();
       },
       [after = std::move(after)](const std::string& error) {
         if (after) after(error);
       }});
}

void Store::endRun(int64_t runId, int64_t endedMs) {
  impl_->submit({[this, runId, endedMs] {
                   return impl_->prepare("UPDATE runs SET ended = ?1 WHERE id = ?2")
                       .bind(1, endedMs)
                       .bind(2, runId)
                       .run();
                 },
                 {}});
}

namespace {

// Runs `work` as one job and waits until it is committed (or refused).
bool waitedWrite(Store::Impl& impl, std::function<bool(std::string&)> work, std::string& error) {
  auto reason = std::make_shared<std::string>();
  auto result = std::make_shared<std::promise<bool>>();
  auto future = result->get_future();
  impl.submit({[work, reason] { return work(*reason); },
               [reason, result](const std::string& error) {
                 if (!error.empty() && reason->empty())
                   reason->assign("The store could not be written: " + error);
                 result->set_value(error.empty());
               }});
  bool ok = future.get();
  if (!ok) error = *reason;
  return ok;
}

}  // namespace

int Store::closeOpenRuns(int64_t endedMs) {
  auto closed = std::make_shared<int>(0);
  std::string error;
  waitedWrite(
      *impl_,
      [this, endedMs, closed](std::string&) {
        const char* const kSteps[] = {
            "UPDATE displays SET last_state = 'interrupted' WHERE last_state = 'pending' AND"
            " last_run IN (SELECT id FROM runs WHERE ended IS NULL)",
            "UPDATE run_displays SET state = 'interrupted', updated = ?1 WHERE state = 'pending'"
            " AND run IN (SELECT id FROM runs WHERE ended IS NULL)",
            "UPDATE runs SET ended = ?1 WHERE ended IS NULL"};
        for (const char* sql : kSteps) {
          // The first statement has no parameter: binding it is a no-op.
          if (!impl_->prepare(sql).bind(1, endedMs).run()) return false;
        }
        *closed = sqlite3_changes(impl_->db);
        return true;
      },
      error);
  return *closed;
}

bool Store::addDisplay(const std::string& ip, int64_t nowMs, std::string& error) {
  if (!isDisplayAddress(ip)) {
    error = "malformed display address \"" + ip + "\" (a.b.c.d:port expected)";
    return false;
  }
  return waitedWrite(
      *impl_,
      [this, ip, nowMs](std::string&) {
        return impl_
            ->prepare(
                "INSERT INTO displays (ip, first_seen, manual) VALUES (?1, ?2, 1)"
                " ON CONFLICT (ip) DO UPDATE SET manual = 1")
            .bind(1, ip)
            .bind(2, nowMs)
            .run();
      },
      error);
}

bool Store::removeDisplay(const std::string& ip, std::string& error) {
  return waitedWrite(
      *impl_,
      [this, ip](std::string& reason) {
        if (!impl_->prepare("DELETE FROM displays WHERE ip = ?1").bind(1, ip).run()) return false;
        if (sqlite3_changes(impl_->db) > 0) return true;
        reason = "unknown display " + ip;
        return false;
      },
      error);
}

bool Store::saveGroup(const std::string& name, const std::vector<std::string>& ips,
                      const std::string& oldName, std::string& error) {
  if (name.empty() || name.size() > 64 || !isUtf8(name)) {
    error = "a group name is 1 to 64 bytes of UTF-8 text";
    return false;
  }
  return waitedWrite(
      *impl_,
      [this, name, ips, oldName](std::string& reason) {
        auto known = [this](const char* sql, const std::string& key) {
          auto query = impl_->prepare(sql);
          return query.bind(1, key).step() == SQLITE_ROW;
        };
        for (const auto& ip : ips) {
          if (!known("SELECT 1 FROM displays WHERE ip = ?1", ip)) {
            reason = "unknown display " + ip;
            return false;
          }
        }
        if (!oldName.empty() && oldName != name) {
          if (!known("SELECT 1 FROM groups WHERE name = ?1", oldName)) {
            reason = "unknown group " + oldName;
            return false;
          }
          if (known("SELECT 1 FROM groups WHERE name = ?1", name)) {
            reason = "a group named " + name + " already exists";
            return false;
          }
          if (!impl_->prepare("UPDATE groups SET name = ?1 WHERE name = ?2")
                   .bind(1, name)
                   .bind(2, oldName)
                   .run())
            return false;
        }
        if (!impl_->prepare("INSERT OR IGNORE INTO groups (name) VALUES (?1)")
                 .bind(1, name)
                 .run() ||
            !impl_->prepare("DELETE FROM group_members WHERE \"group\" = ?1").bind(1, name).run())
          return false;
        for (const auto& ip : ips) {
          if (!impl_->prepare("INSERT OR IGNORE INTO group_members (\"group\", ip) VALUES (?1, ?2)")
                   .bind(1, name)
                   .bind(2, ip)
                   .run())
            return false;
        }
        return true;
      },
      error);
}

bool Store::removeGroup(const std::string& name, std::string& error) {
  return waitedWrite(
      *impl_,
      [this, name](std::string& reason) {
        if (!impl_->prepare("DELETE FROM groups WHERE name = ?1").bind(1, name).run()) return false;
        if (sqlite3_changes(impl_->db) > 0) return true;
        reason = "unknown group " + name;
        return false;
      },
      error);
}

int64_t Store::beginRun(const RunStart& run, std::string* failure) {
  auto id = std::make_shared<int64_t>(0);
  std::string error;
  bool ok = waitedWrite(
      *impl_,
      [this, &run, id](std::string&) {
        if (!impl_
                 ->prepare(
                     "INSERT INTO runs (kind, started, playlist, group_name, retry_of, request)"
                     " VALUES (?1, ?2, ?3, ?4, ?5, ?6)")
                 .bind(1, run.kind)
                 .bind(2, run.startedMs)
                 .bind(3, run.playlist)
                 .bind(4, run.group)
                 .bind(5, run.retryOf)
                 .bind(6, dumpCompact(withoutCredentials(run.request)))
                 .run())
          return false;
        *id = sqlite3_last_insert_rowid(impl_->db);
        for (size_t i = 0; i < run.files.size(); ++i) {
          if (!impl_
                   ->prepare("INSERT INTO run_files (run, position, name, size, sha256)"
                             " VALUES (?1, ?2, ?3, ?4, ?5)")
                   .bind(1, *id)
                   .bind(2, static_cast<int64_t>(i))
                   .bind(3, run.files[i].name)
                   .bind(4, static_cast<int64_t>(run.files[i].size))
                   .bind(5, run.files[i].sha256)
                   .run())
            return false;
        }
        for (const auto& ip : run.ips) {
          if (!impl_
                   ->prepare("INSERT OR IGNORE INTO run_displays (run, ip, state, updated)"
                             " VALUES (?1, ?2, 'pending', ?3)")
                   .bind(1, *id)
                   .bind(2, ip)
                   .bind(3, run.startedMs)
                   .run())
            return false;
        }
        return true;
      },
      error);
  if (!ok) diagLog("store: a run was not written: " + error);
  if (!ok && failure) *failure = error;
  return ok ? *id : 0;
}

void Store::flush() {
  // Resolved in its place among the `after` callbacks, so those queued before it have run.
  auto drained = std::make_shared<std::promise<void>>();
  auto future = drained->get_future();
  impl_->submit({[] { return true; }, [drained](const std::string&) { drained->set_value(); }});
  future.get();
}
