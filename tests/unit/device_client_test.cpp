#include "device/device_client.h"

#include <gtest/gtest.h>

#include <boost/asio.hpp>
#include <thread>
#include <vector>

#include "unit/fake_display.h"

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using Texts = std::vector<std::string>;

namespace {

const std::string kSecond = "POST /next HTTP/1.1\r\nHost: h\r\nContent-Length: 3\r\n\r\nabc";
const std::string kPackage =
    "POST /u HTTP/1.1\r\nContent-Length: 16777216\r\n\r\n" + std::string(16 << 20, 'p');

TEST(DeviceClient, EventsOfAConnection) {
  asio::io_context serverIo;
  tcp::acceptor acceptor(serverIo, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  // A small window keeps a large request in flight while the display reads it.
  acceptor.set_option(asio::socket_base::receive_buffer_size(64 * 1024));
  const std::string peer = endpointText(acceptor.local_endpoint());
  const std::string challenge = httpAnswer("<challenge/>");
  enum Then { kRest, kSecondRequest, kReadPackageSlowly };
  struct Case {
    const char* name;
    bool listens;
    std::string answer;  // written once the login request is in
    Then then;
    int pauseMs;         // before the display closes
    Texts next, events;  // what the sink returns; "status body" that it saw
  } cases[] = {
      // clang-format off
      {"logs in, writes what the sink returns", true, challenge, kSecondRequest, 0, {kSecond}, {"200 <challenge/>", "200 <ok/>", "1000 "}},
      {"answer time starts once the request is out", true, challenge, kReadPackageSlowly, 0, {kPackage}, {"200 <challenge/>", "200 <stored/>", "1000 "}},
      {"a request that stalls", true, challenge, kRest, 1500, {kPackage}, {"200 <challenge/>", "999 ", "1000 "}},
      {"nothing listens", false, "", kRest, 0, {}, {"998 ", "1000 "}},
      {"never answers", true, "", kRest, 800, {}, {"999 ", "1000 "}},
      {"garbage answer", true, "NOT HTTP\r\n\r\n", kRest, 300, {}, {"999 ", "1000 "}},
      {"cut mid-answer", true, "HTTP/1.1 200 OK\r\nContent-Length: 50\r\n\r\nab", kRest, 0, {}, {"999 ", "1000 "}},
      // clang-format on
  };
  auto play = [&](tcp::socket& s, const Case& c) {
    EXPECT_EQ(readRequest(s), "POST /ISAPI/Security/Login HTTP/1.1\r\nHost: " + peer +
                                  "\r\nConnection: keep-alive\r\nContent-Length: 0\r\n\r\n");
    asio::write(s, asio::buffer(c.answer));
    if (c.then == kSecondRequest) {
      EXPECT_EQ(readRequest(s), kSecond);
      asio::write(s, asio::buffer(httpAnswer("<ok/>")));
    } else if (c.then == kReadPackageSlowly) {
      // Half at about 7 MB/s, past the answer time-out; the rest (much of it still in the host's
      // buffers) at once.
      std::vector<char> chunk(64 * 1024);
      size_t got = 0;
      for (boost::system::error_code ec; got < kPackage.size() && !ec;) {
        if (got < kPackage.size() / 2) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        got += s.read_some(asio::buffer(chunk), ec);
      }
      EXPECT_EQ(got, kPackage.size());
      asio::write(s, asio::buffer(httpAnswer("<stored/>")));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(c.pauseMs));
    s.shutdown(tcp::socket::shutdown_both);
  };
  for (const auto& c : cases) {
    tcp::acceptor closed(serverIo, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    const tcp::endpoint target = c.listens ? acceptor.local_endpoint() : closed.local_endpoint();
    closed.close();
    std::thread display([&] {
      if (!c.listens) return;
      tcp::socket socket(serverIo);
      acceptor.accept(socket);
      play(socket, c);
    });
    asio::io_context io;
    Texts events;
    size_t next = 0;
    auto connection = std::make_shared<DeviceConnection>(
        io, target,
        [&](const std::string& body, const std::string& from, int status) -> std::string {
          EXPECT_EQ(from, endpointText(target));
          events.push_back(std::to_string(status) + " " + body);
          return next < c.next.size() ? c.next[next++] : "OK";
        },
        DeviceTimeouts{std::chrono::milliseconds(2000), std::chrono::milliseconds(400)});
    connection->start();
    io.run_for(std::chrono::seconds(10));
    display.join();
    EXPECT_EQ(events, c.events) << c.name;
  }
}

TEST(DeviceAddress, ParsesDisplayAddresses) {
  const std::pair<const char*, const char*> cases[] = {
      // clang-format off
      {"192.168.1.64:80", "192.168.1.64:80"}, {"10.0.0.5", "10.0.0.5:80"}, {"[::1]:81", "[::1]:81"},
      {"10.0.0.5:", nullptr}, {"10.0.0.5:0", nullptr}, {"10.0.0.5:65536", nullptr},
      {"10.0.0.5:8x", nullptr}, {"display.local:80", nullptr}, {"", nullptr}, {"[::1", nullptr},
      // clang-format on
  };
  for (const auto& [text, endpoint] : cases) {
    auto parsed = parseDeviceAddress(text);
    EXPECT_EQ(parsed ? endpointText(*parsed) : "refused", endpoint ? endpoint : "refused") << text;
  }
}

TEST(DeviceRequest, IsBuiltByteForByte) {
  EXPECT_EQ(buildDeviceRequest("PUT /ISAPI/Gui/UrgentConfig?ID=", "<a>é</a>", "77", "10.0.0.5:80"),
            "PUT /ISAPI/Gui/UrgentConfig?ID=77 HTTP/1.1\r\nHost: 10.0.0.5:80\r\n"
            "Content-Type: application/xml\r\nContent-Length: 9\r\nConnection: keep-alive\r\n\r\n"
            "<a>é</a>");
}

}  // namespace
