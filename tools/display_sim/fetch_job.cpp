#include "fetch_job.h"

#include <boost/asio/ip/tcp.hpp>
#include <charconv>

#include "url.h"
#include "xml_text.h"

namespace dsim {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

constexpr size_t kChunkSize = 64 * 1024;
constexpr const char* kFetchResultPath = "/ISAPI/VideoAdvert/NotifyFetchResult";
constexpr const char* kFirmwarePath = "/ISAPI/System/NotifyFetchFirmware";

std::string trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

}  // namespace

NotifyPlan planNotification(const FetchOrder& order) {
  NotifyPlan plan;
  const bool firmware = order.kind == FetchKind::Firmware;
  plan.kind = firmware ? "NotifyFetchFirmware" : "NotifyFetchResult";
  plan.host = trimmed(order.notifyHost);
  plan.path = kFetchResultPath;
  if (firmware) {
    const std::string url = trimmed(order.notifyUrl);
    if (url.empty()) {
      plan.path = kFirmwarePath;
    } else if (const auto parsed = parseHttpUrl(url)) {
      plan.path = parsed->target;
    } else {
      plan.path = percentEncodeTarget(url.front() == '/' ? url : "/" + url);
    }
  }
  const std::string portText = trimmed(order.notifyPort);
  unsigned port = 0;
  auto [ptr, ec] = std::from_chars(portText.data(), portText.data() + portText.size(), port);
  if (portText.empty() || ec != std::errc() || ptr != portText.data() + portText.size() ||
      port == 0 || port > 65535) {
    plan.error = "bad NotifyServerPort: \"" + portText + "\"";
  } else {
    plan.port = static_cast<uint16_t>(port);
  }
  if (plan.host.empty()) plan.error = "empty NotifyServerHost";
  return plan;
}

std::string notificationBody(const FetchOrder& order, size_t succeeded) {
  const size_t total = order.urls.size();
  if (order.kind == FetchKind::Firmware) return firmwareResultXml(total, succeeded);
  return fetchResultXml(total, succeeded, total - succeeded);
}

FetchJob::FetchJob(SimContext& ctx, std::shared_ptr<Display> display, FetchOrder order)
    : ctx_(ctx),
      display_(std::move(display)),
      order_(std::move(order)),
      strand_(net::make_strand(ctx.ioc)),
      chunk_(kChunkSize) {}

void FetchJob::start() {
  net::dispatch(strand_, [self = shared_from_this()] { self->nextUrl(); });
}

bool FetchJob::openStream(const net::ip::address& remote, std::string& error) {
  closeStream();
  stream_.emplace(strand_);
  buffer_.clear();
  beast::error_code ec;
  auto& socket = stream_->socket();
  if (remote.is_v4() != display_->address.is_v4()) {
    error = "address family differs from the display's";
    return false;
  }
  socket.open(remote.is_v4() ? tcp::v4() : tcp::v6(), ec);
  if (!ec) socket.bind(tcp::endpoint(display_->address, 0), ec);
  if (ec) {
    error = "socket: " + ec.message();
    return false;
  }
  return true;
}

void FetchJob::nextUrl() {
  if (index_ >= order_.urls.size()) return notify();
  current_ = FetchRecord{};
  current_.display = display_->label;
  current_.url = order_.urls[index_];
  started_ = std::chrono::steady_clock::now();
  md5_.reset();

  const auto url = parseHttpUrl(trimmed(current_.url));
  if (!url) return finishUrl(false, "not an http URL with a host");
  current_.target = url->target;
  beast::error_code ec;
  const auto address = net::ip::make_address(url->host, ec);
  if (ec) return finishUrl(false, "host is not an IP address: " + url->host);
  std::string error;
  if (!openStream(address, error)) return finishUrl(false, error);

  get_ = {};
  get_.method(http::verb::get);
  get_.target(url->target);
  get_.version(11);
  get_.set(http::field::host, url->authority);
  get_.set(http::field::user_agent, "quillora-display-sim");
  get_.set(http::field::connection, "close");
  parser_.emplace();
  parser_->body_limit(boost::none);
  stream_->expires_after(std::chrono::milliseconds(ctx_.options.connectTimeoutMs));
  stream_->async_connect(tcp::endpoint(address, url->port),
                         beast::bind_front_handler(&FetchJob::onConnect, shared_from_this()));
}

void FetchJob::onConnect(beast::error_code ec) {
  if (ec) return finishUrl(false, "connect: " + ec.message());
  stream_->expires_after(std::chrono::milliseconds(ctx_.options.fetchTimeoutMs));
  http::async_write(*stream_, get_,
                    [self = shared_from_this()](beast::error_code ec2, std::size_t) {
                      self->onRequestWritten(ec2);
                    });
}

void FetchJob::onRequestWritten(beast::error_code ec) {
  if (ec) return finishUrl(false, "write: " + ec.message());
  readChunk();
}

void FetchJob::readChunk() {
  auto& body = parser_->get().body();
  body.data = chunk_.data();
  body.size = chunk_.size();
  // The time-out covers one chunk: a slow download that makes progress is never cut.
  stream_->expires_after(std::chrono::milliseconds(ctx_.options.fetchTimeoutMs));
  http::async_read(
      *stream_, buffer_, *parser_,
      [self = shared_from_this()](beast::error_code ec2, std::size_t) { self->onChunk(ec2); });
}

void FetchJob::onChunk(beast::error_code ec) {
  if (ec == http::error::need_buffer) ec = {};
  if (parser_->is_header_done())
    current_.httpStatus = static_cast<int>(parser_->get().result_int());
  const size_t got = chunk_.size() - parser_->get().body().size;
  md5_.update(chunk_.data(), got);
  current_.bytes += got;
  if (ec) return finishUrl(false, "read: " + ec.message());
  if (!parser_->is_done()) return readChunk();
  if (current_.httpStatus != 200)
    return finishUrl(false, "HTTP status " + std::to_string(current_.httpStatus));
  finishUrl(true, "");
}

void FetchJob::finishUrl(bool ok, const std::string& error) {
  closeStream();
  current_.ok = ok;
  current_.error = error;
  current_.md5 = md5_.finishHex();
  current_.durationMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - started_)
                            .count();
  if (ok) ++succeeded_;
  ctx_.journal.write(encodeFetch(current_));
  ++index_;
  nextUrl();
}

void FetchJob::notify() {
  const NotifyPlan plan = planNotification(order_);
  notice_ = NotifyRecord{};
  notice_.display = display_->label;
  notice_.kind = plan.kind;
  notice_.url = plan.path;
  notice_.body = notificationBody(order_, succeeded_);
  if (!plan.error.empty()) return finishNotify(plan.error);
  beast::error_code ec;
  const auto address = net::ip::make_address(plan.host, ec);
  notice_.target = formatEndpoint(plan.host, plan.port, !ec && address.is_v6());
  if (ec) return finishNotify("NotifyServerHost is not an IP address: " + plan.host);
  std::string error;
  if (!openStream(address, error)) return finishNotify(error);

  post_ = {};
  post_.method(http::verb::post);
  post_.target(plan.path);
  post_.version(11);
  post_.set(http::field::host, notice_.target);
  post_.set(http::field::content_type, "application/xml");
  post_.set(http::field::connection, "close");
  post_.body() = notice_.body;
  post_.prepare_payload();
  stream_->expires_after(std::chrono::milliseconds(ctx_.options.connectTimeoutMs));
  stream_->async_connect(tcp::endpoint(address, plan.port),
                         beast::bind_front_handler(&FetchJob::onNotifyConnect, shared_from_this()));
}

void FetchJob::onNotifyConnect(beast::error_code ec) {
  if (ec) return finishNotify("connect: " + ec.message());
  stream_->expires_after(std::chrono::milliseconds(ctx_.options.fetchTimeoutMs));
  http::async_write(*stream_, post_,
                    [self = shared_from_this()](beast::error_code ec2, std::size_t) {
                      self->onNotifyWritten(ec2);
                    });
}

void FetchJob::onNotifyWritten(beast::error_code ec) {
  if (ec) return finishNotify("write: " + ec.message());
  notice_.sent = true;
  if (ctx_.options.notifyWaitMs <= 0) return finishNotify("");
  // No answer is needed; one that comes in time is read and recorded.
  stream_->expires_after(std::chrono::milliseconds(ctx_.options.notifyWaitMs));
  answer_ = {};
  http::async_read(*stream_, buffer_, answer_,
                   [self = shared_from_this()](beast::error_code ec2, std::size_t) {
                     if (!ec2)
                       self->notice_.answerStatus = static_cast<int>(self->answer_.result_int());
                     self->finishNotify("");
                   });
}

void FetchJob::finishNotify(const std::string& error) {
  closeStream();
  notice_.error = error;
  ctx_.journal.write(encodeNotify(notice_));
}

void FetchJob::closeStream() {
  if (!stream_) return;
  beast::error_code ec;
  stream_->socket().shutdown(tcp::socket::shutdown_both, ec);
  stream_->close();
  stream_.reset();
}

}  // namespace dsim
