#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <cstdint>
#include <string>

#include "display_logic.h"
#include "journal.h"
#include "options.h"
#include "sessions.h"

namespace dsim {

// One simulated display. Its HTTP listener (and, later, its discovery responder) is bound to
// `address`; everything it keeps between requests is here.
struct Display {
  Display(size_t index, boost::asio::ip::address address, uint64_t seed)
      : index(index), address(std::move(address)), sessions(seed) {}

  size_t index;
  boost::asio::ip::address address;
  uint16_t port = 0;  // the HTTP port actually bound
  std::string label;  // "address:port", as written in the journal
  SessionStore sessions;
};

// What every connection and job of the process shares.
struct SimContext {
  SimContext(boost::asio::io_context& ioc, SimOptions options) : ioc(ioc), options(options) {
    logic.user = options.user;
    logic.password = options.password;
    logic.freeSpace = options.freeSpace;
    logic.wrongCredentials = options.faults.wrongCredentials;
  }

  boost::asio::io_context& ioc;
  const SimOptions options;
  LogicConfig logic;
  Journal journal;
  std::atomic<int> openConnections{0};
};

}  // namespace dsim
