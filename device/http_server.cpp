#include "device/http_server.h"

#include <algorithm>
#include <ctime>
#include <optional>
#include <random>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
// GCC 12 takes the boost::optional in Beast's parser for maybe-uninitialized once it is inlined
// with the sanitizers' instrumentation; it is always set before it is read.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/status.hpp>
#include <boost/beast/http/string_body.hpp>
#pragma GCC diagnostic pop

#include "device/folder_server.h"
#include "platform/stream_send.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using boost::system::error_code;

namespace {

constexpr size_t kHeaderLimit = 16 * 1024;
constexpr size_t kNotifyBodyLimit = 64 * 1024;
// Bytes one file send may read from disk: bounds how long a cold read can hold the thread.
constexpr size_t kSendfileChunk = 2u << 20;
// Bytes one connection sends before the others get a turn.
constexpr size_t kTurnBudget = 4u << 20;
// After the answer on a connection that is being closed, unread request bytes are drained for
// a little while: closing with unread data makes the kernel reset the connection, which can
// destroy the answer before the client has read it.
constexpr auto kLingerTime = std::chrono::seconds(2);
constexpr size_t kLingerBytes = 64 * 1024;
constexpr size_t kLingerRead = 4096;
// Accepting fails for as long as the process is out of descriptors: retry later, not at once.
constexpr auto kAcceptRetry = std::chrono::milliseconds(100);

constexpr std::string_view kNotifyPaths[] = {"/ISAPI/VideoAdvert/NotifyFetchResult",
                                             "/ISAPI/System/NotifyFetchFirmware"};
constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
constexpr std::string_view kBusy =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nRetry-After: 1\r\n"
    "Connection: close\r\n\r\n";

std::string_view view(beast::string_view text) {
  return {text.data(), text.size()};
}

std::string hostText(const tcp::endpoint& endpoint) {
  auto address = endpoint.address();
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
  }
  const std::string host = address.to_string();
  return address.is_v6() ? "[" + host + "]" : host;
}

// Empty when no random source can be had: the view's listener then stays shut.
std::string randomPrefix() {
  try {
    std::random_device source;
    std::uniform_int_distribution<int> digit(0, 15);
    std::string prefix = "/";
    for (int i = 0; i < 32; ++i) prefix += "0123456789abcdef"[digit(source)];
    return prefix;
  } catch (...) {
    return {};
  }
}

bool isHttpError(const error_code& ec) {
  return ec.category() == http::make_error_code(http::error::end_of_stream).category();
}

folder::Reply statusReply(unsigned status) {
  folder::Reply reply;
  reply.status = status;
  if (status != 200) {
    reply.headers.emplace_back("Content-Type", "text/plain; charset=utf-8");
    reply.body = std::string(view(http::obsolete_reason(static_cast<http::status>(status)))) + "\n";
  }
  return reply;
}

}  // namespace

std::optional<size_t> placeToFree(std::span<const HttpPlace> places, bool newcomerExpected) {
  std::optional<size_t> chosen;
  for (size_t i = 0; i < places.size(); ++i) {
    const HttpPlace& place = places[i];
    if (!place.waiting || (place.expected && !newcomerExpected)) continue;
    if (chosen) {
      const HttpPlace& best = places[*chosen];
      if (std::tuple(place.expected, best.shared, place.since) >=
          std::tuple(best.expected, place.shared, best.since)) {
        continue;
      }
    }
    chosen = i;
  }
  return chosen;
}

struct HttpServer::Core : std::enable_shared_from_this<HttpServer::Core> {
  class Connection;

  Core(asio::io_context& context, std::string webRoot, Limits serverLimits)
      : io(context),
        files(std::move(webRoot)),
        limits(serverLimits),
        sweeper(context),
        cap(serverLimits.sendCap),
        capTimer(context) {}

  std::shared_ptr<tcp::acceptor> open(const std::string& address, uint16_t port, bool view);
  void accept(const std::shared_ptr<tcp::acceptor>& acceptor, bool view);
  void admit(tcp::socket socket, bool view);
  bool expected(const std::string& host, bool view) const;
  bool makeRoom(bool newcomerExpected);
  void startSweeping();
  void scheduleCap();
  void closeAcceptors(bool includingLoopback);
  const std::string& date();

  asio::io_context& io;
  folder::FolderServer files;
  Limits limits;
  NotifyHandler notify;
  SentObserver sent;
  ExpectedClient expectedClient;
  std::vector<std::shared_ptr<tcp::acceptor>> lan;
  std::shared_ptr<tcp::acceptor> loopback;
  std::unordered_set<Connection*> connections;
  std::unordered_map<std::string, size_t> perClient;
  std::string viewPrefix;
  asio::steady_timer sweeper;
  bool sweeping = false;
  SendCap cap;
  asio::steady_timer capTimer;
  std::optional<Clock::time_point> capWake;
  bool stopped = false;
  std::time_t dateSecond = 0;
  std::string dateText;
};

class HttpServer::Core::Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(std::shared_ptr<Core> core, tcp::socket socket, std::string host, uint16_t port,
             bool view)
      : core_(std::move(core)),
        socket_(std::move(socket)),
        host_(std::move(host)),
        peer_(host_ + ":" + std::to_string(port)),
        view_(view) {}
  ~Connection() { release(); }

  void start() {
    core_->connections.insert(this);
    if (!view_) ++core_->perClient[host_];
    error_code ec;
    socket_.set_option(tcp::no_delay(true), ec);
    socket_.non_blocking(true, ec);
    if (ec) return abort();
    readRequest();
  }

  // Its place is free at once, not only when the last pending handler has let go of it.
  void abort() {
    release();
    error_code ec;
    socket_.close(ec);
  }

  bool expired(Clock::time_point now) const { return now >= deadline_; }

  // Its request is not whole yet, or it waits for the next one: no answer is under way.
  bool waiting() const { return waiting_; }
  Clock::time_point waitingSince() const { return waitingSince_; }
  const std::string& host() const { return host_; }
  bool forView() const { return view_; }

 private:
  void release() {
    if (released_) return;
    released_ = true;
    core_->connections.erase(this);
    if (view_) return;
    const auto count = core_->perClient.find(host_);
    if (count != core_->perClient.end() && --count->second == 0) core_->perClient.erase(count);
  }

  void readRequest() {
    // Deliberately not pushed forward by partial header bytes: a client trickling its
    // header holds a connection for one timeout at most.
    waitingSince_ = Clock::now();
    deadline_ = waitingSince_ +
                (served_ ? core_->limits.idleTimeout
                         : std::min(core_->limits.headerTimeout, core_->limits.idleTimeout));
    waiting_ = true;
    parser_.emplace();
    parser_->header_limit(kHeaderLimit);
    // Bodies are only read on notification paths, which set their own limit: a file request
    // with a large announced body is answered for what it asks, not for its size.
    parser_->body_limit(boost::none);
    http::async_read_header(
        socket_, buffer_, *parser_,
        [self = shared_from_this()](error_code ec, size_t) { self->onHeader(ec); });
  }

  // Parse errors are answered; transport errors and a client that went away are not.
  bool failed(const error_code& ec) {
    if (!ec) return false;
    if (ec == http::error::header_limit) {
      respond(statusReply(431), false, true);
    } else if (ec == http::error::body_limit) {
      respond(statusReply(413), false, true);
    } else if (isHttpError(ec) && ec != http::error::end_of_stream &&
               ec != http::error::partial_message) {
      respond(statusReply(400), false, true);
    } else {
      abort();
    }
    return true;
  }

  void onHeader(const error_code& ec) {
    served_ = true;
    if (failed(ec)) return;
    const auto& request = parser_->get();
    const auto target = view(request.target());
    const auto path = target.substr(0, target.find('?'));
    keepAlive_ = parser_->keep_alive();
    const bool notification =
        !view_ && core_->notify &&
        std::find(std::begin(kNotifyPaths), std::end(kNotifyPaths), path) != std::end(kNotifyPaths);
    if (!notification) {
      // A body on a file request is never read: answer, then close.
      if (!parser_->is_done()) keepAlive_ = false;
      return serveFile();
    }
    if (parser_->is_done()) return deliverNotification();
    deadline_ = Clock::now() + core_->limits.idleTimeout;
    if (parser_->content_length() && *parser_->content_length() > kNotifyBodyLimit) {
      return respond(statusReply(413), false, true);
    }
    if (beast::iequals(request[http::field::expect], "100-continue")) {
      asio::async_write(socket_, asio::buffer(kContinue.data(), kContinue.size()),
                        [self = shared_from_this()](error_code writeError, size_t) {
                          if (writeError) return self->abort();
                          self->readBody();
                        });
      return;
    }
    readBody();
  }

  void readBody() {
    parser_->body_limit(kNotifyBodyLimit);
    http::async_read(socket_, buffer_, *parser_,
                     [self = shared_from_this()](error_code ec, size_t) {
                       if (self->failed(ec)) return;
                       self->deliverNotification();
                     });
  }

  void deliverNotification() {
    // A copy: the handler may replace itself while it runs.
    const NotifyHandler handler = core_->notify;
    bool handled = false;
    try {
      handled = handler && handler(parser_->get().body(), peer_);
    } catch (...) {
      return respond(statusReply(500), false, true);
    }
    if (!handled) return serveFile();
    respond(statusReply(200), keepAlive_, true);
  }

  void serveFile() {
    const auto& request = parser_->get();
    folder::Request files;
    switch (request.method()) {
      case http::verb::get:
        files.method = folder::Request::Method::Get;
        break;
      case http::verb::head:
        files.method = folder::Request::Method::Head;
        break;
      default:
        files.method = folder::Request::Method::Other;
        break;
    }
    files.target = view(request.target());
    files.range = view(request[http::field::range]);
    files.ifRange = view(request[http::field::if_range]);
    files.ifNoneMatch = view(request[http::field::if_none_match]);
    files.ifModifiedSince = view(request[http::field::if_modified_since]);
    if (view_) files.viewPrefix = core_->viewPrefix;
    respond(core_->files.serve(files), keepAlive_, request.method() != http::verb::head);
  }

  void respond(folder::Reply reply, bool keepAlive, bool sendBody) {
    waiting_ = false;
    keepAlive_ = keepAlive && !core_->stopped;
    reply_ = std::move(reply);
    const unsigned version = parser_ ? parser_->get().version() : 11;
    head_ = "HTTP/1.1 " + std::to_string(reply_.status) + " ";
    head_ += view(http::obsolete_reason(static_cast<http::status>(reply_.status)));
    head_ += "\r\nServer: Quillora\r\nDate: ";
    head_ += core_->date();
    head_ += "\r\n";
    for (const auto& [name, value] : reply_.headers) head_ += name + ": " + value + "\r\n";
    if (reply_.hasBody())
      head_ += "Content-Length: " + std::to_string(reply_.contentLength()) + "\r\n";
    if (!keepAlive_) {
      head_ += "Connection: close\r\n";
    } else if (version < 11) {
      head_ += "Connection: keep-alive\r\n";
    }
    head_ += "\r\n";
    if (!sendBody || !reply_.hasBody()) {
      reply_.body.clear();
      reply_.file.close();
    }
    headSent_ = 0;
    bodySent_ = 0;
    fileSent_ = 0;
    pump();
  }

  bool fileLeft() const { return reply_.file.isOpen() && fileSent_ < reply_.length; }

  // Sends what the socket takes now and waits for writability for the rest, so a slow reader
  // costs neither memory nor the thread.
  void pump() {
    if (!socket_.is_open()) return;
    const auto handle = static_cast<std::intptr_t>(socket_.native_handle());
    size_t budget = kTurnBudget;
    while (true) {
      SendResult result;
      if (headSent_ < head_.size() || bodySent_ < reply_.body.size()) {
        const std::string_view head = std::string_view(head_).substr(headSent_);
        result =
            sendBuffers(handle, head, std::string_view(reply_.body).substr(bodySent_), fileLeft());
        if (result.sent > 0) {
          const size_t fromHead = std::min(static_cast<size_t>(result.sent), head.size());
          headSent_ += fromHead;
          bodySent_ += static_cast<size_t>(result.sent) - fromHead;
        }
      } else if (fileLeft()) {
        const uint64_t first = reply_.offset + fileSent_;
        auto count =
            static_cast<size_t>(std::min<uint64_t>(reply_.length - fileSent_, kSendfileChunk));
        const bool capped = !view_ && core_->cap.enabled();
        if (capped) {
          if (granted_ == 0) granted_ = core_->cap.take(host_, count, Clock::now());
          if (granted_ == 0) return awaitTokens(count);
          count = std::min(count, std::exchange(granted_, 0));
        }
        result = sendFileRange(handle, reply_.file, first, count);
        if (capped && static_cast<int64_t>(count) > result.sent) {
          core_->cap.giveBack(host_, count - static_cast<size_t>(std::max<int64_t>(result.sent, 0)),
                              Clock::now());
          core_->scheduleCap();
        }
        if (result.sent > 0 && !view_ && core_->sent) {
          core_->sent(host_, reply_.path, first, static_cast<uint64_t>(result.sent));
        }
        // The file shrank after its length was announced: closing is the only way left to tell
        // the client that the body is incomplete.
        if (result.sent == 0) return abort();
        if (result.sent > 0) fileSent_ += static_cast<uint64_t>(result.sent);
      } else {
        return finishResponse();
      }
      if (result.wouldBlock) return waitWritable();
      if (result.failed()) return abort();
      const auto sent = static_cast<size_t>(result.sent);
      deadline_ = Clock::now() + core_->limits.idleTimeout;
      if (sent >= budget) {
        asio::post(socket_.get_executor(), [self = shared_from_this()] { self->pump(); });
        return;
      }
      budget -= sent;
    }
  }

  // The wait is the cap's, not the client's: no deadline runs meanwhile.
  void awaitTokens(size_t want) {
    deadline_ = Clock::time_point::max();
    core_->cap.wait(host_, want, [self = shared_from_this()](size_t granted) {
      if (!self->socket_.is_open())
        return self->core_->cap.giveBack(self->host_, granted, Clock::now());
      self->granted_ = granted;
      self->deadline_ = Clock::now() + self->core_->limits.idleTimeout;
      self->pump();
    });
    core_->scheduleCap();
  }

  void waitWritable() {
    socket_.async_wait(tcp::socket::wait_write, [self = shared_from_this()](error_code ec) {
      if (!ec) self->pump();
    });
  }

  void finishResponse() {
    reply_ = folder::Reply();
    head_.clear();
    if (keepAlive_ && !core_->stopped) return readRequest();
    error_code ec;
    socket_.shutdown(tcp::socket::shutdown_send, ec);
    deadline_ = Clock::now() + std::min<Clock::duration>(core_->limits.idleTimeout, kLingerTime);
    drained_ = 0;
    drain();
  }

  void drain() {
    buffer_.consume(buffer_.size());
    socket_.async_read_some(buffer_.prepare(kLingerRead),
                            [self = shared_from_this()](error_code ec, size_t count) {
                              self->drained_ += count;
                              if (ec || self->drained_ > kLingerBytes) return self->abort();
                              self->drain();
                            });
  }

  std::shared_ptr<Core> core_;
  tcp::socket socket_;
  const std::string host_;
  const std::string peer_;
  const bool view_;
  bool released_ = false;
  bool waiting_ = false;
  bool served_ = false;
  Clock::time_point waitingSince_ = Clock::now();
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  Clock::time_point deadline_ = Clock::now();
  bool keepAlive_ = false;
  std::string head_;
  folder::Reply reply_;
  size_t headSent_ = 0;
  size_t bodySent_ = 0;
  uint64_t fileSent_ = 0;
  size_t granted_ = 0;
  size_t drained_ = 0;
};

std::shared_ptr<tcp::acceptor> HttpServer::Core::open(const std::string& address, uint16_t port,
                                                      bool view) {
  if (stopped) return nullptr;
  error_code ec;
  const auto ip = asio::ip::make_address(address, ec);
  if (ec) return nullptr;
  const tcp::endpoint endpoint(ip, port);
  auto acceptor = std::make_shared<tcp::acceptor>(io);
  acceptor->open(endpoint.protocol(), ec);
  if (ec) return nullptr;
  acceptor->set_option(tcp::acceptor::reuse_address(true), ec);
  if (ip.is_v6()) acceptor->set_option(asio::ip::v6_only(true), ec);
  acceptor->bind(endpoint, ec);
  if (!ec) acceptor->listen(asio::socket_base::max_listen_connections, ec);
  if (ec) return nullptr;
  accept(acceptor, view);
  return acceptor;
}

void HttpServer::Core::accept(const std::shared_ptr<tcp::acceptor>& acceptor, bool view) {
  acceptor->async_accept(
      [self = shared_from_this(), acceptor, view](error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !acceptor->is_open() || self->stopped) return;
        if (ec) {
          auto retry = std::make_shared<asio::steady_timer>(self->io, kAcceptRetry);
          retry->async_wait([self, acceptor, retry, view](error_code timerError) {
            if (!timerError && acceptor->is_open() && !self->stopped) self->accept(acceptor, view);
          });
          return;
        }
        self->admit(std::move(socket), view);
        self->accept(acceptor, view);
      });
}

void HttpServer::Core::admit(tcp::socket socket, bool view) {
  error_code ec;
  const auto remote = socket.remote_endpoint(ec);
  if (ec) return;
  std::string host = hostText(remote);
  const auto own = perClient.find(host);
  const bool tooMany = !view && own != perClient.end() && own->second >= limits.maxPerClient;
  if (tooMany || (connections.size() >= limits.maxConnections && !makeRoom(expected(host, view)))) {
    // One non-blocking attempt: a refused client must not cost more than this.
    socket.non_blocking(true, ec);
    if (!ec) sendBuffers(static_cast<std::intptr_t>(socket.native_handle()), kBusy, {}, false);
    return;
  }
  std::make_shared<Connection>(shared_from_this(), std::move(socket), std::move(host),
                               remote.port(), view)
      ->start();
  startSweeping();
}

bool HttpServer::Core::expected(const std::string& host, bool view) const {
  return view || (expectedClient && expectedClient(host));
}

bool HttpServer::Core::makeRoom(bool newcomerExpected) {
  std::vector<Connection*> held;
  std::vector<HttpPlace> places;
  // A flood comes from few addresses: ask once per address, not once per connection.
  std::unordered_map<std::string, bool> awaited;
  for (Connection* connection : connections) {
    if (!connection->waiting()) continue;
    const auto [known, fresh] = awaited.try_emplace(connection->host());
    if (fresh) known->second = expected(connection->host(), connection->forView());
    held.push_back(connection);
    const auto shared = perClient.find(connection->host());
    places.push_back({true, known->second, connection->waitingSince(),
                      shared == perClient.end() ? size_t{1} : shared->second});
  }
  const auto chosen = placeToFree(places, newcomerExpected);
  if (chosen) held[*chosen]->abort();
  return chosen.has_value();
}

// One timer for all connections instead of one re-armed on every read and write; it runs only
// while there are connections, so an idle server leaves the io_context free to stop.
void HttpServer::Core::startSweeping() {
  if (sweeping || connections.empty()) return;
  sweeping = true;
  const auto interval = std::clamp<Clock::duration>(
      limits.idleTimeout / 4, std::chrono::milliseconds(10), std::chrono::seconds(1));
  sweeper.expires_after(interval);
  sweeper.async_wait([weak = weak_from_this()](error_code ec) {
    const auto self = weak.lock();
    if (!self) return;
    self->sweeping = false;
    if (ec || self->stopped) return;
    const auto now = Clock::now();
    std::vector<Connection*> expired;
    for (Connection* connection : self->connections) {
      if (connection->expired(now)) expired.push_back(connection);
    }
    for (Connection* connection : expired) connection->abort();
    self->startSweeping();
  });
}

// One timer for every connection waiting for the cap, set for the earliest grant.
void HttpServer::Core::scheduleCap() {
  const auto next = cap.nextDue(Clock::now());
  if (!next || stopped || (capWake && *capWake <= *next)) return;
  capWake = next;
  capTimer.expires_at(*next);
  capTimer.async_wait([weak = weak_from_this()](error_code ec) {
    const auto self = weak.lock();
    if (!self || ec || self->stopped) return;
    self->capWake.reset();
    for (auto& [resume, granted] : self->cap.due(Clock::now())) resume(granted);
    self->scheduleCap();
  });
}

void HttpServer::Core::closeAcceptors(bool includingLoopback) {
  error_code ec;
  for (const auto& acceptor : lan) acceptor->close(ec);
  lan.clear();
  if (includingLoopback && loopback) {
    loopback->close(ec);
    loopback.reset();
  }
}

const std::string& HttpServer::Core::date() {
  const std::time_t now = std::time(nullptr);
  if (now != dateSecond || dateText.empty()) {
    dateSecond = now;
    dateText = folder::httpDate(now);
  }
  return dateText;
}

HttpServer::HttpServer(boost::asio::io_context& io, std::string webRoot, Limits limits)
    : core_(std::make_shared<Core>(io, std::move(webRoot), limits)) {
  // A client that disconnects mid-download must not end the process.
  ignoreBrokenPipes();
}

HttpServer::~HttpServer() {
  shutdown();
}

bool HttpServer::listen(const std::string& address, uint16_t port) {
  auto acceptor = core_->open(address, port, false);
  if (!acceptor) return false;
  core_->lan.push_back(std::move(acceptor));
  return true;
}

uint16_t HttpServer::listenLoopback() {
  if (core_->viewPrefix.empty()) core_->viewPrefix = randomPrefix();
  if (core_->viewPrefix.empty()) return 0;
  if (!core_->loopback) core_->loopback = core_->open("127.0.0.1", 0, true);
  if (!core_->loopback) return 0;
  error_code ec;
  const auto endpoint = core_->loopback->local_endpoint(ec);
  return ec ? 0 : endpoint.port();
}

const std::string& HttpServer::viewPrefix() const {
  return core_->viewPrefix;
}

void HttpServer::setPageRoot(std::string pageRoot, std::string linkedRoot) {
  core_->files.setPageRoot(std::move(pageRoot), std::move(linkedRoot));
}

size_t HttpServer::listenerCount() const {
  return core_->lan.size();
}

void HttpServer::closeListeners() {
  core_->closeAcceptors(false);
}

void HttpServer::setSentObserver(SentObserver observer) {
  if (!core_->stopped) core_->sent = std::move(observer);
}

void HttpServer::setExpectedClient(ExpectedClient expected) {
  if (!core_->stopped) core_->expectedClient = std::move(expected);
}

void HttpServer::setSendCap(SendCapRates rates) {
  if (core_->stopped) return;
  core_->cap.setRates(rates);
  core_->capWake.reset();
  core_->capTimer.cancel();
  for (auto& [resume, granted] : core_->cap.due(Clock::now())) resume(granted);
  core_->scheduleCap();
}

void HttpServer::setNotifyHandler(NotifyHandler handler) {
  if (!core_->stopped) core_->notify = std::move(handler);
}

void HttpServer::shutdown() {
  core_->stopped = true;
  core_->notify = nullptr;
  core_->sent = nullptr;
  core_->expectedClient = nullptr;
  core_->closeAcceptors(true);
  core_->sweeper.cancel();
  core_->capTimer.cancel();
  core_->cap.clear();
  const std::vector<Core::Connection*> open(core_->connections.begin(), core_->connections.end());
  for (auto* connection : open) connection->abort();
}
