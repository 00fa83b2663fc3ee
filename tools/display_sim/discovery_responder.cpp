#include "discovery_responder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

namespace dsim {

namespace net = boost::asio;
using udp = net::ip::udp;

namespace {

constexpr uint16_t kProbePort = 3704;
constexpr char kGroup[] = "239.255.255.250";

std::string element(const char* name, const std::string& text) {
  return std::string("<") + name + ">" + text + "</" + name + ">";
}

}  // namespace

std::string discoveryAnswer(const Display& display, const std::string& kind) {
  const auto bytes = display.address.to_v4().to_bytes();
  char mac[18];
  std::snprintf(mac, sizeof mac, "02:51:%02x:%02x:%02x:%02x", bytes[0], bytes[1], bytes[2],
                bytes[3]);
  char serial[32];
  std::snprintf(serial, sizeof serial, "SIM%03u%03u%03u", bytes[1], bytes[2], bytes[3]);
  // Named after the address, so that simulators in different subnets stay apart in a list.
  const std::string name = "Display " + std::to_string(bytes[2]) + "." + std::to_string(bytes[3]);
  // "standard" plays video and images, "basic" images only, "banner" banners only.
  const bool video = kind == "standard";
  const bool image = kind == "standard" || kind == "basic";
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<DeviceDiscovery>" +
         element("IPAddr", display.address.to_string()) +
         element("HTTPPort", std::to_string(display.port)) + element("MacAddr", mac) +
         element("DeviceName", name) + element("DeviceModel", "SIM-" + kind) +
         element("SerialNumber", serial) + element("SoftwareVersion", "V1.0.0 build 261206") +
         element("BannerSupport", "1") + element("VideoAdvertSupport", video ? "1" : "0") +
         element("ImageAdvertSupport", image ? "1" : "0") + "</DeviceDiscovery>";
}

DiscoveryResponder::DiscoveryResponder(net::io_context& ioc,
                                       std::vector<std::shared_ptr<Display>> displays,
                                       std::string kind)
    : socket_(ioc), displays_(std::move(displays)), kind_(std::move(kind)) {}

bool DiscoveryResponder::open(std::string& error) {
  boost::system::error_code ec;
  socket_.open(udp::v4(), ec);
  // Several simulator processes in one namespace each get their copy of a probe.
  if (!ec) socket_.set_option(net::socket_base::reuse_address(true), ec);
  if (!ec) socket_.bind(udp::endpoint(net::ip::address_v4::any(), kProbePort), ec);
  if (ec) {
    error = "discovery port " + std::to_string(kProbePort) + ": " + ec.message();
    return false;
  }
  int joined = 0;
  for (const auto& display : displays_) {
    // The membership is per interface: displays on one link share it, so later joins on the
    // same interface fail harmlessly.
    ip_mreq request{};
    inet_pton(AF_INET, kGroup, &request.imr_multiaddr);
    inet_pton(AF_INET, display->address.to_string().c_str(), &request.imr_interface);
    if (setsockopt(socket_.native_handle(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &request,
                   sizeof request) == 0) {
      ++joined;
    }
  }
  if (joined == 0) {
    error = "cannot join " + std::string(kGroup) + " on the displays' interface";
    return false;
  }
  return true;
}

void DiscoveryResponder::start() {
  receive();
}

void DiscoveryResponder::stop() {
  boost::system::error_code ignored;
  socket_.close(ignored);
}

void DiscoveryResponder::receive() {
  socket_.async_receive_from(
      net::buffer(buffer_), sender_, [this](const boost::system::error_code& ec, size_t length) {
        if (ec == net::error::operation_aborted || !socket_.is_open()) return;
        if (!ec && std::string(buffer_.data(), length).rfind("<Discovery", 0) == 0) {
          answer(sender_);
        }
        receive();
      });
}

void DiscoveryResponder::answer(const udp::endpoint& host) {
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(host.port());
  inet_pton(AF_INET, host.address().to_string().c_str(), &target.sin_addr);
  for (const auto& display : displays_) {
    std::string record = discoveryAnswer(*display, kind_);
    iovec data{record.data(), record.size()};
    // Each answer leaves from its display's own address, as a real display's would.
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    msghdr message{};
    message.msg_name = &target;
    message.msg_namelen = sizeof target;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = IPPROTO_IP;
    header->cmsg_type = IP_PKTINFO;
    header->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    inet_pton(AF_INET, display->address.to_string().c_str(), &info.ipi_spec_dst);
    std::memcpy(CMSG_DATA(header), &info, sizeof info);
    sendmsg(socket_.native_handle(), &message, 0);
  }
}

}  // namespace dsim
