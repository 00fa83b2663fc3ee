#include "device/http_service.h"

#include <gtest/gtest.h>

#include <boost/asio.hpp>
#include <condition_variable>
#include <thread>

#include "app/app_context.h"
#include "device/device_replies.h"
#include "unit/fake_display.h"
#include "unit/test_support.h"

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using nlohmann::json;

namespace {

uint16_t freePort() {
  asio::io_context io;
  tcp::acceptor probe(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  return probe.local_endpoint().port();
}

// Page messages as they arrive from the poll thread.
class PageLog {
 public:
  void add(std::string text) {
    std::lock_guard lock(mutex_);
    lines_.push_back(json::parse(text));
    changed_.notify_all();
  }
  // Waits until `count` messages arrived (or 5 s passed) and returns them.
  std::vector<json> await(size_t count) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(5), [&] { return lines_.size() >= count; });
    return lines_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<json> lines_;
};

class HttpServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    context = makeContext(dir);
    ASSERT_TRUE(context);
    context->page.connect([this](std::string text) { page.add(std::move(text)); });
    service = std::make_unique<HttpService>();
    service->startPolling();
  }
  void addTask(const std::string& ip) {
    std::lock_guard lock(context->deviceTasksMutex);
    context->deviceTasks.push_back(
        {{"user", "admin"}, {"pass", "pw"}, {"id", ""}, {"ip", ip}, {"status", ""}});
  }

  TempAppFolder dir;
  std::unique_ptr<AppContext> context;
  PageLog page;
  std::unique_ptr<HttpService> service;
  asio::io_context displayIo;
};

TEST_F(HttpServiceTest, RefusesDevicesWithoutAListener) {
  EXPECT_EQ(service->connectDevices(context.get(), onDeviceReply, {}), -1);
  EXPECT_EQ(service->startListeners(dir.file("web"), {}, 8080), -1);
  EXPECT_EQ(service->startListeners(dir.file("web"), {"127.0.0.1"}, 0), -1);
  EXPECT_EQ(service->startListeners(dir.file("web"), {"192.0.2.1", "127.0.0.1"}, freePort()), 0)
      << "an address that cannot be bound is skipped";
  EXPECT_EQ(service->listenerCount(), 1u);
  EXPECT_EQ(service->connectDevices(context.get(), onDeviceReply, {}), 0);
}

TEST_F(HttpServiceTest, LoginOnlyRunsOnThePollThreadAndReportsToThePage) {
  ASSERT_EQ(service->startListeners(dir.file("web"), {"127.0.0.1"}, freePort()), 0);
  tcp::acceptor display(displayIo, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  const std::string ip = "127.0.0.1:" + std::to_string(display.local_endpoint().port());
  addTask(ip);
  std::vector<std::string> requests;
  std::thread fake([&] {
    tcp::socket socket(displayIo);
    display.accept(socket);
    requests.push_back(readRequest(socket));
    asio::write(socket, asio::buffer(httpAnswer(responseStatus("/ISAPI/Security/Login", "401",
                                                               "Unauthenticated",
                                                               "<SessionId>S7</SessionId>"))));
    requests.push_back(readRequest(socket));
    asio::write(socket, asio::buffer(httpAnswer(responseStatus(
                            "/ISAPI/Security/Login", "200", "OK",
                            "<SessionId>S7</SessionId><Privilege>operator</Privilege>"))));
  });
  ASSERT_EQ(service->connectDevices(context.get(), onDeviceReply, {ip}), 0);
  fake.join();
  auto messages = page.await(2);
  ASSERT_GE(messages.size(), 2u);
  EXPECT_EQ(messages[0]["P"], json({{"ip", ip},
                                    {"pass", "pw"},
                                    {"privilege", "operator"},
                                    {"sessionid", "S7"},
                                    {"status", "OK"},
                                    {"user", "admin"}}));
  EXPECT_EQ(messages[1]["P"]["status"], "mgclose");
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_NE(requests[1].find("Host: " + ip + "\r\n"), std::string::npos);
  EXPECT_NE(requests[1].find("<SessionId>S7</SessionId>"), std::string::npos);
}

TEST_F(HttpServiceTest, StopsAtTheFirstAddressThatCannotBeConnected) {
  ASSERT_EQ(service->startListeners(dir.file("web"), {"127.0.0.1"}, freePort()), 0);
  tcp::acceptor display(displayIo, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  const std::string first = "127.0.0.1:" + std::to_string(display.local_endpoint().port());
  EXPECT_EQ(
      service->connectDevices(context.get(), onDeviceReply, {first, "bad address", "127.0.0.1:1"}),
      -1);
  tcp::socket socket(displayIo);
  display.accept(socket);
  EXPECT_NE(readRequest(socket).find("POST /ISAPI/Security/Login"), std::string::npos)
      << "the connection requested before the bad address goes on";
}

TEST_F(HttpServiceTest, NotificationsReachTheHandlerOnceADeviceWasConnected) {
  const uint16_t port = freePort();
  ASSERT_EQ(service->startListeners(dir.file("web"), {"127.0.0.1"}, port), 0);
  auto send = [&](std::string request) {
    tcp::socket socket(displayIo);
    socket.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
    asio::write(socket, asio::buffer(request));
    std::string head;
    char c;
    boost::system::error_code ec;
    while (head.find("\r\n\r\n") == std::string::npos &&
           asio::read(socket, asio::buffer(&c, 1), ec) == 1) {
      head += c;
    }
    return head.substr(0, head.find("\r\n"));
  };
  const std::string document =
      "<NotifyFetchFirmware><StatusCode>200</StatusCode>"
      "<StatusString>OK</StatusString></NotifyFetchFirmware>";
  const std::string request =
      "POST /ISAPI/System/NotifyFetchFirmware?x=1 HTTP/1.1\r\nHost: h\r\n"
      "Content-Length: " +
      std::to_string(document.size()) + "\r\n\r\n" + document;
  EXPECT_EQ(send(request), "HTTP/1.1 404 Not Found") << "served as a file before any device";
  ASSERT_EQ(service->connectDevices(context.get(), onDeviceReply, {}), 0);
  addTask("127.0.0.1:80");
  {
    std::lock_guard lock(context->deviceTasksMutex);
    context->deviceTasks[0]["awaiting"] = "NotifyFetchFirmware";
  }
  EXPECT_EQ(send(request), "HTTP/1.1 200 OK");
  auto messages = page.await(1);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0]["T"], "firmware");
  EXPECT_EQ(messages[0]["P"]["status"], "OK");
}

TEST_F(HttpServiceTest, ShutdownDoesNotWaitForDisplaysThatKeepTalking) {
  ASSERT_EQ(service->startListeners(dir.file("web"), {"127.0.0.1"}, freePort()), 0);
  tcp::acceptor display(displayIo, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  const std::string ip = "127.0.0.1:" + std::to_string(display.local_endpoint().port());
  addTask(ip);
  std::atomic<bool> stop{false};
  std::thread chatty([&] {
    tcp::socket socket(displayIo);
    display.accept(socket);
    boost::system::error_code ec;
    readRequest(socket);
    // Answers with challenges as fast as the host asks, until the host goes away.
    for (int i = 0; i < 10000 && !stop && !ec; ++i) {
      asio::write(socket,
                  asio::buffer(httpAnswer(responseStatus("/ISAPI/Security/Login", "500", "Busy"))),
                  ec);
    }
  });
  ASSERT_EQ(service->connectDevices(context.get(), onDeviceReply, {ip}), 0);
  page.await(5);
  auto begin = std::chrono::steady_clock::now();
  context->page.close();
  service.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(2));
  stop = true;
  chatty.join();
}

}  // namespace

namespace {

TEST_F(HttpServiceTest, OnlyTheDisplaysAnswerMovesAnUploadOn) {
  const uint16_t port = freePort();
  ASSERT_EQ(service->startListeners(dir.file("web"), {"127.0.0.1"}, port), 0);
  tcp::acceptor display(displayIo, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  const std::string ip = "127.0.0.1:" + std::to_string(display.local_endpoint().port());
  {
    std::lock_guard lock(context->deviceTasksMutex);
    context->deviceTasks.push_back({{"user", "admin"},
                                    {"pass", "pw"},
                                    {"id", ""},
                                    {"ip", ip},
                                    {"status", ""},
                                    {"uri", {"POST /ISAPI/UploadFile/TemplateConfig?name=a.conf"}},
                                    {"httpBody", {"abc"}},
                                    {"offset", 0},
                                    {"filesize", 3}});
  }
  auto notify = [&] {
    tcp::socket socket(displayIo);
    socket.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
    asio::write(socket, asio::buffer(std::string(
                            "POST /ISAPI/VideoAdvert/NotifyFetchResult HTTP/1.1\r\nHost: h\r\n"
                            "Content-Length: 0\r\n\r\n")));
    return readRequest(socket).substr(0, 15);
  };
  std::vector<std::string> requests;
  std::thread fake([&] {
    tcp::socket socket(displayIo);
    display.accept(socket);
    readRequest(socket);
    asio::write(socket,
                asio::buffer(httpAnswer(responseStatus("/ISAPI/Security/Login", "200", "OK"))));
    requests.push_back(readRequest(socket));
    EXPECT_EQ(notify(), "HTTP/1.1 200 OK");
    asio::write(socket, asio::buffer(httpAnswer("")));
    requests.push_back(readRequest(socket));
    asio::write(socket, asio::buffer(httpAnswer("")));
  });
  ASSERT_EQ(service->connectDevices(context.get(), onDeviceReply, {ip}), 0);
  fake.join();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_NE(requests[0].find("&offset=0&"), std::string::npos);
  EXPECT_NE(requests[1].find("&offset=3&"), std::string::npos) << "the closing request";
  auto messages = page.await(1);
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages[0]["T"], "configure");
}

}  // namespace
