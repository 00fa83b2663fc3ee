#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <unordered_map>

#include "base/json_fields.h"
#include "base/log.h"
#include "media/names.h"
#include "store/store_impl.h"

using nlohmann::json;

// Known displays and their groups: what the search and the operator add, and what the page
// reads back.

namespace {

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

// The first number of an address that names no one machine: 0.x.x.x (this network,
// unspecified), multicast (224-239), reserved and the limited broadcast (240 and up).
bool namesNoMachine(const std::string& ip) {
  const int first = std::atoi(ip.c_str());
  return first == 0 || first >= 224;
}

std::array<long, 5> addressKey(const std::string& ip) {
  std::array<long, 5> key{};
  std::sscanf(ip.c_str(), "%ld.%ld.%ld.%ld:%ld", &key[0], &key[1], &key[2], &key[3], &key[4]);
  return key;
}

bool isUtf8(const std::string& text) {
  for (size_t at = 0; at < text.size();) {
    size_t length = utf8SequenceLength(text, at);
    if (length == 0) return false;
    at += length;
  }
  return true;
}

}  // namespace

void Store::displaySeen(const std::string& ip, const json& record, int64_t nowMs) {
  // The address comes from a datagram anyone on the network can send.
  if (!isDisplayAddress(ip) || namesNoMachine(ip)) {
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

Result<> Store::addDisplay(const std::string& ip, int64_t nowMs) {
  if (!isDisplayAddress(ip)) {
    return failure("malformed display address \"" + ip + "\" (a.b.c.d:port expected)");
  }
  if (namesNoMachine(ip)) {
    return failure("\"" + ip +
                   "\" is a broadcast, multicast or unspecified address, not a display's");
  }
  return waitedWrite(*impl_, [this, ip, nowMs](std::string&) {
    return impl_
        ->prepare(
            "INSERT INTO displays (ip, first_seen, manual) VALUES (?1, ?2, 1)"
            " ON CONFLICT (ip) DO UPDATE SET manual = 1")
        .bind(1, ip)
        .bind(2, nowMs)
        .run();
  });
}

Result<> Store::removeDisplay(const std::string& ip) {
  return waitedWrite(*impl_, [this, ip](std::string& reason) {
    if (!impl_->prepare("DELETE FROM displays WHERE ip = ?1").bind(1, ip).run()) return false;
    if (sqlite3_changes(impl_->db) > 0) return true;
    reason = "unknown display " + ip;
    return false;
  });
}

Result<> Store::saveGroup(const std::string& name, const std::vector<std::string>& ips,
                          const std::string& oldName) {
  if (name.size() > 64 || !isUtf8(name) || !isPlainName(name)) {
    return failure(
        "a group name is 1 to 64 bytes of UTF-8 text, not blank, without control characters");
  }
  return waitedWrite(*impl_, [this, name, ips, oldName](std::string& reason) {
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
    if (!impl_->prepare("INSERT OR IGNORE INTO groups (name) VALUES (?1)").bind(1, name).run() ||
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
  });
}

Result<> Store::removeGroup(const std::string& name) {
  return waitedWrite(*impl_, [this, name](std::string& reason) {
    if (!impl_->prepare("DELETE FROM groups WHERE name = ?1").bind(1, name).run()) return false;
    if (sqlite3_changes(impl_->db) > 0) return true;
    reason = "unknown group " + name;
    return false;
  });
}

bool addressLess(const std::string& a, const std::string& b) {
  auto keyA = addressKey(a), keyB = addressKey(b);
  return keyA != keyB ? keyA < keyB : a < b;
}

json Store::displays() {
  return impl_->read<json>([this] {
    json list = json::array();
    std::unordered_map<std::string, size_t> index;
    auto query = impl_->prepare(
        "SELECT ip, name, model, serial, mac, version, capabilities, first_seen, last_seen,"
        " manual, last_run, last_state FROM displays");
    while (query.step() == SQLITE_ROW) {
      index[query.text(0)] = list.size();
      list.push_back({{"ip", query.text(0)},
                      {"name", query.text(1)},
                      {"model", query.text(2)},
                      {"serial", query.text(3)},
                      {"mac", query.text(4)},
                      {"version", query.text(5)},
                      {"capabilities", parsedOr(query.text(6), json::object())},
                      {"firstSeen", integerOrNull(query, 7)},
                      {"lastSeen", integerOrNull(query, 8)},
                      {"manual", query.integer(9) != 0},
                      {"groups", json::array()},
                      {"lastRun", integerOrNull(query, 10)},
                      {"lastState", query.text(11)}});
    }
    auto members = impl_->prepare("SELECT ip, \"group\" FROM group_members ORDER BY \"group\"");
    while (members.step() == SQLITE_ROW) {
      auto at = index.find(members.text(0));
      if (at != index.end()) list[at->second]["groups"].push_back(members.text(1));
    }
    std::sort(list.begin(), list.end(), [](const json& a, const json& b) {
      return addressLess(a["ip"].get<std::string>(), b["ip"].get<std::string>());
    });
    return list;
  });
}

json Store::groups() {
  return impl_->read<json>([this] {
    json list = json::array();
    auto query = impl_->prepare(
        "SELECT g.name, m.ip FROM groups g LEFT JOIN group_members m ON m.\"group\" = g.name"
        " ORDER BY g.name");
    while (query.step() == SQLITE_ROW) {
      if (list.empty() || list.back()["name"] != query.text(0))
        list.push_back({{"name", query.text(0)}, {"ip", json::array()}});
      if (!query.isNull(1)) list.back()["ip"].push_back(query.text(1));
    }
    for (auto& group : list) {
      std::sort(group["ip"].begin(), group["ip"].end(), [](const json& a, const json& b) {
        return addressLess(a.get<std::string>(), b.get<std::string>());
      });
    }
    return list;
  });
}

std::optional<std::vector<std::string>> Store::groupMembers(const std::string& name) {
  for (const auto& group : groups()) {
    if (group["name"] == name) return group["ip"].get<std::vector<std::string>>();
  }
  return std::nullopt;
}
