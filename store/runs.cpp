#include "base/json_fields.h"
#include "base/log.h"
#include "store/store_impl.h"

using nlohmann::json;

// The journal of deploy runs: a run, its files and displays, each display's steps and state.

namespace {

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

}  // namespace

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

Result<int> Store::closeOpenRuns(int64_t endedMs) {
  auto closed = std::make_shared<int>(0);
  Result<> written = waitedWrite(*impl_, [this, endedMs, closed](std::string&) {
    const char* const kSteps[] = {
        "UPDATE displays SET last_state = 'interrupted' WHERE last_state IN ('pending', 'waiting') "
        "AND"
        " last_run IN (SELECT id FROM runs WHERE ended IS NULL)",
        "UPDATE run_displays SET state = 'interrupted', updated = ?1"
        " WHERE state IN ('pending', 'waiting')"
        " AND run IN (SELECT id FROM runs WHERE ended IS NULL)",
        "UPDATE runs SET ended = ?1 WHERE ended IS NULL"};
    for (const char* sql : kSteps) {
      // The first statement has no parameter: binding it is a no-op.
      if (!impl_->prepare(sql).bind(1, endedMs).run()) return false;
    }
    *closed = sqlite3_changes(impl_->db);
    return true;
  });
  if (!written) return failure(written.error());
  return *closed;
}

Result<int64_t> Store::beginRun(const RunStart& run) {
  auto id = std::make_shared<int64_t>(0);
  Result<> written = waitedWrite(*impl_, [this, &run, id](std::string&) {
    if (!impl_
             ->prepare("INSERT INTO runs (kind, started, playlist, group_name, retry_of, request,"
                       " schedule) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)")
             .bind(1, run.kind)
             .bind(2, run.startedMs)
             .bind(3, run.playlist)
             .bind(4, run.group)
             .bind(5, run.retryOf)
             .bind(6, dumpCompact(withoutCredentials(run.request)))
             .bind(7, run.schedule)
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
  });
  if (!written) {
    diagLog("store: a run was not written: " + written.error());
    return failure(written.error());
  }
  return *id;
}
