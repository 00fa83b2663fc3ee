#include "base/log.h"
#include "store/store_impl.h"

// The writer thread: every read and write of the database, in the order queued.

namespace {

// Jobs committed in one transaction at most; a long queue is written in several.
constexpr size_t kBatchLimit = 4096;

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
      if (queue_.front().alone) {
        Job job = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        const bool ok = job.work();
        if (job.done) job.done(ok ? "" : lastError());
        continue;
      }
      while (!queue_.empty() && !queue_.front().alone && batch.size() < kBatchLimit) {
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

std::string Store::Impl::runAlone(const std::string& sql) {
  auto result = std::make_shared<std::promise<std::string>>();
  auto future = result->get_future();
  Job job{[this, sql] { return exec(sql.c_str()); },
          [result](const std::string& error) { result->set_value(error); }, true};
  if (std::this_thread::get_id() == writer_.get_id()) {
    job.done(job.work() ? "" : lastError());
  } else {
    {
      std::lock_guard lock(mutex_);
      queue_.push_back(std::move(job));
    }
    wake_.notify_one();
  }
  return future.get();
}

Result<> waitedWrite(Store::Impl& impl, std::function<bool(std::string&)> work) {
  auto reason = std::make_shared<std::string>();
  auto result = std::make_shared<std::promise<bool>>();
  auto future = result->get_future();
  impl.submit({[work, reason] { return work(*reason); },
               [reason, result](const std::string& error) {
                 if (!error.empty() && reason->empty())
                   reason->assign("The store could not be written: " + error);
                 result->set_value(error.empty());
               }});
  if (!future.get()) return failure(*reason);
  return {};
}

void Store::flush() {
  // Resolved in its place among the `after` callbacks, so those queued before it have run.
  auto drained = std::make_shared<std::promise<void>>();
  auto future = drained->get_future();
  impl_->submit({[] { return true; }, [drained](const std::string&) { drained->set_value(); }});
  future.get();
}

nlohmann::json parsedOr(const std::string& text, nlohmann::json fallback) {
  if (text == "{}") return nlohmann::json::object();
  nlohmann::json value = nlohmann::json::parse(text, nullptr, false);
  return value.is_discarded() ? fallback : value;
}

nlohmann::json integerOrNull(const Query& query, int column) {
  return query.isNull(column) ? nlohmann::json() : nlohmann::json(query.integer(column));
}
