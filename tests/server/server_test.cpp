// The host's HTTP server: the folder rules on their own, and a real server on loopback driven
// from its own thread.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <future>
#include <map>
#include <optional>
#include <random>
#include <regex>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
// GCC 12 takes the boost::optional in Beast's parser for maybe-uninitialized once it is inlined
// with the sanitizers' instrumentation; it is always set before it is read.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#pragma GCC diagnostic pop

#include "device/folder_server.h"
#include "device/http_server.h"
#include "unit/test_support.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using boost::system::error_code;
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using folder::Reply;
using folder::Request;
using Answer = http::response<http::string_body>;

namespace {

constexpr const char* kFetchResult = "/ISAPI/VideoAdvert/NotifyFetchResult";

// Bytes that differ from offset to offset, so a misplaced block shows.
std::string patternBytes(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  std::minstd_rand next(seed);
  for (char& byte : bytes) byte = static_cast<char>(next() >> 7);
  return bytes;
}

std::string get(const std::string& target, const std::string& extra = {},
                const std::string& method = "GET") {
  return method + " " + target + " HTTP/1.1\r\nHost: test\r\n" + extra + "\r\n";
}

std::string post(const std::string& target, const std::string& body,
                 const std::string& method = "POST") {
  return get(target, "Content-Length: " + std::to_string(body.size()) + "\r\n", method) + body;
}

// A client on its own io_context whose every wait has a deadline, so a server fault fails a
// test instead of hanging it.
class TestClient {
 public:
  // `receiveBuffer` > 0 shrinks SO_RCVBUF (a slow reader's window); `from` is the source
  // address (another 127.x.y.z stands for another machine). `connectNow` false leaves the
  // connecting to connect(), which then needs no new descriptor.
  explicit TestClient(uint16_t port, int receiveBuffer = 0, const char* from = "127.0.0.1",
                      bool connectNow = true)
      : port_(port), source_(asio::ip::make_address(from)) {
    socket_.open(source_.is_v6() ? tcp::v6() : tcp::v4());
    if (receiveBuffer > 0)
      socket_.set_option(asio::socket_base::receive_buffer_size(receiveBuffer));
    socket_.bind({source_, 0});
    if (connectNow) connect();
  }
  bool connect() {
    error_code ec;
    socket_.connect({asio::ip::make_address(source_.is_v6() ? "::1" : "127.0.0.1"), port_}, ec);
    if (ec) socket_.close();
    return !ec;
  }
  bool connected() const { return socket_.is_open(); }
  uint16_t localPort() const { return socket_.local_endpoint().port(); }
  bool send(const std::string& bytes) {
    error_code ec;
    asio::write(socket_, asio::buffer(bytes), ec);
    return !ec;
  }
  // Up to `count` more bytes; empty at the end of the stream, on error or at the deadline.
  std::string readSome(size_t count, std::chrono::milliseconds timeout) {
    if (buffer_.size() == 0) {
      socket_.async_read_some(buffer_.prepare(count), [this](error_code ec, size_t got) {
        buffer_.commit(got);
        closed_ = ec && ec != asio::error::operation_aborted;
      });
      run(timeout);
    }
    std::string bytes = beast::buffers_to_string(buffer_.data());
    buffer_.consume(bytes.size());
    return bytes;
  }
  // One answer; nullopt when the connection ends or the deadline passes first.
  std::optional<Answer> read(bool toHead = false, std::chrono::milliseconds timeout = 10s) {
    http::response_parser<http::string_body> parser;
    parser.skip(toHead);
    parser.body_limit(boost::none);
    error_code failure = asio::error::timed_out;
    http::async_read(socket_, buffer_, parser, [&](error_code ec, size_t) { failure = ec; });
    if (!run(timeout) || failure) return std::nullopt;
    return parser.release();
  }
  std::optional<Answer> request(const std::string& bytes) {
    return send(bytes) ? read() : std::nullopt;
  }
  // The bytes that still arrive (the rest of an answer) until the server ends the connection;
  // SIZE_MAX when it has not ended it by the deadline.
  size_t drain(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    size_t total = 0;
    for (std::string more = "-"; !more.empty() && !closed_; total += more.size()) {
      more = readSome(64 * 1024,
                      std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()));
    }
    return closed_ ? total : SIZE_MAX;
  }
  bool waitClosed(std::chrono::milliseconds timeout) { return drain(timeout) != SIZE_MAX; }

 private:
  // Runs the operation started on the client's loop; false when the deadline passed first.
  bool run(std::chrono::milliseconds timeout) {
    io_.restart();
    io_.run_for(std::max(timeout, std::chrono::milliseconds(0)));
    if (io_.stopped()) return true;
    socket_.cancel();
    io_.restart();
    io_.run();
    return false;
  }

  asio::io_context io_;
  tcp::socket socket_{io_};
  beast::flat_buffer buffer_;
  uint16_t port_;
  asio::ip::address source_;
  bool closed_ = false;
};

// A port that nothing listens on right now.
uint16_t freePort() {
  asio::io_context io;
  return tcp::acceptor(io, {asio::ip::address_v4::loopback(), 0}).local_endpoint().port();
}

std::string header(const Reply& reply, const std::string& name) {
  for (const auto& [key, value] : reply.headers)
    if (key == name) return value;
  return {};
}

// The server on an io_context run by its own thread, as the service runs it: port_ is a LAN
// listener on 127.0.0.1, viewPort_ the view's listener. Below web/, only media, firmware and
// the view's page may be served; secret.txt beside it stays unreachable.
class ServerTest : public ::testing::Test {
 protected:
  ServerTest() : guard_(asio::make_work_guard(io_)), runner_([this] { io_.run(); }) {
    folder_.write("web/media/clip.mp4", clip_);
    folder_.write("web/media/a b.txt", "spaced");
    folder_.write("web/index.html", "<h1>Quillora</h1>");
    folder_.write("secret.txt", "secret");
    folder_.write("web/media/a b.mp4", "movie-bytes");
    folder_.write("web/firmware/fw.bin", "firmware");
    folder_.write("web/js/page.js", "js");
    folder_.write("web/conf/list.html", "<script>x</script>");
    fs::create_symlink("..", folder_.file("web/escape"));
    fs::create_symlink("../../secret.txt", folder_.file("web/media/link.txt"));
    fs::create_symlink("../firmware/fw.bin", folder_.file("web/media/inner.bin"));
    fs::create_symlink("../conf/list.html", folder_.file("web/media/list.html"));
  }
  ~ServerTest() override { stop(); }

  // With a handler that takes every notification and keeps it.
  void start(HttpServer::Limits limits = {}) {
    const uint16_t lan = freePort();
    onIo([&] {
      server_ = std::make_unique<HttpServer>(io_, folder_.file("web"), limits);
      server_->setNotifyHandler([this](const std::string& body, const std::string& peer) {
        notifications_.emplace_back(body, peer);
        return true;
      });
      port_ = server_->listen("127.0.0.1", lan) ? lan : 0;
      viewPort_ = server_->listenLoopback();
      prefix_ = server_->viewPrefix();
    });
    ASSERT_TRUE(port_ && viewPort_);
  }

  Reply serve(const std::string& target, Request request = {}) const {
    request.target = target;
    return folder::FolderServer(folder_.file("web")).serve(request);
  }

  template <class Work>
  auto onIo(Work work) -> decltype(work()) {
    std::packaged_task<decltype(work())()> task(std::move(work));
    auto done = task.get_future();
    asio::post(io_, std::move(task));
    return done.get();
  }

  // Shuts down and destroys the server on the io thread, as the service does. True when the
  // io thread then runs out of work by itself: nothing of the server is left pending.
  bool stop() {
    if (!runner_.joinable()) return true;
    onIo([&] {
      if (server_) server_->shutdown();
      server_.reset();
    });
    guard_.reset();
    const auto deadline = Clock::now() + 3s;
    while (!io_.stopped() && Clock::now() < deadline) std::this_thread::sleep_for(5ms);
    const bool drained = io_.stopped();
    io_.stop();
    runner_.join();
    return drained;
  }

  // Kept by the io thread.
  std::vector<std::pair<std::string, std::string>> notifications() {
    return onIo([this] { return notifications_; });
  }

  TempAppFolder folder_;
  const std::string clip_ = patternBytes(100000, 1);
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> guard_;
  std::thread runner_;
  std::unique_ptr<HttpServer> server_;
  uint16_t port_ = 0;
  uint16_t viewPort_ = 0;
  std::string prefix_;
  std::vector<std::pair<std::string, std::string>> notifications_;
};

TEST_F(ServerTest, EachAudienceSeesItsOwnAreasOnly) {
  const std::string view = "/0123456789abcdef0123456789abcdef";
  const std::pair<std::pair<std::string, unsigned>, std::vector<std::string>> cases[] = {
      // View prefix (none on the LAN) and status, targets
      {{"", 200},
       {"/media/a%20b.mp4", "/media//a%20b.mp4?name=../../secret.txt", "/firmware/fw.bin",
        "/media/inner.bin"}},
      // An absolute path after a double slash must stay below the root.
      {{"", 404},
       {"/", "/media", "/media/", "/media/a%20b.mp4/", "/conf/list.html", "/media/list.html",
        "/index.html", "//etc/passwd"}},
      {{view, 200}, {view + "/index.html", view + "/js/page.js", view + "/media/a%20b.mp4"}},
      {{view, 404},
       {"/media/a%20b.mp4", view + "/firmware/fw.bin", view + "/conf/list.html",
        view + "/media/list.html", view + "/", view, view + "index.html", "/index.html",
        "/" + std::string(32, 'a') + "/index.html"}},
      // Paths that could leave the folder are refused even where nothing exists, and so are
      // symlinks that resolve outside the root.
      {{view, 400}, {view + "/../index.html"}},
      {{"", 400},
       {"/media/../firmware/fw.bin", "/%2e%2e/secret.txt", "/media/%2E%2e/firmware/fw.bin",
        "/media/..%2f..%2fsecret.txt", "/./media", "/media/a%20b.mp4%00.txt",
        "/media\\..\\..\\secret.txt", "/media/%5c..%5csecret.txt", "/media/%zz", "/media/a%2",
        "http://host/media/a%20b.mp4", "", "/escape/secret.txt", "/media/link.txt"}},
  };
  for (const auto& [key, targets] : cases) {
    const auto& [prefix, status] = key;
    for (const auto& target : targets) {
      SCOPED_TRACE(target + " below " + prefix);
      EXPECT_EQ(serve(target, {.viewPrefix = prefix}).status, status);
    }
  }
  EXPECT_EQ(serve("/media/a%20b.mp4", {.method = Request::Method::Other}).status, 405u);
  EXPECT_EQ(folder::contentType("/media/A.MP4"), "video/mp4");
  EXPECT_EQ(folder::contentType("/dir.mp4/noextension"), "application/octet-stream");
  EXPECT_EQ(folder::httpDate(784111777), "Sun, 06 Nov 1994 08:49:37 GMT");
  // A root made after the server is served once it exists.
  folder::FolderServer late(folder_.file("late"));
  EXPECT_EQ(late.serve({.target = "/media/a.txt"}).status, 404u);
  folder_.write("late/media/a.txt", "late");
  EXPECT_EQ(late.serve({.target = "/media/a.txt"}).status, 200u);
}

// Installed, the view's page is read from its own folder, whose libraries are links to the
// system's copies; the media it previews still come from the written folder, and the LAN
// sees nothing of the page.
TEST_F(ServerTest, AnInstalledPageIsServedFromItsOwnFolder) {
  folder_.write("page/index.html", "<h1>installed</h1>");
  folder_.write("system/javascript/lib/lib.js", "lib");
  folder_.write("system/nodejs/lib.min.js", "min");
  fs::create_directories(folder_.file("page/vendor"));
  fs::create_directories(folder_.file("page/js"));
  fs::create_symlink(folder_.file("system/javascript/lib"), folder_.file("page/vendor/lib"));
  fs::create_symlink(folder_.file("system/nodejs/lib.min.js"),
                     folder_.file("system/javascript/lib/lib.min.js"));
  fs::create_symlink(folder_.file("secret.txt"), folder_.file("page/vendor/secret.txt"));
  fs::create_symlink(folder_.file("system/javascript/lib/lib.js"), folder_.file("page/js/lib.js"));
  folder::FolderServer files(folder_.file("web"));
  files.setPageRoot(folder_.file("page"), folder_.file("system"));
  const std::string view = "/0123456789abcdef0123456789abcdef";
  const std::tuple<std::string, std::string, unsigned, std::string> cases[] = {
      // View prefix, target, status, body
      {view, "/index.html", 200, "<h1>installed</h1>"},
      {view, "/vendor/lib/lib.js", 200, "lib"},
      {view, "/vendor/lib/lib.min.js", 200, "min"},
      {view, "/media/a%20b.txt", 200, "spaced"},
      {view, "/%6dedia/a%20b.txt", 200, "spaced"},
      {view, "/js/page.js", 404, ""},
      {view, "/conf/list.html", 404, ""},
      {view, "/firmware/fw.bin", 404, ""},
      {view, "/media/list.html", 404, ""},
      // Only the libraries may lead out of the page, and only into the system's copies.
      {view, "/vendor/secret.txt", 400, ""},
      {view, "/js/lib.js", 400, ""},
      {view, "/vendor/lib/../../../secret.txt", 400, ""},
      {"", "/media/a%20b.txt", 200, "spaced"},
      {"", "/index.html", 404, ""},
      {"", "/vendor/lib/lib.js", 404, ""},
  };
  for (const auto& [prefix, target, status, body] : cases) {
    SCOPED_TRACE(target + " below " + prefix);
    Reply reply = files.serve({.target = prefix + target, .viewPrefix = prefix});
    EXPECT_EQ(reply.status, status);
    if (!body.empty()) {
      std::string read(reply.length, '\0');
      ASSERT_EQ(reply.file.readAt(0, read.data(), read.size()), static_cast<int64_t>(read.size()));
      EXPECT_EQ(read, body);
    }
  }
}

TEST_F(ServerTest, HonoursConditionalAndRangeHeaders) {
  const Reply plain = serve("/firmware/fw.bin");
  const std::string etag = header(plain, "ETag");
  const std::string modified = header(plain, "Last-Modified");
  const std::string etagList = "\"x\", W/" + etag;  // the cases below only point at it
  const std::tuple<Request, unsigned, std::string, std::string> cases[] = {
      // Request, status, body, Content-Range
      {{.ifNoneMatch = etag}, 304, "", ""},
      {{.ifNoneMatch = etagList}, 304, "", ""},
      {{.ifNoneMatch = "*"}, 304, "", ""},
      {{.ifNoneMatch = "\"other\""}, 200, "firmware", ""},
      {{.ifModifiedSince = modified}, 304, "", ""},
      {{.ifModifiedSince = "Thu, 01 Jan 1970 00:00:00 GMT"}, 200, "firmware", ""},
      {{.ifNoneMatch = "\"other\"", .ifModifiedSince = modified}, 200, "firmware", ""},
      {{.range = "bytes=0-3", .ifRange = etag}, 206, "firm", "bytes 0-3/8"},
      {{.range = "bytes=4-", .ifRange = modified}, 206, "ware", "bytes 4-7/8"},
      {{.range = "bytes=0-3", .ifRange = "\"old\""}, 200, "firmware", ""},
      {{.range = "bytes=6-5000"}, 206, "re", "bytes 6-7/8"},
      {{.range = "bytes=-5000"}, 206, "firmware", "bytes 0-7/8"},
      {{.range = "bytes=-3"}, 206, "are", "bytes 5-7/8"},
      {{.range = "BYTES = 1-1"}, 206, "i", "bytes 1-1/8"},
      {{.range = "bytes=8-"}, 416, "", "bytes */8"},
  };
  for (const auto& [request, status, body, range] : cases) {
    SCOPED_TRACE(request.ifNoneMatch.empty() ? request.range : request.ifNoneMatch);
    const Reply reply = serve("/firmware/fw.bin", request);
    EXPECT_EQ(reply.status, status);
    std::string bytes(reply.length, '\0');
    if (reply.file.isOpen()) reply.file.readAt(reply.offset, bytes.data(), reply.length);
    EXPECT_EQ(reply.file.isOpen() ? bytes : "", body);
    EXPECT_EQ(header(reply, "Content-Range"), range);
  }
  // Forms that are not served are answered as if no range had been asked for.
  using Kind = folder::ByteRange::Kind;
  const std::pair<Kind, std::vector<std::string>> forms[] = {
      {Kind::Whole,
       {"bytes=5-1", "bytes=0-1,5-6", "items=0-1", "bytes=1-x", "bytes=+1-2",
        "bytes=99999999999999999999999-", "bytes=0-99999999999999999999999"}},
      {Kind::Unsatisfiable, {"bytes=-0", "bytes=18446744073709551615-"}},
  };
  for (const auto& [kind, ranges] : forms) {
    for (const auto& range : ranges) EXPECT_EQ(folder::parseRange(range, 8).kind, kind) << range;
  }
  EXPECT_EQ(folder::parseRange("bytes=-5", 0).kind, Kind::Unsatisfiable);
}

TEST_F(ServerTest, AnswersEachListenersRequests) {
  start();
  EXPECT_TRUE(std::regex_match(prefix_, std::regex("/[0-9a-f]{32}")));
  const std::string big(64 * 1024 + 1, 'x');
  const std::string chunked = "Transfer-Encoding: chunked\r\n";
  struct Case {
    bool onView;
    std::string request;
    unsigned status;
    bool closes = false;
    std::optional<std::string> body = {};      // of the answer
    std::optional<std::string> notified = {};  // the body as the handler receives it
  };
  const Case cases[] = {
      {false, get("/media/clip.mp4", "Range: bytes=10-19\r\n"), 206, false, clip_.substr(10, 10)},
      {false, get("/media/clip.mp4", "Range: bytes=100000-\r\n"), 416, false},
      {false, get("/media/clip.mp4?version=2"), 200, false, clip_},
      {false, get("/media/clip.mp4", {}, "DELETE"), 405, false},
      {true, get(prefix_ + "/index.html"), 200, false, "<h1>Quillora</h1>"},
      {true, get("/index.html"), 404, false},
      {true, post(kFetchResult, "<x/>"), 404, true},
      {false, "GARBAGE\r\n\r\n", 400, true},
      {false, "GET / HTTP/1.1\r\nContent-Length: nope\r\n\r\n", 400, true},
      {false, get("/", "X-Big: " + std::string(17 * 1024, 'x') + "\r\n"), 431, true},
      // A file request's body is never read: it is answered, then the connection closes.
      {false, post("/media/clip.mp4", "body"), 405, true},
      {false, get("/media/clip.mp4", "Expect: 100-continue\r\nContent-Length: 9\r\n", "PUT"), 405,
       true},
      {false, post(kFetchResult, "<NotifyFetchResult/>"), 200, false, "", "<NotifyFetchResult/>"},
      {false, post("/ISAPI/System/NotifyFetchFirmware?ID=7", "<fw/>", "PUT"), 200, false, "",
       "<fw/>"},
      {false, get(kFetchResult), 200, false, "", ""},
      {false, get(kFetchResult, chunked) + "3\r\nabc\r\n0\r\n\r\n", 200, false, "", "abc"},
      {false, post(kFetchResult, big.substr(1)), 200, false, "", big.substr(1)},
      {false, post(kFetchResult, big), 413, true},
      {false, get(kFetchResult, chunked, "POST") + "10001\r\n" + big + "\r\n0\r\n\r\n", 413, true},
  };
  for (const auto& [onView, request, status, closes, body, notified] : cases) {
    SCOPED_TRACE(request.substr(0, 80));
    const size_t before = notifications().size();
    TestClient client(onView ? viewPort_ : port_);
    const auto answer = client.request(request);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->result_int(), status);
    EXPECT_TRUE(!body || answer->body() == *body);
    EXPECT_EQ(answer->keep_alive(), !closes);
    EXPECT_TRUE(!closes || client.waitClosed(2s));
    const auto received = notifications();
    ASSERT_EQ(received.size(), before + (notified ? 1 : 0));
    if (notified) {
      EXPECT_EQ(received.back().first, *notified);
      EXPECT_EQ(received.back().second, "127.0.0.1:" + std::to_string(client.localPort()));
    }
  }
  // Pipelined: answers come in order, and the HEAD answer carries no body bytes.
  TestClient lan(port_);
  ASSERT_TRUE(
      lan.send(get("/media/clip.mp4", "Range: bytes=10-19\r\n", "HEAD") + get("/media/a%20b.txt")));
  const auto head = lan.read(true);
  const auto spaced = lan.read();
  ASSERT_TRUE(head && spaced);
  EXPECT_EQ((*head)[http::field::content_range], "bytes 10-19/100000");
  EXPECT_EQ((*head)[http::field::content_length], "10");
  EXPECT_EQ(spaced->body(), "spaced");
  // A body that is taken is asked for; one that would be refused (above) is not.
  TestClient asking(port_);
  ASSERT_TRUE(
      asking.send(get(kFetchResult, "Expect: 100-continue\r\nContent-Length: 3\r\n", "POST")));
  EXPECT_EQ(asking.read(false, 2s)->result_int(), 100u);
  EXPECT_EQ(asking.request("abc")->result_int(), 200u);
  // IPv6 peers keep their brackets.
  if (const uint16_t v6 = freePort(); onIo([&] { return server_->listen("::1", v6); })) {
    TestClient client(v6, 0, "::1");
    ASSERT_TRUE(client.request(post(kFetchResult, "<v6/>")));
    EXPECT_EQ(notifications().back().second, "[::1]:" + std::to_string(client.localPort()));
  }
  // A notification not handled is served as a file request, never reported as done.
  const auto declining = [](const std::string&, const std::string&) { return false; };
  const auto failing = [](const std::string&, const std::string&) -> bool {
    throw std::runtime_error("malformed notification");
  };
  const std::pair<HttpServer::NotifyHandler, unsigned> handlers[] = {
      {nullptr, 404}, {declining, 404}, {failing, 500}};
  for (const auto& [handler, status] : handlers) {
    onIo([&] { server_->setNotifyHandler(handler); });
    EXPECT_EQ(TestClient(port_).request(post(kFetchResult, "<x/>"))->result_int(), status);
  }
}

TEST_F(ServerTest, ServesLargeFilesToConcurrentAndSlowClients) {
  const std::string large = patternBytes(24u << 20, 7);
  folder_.write("web/media/large.mp4", large);
  start({.idleTimeout = 300ms});
  constexpr size_t kOffset = 12345678;
  // The first resumes in the middle of the file; the last reads slowly for several timeouts
  // and must not be cut. Each reads until the idle connection is closed.
  std::string raw[3];
  std::vector<std::thread> clients;
  const auto started = Clock::now();
  for (size_t i = 0; i < 3; ++i) {
    clients.emplace_back([&, i] {
      const std::string range = i == 0 ? "Range: bytes=" + std::to_string(kOffset) + "-\r\n" : "";
      TestClient client(port_, i == 2 ? 64 * 1024 : 0);
      raw[i].reserve(large.size() + 4096);  // growing it would stall this reader itself
      if (!client.send(get("/media/large.mp4", range))) return;
      for (std::string more; (more = client.readSome(128 * 1024, 2s)).size(); raw[i] += more) {
        if (i == 2) std::this_thread::sleep_for(10ms);
      }
    });
  }
  for (auto& thread : clients) thread.join();
  EXPECT_GT(Clock::now() - started, 900ms);
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const std::string body = large.substr(i == 0 ? kOffset : 0);
    EXPECT_TRUE(raw[i].starts_with(i == 0 ? "HTTP/1.1 206 " : "HTTP/1.1 200 "));
    EXPECT_EQ(raw[i].find("\r\n\r\n") + 4 + body.size(), raw[i].size());
    EXPECT_TRUE(raw[i].ends_with(body));
  }
}

TEST_F(ServerTest, DropsConnectionsThatMakeNoProgress) {
  folder_.write("web/media/large.mp4", patternBytes(16u << 20, 3));
  start({.idleTimeout = 1s, .headerTimeout = 200ms});
  TestClient silent(port_), kept(port_), trickling(port_), stalled(port_, 64 * 1024);
  ASSERT_TRUE(kept.request(get("/media/a%20b.txt")));
  ASSERT_TRUE(stalled.send(get("/media/large.mp4")));
  const auto started = Clock::now();
  trickling.send("GET / HTTP/1.1\r\n");
  for (int i = 0; i < 40 && trickling.send("X-Slow: 1\r\n") && !trickling.waitClosed(50ms); ++i) {
  }
  EXPECT_TRUE(trickling.waitClosed(50ms)) << "a header trickled byte by byte keeps its connection";
  EXPECT_TRUE(silent.waitClosed(100ms));
  EXPECT_LT(Clock::now() - started, 800ms);
  // Between requests a kept-alive connection waits longer than for its first header.
  EXPECT_FALSE(kept.waitClosed(300ms));
  EXPECT_TRUE(kept.waitClosed(2s));
  std::this_thread::sleep_for(500ms);  // the stalled download's timeout has passed by now
  EXPECT_LT(stalled.drain(3s), 16u << 20);
  // A file that shrinks under a download can no longer meet the announced length: the client
  // must see the end, not a padded or stalled body.
  TestClient cut(port_, 64 * 1024);
  ASSERT_TRUE(cut.send(get("/media/large.mp4")));
  ASSERT_FALSE(cut.readSome(64 * 1024, 2s).empty());
  ASSERT_EQ(::truncate(folder_.file("web/media/large.mp4").c_str(), 1 << 20), 0);
  EXPECT_LT(cut.drain(900ms), 16u << 20);
}

TEST(PlaceToFree, StrangersWaitingTheLongestGiveWayFirst) {
  const auto at = [](int seconds) { return Clock::time_point(std::chrono::seconds(seconds)); };
  // waiting, expected, since (and the places its address holds: 1)
  const HttpPlace download{false, false, at(0)}, awaitedDownload{false, true, at(0)};
  const HttpPlace stranger{true, false, at(5)}, laterStranger{true, false, at(7)};
  const HttpPlace awaited{true, true, at(1)}, laterAwaited{true, true, at(3)};
  struct Case {
    const char* what;
    std::vector<HttpPlace> places;
    bool newcomerExpected;
    std::optional<size_t> freed;
  };
  const Case cases[] = {
      {"the stranger waiting longest", {laterStranger, download, stranger, awaited}, false, 2},
      {"a stranger before an awaited display", {awaited, laterStranger}, true, 1},
      {"an awaited display only for one awaited too", {awaited, download}, false, std::nullopt},
      {"the awaited display waiting longest", {laterAwaited, awaitedDownload, awaited}, true, 2},
      {"never a download", {download, awaitedDownload}, true, std::nullopt},
      {"nothing open", {}, true, std::nullopt},
      {"of the address holding most",
       {stranger, {true, false, at(9), 32}, laterStranger},
       false,
       1},
  };
  for (const auto& [what, places, newcomerExpected, freed] : cases) {
    EXPECT_EQ(placeToFree(places, newcomerExpected), freed) << what;
  }
}

TEST_F(ServerTest, StrangersHalfRequestsGiveWayToAwaitedDisplays) {
  folder_.write("web/media/large.mp4", patternBytes(16u << 20, 3));
  start({.maxConnections = 3, .maxPerClient = 1});
  onIo([&] {
    server_->setExpectedClient(
        [](const std::string& host) { return host == "127.0.0.7" || host == "127.0.0.8"; });
  });
  // A newcomer turned away is answered before it sends a byte.
  const auto busy = [this](const char* from) {
    return TestClient(port_, 0, from).read(false, 2s).value_or(Answer()).result_int() == 503;
  };
  const std::string half = "GET /media/clip.mp4 HTTP/1.1\r\n";
  const auto download = [this](const char* from) {
    auto client = std::make_unique<TestClient>(port_, 64 * 1024, from);
    EXPECT_TRUE(client->send(get("/media/large.mp4", "Connection: close\r\n")));
    EXPECT_FALSE(client->readSome(1024, 2s).empty()) << from;
    return client;
  };
  // Each is admitted before the next connects: the awaited display has waited the longest.
  TestClient awaited(port_, 0, "127.0.0.7");
  ASSERT_TRUE(awaited.send(half));
  const auto first = download("127.0.0.3");
  TestClient stranger(port_, 0, "127.0.0.4");
  ASSERT_TRUE(stranger.send(half));
  const auto second = download("127.0.0.5");
  EXPECT_TRUE(stranger.waitClosed(2s));
  EXPECT_FALSE(awaited.waitClosed(200ms));
  // Left: two downloads and an awaited display's half request, none of which a stranger takes.
  EXPECT_TRUE(busy("127.0.0.6"));
  EXPECT_FALSE(awaited.waitClosed(200ms));
  TestClient display(port_, 0, "127.0.0.8");
  const auto answer = display.request(get("/media/a%20b.txt"));
  EXPECT_TRUE(answer && answer->result_int() == 200);
  EXPECT_TRUE(awaited.waitClosed(2s));
  // One place per address even for an awaited one, though its own waiting place could go.
  EXPECT_TRUE(busy("127.0.0.8"));
  EXPECT_TRUE(busy("127.0.0.3"));
  // Both downloads went on to their end.
  for (auto* client : {first.get(), second.get()}) {
    const size_t rest = client->drain(10s);
    EXPECT_TRUE(rest != SIZE_MAX && rest >= (16u << 20) - 1024) << rest;
  }
}

TEST_F(ServerTest, ListenersCloseAndShutdownLeavesNothingPending) {
  folder_.write("web/media/large.mp4", patternBytes(16u << 20, 3));
  start();
  // It connects while not one descriptor is left: accepting must resume once there is one.
  TestClient idle(port_, 0, "127.0.0.1", false);
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  const int lowestFree = ::dup(0);
  ::close(lowestFree);
  // The sanitizer runtime's memory checks need descriptors of their own.
#if !defined(__SANITIZE_ADDRESS__)
  const rlimit tight{static_cast<rlim_t>(lowestFree), saved.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
#endif
  const bool connected = idle.connect();
  std::this_thread::sleep_for(300ms);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  ASSERT_TRUE(connected);
  ASSERT_TRUE(idle.request(get("/media/a%20b.txt")));
  EXPECT_FALSE(onIo([&] { return server_->listen("127.0.0.1", port_); }));
  EXPECT_FALSE(onIo([&] { return server_->listen("not an address", freePort()); }));
  EXPECT_EQ(onIo([&] { return server_->listenLoopback(); }), viewPort_);
  onIo([&] { server_->closeListeners(); });
  EXPECT_EQ(onIo([&] { return server_->listenerCount(); }), 0u);
  EXPECT_FALSE(TestClient(port_).connected());
  // The connection accepted before stays, and so does the view's listener.
  EXPECT_TRUE(idle.request(get("/media/a%20b.txt")));
  TestClient partial(viewPort_), downloading(viewPort_, 64 * 1024);
  ASSERT_TRUE(partial.request(get(prefix_ + "/index.html")));
  ASSERT_TRUE(partial.send("GET /media/clip.mp4 HTTP/1.1\r\nHost: x\r\n"));
  ASSERT_TRUE(downloading.send(get(prefix_ + "/media/large.mp4")));
  ASSERT_FALSE(downloading.readSome(1024, 2s).empty());

  onIo([&] { server_->shutdown(); });
  EXPECT_FALSE(TestClient(viewPort_).connected());
  EXPECT_FALSE(onIo([&] { return server_->listen("127.0.0.1", freePort()); }));
  EXPECT_EQ(onIo([&] { return server_->listenLoopback(); }), 0);
  EXPECT_TRUE(stop());
  EXPECT_TRUE(idle.waitClosed(2s) && partial.waitClosed(2s));
  EXPECT_LT(downloading.drain(2s), 16u << 20);
}

// Each waits about half a second for its turn, five times the idle timeout, and is not cut.
TEST_F(ServerTest, WaitingForTheCapIsNoLackOfProgress) {
  folder_.write("web/media/f.bin", patternBytes(20000, 1));
  start({.idleTimeout = 100ms, .sendCap = {60000, 0}});
  std::vector<std::future<size_t>> received;
  for (int i = 0; i < 5; ++i) {
    received.push_back(std::async(std::launch::async, [this] {
      TestClient client(port_);
      return client.send(get("/media/f.bin", "Connection: close\r\n")) ? client.drain(5s) : 0;
    }));
  }
  for (auto& bytes : received) EXPECT_GT(bytes.get(), 20000u);
}

// Connections that always want more, driven as the server drives them on a clock of the test's
// own; every seventh grant is half sent and the rest given back.
TEST(SendCap, SharesTheCapFairlyInEveryFiveSecondWindow) {
  // What, the caps (bytes/s), one letter per connection naming its display, each one's bytes/s.
  const std::tuple<const char*, SendCapRates, std::string, double> cases[] = {
      {"40 Mbit/s over 20 displays", {5e6, 0}, "abcdefghijklmnopqrst", 2.5e5},
      {"each display alone, however many connections", {0, 1.25e5}, "aaaab", 1.25e5},
      {"a display held back by its own cap still has its turns", {1e6, 4e5}, "abccc", 1e6 / 3},
      {"the displays' own caps bind before the total", {1e6, 2e5}, "abbb", 2e5},
  };
  for (const auto& [what, rates, hosts, perHost] : cases) {
    SendCap cap(rates);
    std::vector<SendCap::Resume> resume(hosts.size());
    std::map<std::string, double> sent;
    double window[5] = {};
    const auto start = Clock::time_point(1h);
    auto now = start;
    int grants = 0;
    const auto use = [&](const std::string& host, size_t granted) {
      const size_t half = ++grants % 7 == 0 ? granted / 2 : granted;
      cap.giveBack(host, granted - half, now);
      sent[host] += half;
      window[(now - start) / 5s] += half;
    };
    const auto send = [&](size_t i) {
      const std::string host(1, hosts[i]);
      for (size_t granted; (granted = cap.take(host, 1 << 21, now)) != 0;) use(host, granted);
      cap.wait(host, 1 << 21, resume[i]);
    };
    for (size_t i = 0; i < hosts.size(); ++i) {
      resume[i] = [&, i](size_t granted) { use(std::string(1, hosts[i]), granted), send(i); };
      sent[std::string(1, hosts[i])] = 0;
    }
    for (size_t i = 0; i < hosts.size(); ++i) send(i);
    for (int turns = 0; turns < 1000000 && now - start < 20s; ++turns) {
      now = *cap.nextDue(now);
      for (auto& [next, bytes] : cap.due(now)) next(bytes);
    }
    // The first connection also has the burst that its buckets start with.
    for (const auto& [host, bytes] : sent) EXPECT_NEAR(bytes / 20, perHost, perHost * 0.11) << what;
    const double total = perHost * static_cast<double>(sent.size());
    for (int w = 0; w < 4; ++w) EXPECT_NEAR(window[w] / 5, total, total * 0.03) << what;
  }
}

}  // namespace
