#include "device/http_service.h"

#include <gtest/gtest.h>

#include <boost/asio.hpp>
#include <thread>

#include "app/app_context.h"
#include "deploy/device_replies.h"
#include "device/device_client.h"
#include "unit/fake_display.h"
#include "unit/test_support.h"

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using nlohmann::json;

namespace {

class HttpServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    context = makeContext(dir);
    ASSERT_TRUE(context);
    page = std::make_unique<PageMessages>(*context);
    service = std::make_unique<HttpService>();
    service->startPolling();
  }

  TempAppFolder dir;
  std::unique_ptr<AppContext> context;
  std::unique_ptr<PageMessages> page;
  std::unique_ptr<HttpService> service;
  asio::io_context displayIo;
  tcp::acceptor display{displayIo, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)};
};

// An upload whose display is also sent an empty notification, and then talks on and on.
TEST_F(HttpServiceTest, NotificationsNeverMoveAnUploadOnAndShutdownWaitsForNoDisplay) {
  EXPECT_EQ(service->connectDevices({}), -1) << "no listener yet";
  const uint16_t port = freePort();
  ASSERT_EQ(service->startListeners(dir.file("web"), {"192.0.2.1", "127.0.0.1"}, port), 0)
      << "an address that cannot be bound is skipped";
  EXPECT_EQ(service->listenerCount(), 1u);
  const std::string ip = endpointText(display.local_endpoint());
  auto task = std::make_shared<DeviceTask>();
  task->uris = {"POST /ISAPI/UploadFile/TemplateConfig?name=a.conf"};
  task->bodies = {"abc"};
  task->fileSize = 3;
  task->user = "admin";
  task->ip = ip;
  context->deviceTasks = {task};
  auto link = [&](std::string address) {
    return DeviceLink{address, [&](const std::string& body, const std::string& peer, int status) {
                        return onTaskEvent(*context, task, body, peer, status);
                      }};
  };
  auto notify = [&] {
    tcp::socket socket(displayIo);
    socket.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
    asio::write(socket, asio::buffer(std::string(
                            "POST /ISAPI/VideoAdvert/NotifyFetchResult HTTP/1.1\r\nHost: h\r\n"
                            "Content-Length: 0\r\n\r\n")));
    return readRequest(socket).substr(0, 15);
  };
  EXPECT_EQ(notify(), "HTTP/1.1 404 No") << "served as a file before any device";
  std::vector<std::string> requests;
  std::atomic<bool> stop{false};
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
    boost::system::error_code ec;
    asio::write(socket, asio::buffer(httpAnswer("")), ec);
    // Then answers as fast as it can, unasked, until the host goes away.
    const std::string busy = httpAnswer(responseStatus("/ISAPI/Security/Login", "500", "Busy"));
    for (int i = 0; i < 10000 && !stop && !ec; ++i) asio::write(socket, asio::buffer(busy), ec);
  });
  // The connection requested before the bad address goes on; those after it are not tried.
  service->setNotificationSink([&](const std::string& body, const std::string& peer) {
    onNotification(*context, body, peer);
  });
  EXPECT_EQ(service->connectDevices({link(ip), link("bad address"), link("127.0.0.1:1")}), -1);
  auto messages = page->await(5);
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_NE(requests[0].find("&offset=0&"), std::string::npos);
  EXPECT_NE(requests[1].find("&offset=3&"), std::string::npos) << "the closing request";
  EXPECT_EQ(json::parse(messages.at(0))["T"], "configure");
  auto begin = std::chrono::steady_clock::now();
  context->page.close();
  service.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(2));
  stop = true;
  fake.join();
}

}  // namespace
