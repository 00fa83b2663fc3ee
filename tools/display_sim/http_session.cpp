#include "http_session.h"

#include <boost/asio/write.hpp>
#include <chrono>
#include <string_view>

#include "fetch_job.h"
#include "target.h"
#include "url.h"
#include "xml_text.h"

namespace dsim {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

constexpr std::size_t kMaxHead = 16 * 1024;
constexpr std::size_t kReadChunk = 4096;
constexpr auto kMidRequestTimeout = std::chrono::seconds(30);
constexpr auto kBodyTimeout = std::chrono::seconds(120);
constexpr auto kWriteTimeout = std::chrono::seconds(30);
constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";

std::string endpointText(const tcp::endpoint& ep) {
  return formatEndpoint(ep.address().to_string(), ep.port(), ep.address().is_v6());
}

bool equalsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

}  // namespace

HttpSession::HttpSession(tcp::socket&& socket, SimContext& ctx, std::shared_ptr<Display> display)
    : stream_(std::move(socket)),
      ctx_(ctx),
      display_(std::move(display)),
      delay_(stream_.get_executor()) {
  ++ctx_.openConnections;
  beast::error_code ec;
  const auto remote = stream_.socket().remote_endpoint(ec);
  peer_ = ec ? "?" : endpointText(remote);
}

HttpSession::~HttpSession() {
  --ctx_.openConnections;
}

void HttpSession::start() {
  net::dispatch(stream_.get_executor(), [self = shared_from_this()] { self->readHead(); });
}

void HttpSession::readHead() {
  if (takeHead()) return;
  if (buffer_.size() > kMaxHead) return reject(431, "request head larger than 16 KiB");
  if (ctx_.options.faults.neverAnswer) {
    stream_.expires_never();  // the peer gives up, not the display
  } else if (buffer_.size() == 0) {
    stream_.expires_after(std::chrono::milliseconds(ctx_.options.idleMs));
  } else {
    stream_.expires_after(kMidRequestTimeout);
  }
  stream_.async_read_some(buffer_.prepare(kReadChunk),
                          beast::bind_front_handler(&HttpSession::onReadSome, shared_from_this()));
}

void HttpSession::onReadSome(beast::error_code ec, std::size_t bytes) {
  if (ec) {
    // Idle time-out, peer closed, or reset: a request cut off in its head is journalled.
    if (buffer_.size() > 0 && ec != net::error::operation_aborted) {
      rawHead_.assign(static_cast<const char*>(buffer_.data().data()), buffer_.size());
      ctx_.journal.write(encodeRequest(recordOf("incomplete request head: " + ec.message()),
                                       ctx_.options.journalBodyLimit));
    }
    return close();
  }
  buffer_.commit(bytes);
  readHead();
}

bool HttpSession::takeHead() {
  const std::string_view data(static_cast<const char*>(buffer_.data().data()), buffer_.size());
  const std::size_t from = scanned_ >= 3 ? scanned_ - 3 : 0;
  const auto end = data.find("\r\n\r\n", from);
  if (end == std::string_view::npos) {
    scanned_ = data.size();
    return false;
  }
  const std::size_t headLength = end + 4;
  if (headLength > kMaxHead) {
    reject(431, "request head larger than 16 KiB");
    return true;
  }
  rawHead_.assign(data.substr(0, headLength));
  buffer_.consume(headLength);
  scanned_ = 0;

  parser_.emplace();
  parser_->header_limit(static_cast<std::uint32_t>(kMaxHead + 1));
  parser_->body_limit(ctx_.options.maxBody);
  beast::error_code ec;
  parser_->put(net::buffer(rawHead_), ec);
  if (ec == http::error::body_limit) {
    reject(413, "request body larger than --max-body");
    return true;
  }
  if (ec || !parser_->is_header_done()) {
    reject(400, "bad request head: " + (ec ? ec.message() : std::string("incomplete")));
    return true;
  }
  if (parser_->is_done()) {
    onRequest();
    return true;
  }
  const auto expect = parser_->get()[http::field::expect];
  if (buffer_.size() == 0 && equalsNoCase(expect, "100-continue") &&
      !ctx_.options.faults.neverAnswer && !ctx_.options.faults.closeEarly) {
    stream_.expires_after(kWriteTimeout);
    net::async_write(stream_, net::buffer(kContinue),
                     [self = shared_from_this()](beast::error_code ec2, std::size_t) {
                       if (ec2) return self->close();
                       self->readBody();
                     });
    return true;
  }
  readBody();
  return true;
}

void HttpSession::readBody() {
  if (ctx_.options.faults.neverAnswer) {
    stream_.expires_never();
  } else {
    stream_.expires_after(kBodyTimeout);
  }
  http::async_read(
      stream_, buffer_, *parser_,
      [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onBody(ec); });
}

void HttpSession::onBody(beast::error_code ec) {
  if (ec == http::error::body_limit) return reject(413, "request body larger than --max-body");
  if (ec) {
    ctx_.journal.write(encodeRequest(recordOf("incomplete request body: " + ec.message()),
                                     ctx_.options.journalBodyLimit));
    return close();
  }
  onRequest();
}

RequestRecord HttpSession::recordOf(const std::string& error) const {
  RequestRecord record;
  record.display = display_->label;
  record.peer = peer_;
  record.rawHead = rawHead_;
  record.error = error;
  if (parser_ && parser_->is_header_done()) {
    const auto& req = parser_->get();
    record.method = std::string(req.method_string());
    record.target = std::string(req.target());
    record.version =
        "HTTP/" + std::to_string(req.version() / 10) + "." + std::to_string(req.version() % 10);
    for (const auto& field : req) {
      record.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    }
    record.body = req.body();
  }
  return record;
}

void HttpSession::onRequest() {
  const Faults& faults = ctx_.options.faults;
  // The body is moved, never copied: uploads may be large.
  std::string body = std::move(parser_->get().body());
  RequestRecord record = recordOf("");
  const bool keepAlive = parser_->get().keep_alive();
  if (faults.neverAnswer || faults.closeEarly) {
    record.body = std::move(body);
    ctx_.journal.write(encodeRequest(record, ctx_.options.journalBodyLimit));
    if (faults.closeEarly) return close();
    parser_.reset();
    return readHead();  // keep reading (and journalling), never answer
  }
  Reply reply;
  std::optional<FetchOrder> fetch;
  if (faults.httpStatus != 0) {
    reply = Reply{faults.httpStatus, "", "", ""};
  } else {
    Request request{record.method, record.target, std::move(body)};
    Decision decision = decideReply(request, display_->sessions, ctx_.logic);
    reply = std::move(decision.reply);
    fetch = std::move(decision.fetch);
    body = std::move(request.body);
  }
  record.body = std::move(body);
  if (faults.malformedXml) {
    reply.contentType = "application/xml";
    reply.body = malformedXml(splitTarget(record.target).path);
  }
  closeAfterWrite_ = !keepAlive;
  answer(std::move(record), std::move(reply), std::move(fetch));
}

void HttpSession::reject(int httpStatus, const std::string& error) {
  if (ctx_.options.faults.neverAnswer || ctx_.options.faults.closeEarly) {
    // These faults answer nothing at all, not even a bad request.
    ctx_.journal.write(encodeRequest(recordOf(error), ctx_.options.journalBodyLimit));
    return close();
  }
  closeAfterWrite_ = true;
  answer(recordOf(error), Reply{httpStatus, "text/plain", error + "\n", ""}, std::nullopt);
}

void HttpSession::answer(RequestRecord record, Reply reply, std::optional<FetchOrder> fetch) {
  record.answered = true;
  record.replyStatus = reply.httpStatus;
  record.replyCode = reply.statusCode;
  record.replyBody = reply.body;
  ctx_.journal.write(encodeRequest(record, ctx_.options.journalBodyLimit));

  const unsigned version = parser_ && parser_->is_header_done() ? parser_->get().version() : 11;
  response_ = {};
  response_.version(version == 10 ? 10 : 11);
  response_.result(static_cast<unsigned>(reply.httpStatus));
  response_.set(http::field::server, "quillora-display-sim");
  if (!reply.contentType.empty()) response_.set(http::field::content_type, reply.contentType);
  response_.keep_alive(!closeAfterWrite_);
  response_.body() = std::move(reply.body);
  response_.prepare_payload();
  pendingFetch_ = std::move(fetch);
  parser_.reset();

  if (ctx_.options.faults.slowMs > 0) {
    stream_.expires_never();
    delay_.expires_after(std::chrono::milliseconds(ctx_.options.faults.slowMs));
    delay_.async_wait([self = shared_from_this()](beast::error_code ec) {
      if (ec) return self->close();
      self->writeAnswer();
    });
    return;
  }
  writeAnswer();
}

void HttpSession::writeAnswer() {
  stream_.expires_after(kWriteTimeout);
  http::async_write(
      stream_, response_,
      [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onWrite(ec); });
}

void HttpSession::onWrite(beast::error_code ec) {
  if (pendingFetch_) {
    std::make_shared<FetchJob>(ctx_, display_, std::move(*pendingFetch_))->start();
    pendingFetch_.reset();
  }
  if (ec || closeAfterWrite_) return close();
  readHead();
}

void HttpSession::close() {
  if (closed_) return;
  closed_ = true;
  delay_.cancel();
  beast::error_code ec;
  stream_.socket().shutdown(tcp::socket::shutdown_both, ec);
  stream_.close();
}

}  // namespace dsim
