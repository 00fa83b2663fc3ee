#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <unordered_map>

#include "base/json_fields.h"
#include "store/store_impl.h"

using nlohmann::json;

namespace {

// Spreadsheets run a cell that starts with one of these (a TAB, CR or LF may come before the
// formula); the quote makes it text. A NUL ends the text in many readers and is left out.
std::string csvCell(const std::string& value, bool text = true) {
  std::string cell;
  cell.reserve(value.size() + 1);
  for (char c : value) {
    if (c != '\0') cell += c;
  }
  if (text && !cell.empty() &&
      std::string_view("=+-@\t\r\n").find(cell[0]) != std::string_view::npos)
    cell.insert(0, 1, '\'');
  if (cell.find_first_of(",\"\r\n") == std::string::npos) return cell;
  std::string quoted = "\"";
  for (char c : cell) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

// Details repeat (the same file, the same answer) across displays and runs: each distinct text
// is parsed once per read.
class DetailCache {
 public:
  const json& operator()(const std::string& text) {
    auto [at, added] = parsed_.try_emplace(text);
    if (added) at->second = parsedOr(text, json::object());
    return at->second;
  }

 private:
  std::unordered_map<std::string, json> parsed_;
};

// A JSON object built member by member, without the copies of an initializer list.
class Members {
 public:
  Members() : value_(json::value_t::object) {}
  Members& add(const char* key, json member) {
    value_.get_ref<json::object_t&>().emplace(key, std::move(member));
    return *this;
  }
  json take() { return std::move(value_); }

 private:
  json value_;
};

// The runs' rows, newest first, with their files and displays; filters as history() says.
json readRuns(Store::Impl& impl, size_t limit, const std::string& ip, const std::string& group,
              int64_t id, int64_t before = 0, int64_t schedule = 0) {
  json runs = json::array();
  std::unordered_map<int64_t, std::pair<json*, json*>> lists;  // a run's files and displays
  {
    auto query = impl.prepare(
        "SELECT id, kind, started, ended, playlist, group_name, retry_of, schedule FROM runs"
        " WHERE (?1 = 0 OR id = ?1)"
        " AND (?2 = '' OR id IN (SELECT run FROM run_displays WHERE ip = ?2))"
        " AND (?3 = '' OR group_name = ?3 OR id IN (SELECT run FROM run_displays WHERE ip IN"
        "      (SELECT ip FROM group_members WHERE \"group\" = ?3)))"
        " AND (?5 = 0 OR id < ?5) AND (?6 = 0 OR schedule = ?6)"
        " ORDER BY id DESC LIMIT ?4");
    query.bind(1, id)
        .bind(2, ip)
        .bind(3, group)
        .bind(4, static_cast<int64_t>(limit))
        .bind(5, before)
        .bind(6, schedule);
    while (query.step() == SQLITE_ROW) {
      runs.push_back(Members()
                         .add("id", query.integer(0))
                         .add("kind", query.text(1))
                         .add("started", query.integer(2))
                         .add("ended", integerOrNull(query, 3))
                         .add("playlist", query.text(4))
                         .add("group", query.text(5))
                         .add("retryOf", query.integer(6))
                         .add("schedule", query.integer(7))
                         .add("files", json::array())
                         .add("displays", json::array())
                         .take());
    }
  }
  if (runs.empty()) return runs;
  for (auto& run : runs) lists[run["id"].get<int64_t>()] = {&run["files"], &run["displays"]};
  // One query per table over the id range; rows of runs the filters left out are skipped.
  int64_t newest = runs.front()["id"], oldest = runs.back()["id"];
  auto files = impl.prepare(
      "SELECT run, name, size, sha256 FROM run_files WHERE run BETWEEN ?1 AND ?2"
      " ORDER BY run, position");
  files.bind(1, oldest).bind(2, newest);
  while (files.step() == SQLITE_ROW) {
    auto at = lists.find(files.integer(0));
    if (at == lists.end()) continue;
    at->second.first->push_back(Members()
                                    .add("name", files.text(1))
                                    .add("size", files.integer(2))
                                    .add("sha256", files.text(3))
                                    .take());
  }
  // By address as text: ordering by number here costs more than the rest of the read.
  auto displays = impl.prepare(
      "SELECT run, ip, state, updated, detail FROM run_displays WHERE run BETWEEN ?1 AND ?2"
      " ORDER BY run");
  displays.bind(1, oldest).bind(2, newest);
  DetailCache details;
  while (displays.step() == SQLITE_ROW) {
    auto at = lists.find(displays.integer(0));
    if (at == lists.end()) continue;
    at->second.second->push_back(Members()
                                     .add("ip", displays.text(1))
                                     .add("state", displays.text(2))
                                     .add("updated", displays.integer(3))
                                     .add("detail", details(displays.text(4)))
                                     .take());
  }
  return runs;
}

}  // namespace

std::string isoTimeUtc(int64_t ms) {
  using namespace std::chrono;
  sys_time<milliseconds> time{milliseconds(ms)};
  auto day = floor<days>(time);
  year_month_day date{day};
  hh_mm_ss clock{time - day};
  char text[40];
  std::snprintf(
      text, sizeof text, "%04d-%02u-%02uT%02ld:%02ld:%02ld.%03ldZ", static_cast<int>(date.year()),
      static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
      static_cast<long>(clock.hours().count()), static_cast<long>(clock.minutes().count()),
      static_cast<long>(clock.seconds().count()), static_cast<long>(clock.subseconds().count()));
  return text;
}

std::string Store::knownDigest(const std::string& name, uint64_t size) {
  return impl_->read<std::string>([&]() -> std::string {
    auto query = impl_->prepare(
        "SELECT sha256 FROM run_files WHERE name = ?1 AND size = ?2 AND sha256 <> '' LIMIT 1");
    query.bind(1, name).bind(2, static_cast<int64_t>(size));
    return query.step() == SQLITE_ROW ? query.text(0) : std::string();
  });
}

json Store::history(size_t limit, const std::string& ip, const std::string& group, int64_t before,
                    int64_t schedule) {
  return impl_->read<json>([&] { return readRuns(*impl_, limit, ip, group, 0, before, schedule); });
}

bool Store::hasRun(int64_t id) {
  return impl_->read<bool>([&] {
    auto query = impl_->prepare("SELECT 1 FROM runs WHERE id = ?1");
    query.bind(1, id);
    return query.step() == SQLITE_ROW;
  });
}

json Store::run(int64_t id) {
  return impl_->read<json>([&]() -> json {
    if (id <= 0) return nullptr;
    json runs = readRuns(*impl_, 1, "", "", id);
    if (runs.empty()) return nullptr;
    json run = std::move(runs[0]);
    auto request = impl_->prepare("SELECT request FROM runs WHERE id = ?1");
    request.bind(1, id);
    run["request"] =
        request.step() == SQLITE_ROW ? parsedOr(request.text(0), json::object()) : json::object();
    std::unordered_map<std::string, size_t> index;
    for (size_t i = 0; i < run["displays"].size(); ++i) {
      run["displays"][i]["steps"] = json::array();
      index[run["displays"][i]["ip"]] = i;
    }
    auto steps = impl_->prepare(
        "SELECT ip, seq, at, step, status, detail FROM steps WHERE run = ?1 ORDER BY ip, seq");
    steps.bind(1, id);
    while (steps.step() == SQLITE_ROW) {
      auto at = index.find(steps.text(0));
      if (at == index.end()) continue;
      run["displays"][at->second]["steps"].push_back({{"seq", steps.integer(1)},
                                                      {"at", steps.integer(2)},
                                                      {"step", steps.text(3)},
                                                      {"status", steps.text(4)},
                                                      {"detail", parsedOr(steps.text(5), {})}});
    }
    return run;
  });
}

Result<> Store::exportCsv(int64_t id, const std::function<bool(const std::string& piece)>& write) {
  // Handed on in pieces of about this size: memory stays the same whatever the journal holds.
  constexpr size_t kPiece = 64 * 1024;
  // On a connection of its own with a small cache, once what was queued is on disk: the
  // writer's large cache is not filled with the whole journal, and writes go on meanwhile.
  flush();
  sqlite3* db = nullptr;
  sqlite3_stmt* statement = nullptr;
  auto close = [&] {
    sqlite3_finalize(statement);
    sqlite3_close_v2(db);
  };
  if (sqlite3_open_v2(impl_->path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK ||
      sqlite3_exec(db, "PRAGMA cache_size=-8192", nullptr, nullptr, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v2(
          db,
          "SELECT r.id, r.started, r.kind, r.playlist, r.group_name, r.retry_of, d.ip, d.state,"
          " d.updated, d.detail FROM runs r JOIN run_displays d ON d.run = r.id"
          " WHERE ?1 <= 0 OR r.id = ?1 ORDER BY r.id DESC, d.ip",
          -1, &statement, nullptr) != SQLITE_OK) {
    Result<> refused = failure(std::string("The store could not be read: ") +
                               (db ? sqlite3_errmsg(db) : "out of memory"));
    close();
    return refused;
  }
  sqlite3_busy_timeout(db, 2000);
  Result<> done;
  {
    Query query(db, statement);
    query.bind(1, id);
    std::string csv = "run,started,kind,playlist,group,retry_of,ip,state,updated,detail\r\n";
    int code;
    while ((code = query.step()) == SQLITE_ROW) {
      int64_t retryOf = query.integer(5);
      csv += std::to_string(query.integer(0)) + "," + isoTimeUtc(query.integer(1)) + "," +
             csvCell(query.text(2)) + "," + csvCell(query.text(3)) + "," + csvCell(query.text(4)) +
             "," + (retryOf ? std::to_string(retryOf) : "") + "," + csvCell(query.text(6)) + "," +
             csvCell(query.text(7)) + "," + isoTimeUtc(query.integer(8)) + "," +
             csvCell(query.text(9)) + "\r\n";
      if (csv.size() >= kPiece) {
        if (!write(csv)) break;
        csv.clear();
      }
    }
    if (code == SQLITE_ROW || !write(csv)) {
      done = failure("the file could not be written");
    } else if (code != SQLITE_DONE) {
      done = failure(std::string("The store could not be read: ") + sqlite3_errmsg(db));
    }
  }
  close();
  return done;
}
