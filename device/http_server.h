#pragma once

// The host's HTTP server: serves the web folder to displays (media, firmware) and to the
// embedded view, and receives the displays' fetch notifications.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include <boost/asio/io_context.hpp>

#include "device/send_cap.h"

struct HttpServerLimits {
  // A connection that makes no progress for this long is closed; a request header must
  // arrive within it in full. A download that keeps moving is never cut.
  std::chrono::milliseconds idleTimeout{30000};
  // A new connection's first request header must be complete this soon: opening connections
  // and sending nothing must not hold slots for long.
  std::chrono::milliseconds headerTimeout{5000};
  // When all are taken, a connection that has not sent a whole request yet (or waits between
  // requests) makes room (placeToFree); with none that may, newcomers are answered 503 and
  // closed at once.
  size_t maxConnections = 300;
  // Connections from one LAN address at once, so that one machine cannot take all the others'
  // places. Not applied to the view's listener, where every client has the same address.
  size_t maxPerClient = 32;
  // File bodies sent to LAN clients, in all and to each address. Time spent waiting for the
  // cap does not count as a connection's lack of progress.
  SendCapRates sendCap{};
};

// One open connection as seen when a newcomer needs its place.
struct HttpPlace {
  // Still waiting for (the rest of) a request: nothing of an answer would be lost.
  bool waiting = false;
  // From an address a running deploy waits for, or the view's own.
  bool expected = false;
  // When it began to wait for that request.
  std::chrono::steady_clock::time_point since;
  // Places its address holds in all.
  size_t shared = 1;
};

// Which place gives way to a newcomer, or none. Only waiting places may; those of addresses
// nobody waits for go first, then those of the address holding the most places (a flood comes
// from few addresses; a display holds one or two, whose request may simply not be read yet
// while the flood churns), and of these the one waiting the longest, since a request half
// sent for long is the likeliest to be one that never ends. An expected address's place gives
// way only to a newcomer that is itself expected: a flood from elsewhere cannot push out the
// displays that are fetching.
std::optional<size_t> placeToFree(std::span<const HttpPlace> places, bool newcomerExpected);

class HttpServer {
 public:
  // Called on the io thread for a request to one of the two notification paths
  // ("/ISAPI/VideoAdvert/NotifyFetchResult", "/ISAPI/System/NotifyFetchFirmware"; any method;
  // the query is ignored). Returns true when handled: the server then answers 200 with an empty
  // body. false (or no handler set): the request is served as a file request like any other.
  using NotifyHandler = std::function<bool(const std::string& body, const std::string& peer)>;

  // Called on the io thread for each piece of a file sent to a LAN client: its address, the
  // file's path below the root ("/media/NAME"), where the piece starts and its length.
  using SentObserver = std::function<void(const std::string& host, const std::string& path,
                                          uint64_t offset, uint64_t count)>;

  // Called on the io thread with a LAN client's address ("10.0.0.5", "[fe80::1]"): whether a
  // running deploy waits for it, so that its connections keep their places when full.
  using ExpectedClient = std::function<bool(const std::string& host)>;

  using Limits = HttpServerLimits;

  HttpServer(boost::asio::io_context& io, std::string webRoot, Limits limits = {});
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // All members below must be called on the io thread (the one running io.run()).

  // One acceptor bound to address:port; false if it cannot bind (writes no output).
  bool listen(const std::string& address, uint16_t port);
  // Private 127.0.0.1 listener on an ephemeral port for the embedded web view; 0 on failure.
  // A second call returns the port of the listener already open. It serves the page only
  // below viewPrefix() and takes no notifications.
  uint16_t listenLoopback();
  // "/" and 32 random hex digits, made when the view's listener opens; empty before. Anyone on
  // the machine can reach 127.0.0.1, but only the view is told this.
  const std::string& viewPrefix() const;
  // The view's page from a folder of its own (folder::FolderServer::setPageRoot).
  void setPageRoot(std::string pageRoot, std::string linkedRoot);
  // LAN listeners only.
  size_t listenerCount() const;
  // Closes the LAN listeners; open connections and the loopback listener stay.
  void closeListeners();
  void setNotifyHandler(NotifyHandler handler);
  void setSentObserver(SentObserver observer);
  void setExpectedClient(ExpectedClient expected);
  void setSendCap(SendCapRates rates);
  // Closes every acceptor and every open connection and drops the handler. Afterwards the
  // io_context can be stopped (nothing of the server keeps it busy) and the server destroyed,
  // and handlers still queued in the io_context no longer touch the server.
  void shutdown();

 private:
  struct Core;
  std::shared_ptr<Core> core_;
};
