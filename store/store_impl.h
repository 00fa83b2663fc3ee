#pragma once

#include <sqlite3.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "store/store.h"

// What the store's files share: the connection, its writer thread and a cache of
// prepared statements. Only the writer thread touches the connection.

// A cached prepared statement, reset and unbound when the query goes out of scope.
class Query {
 public:
  Query(sqlite3* db, sqlite3_stmt* statement) : db_(db), statement_(statement) {}
  ~Query();
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;

  bool ok() const { return statement_ != nullptr; }
  Query& bind(int index, const std::string& text);
  Query& bind(int index, int64_t value);
  Query& bindNull(int index);
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int step();
  // Runs the statement to its end; true when it did not fail.
  bool run();
  std::string text(int column) const;
  int64_t integer(int column) const { return sqlite3_column_int64(statement_, column); }
  bool isNull(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }

 private:
  sqlite3* db_;
  sqlite3_stmt* statement_;
};

struct Store::Impl {
  struct Job {
    std::function<bool()> work;  // false: its changes are rolled back
    // After the commit, with the SQLite error that kept the work off the disk; "" when it is on
    // disk.
    std::function<void(const std::string& error)> done;
    // Run outside any transaction, by itself (VACUUM and the like cannot run inside one).
    bool alone = false;
  };

  explicit Impl(sqlite3* connection);
  ~Impl();

  Query prepare(const char* sql);
  bool exec(const char* sql);
  std::string lastError() const { return sqlite3_errmsg(db); }
  // Queues the job; on the writer thread itself (an `after` callback) it runs at once.
  void submit(Job job);
  // Runs `read` on the writer thread and waits for its result.
  template <class T>
  T read(std::function<T()> read);
  // Runs `sql` by itself, outside any transaction, and waits: "" when done, else SQLite's error.
  std::string runAlone(const std::string& sql);

  sqlite3* db;
  std::string path;  // of the database file

 private:
  void writerLoop();
  void runBatch(std::deque<Job>& batch);
  // "" when the job's work is in the transaction, else the first SQLite error it met.
  std::string runJob(Job& job);

  std::map<const char*, sqlite3_stmt*> statements_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> queue_;
  bool stopping_ = false;
  std::thread writer_;
};

template <class T>
T Store::Impl::read(std::function<T()> read) {
  auto result = std::make_shared<std::promise<T>>();
  auto future = result->get_future();
  submit({[result, read] {
            result->set_value(read());
            return true;
          },
          {}});
  return future.get();
}

// Runs `work` as one job and waits until it is committed or refused: by `work` itself, with the
// reason it set, or by the database.
Result<> waitedWrite(Store::Impl& impl, std::function<bool(std::string&)> work);

// A JSON text as stored, or `fallback` when it is none.
nlohmann::json parsedOr(const std::string& text, nlohmann::json fallback);
// An integer column, or null.
nlohmann::json integerOrNull(const Query& query, int column);

// Milliseconds since the epoch as "2026-01-02T03:04:05.678Z".
std::string isoTimeUtc(int64_t ms);
// "a.b.c.d:port" ordered by number.
bool addressLess(const std::string& a, const std::string& b);
