#include "base/json_fields.h"
#include "store/store_impl.h"

using nlohmann::json;

namespace {

// After a statement on the schedule `id`: whether it changed it, else the reason.
bool changedSchedule(const Store::Impl& impl, int64_t id, std::string& reason) {
  if (sqlite3_changes(impl.db) > 0) return true;
  reason = "unknown schedule " + std::to_string(id);
  return false;
}

}  // namespace

json Store::schedules() {
  return impl_->read<json>([this] {
    json list = json::array();
    auto query = impl_->prepare("SELECT id, body, paused, handled FROM schedules ORDER BY id");
    while (query.step() == SQLITE_ROW) {
      json schedule = parsedOr(query.text(1), json::object());
      if (!schedule.is_object()) schedule = json::object();
      schedule.update({{"id", query.integer(0)},
                       {"paused", query.integer(2) != 0},
                       {"handled", query.integer(3)}});
      list.push_back(std::move(schedule));
    }
    return list;
  });
}

Result<int64_t> Store::saveSchedule(int64_t id, const json& body, int64_t handledMs) {
  auto saved = std::make_shared<int64_t>(id);
  const std::string text = dumpCompact(body);
  Result<> written = waitedWrite(*impl_, [this, id, text, handledMs, saved](std::string& reason) {
    if (id == 0) {
      if (!impl_->prepare("INSERT INTO schedules (body, handled) VALUES (?1, ?2)")
               .bind(1, text)
               .bind(2, handledMs)
               .run())
        return false;
      *saved = sqlite3_last_insert_rowid(impl_->db);
      return true;
    }
    if (!impl_->prepare("UPDATE schedules SET body = ?1 WHERE id = ?2")
             .bind(1, text)
             .bind(2, id)
             .run())
      return false;
    return changedSchedule(*impl_, id, reason);
  });
  if (!written) return Failure(written.error());
  return *saved;
}

Result<> Store::removeSchedule(int64_t id) {
  return waitedWrite(*impl_, [this, id](std::string& reason) {
    if (!impl_->prepare("DELETE FROM schedules WHERE id = ?1").bind(1, id).run()) return false;
    return changedSchedule(*impl_, id, reason);
  });
}

Result<> Store::pauseSchedule(int64_t id, bool paused) {
  return waitedWrite(*impl_, [this, id, paused](std::string& reason) {
    if (!impl_->prepare("UPDATE schedules SET paused = ?1 WHERE id = ?2")
             .bind(1, int64_t{paused})
             .bind(2, id)
             .run())
      return false;
    return changedSchedule(*impl_, id, reason);
  });
}

void Store::scheduleHandled(int64_t id, int64_t firingMs) {
  impl_->submit({[this, id, firingMs] {
                   return impl_->prepare("UPDATE schedules SET handled = ?1 WHERE id = ?2")
                       .bind(1, firingMs)
                       .bind(2, id)
                       .run();
                 },
                 {}});
}
