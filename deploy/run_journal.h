#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "base/clock.h"
#include "store/store.h"

struct AppContext;

// A display's state in a run after one outcome; an empty state leaves it as it was.
struct StateJudgement {
  std::string state;
  nlohmann::json detail = nlohmann::json::object();
};

// `step`/`status`/`payload` as the page is told; `files` the run's files, `sentWhole` how many
// of them the host's server sent whole to that display; `awaiting` whether the display still
// owes a fetch result.
StateJudgement judgeOutcome(const std::string& step, const std::string& status,
                            const nlohmann::json& payload, size_t files, size_t sentWhole,
                            bool awaiting);

// Whether Retry sends a display in this state its run's requests again: those that did not end
// well or never ended; never one that confirmed or reported success.
bool worthRetrying(const std::string& state);

// The runs of this session whose displays may still report, and how each display stands.
class RunJournal {
 public:
  // Writes the run (the page request `message` without credentials, and the files below
  // `area`, "media" or "firmware") before anything is sent. 0 without a store: nothing is
  // journalled then. When the journal has stopped, or stops now, the page and stderr are told
  // that this operation is not recorded.
  int64_t begin(AppContext& context, const nlohmann::json& message, const std::string& playlist,
                const std::string& area, const std::vector<std::string>& fileNames);
  // One outcome of display `ip` in `run`. `pageMessage` (may be empty) reaches the page once
  // the step is on disk, then a state message when the display's state changed. Without a
  // store or run it goes to the page at once. A step that cannot be written stops the
  // journal: its state is not told, and neither is any later one.
  void record(AppContext& context, int64_t run, const std::string& ip, const std::string& step,
              const std::string& status, const nlohmann::json& payload, bool awaiting,
              std::string pageMessage);
  // Ends the runs that made no progress for `idle`: what still waits stays "pending".
  void endIdleRuns(AppContext& context, std::chrono::milliseconds idle);
  int64_t lastRun();
  // Why the journal stopped (the first SQLite error it met); empty while it keeps its word.
  std::string stopped();
  // Whether `run` was begun by this process and has not ended.
  bool isGoing(int64_t run);

 private:
  struct Run {
    std::vector<RunFile> files;
    std::vector<std::string> paths;  // as the server names them, "/media/NAME"
    std::map<std::string, std::string> states;
    int64_t lastProgressMs = 0;
    bool ended = false;
  };
  size_t sentWhole(AppContext& context, int64_t id, const Run& run, const std::string& ip);
  void endRun(AppContext& context, int64_t id, Run& run, int64_t nowMs);
  // The first failure stops the journal for the rest of the session; the page and stderr are
  // told, and again for each operation (`kind`) that goes on without being recorded.
  void stop(AppContext& context, const std::string& error, const std::string& kind);

  std::mutex mutex_;
  std::map<int64_t, Run> runs_;
  int64_t lastRun_ = 0;
  std::string stopped_;
  // Digests by path, size and time of writing: a file is hashed once while it stays the same.
  std::map<std::string, std::string> digests_;
};

// Checks every minute for runs idle for 30 minutes (on the poll thread, for the session).
void watchIdleRuns(AppContext& context);
