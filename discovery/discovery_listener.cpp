#include "discovery/discovery_listener.h"

#include <arpa/inet.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <optional>

#include "app/app_context.h"
#include "app/diag_log.h"
#include "app/json_fields.h"
#include "device/xml_errors.h"
#include "store/run_journal.h"
#include "store/store.h"

namespace {

constexpr char kProbe[] = "<Discovery />";

// A display that answered is known from now on, under the address the page uses for it.
void rememberDisplay(Store& store, const nlohmann::json& record) {
  const std::string* address = stringField(record, "IPAddr");
  auto port = record.find("HTTPPort");
  if (!address || port == record.end()) return;
  std::string portText;
  if (port->is_number_integer()) {
    portText = std::to_string(port->get<int64_t>());
  } else if (port->is_string()) {
    portText = port->get<std::string>();
  } else {
    return;
  }
  store.displaySeen(*address + ":" + portText, record, nowMs());
}

// Socket failures are diagnostics for whoever watches stderr; stdout belongs to the page
// messages of quillora-cli.
void reportSocketError(const char* format) {
  std::fprintf(stderr, format, errno);
  std::fflush(stderr);
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
  for (const auto& address : addresses) {
    diagLog("UDP listener @ " + address);
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      reportSocketError("socket failed with error %d\n");
      continue;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(port_ & 0xFFFF));
    if (inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1 ||
        bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      if (errno == 0) errno = EINVAL;
      reportSocketError("bind failed with error %d\n");
      ::close(fd);
      continue;
    }
    // Hundreds of displays answer the same probe within milliseconds: the default buffer
    // would drop most of them before the receive thread gets to read.
    if (wantedReceiveBuffer_ > 0) {
      setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &wantedReceiveBuffer_, sizeof wantedReceiveBuffer_);
      int granted = 0;
      socklen_t size = sizeof granted;
      getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &size);
      if (granted < wantedReceiveBuffer_) {
        // Privileged processes may go past the system's cap.
        setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &wantedReceiveBuffer_,
                   sizeof wantedReceiveBuffer_);
      }
    }
    int granted = 0;
    socklen_t size = sizeof granted;
    getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &size);
    receiveBuffer_ = granted;
    diagLog("UDP receive buffer " + std::to_string(granted) + " bytes @ " + address);
    sockets_.push_back(fd);
  }
  return static_cast<int>(sockets_.size());
}

void DiscoveryListener::search(AppContext* context, DiscoveryHandler handler) {
  if (!context || !handler) return;
  {
    std::lock_guard lock(handlerMutex_);
    handler_ = handler;
    context_ = context;
  }
  // A receive thread that ended after an error is replaced, so answers are read again.
  if (!receiving_) {
    if (receiver_.joinable()) receiver_.join();
    stopped_ = false;
    receiving_ = true;
    receiver_ = std::thread([this] { receiveLoop(); });
  }
  sockaddr_in group{};
  group.sin_family = AF_INET;
  group.sin_port = htons(target_.port);
  inet_pton(AF_INET, target_.address.c_str(), &group.sin_addr);
  std::lock_guard lock(socketsMutex_);
  for (size_t i = 0; i < sockets_.size(); ++i) {
    if (sockets_[i] < 0) continue;
    if (sendto(sockets_[i], kProbe, sizeof kProbe - 1, 0, reinterpret_cast<sockaddr*>(&group),
               sizeof group) < 0) {
      reportSocketError("sendto failed with error: %d\n");
      // The receive thread may be polling this descriptor right now; closed here, its number
      // could go to another file of the process before the thread reads from it again.
      failed_.push_back(sockets_[i]);
      sockets_[i] = -1;
    }
  }
}

std::vector<int> DiscoveryListener::validSockets() {
  std::lock_guard lock(socketsMutex_);
  closeFailed();
  std::vector<int> valid;
  for (int fd : sockets_) {
    if (fd >= 0) valid.push_back(fd);
  }
  return valid;
}

void DiscoveryListener::closeFailed() {
  for (int fd : failed_) ::close(fd);
  failed_.clear();
}

void DiscoveryListener::closeAfterError(int fd) {
  std::lock_guard lock(socketsMutex_);
  for (auto& entry : sockets_) {
    if (entry == fd) {
      ::close(entry);
      entry = -1;
    }
  }
}

void DiscoveryListener::receiveLoop() {
  std::string buffer(kMaxDiscoveryReply, '\0');
  while (!stopped_) {
    std::vector<int> fds = validSockets();
    std::vector<pollfd> watched;
    for (int fd : fds) watched.push_back({fd, POLLIN, 0});
    if (watched.empty()) {
      errno = EINVAL;
      reportSocketError("select() returned with error %d\n");
      break;
    }
    int ready = poll(watched.data(), watched.size(), 1000);
    if (ready < 0) {
      if (errno == EINTR) continue;
      reportSocketError("select() returned with error %d\n");
      break;
    }
    for (const auto& entry : watched) {
      if (stopped_) break;
      if (!(entry.revents & (POLLIN | POLLERR))) continue;
      // MSG_TRUNC reports the real length, so an oversized datagram is dropped and its
      // socket keeps serving the answers behind it.
      ssize_t length = recv(entry.fd, buffer.data(), buffer.size(), MSG_TRUNC | MSG_DONTWAIT);
      if (length < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
        reportSocketError("recvfrom failed with error %d\n");
        closeAfterError(entry.fd);
        continue;
      }
      if (static_cast<size_t>(length) > buffer.size()) {
        diagLog("discovery answer of " + std::to_string(length) + " bytes dropped");
        continue;
      }
      DiscoveryHandler handler;
      AppContext* context;
      {
        std::lock_guard lock(handlerMutex_);
        handler = handler_;
        context = context_;
      }
      if (handler) handler(context, buffer.substr(0, static_cast<size_t>(length)));
    }
  }
  receiving_ = false;
}

void DiscoveryListener::close() {
  stopped_ = true;
  if (receiver_.joinable()) receiver_.join();
  std::lock_guard lock(socketsMutex_);
  closeFailed();
  for (auto it = sockets_.rbegin(); it != sockets_.rend(); ++it) {
    if (*it >= 0) ::close(*it);
  }
  sockets_.clear();
}

namespace {

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

}  // namespace

bool parseDeviceRecord(const std::string& reply, std::string& recordJson) {
  auto record = readDeviceRecord(reply);
  if (record) recordJson = dumpCompact(*record);
  return record.has_value();
}

void onDiscoveryReply(AppContext* context, std::string reply) {
  if (!context) return;
  auto record = readDeviceRecord(reply);
  if (!record) {
    diagLog("Failed to parse document:" + reply);
    return;
  }
  sendToPage(*context,
             "{\"C\":\"add\",\"P\":" + dumpCompact(*record) + ",\"T\":\"device\",\"V\":1}");
  if (context->store) rememberDisplay(*context->store, *record);
}
