#include <climits>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "base/clock.h"
#include "base/log.h"
#include "platform/file_system.h"
#include "store/store_impl.h"

// What keeps the file in shape while the program runs: the marker of a running process, the
// pruning of the journal with the return of the freed space, and the full check of the file.

namespace {

namespace fs = std::filesystem;

// Runs removed per transaction: small enough that a deploy's writes are not held up for long.
constexpr int64_t kPruneChunk = 500;
// Pages given back per step of the incremental vacuum (16 MB of 4 kB pages).
constexpr int kVacuumPages = 4096;
constexpr auto kPruneEvery = std::chrono::hours(24);

}  // namespace

struct Store::Background {
  std::string marker;
  bool unclean = false;

  std::mutex mutex;
  std::condition_variable wake;
  bool stopping = false;
  std::thread pruner;
  std::thread checker;
  sqlite3* checkDb = nullptr;  // while a check runs; interrupted when the store closes
  // The writer's connection while it compacts the file: a closing store does not wait for a
  // conversion of a large file, which is rolled back and done again at a later start.
  sqlite3* compacting = nullptr;
  CheckStatus check;

  bool stopped() {
    std::lock_guard lock(mutex);
    return stopping;
  }

  void stop() {
    {
      std::lock_guard lock(mutex);
      stopping = true;
      if (checkDb) sqlite3_interrupt(checkDb);
      if (compacting) sqlite3_interrupt(compacting);
    }
    wake.notify_all();
    if (pruner.joinable()) pruner.join();
    if (checker.joinable()) checker.join();
  }
};

Store::Store(std::unique_ptr<Impl> impl)
    : impl_(std::move(impl)), background_(std::make_unique<Background>()) {
  // Left while the process runs: found at the next start, it tells of a crash.
  background_->marker = impl_->path + ".running";
  std::error_code ec;
  background_->unclean = fs::exists(pathFromUtf8(background_->marker), ec);
  std::ofstream(pathFromUtf8(background_->marker)) << "running\n";
}

Store::~Store() {
  background_->stop();
  impl_.reset();
  std::error_code ec;
  fs::remove(pathFromUtf8(background_->marker), ec);
}

bool Store::uncleanShutdown() const {
  return background_->unclean;
}

namespace {

// The file's own auto_vacuum mode and count of free pages, on the writer thread.
std::pair<int64_t, int64_t> vacuumState(Store::Impl& impl) {
  return impl.read<std::pair<int64_t, int64_t>>([&impl] {
    auto mode = impl.prepare("PRAGMA auto_vacuum");
    auto free = impl.prepare("PRAGMA freelist_count");
    int64_t m = mode.step() == SQLITE_ROW ? mode.integer(0) : -1;
    int64_t f = free.step() == SQLITE_ROW ? free.integer(0) : 0;
    return std::pair{m, f};
  });
}

}  // namespace

Result<int64_t> Store::prune(const Retention& keep, int64_t nowMs) {
  const int64_t oldest = keep.maxAgeMs > 0 ? nowMs - keep.maxAgeMs : INT64_MIN;
  // Every run up to this id is beyond the count; the runs begun while pruning are not. The
  // span of ids bounds the count, so a journal within its limit is not counted through.
  int64_t bound = 0;
  if (keep.maxRuns > 0) {
    bound = impl_->read<int64_t>([this, &keep]() -> int64_t {
      auto span =
          impl_->prepare("SELECT (SELECT max(id) FROM runs) - (SELECT min(id) FROM runs) + 1");
      if (span.step() != SQLITE_ROW || span.isNull(0) || span.integer(0) <= keep.maxRuns) return 0;
      auto query = impl_->prepare("SELECT id FROM runs ORDER BY id DESC LIMIT 1 OFFSET ?1");
      query.bind(1, keep.maxRuns);
      return query.step() == SQLITE_ROW ? query.integer(0) : 0;
    });
  }
  // Oldest first, up to the first finished run that stays: what is left is newer (only a clock
  // set back could start a later run earlier; such a run goes once the one before it does).
  // A run still going is never removed.
  auto after = std::make_shared<int64_t>(0);
  auto reachedKept = std::make_shared<bool>(false);
  int64_t removed = 0;
  while (!*reachedKept && !background_->stopped()) {
    auto count = std::make_shared<int64_t>(0);
    auto looked = std::make_shared<int64_t>(0);
    Result<> chunk = waitedWrite(*impl_, [=, this](std::string&) {
      std::vector<int64_t> found;
      int code;
      {
        auto rows = impl_->prepare(
            "SELECT id, started, ended IS NULL FROM runs WHERE id > ?1 ORDER BY id LIMIT ?2");
        rows.bind(1, *after).bind(2, kPruneChunk);
        while ((code = rows.step()) == SQLITE_ROW) {
          ++*looked;
          *after = rows.integer(0);
          if (rows.integer(2)) continue;
          if (rows.integer(0) > bound && rows.integer(1) >= oldest) {
            *reachedKept = true;
            break;
          }
          found.push_back(rows.integer(0));
        }
      }
      if (code != SQLITE_ROW && code != SQLITE_DONE) return false;
      for (int64_t id : found) {
        for (const char* sql :
             {"DELETE FROM steps WHERE run = ?1", "DELETE FROM run_displays WHERE run = ?1",
              "DELETE FROM run_files WHERE run = ?1", "DELETE FROM runs WHERE id = ?1"}) {
          if (!impl_->prepare(sql).bind(1, id).run()) return false;
        }
      }
      *count = static_cast<int64_t>(found.size());
      return true;
    });
    if (!chunk) return failure(chunk.error());
    removed += *count;
    if (*looked < kPruneChunk) break;
  }
  if (background_->stopped()) return removed;
  auto [mode, freePages] = vacuumState(*impl_);
  if (mode == 0) {
    // A file made before pruning existed: converted once, which rewrites it whole. Only with
    // room for the copy and its log; a conversion cut short leaves the file as it was.
    std::error_code ec;
    const auto size = fs::file_size(pathFromUtf8(impl_->path), ec);
    const auto space = fs::space(pathFromUtf8(impl_->path), ec);
    if (ec || space.available < 2 * size + (64 << 20)) {
      return failure("The store " + impl_->path +
                     " could not give its free space back: not enough room on the disk for the"
                     " one-time conversion.");
    }
    {
      std::lock_guard lock(background_->mutex);
      if (background_->stopping) return removed;
      background_->compacting = impl_->db;
    }
    std::string error = impl_->runAlone("PRAGMA auto_vacuum=INCREMENTAL; VACUUM;");
    {
      std::lock_guard lock(background_->mutex);
      background_->compacting = nullptr;
    }
    if (background_->stopped()) return removed;
    if (!error.empty()) return failure("The store could not be compacted: " + error);
  } else if (mode == 2) {
    for (int64_t left = freePages; left > 0 && !background_->stopped(); left -= kVacuumPages) {
      const std::string step = "PRAGMA incremental_vacuum(" + std::to_string(kVacuumPages) + ")";
      if (std::string error = impl_->runAlone(step); !error.empty())
        return failure("The store could not be compacted: " + error);
    }
  }
  // In write-ahead mode the file shrinks only when the log is folded back into it.
  if (std::string error = impl_->runAlone("PRAGMA wal_checkpoint(TRUNCATE)"); !error.empty())
    return failure("The store could not be compacted: " + error);
  return removed;
}

void Store::keepPruned(const Retention& keep,
                       std::function<void(const std::string& error)> report) {
  std::lock_guard lock(background_->mutex);
  if (background_->pruner.joinable() || background_->stopping) return;
  background_->pruner = std::thread([this, keep, report = std::move(report)] {
    Background& b = *background_;
    for (;;) {
      Result<int64_t> removed = prune(keep, nowMs());
      if (removed && *removed > 0) diagLog("store: pruned " + std::to_string(*removed) + " runs");
      if (!removed && report) report(removed.error());
      std::unique_lock lock(b.mutex);
      if (b.wake.wait_for(lock, kPruneEvery, [&b] { return b.stopping; })) return;
    }
  });
}

bool Store::startCheck(std::function<void(const CheckStatus&)> done) {
  Background& b = *background_;
  std::lock_guard lock(b.mutex);
  if (b.stopping || b.check.state == CheckStatus::State::kRunning) return false;
  if (b.checker.joinable()) b.checker.join();  // the last one has ended
  b.check = {CheckStatus::State::kRunning, ""};
  b.checker = std::thread([&b, path = impl_->path, done = std::move(done)] {
    // A connection of its own, read-only: the writer goes on while the file is read through.
    sqlite3* db = nullptr;
    std::string result;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) ==
        SQLITE_OK) {
      sqlite3_busy_timeout(db, 2000);
      {
        std::lock_guard lock(b.mutex);
        b.checkDb = db;
        if (b.stopping) sqlite3_interrupt(db);
      }
      sqlite3_stmt* query = nullptr;
      int code = sqlite3_prepare_v2(db, "PRAGMA quick_check(20)", -1, &query, nullptr);
      while (code == SQLITE_OK || code == SQLITE_ROW) {
        if ((code = sqlite3_step(query)) != SQLITE_ROW) break;
        const unsigned char* text = sqlite3_column_text(query, 0);
        if (!result.empty()) result += "; ";
        result += text ? reinterpret_cast<const char*>(text) : "";
      }
      if (code != SQLITE_DONE) result = sqlite3_errmsg(db);
      sqlite3_finalize(query);
    } else {
      result = db ? sqlite3_errmsg(db) : "the file could not be opened";
    }
    CheckStatus status;
    {
      std::lock_guard lock(b.mutex);
      b.checkDb = nullptr;
      sqlite3_close_v2(db);
      b.check = {result == "ok" ? CheckStatus::State::kOk : CheckStatus::State::kDamaged, result};
      status = b.check;
    }
    if (done && !b.stopped()) done(status);
  });
  return true;
}

CheckStatus Store::checkStatus() {
  std::lock_guard lock(background_->mutex);
  return background_->check;
}
