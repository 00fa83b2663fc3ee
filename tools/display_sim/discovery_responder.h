#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <memory>
#include <string>
#include <vector>

#include "sim_context.h"

namespace dsim {

// The record a display sends in answer to a probe.
std::string discoveryAnswer(const Display& display, const std::string& kind);

// Hears the hosts' probes on the multicast group (port 3704) and answers each, once per
// display of this process, by unicast from the display's own address.
class DiscoveryResponder {
 public:
  DiscoveryResponder(boost::asio::io_context& ioc, std::vector<std::shared_ptr<Display>> displays,
                     std::string kind);
  // Binds 0.0.0.0:3704 and joins the group on the displays' interface; false with `error`.
  bool open(std::string& error);
  void start();
  void stop();

 private:
  void receive();
  void answer(const boost::asio::ip::udp::endpoint& host);

  boost::asio::ip::udp::socket socket_;
  std::vector<std::shared_ptr<Display>> displays_;
  std::string kind_;
  std::vector<char> buffer_ = std::vector<char>(2048);
  boost::asio::ip::udp::endpoint sender_;
};

}  // namespace dsim
