// The operating-system layer's promises, checked the same way on every system it is built for.

#include <gtest/gtest.h>

#include <boost/asio/ip/udp.hpp>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/file_system.h"
#include "platform/secret_store.h"
#include "platform/text_conversion.h"
#include "platform/udp_socket.h"
#include "unit/test_platform.h"
#include "unit/test_support.h"

namespace {

namespace asio = boost::asio;
using udp = asio::ip::udp;

TEST(Platform, TextConversionsKeepEveryCharacter) {
  const std::string samples[] = {"", "plain", "Grüße 映像", "emoji \xF0\x9F\x8E\xAC end",
                                 std::string("nul\0inside", 10)};
  for (const auto& text : samples) EXPECT_EQ(wideToUtf8(utf8ToWide(text)), text) << text;
  EXPECT_EQ(utf8ToWide("a\xFF"
                       "b"),
            L"a\uFFFDb");
  EXPECT_EQ(utf8ToWide("\xE6\x98\xA0"), L"\u6620");
}

TEST(Platform, FilesAreReadReplacedListedAndResolved) {
  TempAppFolder dir;
  const std::string folder = dir.file("web/conf");
  const std::string name = folder + "/Grüße 映像.json";
  ASSERT_TRUE(replaceFile(name, ".tmp-", [](const FileWriter& write) {
    return write("first", 5) && write(" second", 7);
  }));
  // A failed fill keeps the old content and leaves no temporary behind.
  EXPECT_FALSE(replaceFile(name, ".tmp-",
                           [](const FileWriter& write) { return write("torn", 4) && false; }));
  EXPECT_FALSE(replaceFile(dir.file("missing/x.json"), ".tmp-",
                           [](const FileWriter& write) { return write("x", 1); }));
  dir.write("web/conf/sub/inner.json", "{}");
  EXPECT_EQ(listFileNames(folder), std::vector<std::string>{"Grüße 映像.json"});

  ReadOnlyFile file(name);
  ASSERT_TRUE(file.isRegular());
  EXPECT_EQ(file.size(), 12u);
  char middle[6] = {};
  EXPECT_EQ(file.readAt(6, middle, 6), 6);
  EXPECT_EQ(std::string(middle, 6), "second");
  EXPECT_EQ(file.readAt(12, middle, 6), 0);
  EXPECT_FALSE(ReadOnlyFile(folder).isRegular());
  EXPECT_FALSE(ReadOnlyFile(dir.file("missing")).isOpen());
  EXPECT_FALSE(ReadOnlyFile(std::string("web\0x", 5)).isOpen());

  const struct {
    std::string path;
    EntryKind kind;
  } kinds[] = {{name, EntryKind::kFile},
               {folder, EntryKind::kFolder},
               {dir.file("missing"), EntryKind::kMissing}};
  for (const auto& [path, kind] : kinds) EXPECT_EQ(entryKind(path), kind) << path;

  const std::string canonical = canonicalPath(folder);
  ASSERT_FALSE(canonical.empty());
  EXPECT_EQ(canonical.find('\\'), std::string::npos) << canonical;
  EXPECT_EQ(canonicalPath(folder + "/sub/../Grüße 映像.json"), canonical + "/Grüße 映像.json");
  EXPECT_EQ(canonicalPath(dir.file("missing")), "");
  file.close();
  EXPECT_TRUE(removeFile(name));
  EXPECT_FALSE(removeFile(name));
}

// The discovery sockets against a peer on loopback: a probe out, answers in, an oversized
// answer dropped without losing the socket, and a silent port that must not cost it either.
TEST(Platform, UdpSocketsSendReceiveAndSurviveOversizedAndRefusedDatagrams) {
  ASSERT_TRUE(startUdpSockets());
  asio::io_context io;
  const auto loopback = asio::ip::make_address_v4("127.0.0.1");
  udp::socket peer(io, udp::endpoint(loopback, 0));
  const uint16_t peerPort = peer.local_endpoint().port();
  uint16_t port = udp::socket(io, udp::endpoint(loopback, 0)).local_endpoint().port();
  uint16_t silentPort = udp::socket(io, udp::endpoint(loopback, 0)).local_endpoint().port();

  const UdpSocket socket = openUdpSocket();
  ASSERT_NE(socket, kNoUdpSocket);
  EXPECT_FALSE(bindUdpSocket(socket, "not an address", port));
  EXPECT_NE(lastSocketError(), 0);
  ASSERT_TRUE(bindUdpSocket(socket, "127.0.0.1", port));
  // Asking for nothing leaves the system's default, well above the smallest buffer (a few KiB)
  // that a request of 0 bytes would give.
  const int systemDefault = growReceiveBuffer(socket, 0);
  EXPECT_GT(systemDefault, 16 << 10);
  EXPECT_EQ(growReceiveBuffer(socket, 0), systemDefault);
  EXPECT_GE(growReceiveBuffer(socket, 1 << 20), systemDefault);

  // Nobody listens there: the system's "port unreachable" must not fail the next receive.
  EXPECT_TRUE(sendUdp(socket, "127.0.0.1", silentPort, "lost"));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(sendUdp(socket, "127.0.0.1", peerPort, "<Discovery />"));
  char probe[32];
  udp::endpoint from;
  EXPECT_EQ(std::string(probe, peer.receive_from(asio::buffer(probe), from)), "<Discovery />");
  EXPECT_EQ(from.port(), port);
  for (const std::string& answer :
       {std::string("first"), std::string(200, 'x'), std::string("last")})
    peer.send_to(asio::buffer(answer), udp::endpoint(loopback, port));

  std::string buffer(100, '\0');
  const struct {
    UdpReceive kind;
    std::string datagram;
  } expected[] = {{UdpReceive::kDatagram, "first"},
                  {UdpReceive::kOversized, ""},
                  {UdpReceive::kDatagram, "last"}};
  for (const auto& [kind, datagram] : expected) {
    const auto ready = waitReadable({socket}, 1000);
    ASSERT_TRUE(ready && ready->size() == 1u);
    size_t length = 0;
    const UdpReceive received = receiveUdp(socket, buffer, length);
    EXPECT_EQ(received, kind) << datagram;
    if (kind == UdpReceive::kDatagram) {
      EXPECT_EQ(buffer.substr(0, length), datagram);
    }
  }
  size_t length = 0;
  EXPECT_EQ(receiveUdp(socket, buffer, length), UdpReceive::kNothing) << "never blocks";
  EXPECT_EQ(waitReadable({socket}, 50), std::vector<size_t>{});
  EXPECT_FALSE(waitReadable({}, 50)) << "an empty set is an error, as select makes it";
  closeUdpSocket(socket);
  stopUdpSockets();
}

// Windows keeps logins in the Credential Manager; elsewhere, where no secret service runs, a
// credentials file is read only while it is its user's alone.
TEST(Platform, LoginsAreKeptPrivately) {
  if (!kModeBits) {
    ASSERT_TRUE(storeLogin("quillora-test", {"admin", "pw"}));
    const auto found = findLogin("quillora-test");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->user + ":" + found->pass, "admin:pw");
    forgetLogin("quillora-test");
    EXPECT_FALSE(findLogin("quillora-test"));
    return;
  }
  TempAppFolder dir;
  dir.write("logins.json", "{}");
  const std::pair<int, bool> modes[] = {{0600, true},  {0400, true},  {0640, false},
                                        {0604, false}, {0620, false}, {0602, false}};
  for (const auto& [mode, readable] : modes) {
    ASSERT_TRUE(setFileMode(dir.file("logins.json"), mode));
    EXPECT_EQ(readPrivateFile(dir.file("logins.json")).has_value(), readable) << std::oct << mode;
  }
  EXPECT_FALSE(readPrivateFile(dir.path())) << "a folder";
  EXPECT_FALSE(readPrivateFile(dir.file("missing.json")));
}

}  // namespace
