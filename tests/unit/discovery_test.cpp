#include "commands/discovery_replies.h"
#include "discovery/discovery_listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "app/app_context.h"
#include "app/startup.h"
#include "store/store.h"
#include "unit/test_support.h"

namespace {

TEST(DeviceRecord, IsBuiltFromEveryRootChild) {
  struct Case {
    const char* name;
    std::string reply;
    std::string record;  // empty: not XML, nothing reported
  } cases[] = {
      {"compact",
       "<R><IPAddr>192.168.1.2</IPAddr><HTTPPort>80</HTTPPort><DeviceName>Café "
       "映像</DeviceName></R>",
       R"({"DeviceName":"Café 映像","HTTPPort":80,"IPAddr":"192.168.1.2"})"},
      {"atol rules",
       "<R><HTTPPort>abc</HTTPPort><SearchPort> 8080x</SearchPort><AEnabled>-7</AEnabled>"
       "<VideoAdvertSupport>99999999999</VideoAdvertSupport></R>",
       R"({"AEnabled":-7,"HTTPPort":0,"SearchPort":8080,"VideoAdvertSupport":2147483647})"},
      {"nested and duplicates",
       "<R><DeviceName>a<b>c</b></DeviceName><DeviceName>second</DeviceName></R>",
       R"({"DeviceName":"second"})"},
      {"pretty printed", "<R>\n  <MacAddr>AA</MacAddr>\n</R>", R"({"MacAddr":"AA","text":"\n"})"},
      {"no children", "<R/>", "null"},
      {"unclosed", "<R><IPAddr>1</R>", ""},
  };
  for (const auto& c : cases) {
    std::string record;
    EXPECT_EQ(parseDeviceRecord(c.reply, record) ? record : "", c.record) << c.name;
  }
}

sockaddr_in loopback(uint16_t port) {
  return {AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
}

// A UDP socket on 127.0.0.1 at `port` (0: any free one), and the port it got.
int loopbackSocket(uint16_t& port) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in local = loopback(port);
  bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
  socklen_t size = sizeof local;
  getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size);
  port = ntohs(local.sin_port);
  return fd;
}

void sendFrom(int fd, uint16_t port, const std::string& datagram) {
  sockaddr_in to = loopback(port);
  sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

class Discovery : public ::testing::Test {
 protected:
  void SetUp() override {
    context = makeContext(dir);
    ASSERT_TRUE(context);
    page = std::make_unique<PageMessages>(*context);
  }
  // Waits (at most 2 s) for one probe at the display and answers its sender with `answers`.
  std::string answer(const std::vector<std::string>& answers) {
    pollfd entry{display, POLLIN, 0};
    if (poll(&entry, 1, 2000) != 1) return {};
    char probe[100];
    sockaddr_in from{};
    socklen_t size = sizeof from;
    ssize_t n =
        recvfrom(display, probe, sizeof probe, 0, reinterpret_cast<sockaddr*>(&from), &size);
    for (const auto& datagram : answers) sendFrom(display, ntohs(from.sin_port), datagram);
    return std::string(probe, n > 0 ? n : 0);
  }
  void TearDown() override { close(display); }

  TempAppFolder dir;
  std::unique_ptr<AppContext> context;
  std::unique_ptr<PageMessages> page;
  uint16_t displayPort = 0;
  int display = loopbackSocket(displayPort);
};

TEST_F(Discovery, ReportsAnswersDropsOversizedOnesAndSurvivesAFailedProbe) {
  uint16_t port = 0;
  close(loopbackSocket(port));
  DiscoveryListener listener(port, {"127.0.0.1", displayPort});
  ASSERT_EQ(listener.open({"not an address", "127.0.0.1", "127.0.0.2"}), 2);
  EXPECT_GT(listener.receiveBufferSize(), 300000) << "the system default is 212992";
  openStore(*context);
  ASSERT_TRUE(context->store) << context->storeError;
  listener.search([&](std::string reply) { onDiscoveryReply(*context, std::move(reply)); });
  // Cut to the buffer's size it would still be a whole document.
  const std::string oversized =
      "<R><IPAddr>cut</IPAddr></R>" + std::string(kMaxDiscoveryReply, ' ');
  EXPECT_EQ(answer({"<R><IPAddr>10.0.0.1</IPAddr><HTTPPort>80</HTTPPort></R>", "junk", oversized,
                    "<R><IPAddr>10.0.0.2</IPAddr></R>"}),
            "<Discovery />");
  auto received = page->await(2);
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[0],
            R"({"C":"add","P":{"HTTPPort":80,"IPAddr":"10.0.0.1"},"T":"device","V":1})");
  EXPECT_EQ(received[1], R"({"C":"add","P":{"IPAddr":"10.0.0.2"},"T":"device","V":1})")
      << "the answer after the oversized one still arrives on the same socket";
  auto known = context->store->displays();
  ASSERT_EQ(known.size(), 1u) << "an answer without a port names no display";
  EXPECT_EQ(known[0]["ip"], "10.0.0.1:80");

  // The next probe from 127.0.0.1 fails while the receive thread waits on the socket, and
  // another part of the program takes the lowest free descriptor number from there on: the
  // thread must go on reading its own socket, never the other one.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  int probing = 3;
  sockaddr_in local{};
  for (socklen_t size = sizeof local; probing < 1024; ++probing, size = sizeof local) {
    if (probing != display &&
        getsockname(probing, reinterpret_cast<sockaddr*>(&local), &size) == 0 &&
        ntohs(local.sin_port) == port && local.sin_addr.s_addr == htonl(INADDR_LOOPBACK))
      break;
  }
  ASSERT_LT(probing, 1024);
  shutdown(probing, SHUT_WR);
  listener.search([&](std::string reply) { onDiscoveryReply(*context, std::move(reply)); });
  uint16_t otherPort = 0;
  int other = loopbackSocket(otherPort);
  int reused = fcntl(other, F_DUPFD_CLOEXEC, probing);
  sendFrom(display, otherPort, "<R><IPAddr>not ours</IPAddr></R>");
  sendFrom(display, port, "<R><IPAddr>ours</IPAddr></R>");
  EXPECT_EQ(page->await(3).back(), R"({"C":"add","P":{"IPAddr":"ours"},"T":"device","V":1})");
  char kept[64];
  EXPECT_EQ(recv(other, kept, sizeof kept, MSG_DONTWAIT), 32) << "the other socket's datagram";

  auto begin = std::chrono::steady_clock::now();
  listener.close();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(1500));
  close(reused);
  close(other);
}

}  // namespace
