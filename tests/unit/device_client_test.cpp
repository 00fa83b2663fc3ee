#include "device/device_client.h"

#include <gtest/gtest.h>

#include <boost/asio.hpp>
#include <thread>
#include <vector>

#include "unit/fake_display.h"

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

struct Event {
  int status;
  std::string body;
};

class DeviceClient : public ::testing::Test {
 protected:
  // Runs a connection to `target` until it ends; the sink answers each response with
  // the next entry of `nextRequests`.
  std::vector<Event> run(tcp::endpoint target, std::vector<std::string> nextRequests,
                         DeviceTimeouts timeouts = {}) {
    std::vector<Event> events;
    size_t next = 0;
    auto connection = std::make_shared<DeviceConnection>(
        io, target,
        [&](const std::string& body, const std::string& peer, int status) -> std::string {
          EXPECT_EQ(peer, endpointText(target));
          events.push_back({status, body});
          return next < nextRequests.size() ? nextRequests[next++] : "OK";
        },
        timeouts);
    connection->start();
    io.run_for(std::chrono::seconds(10));
    return events;
  }

  asio::io_context io;
  asio::io_context serverIo;
  tcp::acceptor acceptor{serverIo, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)};
};

TEST_F(DeviceClient, LogsInThenWritesWhatTheHandlerReturns) {
  std::vector<std::string> received;
  std::thread display([&] {
    tcp::socket socket(serverIo);
    acceptor.accept(socket);
    received.push_back(readRequest(socket));
    asio::write(socket, asio::buffer(httpAnswer("<challenge/>")));
    received.push_back(readRequest(socket));
    asio::write(socket, asio::buffer(httpAnswer("<ok/>")));
    socket.shutdown(tcp::socket::shutdown_both);
  });
  auto target = acceptor.local_endpoint();
  const std::string second = "POST /next HTTP/1.1\r\nHost: h\r\nContent-Length: 3\r\n\r\nabc";
  auto events = run(target, {second, "OK"});
  display.join();
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[0], "POST /ISAPI/Security/Login HTTP/1.1\r\nHost: " + endpointText(target) +
                             "\r\nConnection: keep-alive\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(received[1], second);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].body, "<challenge/>");
  EXPECT_EQ(events[1].body, "<ok/>");
  EXPECT_EQ(events[2].status, kStatusConnectionClosed) << "an orderly close is no error";
}

TEST_F(DeviceClient, FailuresEndInErrorThenClose) {
  struct Case {
    const char* name;
    std::function<void(tcp::socket&)> display;  // null: nothing listens
  } cases[] = {
      {"nothing listens", nullptr},
      {"never answers",
       [](tcp::socket& s) {
         readRequest(s);
         std::this_thread::sleep_for(std::chrono::milliseconds(800));
       }},
      {"garbage answer",
       [](tcp::socket& s) {
         readRequest(s);
         asio::write(s, asio::buffer(std::string("NOT HTTP\r\n\r\n")));
         std::this_thread::sleep_for(std::chrono::milliseconds(300));
       }},
      {"cut mid-answer",
       [](tcp::socket& s) {
         readRequest(s);
         asio::write(s,
                     asio::buffer(std::string("HTTP/1.1 200 OK\r\nContent-Length: 50\r\n\r\nabc")));
       }},
  };
  for (const auto& c : cases) {
    io.restart();
    tcp::endpoint target = acceptor.local_endpoint();
    std::thread display;
    if (c.display) {
      display = std::thread([&] {
        tcp::socket socket(serverIo);
        acceptor.accept(socket);
        c.display(socket);
      });
    } else {
      tcp::acceptor closed(serverIo, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
      target = closed.local_endpoint();
    }
    auto events =
        run(target, {}, {std::chrono::milliseconds(2000), std::chrono::milliseconds(300)});
    if (display.joinable()) display.join();
    ASSERT_EQ(events.size(), 2u) << c.name;
    EXPECT_EQ(events[0].status, kStatusConnectionError) << c.name;
    EXPECT_EQ(events[1].status, kStatusConnectionClosed) << c.name;
  }
}

TEST(DeviceAddress, ParsesDisplayAddresses) {
  struct Case {
    const char* text;
    const char* endpoint;  // nullptr: refused
  } cases[] = {
      {"192.168.1.64:80", "192.168.1.64:80"},
      {"10.0.0.5", "10.0.0.5:80"},
      {"10.0.0.5:8000", "10.0.0.5:8000"},
      {"[::1]:81", "[::1]:81"},
      {"10.0.0.5:", nullptr},
      {"10.0.0.5:0", nullptr},
      {"10.0.0.5:65536", nullptr},
      {"10.0.0.5:8x", nullptr},
      {"display.local:80", nullptr},
      {"", nullptr},
      {"[::1", nullptr},
  };
  for (const auto& c : cases) {
    auto parsed = parseDeviceAddress(c.text);
    if (!c.endpoint) {
      EXPECT_FALSE(parsed) << c.text;
    } else {
      ASSERT_TRUE(parsed) << c.text;
      EXPECT_EQ(endpointText(*parsed), c.endpoint);
    }
  }
}

TEST(DeviceRequest, IsBuiltByteForByte) {
  EXPECT_EQ(buildDeviceRequest("PUT /ISAPI/Gui/UrgentConfig?ID=", "<a>é</a>", "77", "10.0.0.5:80"),
            "PUT /ISAPI/Gui/UrgentConfig?ID=77 HTTP/1.1\r\nHost: 10.0.0.5:80\r\n"
            "Content-Type: application/xml\r\nContent-Length: 9\r\nConnection: keep-alive\r\n\r\n"
            "<a>é</a>");
}

}  // namespace

namespace {

TEST_F(DeviceClient, AnswerTimeOutStartsWhenTheRequestIsWritten) {
  // A small window keeps the package in flight for as long as the display takes to read it.
  acceptor.set_option(asio::socket_base::receive_buffer_size(64 * 1024));
  const std::string package(16 << 20, 'p');
  const std::string big = "POST /u HTTP/1.1\r\nContent-Length: " + std::to_string(package.size()) +
                          "\r\n\r\n" + package;
  size_t received = 0;
  std::thread display([&] {
    tcp::socket socket(serverIo);
    acceptor.accept(socket);
    readRequest(socket);
    asio::write(socket, asio::buffer(httpAnswer("<challenge/>")));
    std::vector<char> chunk(64 * 1024);
    boost::system::error_code ec;
    // Half the request at about 7 MB/s, well past the answer time-out but never stalling; then
    // the rest at once, so that what the host's kernel still buffers is read in time.
    while (received < big.size() && !ec) {
      if (received < big.size() / 2) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      received += socket.read_some(asio::buffer(chunk), ec);
    }
    asio::write(socket, asio::buffer(httpAnswer("<stored/>")), ec);
    socket.shutdown(tcp::socket::shutdown_both, ec);
  });
  auto events = run(acceptor.local_endpoint(), {big},
                    {std::chrono::seconds(2), std::chrono::milliseconds(400)});
  display.join();
  EXPECT_EQ(received, big.size());
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[1].body, "<stored/>");
  EXPECT_EQ(events[2].status, kStatusConnectionClosed);
}

}  // namespace
