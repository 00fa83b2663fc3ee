#include "discovery/discovery_listener.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <optional>

#include "base/json_fields.h"
#include "base/log.h"
#include "device/xml_errors.h"

namespace {

constexpr char kProbe[] = "<Discovery />";

// Socket failures are for whoever watches the program, not only for whoever debugs it.
void reportSocketError(const char* format) {
  char text[128];
  std::snprintf(text, sizeof text, format, lastSocketError());
  logLine(LogLevel::warning, text);
}

// What the C library's atol reads, kept within 32 bits.
long long readLeadingInteger(const char* text) {
  errno = 0;
  long long value = std::strtoll(text, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return value;
}

bool isIntegerKey(const std::string& key) {
  return key.find("Port") != std::string::npos || key.find("Enabled") != std::string::npos ||
         key.find("Support") != std::string::npos;
}

}  // namespace

DiscoveryListener::DiscoveryListener(uint32_t port, ProbeTarget target)
    : port_(port), target_(std::move(target)) {}

DiscoveryListener::~DiscoveryListener() {
  close();
}

int DiscoveryListener::open(std::vector<std::string> addresses) {
  stopped_ = true;
  std::lock_guard lock(socketsMutex_);
  if (!socketsStarted_) {
    if (!startUdpSockets()) {
      diagLog("WSAStartup Error");
      return -1;
    }
    socketsStarted_ = true;
  }
  for (const auto& address : addresses) {
    diagLog("UDP listener @ " + address);
    const UdpSocket socket = openUdpSocket();
    if (socket == kNoUdpSocket) {
      reportSocketError("socket failed with error %d");
      continue;
    }
    if (!bindUdpSocket(socket, address, static_cast<uint16_t>(port_ & 0xFFFF))) {
      reportSocketError("bind failed with error %d");
      closeUdpSocket(socket);
      continue;
    }
    // Hundreds of displays answer the same probe within milliseconds: the default buffer
    // would drop most of them before the receive thread gets to read.
    receiveBuffer_ = growReceiveBuffer(socket, wantedReceiveBuffer_);
    diagLog("UDP receive buffer " + std::to_string(receiveBuffer_) + " bytes @ " + address);
    sockets_.push_back(socket);
  }
  return static_cast<int>(sockets_.size());
}

void DiscoveryListener::search(DiscoveryHandler handler) {
  if (!handler) return;
  {
    std::lock_guard lock(handlerMutex_);
    handler_ = std::move(handler);
  }
  // A receive thread that ended after an error is replaced, so answers are read again.
  if (!receiving_) {
    if (receiver_.joinable()) receiver_.join();
    stopped_ = false;
    receiving_ = true;
    receiver_ = std::thread([this] { receiveLoop(); });
  }
  std::lock_guard lock(socketsMutex_);
  for (auto& socket : sockets_) {
    if (socket == kNoUdpSocket) continue;
    if (!sendUdp(socket, target_.address, target_.port,
                 std::string_view(kProbe, sizeof kProbe - 1))) {
      reportSocketError("sendto failed with error: %d");
      // The receive thread may be waiting on this socket right now; closed here, its number
      // could go to another file of the process before the thread reads from it again.
      failed_.push_back(socket);
      socket = kNoUdpSocket;
    }
  }
}

std::vector<UdpSocket> DiscoveryListener::validSockets() {
  std::lock_guard lock(socketsMutex_);
  closeFailed();
  std::vector<UdpSocket> valid;
  for (UdpSocket socket : sockets_) {
    if (socket != kNoUdpSocket) valid.push_back(socket);
  }
  return valid;
}

void DiscoveryListener::closeFailed() {
  for (UdpSocket socket : failed_) closeUdpSocket(socket);
  failed_.clear();
}

void DiscoveryListener::closeAfterError(UdpSocket socket) {
  std::lock_guard lock(socketsMutex_);
  for (auto& entry : sockets_) {
    if (entry == socket) {
      closeUdpSocket(entry);
      entry = kNoUdpSocket;
    }
  }
}

void DiscoveryListener::receiveLoop() {
  std::string buffer(kMaxDiscoveryReply, '\0');
  while (!stopped_) {
    const std::vector<UdpSocket> sockets = validSockets();
    const auto readable = waitReadable(sockets, 1000);
    if (!readable) {
      reportSocketError("select() returned with error %d");
      break;
    }
    for (size_t index : *readable) {
      if (stopped_) break;
      size_t length = 0;
      const UdpReceive received = receiveUdp(sockets[index], buffer, length);
      if (received == UdpReceive::kNothing) continue;
      if (received == UdpReceive::kFailed) {
        reportSocketError("recvfrom failed with error %d");
        closeAfterError(sockets[index]);
        continue;
      }
      if (received == UdpReceive::kOversized) {
        diagLog("discovery answer of " + std::to_string(length) + " bytes dropped");
        continue;
      }
      DiscoveryHandler handler;
      {
        std::lock_guard lock(handlerMutex_);
        handler = handler_;
      }
      if (handler) handler(buffer.substr(0, length));
    }
  }
  receiving_ = false;
}

void DiscoveryListener::close() {
  stopped_ = true;
  if (receiver_.joinable()) receiver_.join();
  std::lock_guard lock(socketsMutex_);
  closeFailed();
  for (auto it = sockets_.rbegin(); it != sockets_.rend(); ++it) closeUdpSocket(*it);
  sockets_.clear();
  if (socketsStarted_) stopUdpSockets();
  socketsStarted_ = false;
}

std::optional<nlohmann::json> readDeviceRecord(const std::string& reply) {
  if (reply.size() > kMaxDiscoveryReply) return std::nullopt;
  routeXmlErrorsToDiagLog();
  xmlDoc* doc = xmlReadMemory(reply.data(), static_cast<int>(reply.size()), nullptr, nullptr,
                              XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (!doc) return std::nullopt;
  nlohmann::json record;
  if (xmlNode* root = xmlDocGetRootElement(doc)) {
    for (xmlNode* child = root->children; child; child = child->next) {
      xmlChar* content = xmlNodeGetContent(child);
      if (!content) continue;
      const std::string key = child->name ? reinterpret_cast<const char*>(child->name) : "";
      const char* text = reinterpret_cast<const char*>(content);
      if (isIntegerKey(key)) {
        record[key] = readLeadingInteger(text);
      } else {
        record[key] = text;
      }
      xmlFree(content);
    }
  }
  xmlFreeDoc(doc);
  return record;
}

bool parseDeviceRecord(const std::string& reply, std::string& recordJson) {
  auto record = readDeviceRecord(reply);
  if (record) recordJson = dumpCompact(*record);
  return record.has_value();
}
