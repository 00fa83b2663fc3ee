// quillora-display-sim: simulated signage displays for tests, benchmarks and the demo.
// See usageText() in options.cpp for the command line.

#include <libxml/parser.h>
#include <sys/resource.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "discovery_responder.h"
#include "listener.h"
#include "options.h"
#include "sim_context.h"
#include "url.h"

namespace {

namespace net = boost::asio;

// Many displays need many sockets: take the hard limit of open files.
void raiseFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

std::vector<std::shared_ptr<dsim::Display>> makeDisplays(const dsim::SimOptions& options) {
  std::vector<std::shared_ptr<dsim::Display>> displays;
  std::random_device seedSource;
  const uint64_t base = (uint64_t{seedSource()} << 32) ^ seedSource();
  for (int i = 0; i < options.count; ++i) {
    const auto text = dsim::ipv4AddressAt(options.address, static_cast<uint32_t>(i));
    displays.push_back(std::make_shared<dsim::Display>(
        static_cast<size_t>(i), net::ip::make_address(*text), base + 0x9E3779B97F4A7C15ull * i));
  }
  return displays;
}

}  // namespace

int main(int argc, char** argv) {
  const dsim::ParseResult parsed =
      dsim::parseOptions(std::vector<std::string>(argv + 1, argv + argc));
  if (!parsed.error.empty()) {
    std::cerr << "quillora-display-sim: " << parsed.error << "\nTry --help.\n";
    return 1;
  }
  if (parsed.options.help) {
    std::cout << dsim::usageText();
    return 0;
  }
  std::signal(SIGPIPE, SIG_IGN);
  raiseFileLimit();
  xmlInitParser();

  // The io_context is released explicitly before ctx: destroying it destroys the pending
  // handlers, and with them sessions and jobs that still refer to ctx.
  auto iocOwner = std::make_unique<net::io_context>(parsed.options.threads);
  net::io_context& ioc = *iocOwner;
  dsim::SimContext ctx(ioc, parsed.options);
  std::string error;
  if (!parsed.options.journalPath.empty() && !ctx.journal.open(parsed.options.journalPath, error)) {
    std::cerr << "quillora-display-sim: " << error << "\n";
    return 2;
  }

  std::vector<std::shared_ptr<dsim::Listener>> listeners;
  const auto displays = makeDisplays(parsed.options);
  for (const auto& display : displays) {
    auto listener = std::make_shared<dsim::Listener>(ctx, display);
    if (!listener->open(parsed.options.port, error)) {
      std::cerr << "quillora-display-sim: " << error << "\n";
      return 2;
    }
    std::printf("LISTEN %s\n", display->label.c_str());
    listeners.push_back(std::move(listener));
  }
  std::unique_ptr<dsim::DiscoveryResponder> responder;
  if (parsed.options.discovery) {
    responder = std::make_unique<dsim::DiscoveryResponder>(ioc, displays, parsed.options.kind);
    // Without multicast (loopback addresses, a busy port) the displays still serve HTTP.
    if (!responder->open(error)) {
      std::cerr << "quillora-display-sim: no discovery: " << error << "\n";
      responder.reset();
    }
  }

  auto signals = std::make_unique<net::signal_set>(ioc, SIGINT, SIGTERM);
  signals->async_wait([&](const boost::system::error_code& ec, int) {
    if (ec) return;
    for (const auto& listener : listeners) listener->stop();
    if (responder) responder->stop();
    ioc.stop();
  });
  for (const auto& listener : listeners) listener->start();
  if (responder) responder->start();
  std::printf("READY %zu\n", listeners.size());
  std::fflush(stdout);

  std::vector<std::thread> threads;
  for (int i = 1; i < parsed.options.threads; ++i) threads.emplace_back([&ioc] { ioc.run(); });
  ioc.run();
  for (auto& thread : threads) thread.join();
  signals.reset();
  responder.reset();
  listeners.clear();
  iocOwner.reset();
  xmlCleanupParser();
  return 0;
}
