#include "discovery/discovery_listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <thread>

#include "app/app_context.h"
#include "unit/test_support.h"

using nlohmann::json;

namespace {

TEST(DeviceRecord, IsBuiltFromEveryRootChild) {
  struct Case {
    const char* name;
    std::string reply;
    std::string record;  // empty: not XML, nothing reported
  } cases[] = {
      {"compact",
       "<Probe><IPAddr>192.168.1.20</IPAddr><HTTPPort>80</HTTPPort><BannerSupport>1</"
       "BannerSupport></Probe>",
       R"({"BannerSupport":1,"HTTPPort":80,"IPAddr":"192.168.1.20"})"},
      {"atol rules",
       "<R><HTTPPort>abc</HTTPPort><SearchPort> 8080x</SearchPort><AEnabled>-7</AEnabled>"
       "<VideoAdvertSupport>99999999999</VideoAdvertSupport></R>",
       R"({"AEnabled":-7,"HTTPPort":0,"SearchPort":8080,"VideoAdvertSupport":2147483647})"},
      {"nested and duplicates",
       "<R><DeviceName>a<b>c</b></DeviceName><DeviceName>second</DeviceName></R>",
       R"({"DeviceName":"second"})"},
      {"pretty printed", "<R>\n  <MacAddr>AA</MacAddr>\n</R>", R"({"MacAddr":"AA","text":"\n"})"},
      {"no children", "<R/>", "null"},
      {"non-ASCII kept", "<R><DeviceName>Café 映像</DeviceName></R>",
       R"({"DeviceName":"Café 映像"})"},
      {"not XML", "hello", ""},
      {"unclosed", "<R><IPAddr>1</R>", ""},
  };
  for (const auto& c : cases) {
    std::string record;
    bool parsed = parseDeviceRecord(c.reply, record);
    EXPECT_EQ(parsed, !c.record.empty()) << c.name;
    if (parsed) {
      EXPECT_EQ(record, c.record) << c.name;
    }
  }
}

// A UDP socket on 127.0.0.1 at `port` (0: any free one), and the port it got.
int loopbackSocket(uint16_t& port) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
  socklen_t size = sizeof local;
  getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size);
  port = ntohs(local.sin_port);
  return fd;
}

void sendTo(uint16_t port, const std::string& datagram) {
  uint16_t any = 0;
  int fd = loopbackSocket(any);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  close(fd);
}

// A display on loopback that answers each probe it receives with the given datagrams.
class FakeDisplay {
 public:
  FakeDisplay() : fd_(loopbackSocket(port_)) {}
  ~FakeDisplay() { close(fd_); }
  uint16_t port() const { return port_; }
  int fd() const { return fd_; }

  // Waits (at most 2 s) for one probe and answers its sender with `answers`.
  std::string answer(const std::vector<std::string>& answers) {
    pollfd entry{fd_, POLLIN, 0};
    if (poll(&entry, 1, 2000) != 1) return {};
    char probe[100];
    sockaddr_in from{};
    socklen_t size = sizeof from;
    ssize_t n = recvfrom(fd_, probe, sizeof probe, 0, reinterpret_cast<sockaddr*>(&from), &size);
    for (const auto& datagram : answers) {
      sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&from), size);
    }
    return std::string(probe, n > 0 ? n : 0);
  }

 private:
  uint16_t port_ = 0;  // before fd_: the constructor fills it in
  int fd_;
};

class Discovery : public ::testing::Test {
 protected:
  void SetUp() override {
    context = makeContext(dir);
    ASSERT_TRUE(context);
    context->page.connect([this](std::string text) {
      std::lock_guard lock(mutex);
      messages.push_back(text);
      changed.notify_all();
    });
  }
  std::vector<std::string> await(size_t count) {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, std::chrono::seconds(3), [&] { return messages.size() >= count; });
    return messages;
  }

  TempAppFolder dir;
  std::unique_ptr<AppContext> context;
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> messages;
};

TEST_F(Discovery, ProbesAndReportsAnswersButDropsOversizedOnes) {
  FakeDisplay display;
  DiscoveryListener listener(0, {"127.0.0.1", display.port()});
  ASSERT_EQ(listener.open({"127.0.0.1", "not an address"}), 1);
  EXPECT_GT(listener.receiveBufferSize(), 200000);
  listener.search(context.get(), onDiscoveryReply);
  const std::string oversized =
      "<R><DeviceName>" + std::string(kMaxDiscoveryReply, 'x') + "</DeviceName></R>";
  EXPECT_EQ(display.answer({"<R><IPAddr>10.0.0.1</IPAddr><HTTPPort>80</HTTPPort></R>", "junk",
                            oversized, "<R><IPAddr>10.0.0.2</IPAddr></R>"}),
            "<Discovery />");
  auto received = await(2);
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[0],
            R"({"C":"add","P":{"HTTPPort":80,"IPAddr":"10.0.0.1"},"T":"device","V":1})");
  EXPECT_EQ(received[1], R"({"C":"add","P":{"IPAddr":"10.0.0.2"},"T":"device","V":1})")
      << "the answer after the oversized one still arrives on the same socket";

  // A second search probes again on the same socket.
  listener.search(context.get(), onDiscoveryReply);
  display.answer({"<R/>"});
  EXPECT_EQ(await(3).back(), R"({"C":"add","P":null,"T":"device","V":1})");

  auto begin = std::chrono::steady_clock::now();
  listener.close();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(1500));
}

TEST_F(Discovery, AFailedProbeLeavesTheSocketToTheReceiveThread) {
  FakeDisplay display;
  uint16_t port = 0;
  close(loopbackSocket(port));
  DiscoveryListener listener(port, {"127.0.0.1", display.port()});
  ASSERT_EQ(listener.open({"127.0.0.1"}), 1);
  listener.search(context.get(), onDiscoveryReply);
  display.answer({"<R/>"});
  ASSERT_EQ(await(1).size(), 1u);
  // Time for the receive thread to hand the answer over and wait on the socket again.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  int probing = -1;
  for (int fd = 3; fd < 1024 && probing < 0; ++fd) {
    sockaddr_in local{};
    socklen_t size = sizeof local;
    if (fd != display.fd() && getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) == 0 &&
        ntohs(local.sin_port) == port)
      probing = fd;
  }
  ASSERT_GE(probing, 0);
  shutdown(probing, SHUT_WR);
  listener.search(context.get(), onDiscoveryReply);

  // Another part of the program takes the lowest free descriptor number from there on.
  uint16_t otherPort = 0;
  int other = loopbackSocket(otherPort);
  int reused = fcntl(other, F_DUPFD_CLOEXEC, probing);
  sendTo(otherPort, "<R><IPAddr>not ours</IPAddr></R>");
  sendTo(port, "<R><IPAddr>ours</IPAddr></R>");
  auto received = await(2);
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[1], R"({"C":"add","P":{"IPAddr":"ours"},"T":"device","V":1})");
  char kept[64];
  EXPECT_EQ(recv(other, kept, sizeof kept, MSG_DONTWAIT), 32) << "the other socket's datagram";
  listener.close();
  close(reused);
  close(other);
}

TEST_F(Discovery, SearchWithoutContextOrSocketsDoesNothing) {
  DiscoveryListener listener(0, {"127.0.0.1", 9});
  EXPECT_EQ(listener.open({}), 0);
  listener.search(nullptr, onDiscoveryReply);
  listener.search(context.get(), nullptr);
  listener.search(context.get(), onDiscoveryReply);
  listener.close();
  EXPECT_TRUE(messages.empty());
}

}  // namespace
