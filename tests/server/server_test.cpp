// The host's HTTP server: the folder rules on their own, and a real server on loopback driven
// from its own thread.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
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

namespace {

constexpr const char* kFetchResult = "/ISAPI/VideoAdvert/NotifyFetchResult";
constexpr const char* kFetchFirmware = "/ISAPI/System/NotifyFetchFirmware";

// A fresh folder under /tmp, removed with everything in it.
struct TempTree {
  TempTree() : path(fs::temp_directory_path() / "quillora-server-XXXXXX") {
    if (!::mkdtemp(path.data())) path.clear();
  }
  ~TempTree() { fs::remove_all(path); }
  std::string file(const std::string& relative) const { return path + "/" + relative; }
  void write(const std::string& relative, const std::string& content) const {
    fs::create_directories(fs::path(file(relative)).parent_path());
    std::ofstream(file(relative), std::ios::binary) << content;
  }
  std::string path;
};

// Deterministic bytes that differ at every offset, so a misplaced block shows.
std::string patternBytes(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  for (uint32_t i = 0, state = seed; i < size; ++i) {
    state = state * 1664525u + 1013904223u;
    bytes[i] = static_cast<char>(state >> 24);
  }
  return bytes;
}

std::string getRequest(const std::string& target, const std::string& extra = {},
                       const std::string& method = "GET") {
  return method + " " + target + " HTTP/1.1\r\nHost: test\r\n" + extra + "\r\n";
}

std::string postRequest(const std::string& target, const std::string& body,
                        const std::string& method = "POST") {
  return getRequest(target, "Content-Length: " + std::to_string(body.size()) + "\r\n", method) +
         body;
}

struct HttpAnswer {
  unsigned status = 0;
  std::string body;
  bool keepAlive = false;
  http::fields headers;
  std::string header(const char* name) const {
    const auto value = headers[name];
    return {value.data(), value.size()};
  }
};

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
  std::optional<HttpAnswer> read(bool toHead = false, std::chrono::milliseconds timeout = 10s) {
    http::response_parser<http::string_body> parser;
    parser.skip(toHead);
    parser.body_limit(boost::none);
    error_code failure = asio::error::timed_out;
    http::async_read(socket_, buffer_, parser, [&](error_code ec, size_t) { failure = ec; });
    if (!run(timeout) || failure) return std::nullopt;
    auto& message = parser.get();
    return HttpAnswer{message.result_int(), message.body(), message.keep_alive(), message.base()};
  }
  std::optional<HttpAnswer> request(const std::string& bytes) {
    return send(bytes) ? read() : std::nullopt;
  }
  // True when the server ends the connection before the deadline; what still arrives (the
  // rest of an answer) is counted in `drained`.
  bool waitClosed(std::chrono::milliseconds timeout, size_t* drained = nullptr) {
    const auto deadline = Clock::now() + timeout;
    size_t total = 0;
    for (std::string more = "-"; !more.empty() && !closed_;) {
      more =
          readSome(64 * 1024,
                   std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
      total += more.size();
    }
    if (drained) *drained = total;
    return closed_;
  }

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
  return asio::ip::tcp::acceptor(io, {asio::ip::make_address("127.0.0.1"), 0})
      .local_endpoint()
      .port();
}

std::string header(const Reply& reply, const std::string& name) {
  for (const auto& [key, value] : reply.headers) {
    if (key == name) return value;
  }
  return {};
}

// base/web is served; base/secret.txt must stay unreachable.
class FolderTest : public ::testing::Test {
 protected:
  FolderTest() {
    base_.write("secret.txt", "secret");
    base_.write("web/media/a b.mp4", "movie-bytes");
    base_.write("web/firmware/fw.bin", "firmware");
    base_.write("web/index.html", "page");
    base_.write("web/js/page.js", "js");
    base_.write("web/conf/list.html", "<script>x</script>");
    fs::create_symlink("..", base_.file("web/escape"));
    fs::create_symlink("../../secret.txt", base_.file("web/media/link.txt"));
    fs::create_symlink("../firmware/fw.bin", base_.file("web/media/inner.bin"));
    fs::create_symlink("../conf/list.html", base_.file("web/media/list.html"));
  }
  Reply serve(const std::string& target, Request request = {}) const {
    request.target = target;
    return folder::FolderServer(base_.file("web")).serve(request);
  }

  TempTree base_;
};

TEST_F(FolderTest, EachAudienceSeesItsOwnAreasOnly) {
  const std::string view = "/0123456789abcdef0123456789abcdef";
  const std::tuple<std::string, std::string, unsigned> cases[] = {
      // Target, view prefix (none on the LAN), status
      {"/media/a%20b.mp4", "", 200},
      {"/media//a%20b.mp4?name=../../secret.txt", "", 200},
      {"/firmware/fw.bin", "", 200},
      {"/media/inner.bin", "", 200},
      {"/", "", 404},
      {"/media", "", 404},
      {"/media/", "", 404},
      {"/media/a%20b.mp4/", "", 404},
      {"/conf/list.html", "", 404},
      {"/media/list.html", "", 404},
      {"/index.html", "", 404},
      // An absolute path after a double slash must stay below the root.
      {"//etc/passwd", "", 404},
      {"/media/a%20b.mp4", view, 404},
      {view + "/index.html", view, 200},
      {view + "/js/page.js", view, 200},
      {view + "/media/a%20b.mp4", view, 200},
      {view + "/firmware/fw.bin", view, 404},
      {view + "/conf/list.html", view, 404},
      {view + "/media/list.html", view, 404},
      {view + "/", view, 404},
      {view, view, 404},
      {view + "index.html", view, 404},
      {"/index.html", view, 404},
      // Paths that could leave the folder are refused even where nothing exists.
      {view + "/../index.html", view, 400},
      {"/media/../firmware/fw.bin", "", 400},
      {"/%2e%2e/secret.txt", "", 400},
      {"/media/%2E%2e/firmware/fw.bin", "", 400},
      {"/media/..%2f..%2fsecret.txt", "", 400},
      {"/./media", "", 400},
      {"/media/a%20b.mp4%00.txt", "", 400},
      {"/media\\..\\..\\secret.txt", "", 400},
      {"/media/%5c..%5csecret.txt", "", 400},
      {"/media/%zz", "", 400},
      {"/media/a%2", "", 400},
      {"http://host/media/a%20b.mp4", "", 400},
      {"", "", 400},
      // Symlinks that resolve outside the root.
      {"/escape/secret.txt", "", 400},
      {"/media/link.txt", "", 400},
  };
  for (const auto& [target, prefix, status] : cases) {
    SCOPED_TRACE(target + " below " + prefix);
    EXPECT_EQ(serve(target, {.viewPrefix = prefix}).status, status);
  }
  EXPECT_EQ(serve("/media/a%20b.mp4", {.method = Request::Method::Other}).status, 405u);
  EXPECT_EQ(folder::contentType("/media/A.MP4"), "video/mp4");
  EXPECT_EQ(folder::contentType("/dir.mp4/noextension"), "application/octet-stream");
  EXPECT_EQ(folder::httpDate(784111777), "Sun, 06 Nov 1994 08:49:37 GMT");
}

TEST_F(FolderTest, HonoursConditionalAndRangeHeaders) {
  const Reply plain = serve("/firmware/fw.bin");
  const std::string etag = header(plain, "ETag");
  const std::string modified = header(plain, "Last-Modified");
  const std::string etagList = "\"x\", W/" + etag;
  const std::string old = "Thu, 01 Jan 1970 00:00:00 GMT";
  const std::tuple<Request, unsigned, std::string, std::string> cases[] = {
      // Request, status, body, Content-Range
      {{.ifNoneMatch = etag}, 304, "", ""},
      {{.ifNoneMatch = etagList}, 304, "", ""},
      {{.ifNoneMatch = "*"}, 304, "", ""},
      {{.ifNoneMatch = "\"other\""}, 200, "firmware", ""},
      {{.ifModifiedSince = modified}, 304, "", ""},
      {{.ifModifiedSince = old}, 200, "firmware", ""},
      {{.ifNoneMatch = "\"other\"", .ifModifiedSince = modified}, 200, "firmware", ""},
      {{.range = "bytes=0-3", .ifRange = etag}, 206, "firm", "bytes 0-3/8"},
      {{.range = "bytes=4-", .ifRange = modified}, 206, "ware", "bytes 4-7/8"},
      {{.range = "bytes=0-3", .ifRange = "\"old\""}, 200, "firmware", ""},
      {{.range = "bytes=6-5000"}, 206, "re", "bytes 6-7/8"},
      {{.range = "bytes=-5000"}, 206, "firmware", "bytes 0-7/8"},
      {{.range = "BYTES = 1-1"}, 206, "i", "bytes 1-1/8"},
      {{.range = "bytes=8-"}, 416, "", "bytes */8"},
      {{.range = "bytes=-0"}, 416, "", "bytes */8"},
      {{.range = "bytes=18446744073709551615-"}, 416, "", "bytes */8"},
      // Forms that are not served are answered with the whole file.
      {{.range = "bytes=5-1"}, 200, "firmware", ""},
      {{.range = "bytes=0-1,5-6"}, 200, "firmware", ""},
      {{.range = "items=0-1"}, 200, "firmware", ""},
      {{.range = "bytes=1-x"}, 200, "firmware", ""},
      {{.range = "bytes=+1-2"}, 200, "firmware", ""},
      {{.range = "bytes=99999999999999999999999-"}, 200, "firmware", ""},
      {{.range = "bytes=0-99999999999999999999999"}, 200, "firmware", ""},
  };
  for (const auto& [request, status, body, range] : cases) {
    SCOPED_TRACE(request.ifNoneMatch.empty() ? request.range : request.ifNoneMatch);
    const Reply reply = serve("/firmware/fw.bin", request);
    EXPECT_EQ(reply.status, status);
    EXPECT_EQ(reply.hasBody(), status != 304);
    std::string bytes(reply.length, '\0');
    if (reply.file.valid()) ::pread(reply.file.fd(), bytes.data(), reply.length, reply.offset);
    EXPECT_EQ(reply.file.valid() ? bytes : "", body);
    EXPECT_EQ(header(reply, "Content-Range"), range);
  }
  EXPECT_EQ(folder::parseRange("bytes=-5", 0).kind, folder::ByteRange::Kind::Unsatisfiable);
}

TEST(FolderServer, RootMadeLaterIsServedOnceItExists) {
  TempTree base;
  folder::FolderServer server(base.file("web"));
  EXPECT_EQ(server.serve({.target = "/media/a.txt"}).status, 404u);
  base.write("web/media/a.txt", "late");
  EXPECT_EQ(server.serve({.target = "/media/a.txt"}).status, 200u);
}

// The server on an io_context run by its own thread, as the service runs it: port_ is a LAN
// listener on 127.0.0.1, viewPort_ the view's listener.
class ServerTest : public ::testing::Test {
 protected:
  ServerTest() : guard_(asio::make_work_guard(io_)), runner_([this] { io_.run(); }) {
    tree_.write("web/media/clip.mp4", clip_);
    tree_.write("web/media/a b.txt", "spaced");
    tree_.write("web/index.html", "<h1>Quillora</h1>");
    tree_.write("web/conf/list.json", "{}");
  }
  ~ServerTest() override { stop(); }

  void start(HttpServer::Limits limits = {}) {
    const uint16_t lan = freePort();
    onIo([&] {
      server_ = std::make_unique<HttpServer>(io_, tree_.file("web"), limits);
      port_ = server_->listen("127.0.0.1", lan) ? lan : 0;
      viewPort_ = server_->listenLoopback();
      prefix_ = server_->viewPrefix();
    });
    ASSERT_NE(port_, 0);
    ASSERT_NE(viewPort_, 0);
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

  void setHandler() {
    onIo([&] {
      server_->setNotifyHandler([this](const std::string& body, const std::string& peer) {
        notifications_.emplace_back(body, peer);
        return true;
      });
    });
  }
  // Kept by the io thread.
  std::vector<std::pair<std::string, std::string>> notifications() {
    return onIo([this] { return notifications_; });
  }

  TempTree tree_;
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

TEST_F(ServerTest, EachListenerServesItsOwnAudience) {
  start();
  setHandler();
  EXPECT_TRUE(std::regex_match(prefix_, std::regex("/[0-9a-f]{32}")));
  const std::string size = "/" + std::to_string(clip_.size());
  const std::tuple<bool, std::string, unsigned, std::string, std::optional<std::string>> cases[] = {
      // On the view's listener?, request, status, Content-Range, body
      {false, getRequest("/media/clip.mp4", "Range: bytes=10-19\r\n"), 206, "bytes 10-19" + size,
       clip_.substr(10, 10)},
      {false, getRequest("/media/clip.mp4", "Range: bytes=-7\r\n"), 206, "bytes 99993-99999" + size,
       clip_.substr(99993)},
      {false, getRequest("/media/clip.mp4", "Range: bytes=100000-\r\n"), 416, "bytes *" + size, {}},
      {false, getRequest("/media/clip.mp4?version=2"), 200, "", clip_},
      {false, getRequest("/"), 404, "", {}},
      {false, getRequest("/conf/list.json"), 404, "", {}},
      {false, getRequest("/media/..%2f..%2foutside.txt"), 400, "", {}},
      {false, getRequest("/media/clip.mp4", {}, "DELETE"), 405, "", {}},
      {true, getRequest(prefix_ + "/index.html"), 200, "", "<h1>Quillora</h1>"},
      {true, getRequest(prefix_ + "/media/a%20b.txt"), 200, "", "spaced"},
      {true, getRequest("/index.html"), 404, "", {}},
      {true, getRequest("/" + std::string(32, 'a') + "/index.html"), 404, "", {}},
      {true, getRequest(prefix_ + "/conf/list.json"), 404, "", {}},
      {true, getRequest(kFetchResult), 404, "", {}},
      {true, getRequest(prefix_ + kFetchResult), 404, "", {}},
  };
  TestClient lan(port_);
  TestClient view(viewPort_);
  for (const auto& [onView, request, status, range, body] : cases) {
    SCOPED_TRACE(request);
    const auto answer = (onView ? view : lan).request(request);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, status);
    EXPECT_EQ(answer->header("content-range"), range);
    EXPECT_TRUE(!body || answer->body == *body);
  }
  EXPECT_TRUE(notifications().empty());
  // Pipelined: answers come in order, and the HEAD answer carries no body bytes.
  ASSERT_TRUE(lan.send(getRequest("/media/clip.mp4", {}, "HEAD") + getRequest("/media/a%20b.txt")));
  const auto head = lan.read(true);
  const auto spaced = lan.read();
  ASSERT_TRUE(head && spaced);
  EXPECT_EQ(head->header("content-length"), std::to_string(clip_.size()));
  EXPECT_EQ(spaced->body, "spaced");
}

TEST_F(ServerTest, RefusesMalformedAndOversizedRequests) {
  start();
  const std::pair<std::string, unsigned> cases[] = {
      {"GARBAGE\r\n\r\n", 400},
      {getRequest("/", "X-Big: " + std::string(17 * 1024, 'x') + "\r\n"), 431},
      {"GET / HTTP/1.1\r\nContent-Length: nope\r\n\r\n", 400},
      // A file request's body is never read: it is answered, then the connection closes.
      {postRequest("/media/clip.mp4", "body"), 405},
  };
  for (const auto& [request, status] : cases) {
    SCOPED_TRACE(status);
    TestClient client(port_);
    const auto answer = client.request(request);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, status);
    EXPECT_FALSE(answer->keepAlive);
    EXPECT_TRUE(client.waitClosed(2s));
  }
}

TEST_F(ServerTest, AnswersNotificationsWithAnEmptyOk) {
  start();
  setHandler();
  const std::string big(64 * 1024 + 1, 'x');
  const std::tuple<std::string, unsigned, std::optional<std::string>> cases[] = {
      // Request, status, body as the handler receives it
      {postRequest(kFetchResult, "<NotifyFetchResult/>"), 200, "<NotifyFetchResult/>"},
      {postRequest(std::string(kFetchFirmware) + "?ID=7", "<fw/>", "PUT"), 200, "<fw/>"},
      {getRequest(kFetchResult), 200, ""},
      {getRequest(kFetchResult, "Transfer-Encoding: chunked\r\n") + "3\r\nabc\r\n0\r\n\r\n", 200,
       "abc"},
      {postRequest(kFetchResult, big.substr(1)), 200, big.substr(1)},
      {postRequest(kFetchResult, big), 413, {}},
      {getRequest(kFetchResult, "Transfer-Encoding: chunked\r\n", "POST") + "10001\r\n" + big +
           "\r\n0\r\n\r\n",
       413,
       {}},
  };
  for (const auto& [request, status, body] : cases) {
    SCOPED_TRACE(request.substr(0, 80));
    const size_t before = notifications().size();
    TestClient client(port_);
    const auto answer = client.request(request);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, status);
    EXPECT_EQ(answer->keepAlive, status == 200);
    const auto received = notifications();
    ASSERT_EQ(received.size(), before + (body ? 1 : 0));
    if (body) {
      EXPECT_EQ(answer->header("content-length"), "0");
      EXPECT_EQ(received.back().first, *body);
      EXPECT_EQ(received.back().second, "127.0.0.1:" + std::to_string(client.localPort()));
    }
  }
  // A body that would be refused is not asked for; one that is taken is.
  TestClient asking(port_);
  ASSERT_TRUE(asking.send(
      getRequest(kFetchResult, "Expect: 100-continue\r\nContent-Length: 3\r\n", "POST")));
  EXPECT_EQ(asking.read(false, 2s)->status, 100u);
  EXPECT_EQ(asking.request("abc")->status, 200u);
  TestClient refused(port_);
  ASSERT_TRUE(refused.send(getRequest(
      "/media/clip.mp4", "Expect: 100-continue\r\nContent-Length: 1000000\r\n", "POST")));
  EXPECT_EQ(refused.read(false, 2s)->status, 405u);
}

TEST_F(ServerTest, ReportsIpv6PeersInBrackets) {
  start();
  setHandler();
  const uint16_t port = freePort();
  if (!onIo([&] { return server_->listen("::1", port); })) GTEST_SKIP() << "no IPv6 loopback";
  TestClient client(port, 0, "::1");
  ASSERT_TRUE(client.request(postRequest(kFetchResult, "<v6/>")));
  EXPECT_EQ(notifications().back().second, "[::1]:" + std::to_string(client.localPort()));
}

TEST_F(ServerTest, NotificationsNotHandledAreNotReportedAsDone) {
  start();
  const auto declining = [](const std::string&, const std::string&) { return false; };
  const auto failing = [](const std::string&, const std::string&) -> bool {
    throw std::runtime_error("malformed notification");
  };
  const std::pair<HttpServer::NotifyHandler, unsigned> cases[] = {
      {nullptr, 404}, {declining, 404}, {failing, 500}};
  for (const auto& [handler, status] : cases) {
    SCOPED_TRACE(status);
    onIo([&] { server_->setNotifyHandler(handler); });
    EXPECT_EQ(TestClient(port_).request(postRequest(kFetchResult, "<x/>"))->status, status);
  }
}

TEST_F(ServerTest, ServesLargeFilesToConcurrentAndSlowClients) {
  const std::string large = patternBytes(24u << 20, 7);
  tree_.write("web/media/large.mp4", large);
  start({.idleTimeout = 300ms});
  constexpr size_t kOffset = 12345678;
  std::vector<std::optional<HttpAnswer>> answers(3);
  std::vector<std::thread> clients;
  for (size_t i = 0; i < answers.size(); ++i) {
    clients.emplace_back([&, i] {
      // The first resumes in the middle of the file; the last reads slowly for several
      // timeouts and must not be cut.
      const std::string range = i == 0 ? "Range: bytes=" + std::to_string(kOffset) + "-\r\n" : "";
      TestClient client(port_, i == 2 ? 64 * 1024 : 0);
      if (!client.send(getRequest("/media/large.mp4", range))) return;
      if (i < 2) {
        answers[i] = client.read(false, 60s);
        return;
      }
      std::string raw;
      raw.reserve(large.size() + 4096);  // growing it would stall this reader itself
      size_t end = std::string::npos;
      for (std::string more; (more = client.readSome(128 * 1024, 2s)).size();) {
        raw += more;
        end = raw.find("\r\n\r\n");
        if (end != std::string::npos && raw.size() >= end + 4 + large.size()) break;
        std::this_thread::sleep_for(10ms);
      }
      if (end == std::string::npos) return;
      answers[i] = HttpAnswer{unsigned(std::stoi(raw.substr(9, 3))), raw.substr(end + 4), true, {}};
    });
  }
  const auto started = Clock::now();
  for (auto& thread : clients) thread.join();
  EXPECT_GT(Clock::now() - started, 900ms);
  for (size_t i = 0; i < answers.size(); ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(answers[i]);
    EXPECT_EQ(answers[i]->status, i == 0 ? 206u : 200u);
    EXPECT_TRUE(answers[i]->body == large.substr(i == 0 ? kOffset : 0));
  }
}

TEST_F(ServerTest, DropsConnectionsThatMakeNoProgress) {
  tree_.write("web/media/large.mp4", patternBytes(16u << 20, 3));
  start({.idleTimeout = 1s, .headerTimeout = 200ms});
  TestClient silent(port_);
  TestClient kept(port_);
  ASSERT_TRUE(kept.request(getRequest("/media/a%20b.txt")));
  TestClient trickling(port_);
  TestClient stalled(port_, 64 * 1024);
  ASSERT_TRUE(stalled.send(getRequest("/media/large.mp4")));

  const auto started = Clock::now();
  bool trickleClosed = false;
  trickling.send("GET / HTTP/1.1\r\n");
  for (int i = 0; i < 40 && !trickleClosed; ++i) {
    trickling.send("X-Slow: 1\r\n");
    trickleClosed = trickling.waitClosed(50ms);
  }
  EXPECT_TRUE(trickleClosed) << "a header trickled byte by byte keeps its connection";
  EXPECT_TRUE(silent.waitClosed(100ms));
  EXPECT_LT(Clock::now() - started, 800ms);
  // Between requests a kept-alive connection waits longer than for its first header.
  EXPECT_FALSE(kept.waitClosed(300ms));
  EXPECT_TRUE(kept.waitClosed(2s));
  std::this_thread::sleep_for(500ms);  // the stalled download's timeout has passed by now
  size_t received = 0;
  EXPECT_TRUE(stalled.waitClosed(3s, &received));
  EXPECT_LT(received, 16u << 20);

  // A file that shrinks under a download can no longer meet the announced length: the client
  // must see the end, not a padded or stalled body.
  TestClient cut(port_, 64 * 1024);
  ASSERT_TRUE(cut.send(getRequest("/media/large.mp4")));
  ASSERT_FALSE(cut.readSome(64 * 1024, 2s).empty());
  ASSERT_EQ(::truncate(tree_.file("web/media/large.mp4").c_str(), 1 << 20), 0);
  EXPECT_TRUE(cut.waitClosed(900ms, &received));
  EXPECT_LT(received, 16u << 20);
}

TEST_F(ServerTest, OneMachineCannotTakeEveryPlace) {
  start({.maxConnections = 4, .maxPerClient = 2});
  const auto busy = [](const std::optional<HttpAnswer>& answer) {
    return answer && answer->status == 503;
  };
  // Each waits for its answer, so the server admits them in this order.
  TestClient first(port_, 0, "127.0.0.2");
  TestClient second(port_, 0, "127.0.0.2");
  ASSERT_TRUE(first.request(getRequest("/media/a%20b.txt")));
  ASSERT_TRUE(second.request(getRequest("/media/a%20b.txt")));
  EXPECT_TRUE(busy(TestClient(port_, 0, "127.0.0.2").read(false, 2s)));

  // Connections in the middle of a request keep their places; idle ones give theirs up, the
  // longest idle first.
  std::vector<std::unique_ptr<TestClient>> working;
  for (const char* from : {"127.0.0.3", "127.0.0.3", "127.0.0.4", "127.0.0.5"}) {
    working.push_back(std::make_unique<TestClient>(port_, 0, from));
    ASSERT_TRUE(working.back()->request(getRequest("/media/a%20b.txt"))) << from;
    ASSERT_TRUE(working.back()->send("GET /media/clip.mp4 HTTP/1.1\r\n"));
    if (working.size() == 3) {
      EXPECT_TRUE(first.waitClosed(2s));
    }
  }
  EXPECT_TRUE(second.waitClosed(2s));
  EXPECT_TRUE(busy(TestClient(port_, 0, "127.0.0.6").read(false, 2s)));

  // A place frees up when a connection ends.
  working.front().reset();
  std::optional<HttpAnswer> admitted;
  for (int i = 0; i < 100 && !(admitted && admitted->status == 200); ++i) {
    std::this_thread::sleep_for(10ms);
    admitted = TestClient(port_, 0, "127.0.0.3").request(getRequest("/media/a%20b.txt"));
  }
  EXPECT_TRUE(admitted && admitted->status == 200);
}

TEST_F(ServerTest, AcceptingResumesAfterRunningOutOfDescriptors) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer runtime's memory checks need descriptors of their own";
#endif
  start();
  TestClient client(port_, 0, "127.0.0.1", false);
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  const int lowestFree = ::dup(0);
  ::close(lowestFree);
  // Not one descriptor left: the server cannot accept the connection.
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(lowestFree);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  const bool connected = client.connect();
  std::this_thread::sleep_for(300ms);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  ASSERT_TRUE(connected);
  const auto answer = client.request(getRequest("/media/a%20b.txt"));
  EXPECT_TRUE(answer && answer->status == 200);
}

TEST_F(ServerTest, ListenersCloseAndShutdownLeavesNothingPending) {
  tree_.write("web/media/large.mp4", patternBytes(16u << 20, 3));
  start();
  setHandler();
  EXPECT_FALSE(onIo([&] { return server_->listen("127.0.0.1", port_); }));
  EXPECT_FALSE(onIo([&] { return server_->listen("not an address", freePort()); }));
  EXPECT_FALSE(onIo([&] { return server_->listen("192.0.2.1", freePort()); }));
  EXPECT_EQ(onIo([&] { return server_->listenLoopback(); }), viewPort_);
  TestClient idle(port_);
  ASSERT_TRUE(idle.request(getRequest("/media/a%20b.txt")));
  onIo([&] { server_->closeListeners(); });
  EXPECT_EQ(onIo([&] { return server_->listenerCount(); }), 0u);
  EXPECT_FALSE(TestClient(port_).connected());
  // The connection accepted before stays, and so does the view's listener.
  EXPECT_TRUE(idle.request(getRequest("/media/a%20b.txt")));
  TestClient partial(viewPort_);
  ASSERT_TRUE(partial.request(getRequest(prefix_ + "/index.html")));
  ASSERT_TRUE(partial.send("GET /media/clip.mp4 HTTP/1.1\r\nHost: x\r\n"));
  TestClient downloading(viewPort_, 64 * 1024);
  ASSERT_TRUE(downloading.send(getRequest(prefix_ + "/media/large.mp4")));
  ASSERT_FALSE(downloading.readSome(1024, 2s).empty());

  onIo([&] { server_->shutdown(); });
  EXPECT_FALSE(TestClient(viewPort_).connected());
  EXPECT_FALSE(onIo([&] { return server_->listen("127.0.0.1", freePort()); }));
  EXPECT_EQ(onIo([&] { return server_->listenLoopback(); }), 0);
  EXPECT_TRUE(stop());
  EXPECT_TRUE(idle.waitClosed(2s));
  EXPECT_TRUE(partial.waitClosed(2s));
  size_t received = 0;
  EXPECT_TRUE(downloading.waitClosed(2s, &received));
  EXPECT_LT(received, 16u << 20);
}

}  // namespace
