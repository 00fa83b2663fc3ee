#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "base/result.h"

// The host's own records in data/quillora.db of the application folder: known displays,
// groups and the journal of deploy runs. One writer thread does every write (and every read,
// so that a read sees the writes queued before it); callers on the network thread only queue.
// No credential is ever written.

struct RunFile {
  std::string name;  // the media or firmware file name as the display fetches it
  uint64_t size = 0;
  std::string sha256;
};

struct RunStart {
  std::string kind;            // "playlist", "emergency", "login", "firmware", a setting's "T"...
  nlohmann::json request;      // the page request without "user" and "pass"
  std::string playlist;        // empty when none
  std::string group;           // the group deployed to; empty when addressed by "ip"
  int64_t retryOf = 0;         // the run this one retries; 0 when none
  int64_t schedule = 0;        // the schedule that fired it; 0 when none
  std::vector<RunFile> files;  // what the displays are told to fetch
  std::vector<std::string> ips;
  int64_t startedMs = 0;
};

// One outcome of one display in a run: a connection, a login, an answer, a fetch result.
struct RunStep {
  int64_t runId = 0;
  std::string ip;
  int64_t atMs = 0;
  std::string step;    // e.g. "login", "adUploadRequest", "playlist", "device", "retry"
  std::string status;  // e.g. "OK", "ERROR", "finish", "mgerror"
  nlohmann::json detail = nlohmann::json::object();
  std::string state;  // the display's new state in the run; empty when unchanged
};

// How much of the journal is kept: runs that started longer ago than `maxAgeMs`, and all but
// the newest `maxRuns`, are removed. 0 keeps everything by that measure.
struct Retention {
  int64_t maxAgeMs = 365LL * 24 * 3600 * 1000;
  int64_t maxRuns = 100000;
};

// What the last full check of the file found.
struct CheckStatus {
  enum class State { kNone, kRunning, kOk, kDamaged } state = State::kNone;
  std::string result;  // "ok", or the problems found
};

class Store {
 public:
  // The connection and its writer thread (store/store_impl.h, for the store's own files).
  struct Impl;
  // Opens (and creates, or migrates forward) the database. On failure a sentence for the
  // operator says why; an existing file is never overwritten.
  // Only the header, the schema and the inventory's tables are checked here, so that the time
  // to open does not grow with the journal; check() looks at the whole file.
  static Result<std::unique_ptr<Store>> open(const std::string& appFolder);
  ~Store();
  // Whether the process that used the file before did not close it (it crashed or was killed).
  bool uncleanShutdown() const;
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Queued writes; `after` runs on the writer thread once the write is committed ("") or lost
  // (the first SQLite error it met).
  void displaySeen(const std::string& ip, const nlohmann::json& record, int64_t nowMs);
  void recordStep(RunStep step, std::function<void(const std::string& error)> after = {});
  void endRun(int64_t runId, int64_t endedMs);
  // Ends the runs that an earlier process left open: their displays still pending are
  // "interrupted". Waited for; the number of runs ended.
  Result<int> closeOpenRuns(int64_t endedMs);

  // Waited for. The reason when refused (malformed address, unknown display or group, a
  // database error).
  Result<> addDisplay(const std::string& ip, int64_t nowMs);
  Result<> removeDisplay(const std::string& ip);
  Result<> saveGroup(const std::string& name, const std::vector<std::string>& ips,
                     const std::string& oldName);
  Result<> removeGroup(const std::string& name);
  // The new run's id once it is on disk.
  Result<int64_t> beginRun(const RunStart& run);

  // {"ip","name","model","serial","mac","version","capabilities":{},"firstSeen","lastSeen",
  //  "manual","groups":[],"lastRun","lastState"} each, by address.
  nlohmann::json displays();
  // {"name","ip":[]} each, by name.
  nlohmann::json groups();
  std::optional<std::vector<std::string>> groupMembers(const std::string& name);
  // Newest first: {"id","kind","started","ended","playlist","group","retryOf","files":[...],
  // "displays":[{"ip","state","updated","detail"}]}; `ip` / `group` filter when non-empty,
  // `before` (> 0) keeps the runs of lower ids, for paging.
  nlohmann::json history(size_t limit, const std::string& ip, const std::string& group,
                         int64_t before = 0, int64_t schedule = 0);
  bool hasRun(int64_t id);
  // One run as in history(), each display with its "steps"; null when there is none. With
  // the request it was started from, for a retry.
  nlohmann::json run(int64_t id);
  // One run (id > 0) or the whole history as CSV, a line per display of a run, handed to
  // `write` in pieces of bounded size as the rows are read; false from `write` stops it.
  Result<> exportCsv(int64_t id, const std::function<bool(const std::string& piece)>& write);

  // Removes the runs beyond `keep` (their files, displays and steps with them), a bounded
  // number per transaction so that other writes go on in between, and gives the space back to
  // the file system. Waited for; the number of runs removed.
  Result<int64_t> prune(const Retention& keep, int64_t nowMs);
  // prune() now and then once a day, on a thread of the store's own, until it is destroyed;
  // `report` hears of each pass that failed.
  void keepPruned(const Retention& keep, std::function<void(const std::string& error)> report);

  // Starts a full check of the file on a connection and thread of its own (writes go on); false
  // when one is running. `done` gets its outcome on that thread.
  bool startCheck(std::function<void(const CheckStatus&)> done);
  CheckStatus checkStatus();

  // Schedules, each {"id","paused","handled", and the members of its body}, by id.
  nlohmann::json schedules();
  // Writes a schedule's body: a new one (id 0, handled from `handledMs`) or over the one of
  // that id. Waited for; the schedule's id.
  Result<int64_t> saveSchedule(int64_t id, const nlohmann::json& body, int64_t handledMs);
  Result<> removeSchedule(int64_t id);
  Result<> pauseSchedule(int64_t id, bool paused);
  // The firing at `firingMs` is done.
  void scheduleHandled(int64_t id, int64_t firingMs);

  // The SHA-256 an earlier run noted for the file of that name and size; empty when none did.
  std::string knownDigest(const std::string& name, uint64_t size);

  // Waits until every queued write is committed.
  void flush();

 private:
  struct Background;
  explicit Store(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
  std::unique_ptr<Background> background_;
};
