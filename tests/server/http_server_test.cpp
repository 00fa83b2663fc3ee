#include "device/http_server.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <future>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>

#include "server_test_support.h"

namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kFetchResult = "/ISAPI/VideoAdvert/NotifyFetchResult";
constexpr const char* kFetchFirmware = "/ISAPI/System/NotifyFetchFirmware";

// A port that nothing listens on right now.
uint16_t freePort(const char* address = "127.0.0.1") {
  asio::io_context io;
  boost::system::error_code ec;
  const asio::ip::tcp::endpoint endpoint(asio::ip::make_address(address, ec), 0);
  asio::ip::tcp::acceptor probe(io);
  if (!ec) probe.open(endpoint.protocol(), ec);
  if (!ec) probe.bind(endpoint, ec);
  const auto bound = ec ? asio::ip::tcp::endpoint() : probe.local_endpoint(ec);
  return ec ? 0 : bound.port();
}

std::string postRequest(const std::string& target, const std::string& body,
                        const std::string& extra = {}, const std::string& method = "POST") {
  return getRequest(target, "Content-Length: " + std::to_string(body.size()) + "\r\n" + extra,
                    method) +
         body;
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
    tree_.write("outside.txt", "secret");
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

  void setHandler(bool answer) {
    onIo([&] {
      server_->setNotifyHandler([this, answer](const std::string& body, const std::string& peer) {
        std::lock_guard lock(mutex_);
        notifications_.emplace_back(body, peer);
        return answer;
      });
    });
  }

  std::vector<std::pair<std::string, std::string>> notifications() {
    std::lock_guard lock(mutex_);
    return notifications_;
  }

  TempTree tree_;
  const std::string clip_ = patternBytes(100000);
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> guard_;
  std::thread runner_;
  std::unique_ptr<HttpServer> server_;
  uint16_t port_ = 0;
  uint16_t viewPort_ = 0;
  std::string prefix_;
  std::mutex mutex_;
  std::vector<std::pair<std::string, std::string>> notifications_;
};

TEST_F(ServerTest, ServesFilesOnAKeptAliveConnection) {
  start();
  TestClient client(port_);
  // Pipelined: answers come in order, and the HEAD answer carries no body bytes (the answers
  // after it would not parse otherwise).
  ASSERT_TRUE(client.send(getRequest("/media/clip.mp4", {}, "HEAD") +
                          getRequest("/media/clip.mp4") + getRequest("/media/a%20b.txt")));
  const auto head = client.read(true);
  const auto clip = client.read();
  const auto spaced = client.read();
  ASSERT_TRUE(head && clip && spaced);
  EXPECT_EQ(head->header("content-length"), std::to_string(clip_.size()));
  EXPECT_EQ(clip->body, clip_);
  EXPECT_EQ(clip->header("content-type"), "video/mp4");
  EXPECT_FALSE(clip->header("etag").empty());
  EXPECT_TRUE(clip->keepAlive);
  EXPECT_EQ(spaced->body, "spaced");
}

TEST_F(ServerTest, EachListenerServesItsOwnAudience) {
  start();
  setHandler(true);
  EXPECT_TRUE(std::regex_match(prefix_, std::regex("/[0-9a-f]{32}")));
  const std::string size = std::to_string(clip_.size());
  struct Case {
    bool view;
    std::string request;
    unsigned status;
    std::string contentRange;
    std::optional<std::string> body;
  };
  const Case cases[] = {
      {false, getRequest("/media/clip.mp4", "Range: bytes=10-19\r\n"), 206, "bytes 10-19/" + size,
       clip_.substr(10, 10)},
      {false, getRequest("/media/clip.mp4", "Range: bytes=-7\r\n"), 206,
       "bytes 99993-99999/" + size, clip_.substr(99993)},
      {false,
       getRequest("/media/clip.mp4", "Range: bytes=100000-\r\n"),
       416,
       "bytes */" + size,
       {}},
      {false, getRequest("/media/clip.mp4?version=2"), 200, "", clip_},
      {false, getRequest("/"), 404, "", {}},
      {false, getRequest("/media/"), 404, "", {}},
      {false, getRequest("/conf/list.json"), 404, "", {}},
      {false, getRequest("/index.html"), 404, "", {}},
      {false, getRequest("/media/..%2f..%2foutside.txt"), 400, "", {}},
      {false, getRequest("/media/clip.mp4", {}, "DELETE"), 405, "", {}},
      {true, getRequest(prefix_ + "/index.html"), 200, "", "<h1>Quillora</h1>"},
      {true, getRequest(prefix_ + "/media/a%20b.txt"), 200, "", "spaced"},
      {true, getRequest("/index.html"), 404, "", {}},
      {true, getRequest(prefix_ + "index.html"), 404, "", {}},
      {true, getRequest("/" + std::string(32, 'a') + "/index.html"), 404, "", {}},
      {true, getRequest(prefix_ + "/conf/list.json"), 404, "", {}},
      {true, getRequest(prefix_ + "/"), 404, "", {}},
      {true, getRequest(kFetchResult), 404, "", {}},
      {true, getRequest(prefix_ + kFetchResult), 404, "", {}},
  };
  TestClient lan(port_);
  TestClient view(viewPort_);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);
    const auto answer = (c.view ? view : lan).request(c.request);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, c.status);
    EXPECT_EQ(answer->header("content-range"), c.contentRange);
    if (c.body) {
      EXPECT_EQ(answer->body, *c.body);
    }
  }
  EXPECT_TRUE(notifications().empty());
}

TEST_F(ServerTest, RefusesMalformedAndOversizedRequests) {
  start();
  struct Case {
    std::string request;
    unsigned status;
  };
  const Case cases[] = {
      {"GARBAGE\r\n\r\n", 400},
      {getRequest("/", "X-Big: " + std::string(17 * 1024, 'x') + "\r\n"), 431},
      {"GET / HTTP/1.1\r\nContent-Length: nope\r\n\r\n", 400},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    TestClient client(port_);
    const auto answer = client.request(c.request);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, c.status);
    EXPECT_EQ(answer->header("connection"), "close");
    EXPECT_TRUE(client.waitClosed(2s));
  }
}

TEST_F(ServerTest, AnswersNotificationsWithAnEmptyOk) {
  start();
  TestClient unset(port_);
  EXPECT_EQ(unset.request(postRequest(kFetchResult, "<x/>"))->status, 404u);
  setHandler(true);
  TestClient client(port_);
  struct Case {
    std::string request;
    std::string body;
  };
  const Case cases[] = {
      {postRequest(kFetchResult, "<NotifyFetchResult/>"), "<NotifyFetchResult/>"},
      {postRequest(std::string(kFetchFirmware) + "?ID=7", "<NotifyFetchFirmware/>", {}, "PUT"),
       "<NotifyFetchFirmware/>"},
      {getRequest(kFetchResult), ""},
      {getRequest(kFetchResult, "Transfer-Encoding: chunked\r\n") + "3\r\nabc\r\n0\r\n\r\n", "abc"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);
    const auto answer = client.request(c.request);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200u);
    EXPECT_EQ(answer->header("content-length"), "0");
    EXPECT_TRUE(answer->keepAlive);
  }
  const auto received = notifications();
  ASSERT_EQ(received.size(), std::size(cases));
  const std::string peer = "127.0.0.1:" + std::to_string(client.localPort());
  for (size_t i = 0; i < received.size(); ++i) {
    EXPECT_EQ(received[i].first, cases[i].body);
    EXPECT_EQ(received[i].second, peer);
  }
  // Declined by the handler: a file request like any other.
  setHandler(false);
  EXPECT_EQ(client.request(postRequest(kFetchFirmware, "<y/>"))->status, 404u);
  EXPECT_EQ(notifications().size(), std::size(cases) + 1);
}

TEST_F(ServerTest, LimitsNotificationBodies) {
  start();
  setHandler(true);
  const std::string big(64 * 1024 + 1, 'x');
  const std::pair<std::string, unsigned> cases[] = {
      {postRequest(kFetchResult, big), 413},
      {getRequest(kFetchResult, "Transfer-Encoding: chunked\r\n", "POST") + "10001\r\n" + big +
           "\r\n0\r\n\r\n",
       413},
      {postRequest(kFetchResult, big.substr(1)), 200},
  };
  for (const auto& [request, status] : cases) {
    SCOPED_TRACE(status);
    TestClient client(port_);
    const auto answer = client.request(request);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, status);
  }
  EXPECT_EQ(notifications().size(), 1u);
}

TEST_F(ServerTest, AnswersExpectContinue) {
  start();
  setHandler(true);
  TestClient client(port_);
  const std::string body(2000, 'n');
  ASSERT_TRUE(client.send(
      getRequest(kFetchResult, "Expect: 100-continue\r\nContent-Length: 2000\r\n", "POST")));
  const auto interim = client.read(false, 2s);
  ASSERT_TRUE(interim);
  EXPECT_EQ(interim->status, 100u);
  const auto final = client.request(body);
  ASSERT_TRUE(final);
  EXPECT_EQ(final->status, 200u);
  ASSERT_EQ(notifications().size(), 1u);
  EXPECT_EQ(notifications()[0].first, body);

  // A body that would be refused is not asked for.
  TestClient refused(port_);
  ASSERT_TRUE(refused.send(getRequest(
      "/media/clip.mp4", "Expect: 100-continue\r\nContent-Length: 1000000\r\n", "POST")));
  const auto answer = refused.read(false, 2s);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 405u);
  EXPECT_TRUE(refused.waitClosed(3s));
}

TEST_F(ServerTest, HandlerFailureIsNotReportedAsSuccess) {
  start();
  onIo([&] {
    server_->setNotifyHandler([](const std::string&, const std::string&) -> bool {
      throw std::runtime_error("malformed notification");
    });
  });
  TestClient client(port_);
  const auto answer = client.request(postRequest(kFetchResult, "<broken"));
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 500u);
}

TEST_F(ServerTest, ServesLargeFilesToConcurrentClients) {
  const std::string large = patternBytes(50u << 20, 7);
  tree_.write("web/media/large.mp4", large);
  start();
  constexpr size_t kOffset = 12345678;
  std::vector<std::optional<HttpAnswer>> answers(4);
  std::vector<std::thread> clients;
  for (size_t i = 0; i < answers.size(); ++i) {
    clients.emplace_back([&, i] {
      // The first client resumes in the middle of the file.
      const std::string range = i == 0 ? "Range: bytes=" + std::to_string(kOffset) + "-\r\n" : "";
      TestClient client(port_);
      if (client.send(getRequest("/media/large.mp4", range))) {
        answers[i] = client.read(false, 60s, std::string_view(large).substr(i == 0 ? kOffset : 0));
      }
    });
  }
  for (auto& thread : clients) thread.join();
  for (size_t i = 0; i < answers.size(); ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(answers[i]);
    EXPECT_EQ(answers[i]->status, i == 0 ? 206u : 200u);
    EXPECT_TRUE(answers[i]->bodyMatches);
  }
}

TEST_F(ServerTest, SlowButSteadyReaderIsNotCut) {
  const std::string large = patternBytes(16u << 20, 3);
  tree_.write("web/media/large.mp4", large);
  start({.idleTimeout = 300ms});
  TestClient client(port_, 64 * 1024);
  ASSERT_TRUE(client.send(getRequest("/media/large.mp4")));
  const auto started = Clock::now();
  std::string raw;
  raw.reserve(large.size() + 4096);  // growing it would stall this reader itself
  size_t expected = 0;
  while (expected == 0 || raw.size() < expected) {
    const std::string more = client.readSome(128 * 1024, 2s);
    if (more.empty()) break;
    raw += more;
    const auto end = raw.find("\r\n\r\n");
    if (expected == 0 && end != std::string::npos) expected = end + 4 + large.size();
    std::this_thread::sleep_for(10ms);
  }
  // The download lasted several timeouts and still arrived whole.
  EXPECT_GT(Clock::now() - started, 900ms);
  ASSERT_EQ(raw.size(), expected);
  EXPECT_TRUE(raw.compare(raw.size() - large.size(), large.size(), large) == 0);
}

TEST_F(ServerTest, DropsConnectionsThatMakeNoProgress) {
  tree_.write("web/media/large.mp4", patternBytes(16u << 20, 3));
  start({.idleTimeout = 200ms});

  TestClient idle(port_);
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
  EXPECT_LT(Clock::now() - started, 1500ms);
  EXPECT_TRUE(idle.waitClosed(2s));

  std::this_thread::sleep_for(600ms);
  size_t received = 0;
  EXPECT_TRUE(stalled.waitClosed(3s, &received));
  EXPECT_LT(received, 16u << 20);
}

TEST_F(ServerTest, FirstHeaderMustComeSoonerThanTheNext) {
  start({.idleTimeout = 5s, .headerTimeout = 200ms});
  TestClient silent(port_);
  TestClient kept(port_);
  ASSERT_TRUE(kept.request(getRequest("/media/a%20b.txt")));
  const auto started = Clock::now();
  EXPECT_TRUE(silent.waitClosed(2s));
  EXPECT_LT(Clock::now() - started, 1500ms);
  EXPECT_FALSE(kept.waitClosed(600ms));
  EXPECT_TRUE(kept.request(getRequest("/media/a%20b.txt")));
}

TEST_F(ServerTest, OneMachineCannotTakeEveryPlace) {
  start({.maxConnections = 4, .maxPerClient = 2});
  const auto busy = [](const std::optional<HttpAnswer>& answer) {
    return answer && answer->status == 503;
  };
  // Each waits for its answer, so the server admits them in this order.
  TestClient first(port_, 0, "127.0.0.1", "127.0.0.2");
  TestClient second(port_, 0, "127.0.0.1", "127.0.0.2");
  ASSERT_TRUE(first.request(getRequest("/media/a%20b.txt")));
  ASSERT_TRUE(second.request(getRequest("/media/a%20b.txt")));
  EXPECT_TRUE(busy(TestClient(port_, 0, "127.0.0.1", "127.0.0.2").read(false, 2s)));

  // Connections in the middle of a request keep their places; idle ones give theirs up, the
  // longest idle first.
  std::vector<std::unique_ptr<TestClient>> working;
  for (const char* from : {"127.0.0.3", "127.0.0.3", "127.0.0.4", "127.0.0.5"}) {
    working.push_back(std::make_unique<TestClient>(port_, 0, "127.0.0.1", from));
    const bool answered = working.back()->request(getRequest("/media/a%20b.txt")).has_value();
    ASSERT_TRUE(answered) << from;
    ASSERT_TRUE(working.back()->send("GET /media/clip.mp4 HTTP/1.1\r\n"));
    if (working.size() == 3) {
      EXPECT_TRUE(first.waitClosed(2s));
    }
  }
  EXPECT_TRUE(second.waitClosed(2s));
  EXPECT_TRUE(busy(TestClient(port_, 0, "127.0.0.1", "127.0.0.6").read(false, 2s)));

  // A place frees up when a connection ends.
  working.front().reset();
  std::optional<HttpAnswer> admitted;
  for (int i = 0; i < 100 && !(admitted && admitted->status == 200); ++i) {
    std::this_thread::sleep_for(10ms);
    admitted =
        TestClient(port_, 0, "127.0.0.1", "127.0.0.3").request(getRequest("/media/a%20b.txt"));
  }
  ASSERT_TRUE(admitted);
  EXPECT_EQ(admitted->status, 200u);
}

TEST_F(ServerTest, FileCutShortDuringADownloadEndsTheConnection) {
  tree_.write("web/media/large.mp4", patternBytes(16u << 20, 5));
  start();
  TestClient client(port_, 64 * 1024);
  ASSERT_TRUE(client.send(getRequest("/media/large.mp4")));
  ASSERT_FALSE(client.readSome(64 * 1024, 2s).empty());
  ASSERT_EQ(::truncate(tree_.file("web/media/large.mp4").c_str(), 1 << 20), 0);
  // The announced length can no longer be met: the client must see the end, not a padded or
  // stalled body.
  size_t received = 0;
  EXPECT_TRUE(client.waitClosed(5s, &received));
  EXPECT_LT(received, 16u << 20);
  EXPECT_TRUE(TestClient(port_).request(getRequest("/media/a%20b.txt")));
}

TEST_F(ServerTest, AcceptingResumesAfterRunningOutOfDescriptors) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer runtime's memory checks need descriptors of their own";
#endif
  start();
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  const int lowestFree = ::dup(0);
  ASSERT_GE(lowestFree, 0);
  ::close(lowestFree);
  // Room for exactly one more descriptor: the client's socket. The server cannot accept it.
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(lowestFree) + 1;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  TestClient client(port_);
  std::this_thread::sleep_for(300ms);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  ASSERT_TRUE(client.connected());
  const auto answer = client.request(getRequest("/media/a%20b.txt"));
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 200u);
}

TEST_F(ServerTest, ListensOnGivenAddressesOnly) {
  start();
  EXPECT_FALSE(onIo([&] { return server_->listen("127.0.0.1", port_); }));
  EXPECT_FALSE(onIo([&] { return server_->listen("not an address", freePort()); }));
  EXPECT_FALSE(onIo([&] { return server_->listen("192.0.2.1", freePort()); }));
  EXPECT_EQ(onIo([&] { return server_->listenerCount(); }), 1u);
  EXPECT_EQ(onIo([&] { return server_->listenLoopback(); }), viewPort_);

  TestClient lan(port_);
  ASSERT_TRUE(lan.request(getRequest("/media/a%20b.txt")));
  onIo([&] { server_->closeListeners(); });
  EXPECT_EQ(onIo([&] { return server_->listenerCount(); }), 0u);
  EXPECT_FALSE(TestClient(port_).connected());
  // The connection accepted before stays, and so does the view's listener.
  EXPECT_TRUE(lan.request(getRequest("/media/a%20b.txt")));
  EXPECT_TRUE(TestClient(viewPort_).request(getRequest(prefix_ + "/index.html")));
}

TEST_F(ServerTest, ReportsIpv6PeersInBrackets) {
  start();
  setHandler(true);
  const uint16_t port = freePort("::1");
  if (port == 0 || !onIo([&] { return server_->listen("::1", port); })) {
    GTEST_SKIP() << "no IPv6 loopback here";
  }
  TestClient client(port, 0, "::1");
  ASSERT_TRUE(client.request(postRequest(kFetchResult, "<v6/>")));
  ASSERT_EQ(notifications().size(), 1u);
  EXPECT_EQ(notifications()[0].second, "[::1]:" + std::to_string(client.localPort()));
}

TEST_F(ServerTest, ShutdownClosesOpenConnectionsAndLeavesNothingPending) {
  tree_.write("web/media/large.mp4", patternBytes(16u << 20, 3));
  start();
  setHandler(true);
  TestClient idle(port_);
  ASSERT_TRUE(idle.request(getRequest("/media/a%20b.txt")));
  TestClient partial(port_);
  ASSERT_TRUE(partial.send("GET /media/clip.mp4 HTTP/1.1\r\nHost: x\r\n"));
  TestClient downloading(port_, 64 * 1024);
  ASSERT_TRUE(downloading.send(getRequest("/media/large.mp4")));
  ASSERT_FALSE(downloading.readSome(1024, 2s).empty());

  onIo([&] { server_->shutdown(); });
  EXPECT_FALSE(TestClient(port_).connected());
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
