#include "fetch_job.h"

#include <algorithm>
#include <boost/asio/ip/tcp.hpp>
#include <charconv>
#include <functional>

#include "digest.h"
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

namespace {

// Opens `stream` on `strand`, bound to the display's address so that the server sees the
// display itself as the client.
bool openBound(std::optional<beast::tcp_stream>& stream, FetchJob::Strand& strand,
               const net::ip::address& local, const net::ip::address& remote, std::string& error) {
  stream.emplace(strand);
  if (remote.is_v4() != local.is_v4()) {
    error = "address family differs from the display's";
    return false;
  }
  beast::error_code ec;
  auto& socket = stream->socket();
  socket.open(remote.is_v4() ? tcp::v4() : tcp::v6(), ec);
  if (!ec) socket.bind(tcp::endpoint(local, 0), ec);
  if (ec) {
    error = "socket: " + ec.message();
    return false;
  }
  return true;
}

void closeQuietly(std::optional<beast::tcp_stream>& stream) {
  if (!stream) return;
  beast::error_code ec;
  stream->socket().shutdown(tcp::socket::shutdown_both, ec);
  stream->close();
  stream.reset();
}

// One FetchURL: the GET, the body read in chunks and discarded, the journal line; then `ended`
// is posted to the strand (never called from inside start(), so that a long list of unusable
// URLs does not nest).
class Download : public std::enable_shared_from_this<Download> {
 public:
  Download(SimContext& ctx, const Display& display, FetchJob::Strand strand, std::string url,
           std::function<void(bool)> ended)
      : ctx_(ctx),
        display_(display),
        strand_(std::move(strand)),
        ended_(std::move(ended)),
        chunk_(kChunkSize) {
    record_.display = display.label;
    record_.url = std::move(url);
  }

  void start() {
    started_ = std::chrono::steady_clock::now();
    const auto url = parseHttpUrl(trimmed(record_.url));
    if (!url) return finish(false, "not an http URL with a host");
    record_.target = url->target;
    beast::error_code ec;
    const auto address = net::ip::make_address(url->host, ec);
    if (ec) return finish(false, "host is not an IP address: " + url->host);
    std::string error;
    if (!openBound(stream_, strand_, display_.address, address, error)) return finish(false, error);

    get_.method(http::verb::get);
    get_.target(url->target);
    get_.version(11);
    get_.set(http::field::host, url->authority);
    get_.set(http::field::user_agent, "quillora-display-sim");
    get_.set(http::field::connection, "close");
    parser_.emplace();
    parser_->body_limit(boost::none);
    // Beast reads at most the buffer's free capacity (at least 512 bytes) at once: without room
    // made here, a large file costs one read and one timer per kilobyte.
    buffer_.reserve(kChunkSize);
    stream_->expires_after(std::chrono::milliseconds(ctx_.options.connectTimeoutMs));
    stream_->async_connect(tcp::endpoint(address, url->port),
                           beast::bind_front_handler(&Download::onConnect, shared_from_this()));
  }

 private:
  void onConnect(beast::error_code ec) {
    if (ec) return finish(false, "connect: " + ec.message());
    stream_->expires_after(std::chrono::milliseconds(ctx_.options.fetchTimeoutMs));
    http::async_write(*stream_, get_,
                      [self = shared_from_this()](beast::error_code ec2, std::size_t) {
                        if (ec2) return self->finish(false, "write: " + ec2.message());
                        self->readChunk();
                      });
  }

  void readChunk() {
    auto& body = parser_->get().body();
    body.data = chunk_.data();
    body.size = chunk_.size();
    // The time-out covers one chunk: a slow download that makes progress is never cut.
    stream_->expires_after(std::chrono::milliseconds(ctx_.options.fetchTimeoutMs));
    http::async_read(
        *stream_, buffer_, *parser_,
        [self = shared_from_this()](beast::error_code ec2, std::size_t) { self->onChunk(ec2); });
  }

  void onChunk(beast::error_code ec) {
    if (ec == http::error::need_buffer) ec = {};
    if (parser_->is_header_done())
      record_.httpStatus = static_cast<int>(parser_->get().result_int());
    const size_t got = chunk_.size() - parser_->get().body().size;
    if (ctx_.options.hashDownloads) md5_.update(chunk_.data(), got);
    record_.bytes += got;
    if (ec) return finish(false, "read: " + ec.message());
    if (!parser_->is_done()) return readChunk();
    if (record_.httpStatus != 200)
      return finish(false, "HTTP status " + std::to_string(record_.httpStatus));
    finish(true, "");
  }

  void finish(bool ok, const std::string& error) {
    closeQuietly(stream_);
    record_.ok = ok;
    record_.error = error;
    if (ctx_.options.hashDownloads) record_.md5 = md5_.finishHex();
    record_.durationMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - started_)
                             .count();
    ctx_.journal.write(encodeFetch(record_));
    net::post(strand_, [ended = std::move(ended_), ok] { ended(ok); });
  }

  SimContext& ctx_;
  const Display& display_;
  FetchJob::Strand strand_;
  std::function<void(bool)> ended_;
  std::optional<beast::tcp_stream> stream_;
  beast::flat_buffer buffer_;
  std::vector<char> chunk_;
  std::optional<http::response_parser<http::buffer_body>> parser_;
  http::request<http::empty_body> get_;
  Md5Stream md5_;
  FetchRecord record_;
  std::chrono::steady_clock::time_point started_;
};

}  // namespace

FetchPlan planFetch(const FetchOrder& order, const Faults& faults) {
  FetchPlan plan{order.urls.size(), false};
  if (order.kind != FetchKind::MediaList) return plan;
  if (faults.fetchSkip) return {0, true};
  if (faults.fetchFailOne && plan.downloads > 0) --plan.downloads;
  return plan;
}

std::string notificationBody(const FetchOrder& order, const FetchPlan& plan, size_t succeeded) {
  const size_t total = order.urls.size();
  if (plan.claimAll) succeeded = total;
  if (order.kind == FetchKind::Firmware) return firmwareResultXml(total, succeeded);
  return fetchResultXml(total, succeeded, total - succeeded);
}

FetchJob::FetchJob(SimContext& ctx, std::shared_ptr<Display> display, FetchOrder order)
    : ctx_(ctx),
      display_(std::move(display)),
      order_(std::move(order)),
      strand_(net::make_strand(ctx.ioc)) {}

void FetchJob::start() {
  net::dispatch(strand_, [self = shared_from_this()] { self->launch(); });
}

void FetchJob::launch() {
  plan_ = planFetch(order_, ctx_.options.faults);
  if (plan_.downloads == 0) return notify();
  const size_t width =
      std::min(plan_.downloads, static_cast<size_t>(std::max(1, ctx_.options.parallelDownloads)));
  for (size_t i = 0; i < width; ++i) startNext();
}

void FetchJob::startNext() {
  const size_t index = started_++;
  std::make_shared<Download>(ctx_, *display_, strand_, order_.urls[index],
                             [self = shared_from_this()](bool ok) { self->onDownloadEnded(ok); })
      ->start();
}

void FetchJob::onDownloadEnded(bool ok) {
  ++ended_;
  if (ok) ++succeeded_;
  if (started_ < plan_.downloads) return startNext();
  if (ended_ == plan_.downloads) notify();
}

bool FetchJob::openStream(const net::ip::address& remote, std::string& error) {
  closeStream();
  buffer_.clear();
  return openBound(stream_, strand_, display_->address, remote, error);
}

void FetchJob::notify() {
  const NotifyPlan plan = planNotification(order_);
  notice_ = NotifyRecord{};
  notice_.display = display_->label;
  notice_.kind = plan.kind;
  notice_.url = plan.path;
  notice_.body = notificationBody(order_, plan_, succeeded_);
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
  closeQuietly(stream_);
}

}  // namespace dsim
