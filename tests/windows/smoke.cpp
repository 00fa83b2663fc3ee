// Each library the Windows build links, used once the way the project uses it. Loopback only.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <sqlite3.h>
#include <yaml-cpp/yaml.h>

#include <boost/asio.hpp>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

using ::testing::ElementsAre;

TEST(Smoke, YamlAndJsonParse) {
  const YAML::Node node = YAML::Load("http:\n  port: 8080\nlist: [a, b]\n");
  EXPECT_EQ(node["http"]["port"].as<int>(), 8080);
  EXPECT_THAT(node["list"].as<std::vector<std::string>>(), ElementsAre("a", "b"));
  const auto json = nlohmann::json::parse(R"({"T":"playlist","C":"save","n":"Ä"})");
  EXPECT_EQ(json.dump(), R"({"C":"save","T":"playlist","n":"Ä"})");
}

TEST(Smoke, XmlParsesUtf8AndUtf16) {
  const std::string utf8 = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><r><c>\xC3\x84</c></r>";
  xmlDocPtr doc =
      xmlReadMemory(utf8.data(), static_cast<int>(utf8.size()), nullptr, nullptr, XML_PARSE_NONET);
  ASSERT_NE(doc, nullptr);
  xmlChar* text = xmlNodeGetContent(xmlDocGetRootElement(doc));
  EXPECT_STREQ(reinterpret_cast<const char*>(text), "\xC3\x84");
  xmlFree(text);
  xmlFreeDoc(doc);
  // Without iconv, libxml2 still needs its built-in UTF-16 decoder.
  const char16_t utf16[] = u"\xFEFF<r>x</r>";
  doc = xmlReadMemory(reinterpret_cast<const char*>(utf16), sizeof(utf16) - 2, nullptr, nullptr,
                      XML_PARSE_NONET);
  ASSERT_NE(doc, nullptr);
  xmlFreeDoc(doc);
}

TEST(Smoke, SqliteInMemoryAndThreadSafe) {
  EXPECT_EQ(sqlite3_threadsafe(), 1);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE t(v TEXT); INSERT INTO t VALUES('one'),('two');",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_stmt* stmt = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT count(*) FROM t", -1, &stmt, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(stmt, 0), 2);
  sqlite3_finalize(stmt);
  sqlite3_close(db);
}

TEST(Smoke, AsioLoopbackRoundTrip) {
  namespace asio = boost::asio;
  asio::io_context io;
  asio::ip::tcp::acceptor acceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
  const auto port = acceptor.local_endpoint().port();
  ASSERT_NE(port, 0);
  std::string received;
  std::thread client([port, &received] {
    asio::io_context cio;
    asio::ip::tcp::socket socket(cio);
    socket.connect({asio::ip::make_address("127.0.0.1"), port});
    std::array<char, 5> buffer{};
    asio::read(socket, asio::buffer(buffer));
    received.assign(buffer.data(), buffer.size());
  });
  asio::ip::tcp::socket peer = acceptor.accept();
  asio::write(peer, asio::buffer(std::string("hello")));
  client.join();
  EXPECT_EQ(received, "hello");
}
