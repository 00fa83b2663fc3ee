// Serves a folder with HttpServer on one address and port until SIGINT or SIGTERM, with the
// io_context on a single thread as the application runs it. For bench/folder_server.sh.

#include <cstdio>
#include <cstdlib>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include "device/http_server.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s FOLDER ADDRESS PORT\n", argv[0]);
    return 1;
  }
  const long port = std::strtol(argv[3], nullptr, 10);
  if (port <= 0 || port > 65535) {
    std::fprintf(stderr, "invalid port: %s\n", argv[3]);
    return 1;
  }
  boost::asio::io_context io;
  // Every benchmark connection comes from the same address.
  HttpServer server(io, argv[1], {.maxPerClient = HttpServerLimits{}.maxConnections});
  if (!server.listen(argv[2], static_cast<uint16_t>(port))) {
    std::fprintf(stderr, "cannot listen on %s:%ld\n", argv[2], port);
    return 1;
  }
  boost::asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&](const boost::system::error_code&, int) {
    server.shutdown();
    io.stop();
  });
  io.run();
  return 0;
}
