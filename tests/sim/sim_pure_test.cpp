// Unit tests of the display simulator's pure parts: no sockets, no files.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "digest.h"
#include "display_logic.h"
#include "journal.h"
#include "options.h"
#include "target.h"
#include "url.h"
#include "xml_body.h"
#include "xml_text.h"

using namespace dsim;

// ---- digest -----------------------------------------------------------------------------

TEST(SimDigest, Md5OfKnownTexts) {
  EXPECT_EQ(md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(SimDigest, LoginDigestJoinsWithColonsAndSuffix) {
  EXPECT_EQ(loginDigest("S1", "admin", "12345"), md5Hex("S1:admin:12345:KOVRA"));
  // An empty password still leaves both colons around it.
  EXPECT_EQ(loginDigest("S1", "admin", ""), md5Hex("S1:admin::KOVRA"));
  EXPECT_EQ(loginDigest("S1", "a<&b", "p"), md5Hex("S1:a<&b:p:KOVRA"));
}

TEST(SimDigest, MatchIgnoresLetterCaseOnly) {
  const std::string d = md5Hex("x");
  std::string upper = d;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_TRUE(digestMatches(d, d));
  EXPECT_TRUE(digestMatches(upper, d));
  EXPECT_FALSE(digestMatches(d.substr(1), d));
  EXPECT_FALSE(digestMatches("", d));
  EXPECT_FALSE(digestMatches(md5Hex("y"), d));
}

TEST(SimDigest, StreamEqualsOneShot) {
  Md5Stream md5;
  md5.update("ab", 2);
  md5.update("c", 1);
  EXPECT_EQ(md5.finishHex(), md5Hex("abc"));
  EXPECT_EQ(md5.finishHex(), md5Hex(""));  // finishing starts again
}

// ---- query and ID parsing ---------------------------------------------------------------

TEST(SimTarget, SplitsPathAndQuery) {
  struct Case {
    const char* target;
    const char* path;
    const char* query;
  };
  for (const Case& c : {Case{"/ISAPI/DeviceInfo?ID=abc", "/ISAPI/DeviceInfo", "ID=abc"},
                        Case{"/ISAPI/DeviceInfo", "/ISAPI/DeviceInfo", ""},
                        Case{"/a?b?c", "/a", "b?c"}, Case{"?x", "", "x"}}) {
    const SplitTarget t = splitTarget(c.target);
    EXPECT_EQ(t.path, c.path) << c.target;
    EXPECT_EQ(t.query, c.query) << c.target;
  }
}

TEST(SimTarget, FindsQueryValues) {
  const std::string upload = "name=5f.conf&offset=1234&ID=0123abcd";
  EXPECT_EQ(queryValue(upload, "ID").value(), "0123abcd");
  EXPECT_EQ(queryValue(upload, "offset").value(), "1234");
  EXPECT_EQ(queryValue(upload, "name").value(), "5f.conf");
  EXPECT_FALSE(queryValue(upload, "id").has_value());  // names are case-sensitive
  EXPECT_FALSE(queryValue("", "ID").has_value());
  EXPECT_EQ(queryValue("ID=", "ID").value(), "");
  EXPECT_EQ(queryValue("ID", "ID").value(), "");
  EXPECT_EQ(queryValue("XID=1&ID=2", "ID").value(), "2");
  EXPECT_EQ(queryValue("ID=1&ID=2", "ID").value(), "1");
}

// ---- URLs ------------------------------------------------------------------------------

TEST(SimUrl, ParsesFetchUrls) {
  auto u = parseHttpUrl("http://10.77.1.1:8089/media/a.mp4");
  ASSERT_TRUE(u);
  EXPECT_EQ(u->host, "10.77.1.1");
  EXPECT_EQ(u->port, 8089);
  EXPECT_EQ(u->authority, "10.77.1.1:8089");
  EXPECT_EQ(u->target, "/media/a.mp4");

  u = parseHttpUrl("HTTP://10.0.0.1/firmware/fw 1.dav#frag");
  ASSERT_TRUE(u);
  EXPECT_EQ(u->port, 80);
  EXPECT_EQ(u->target, "/firmware/fw%201.dav");

  u = parseHttpUrl("http://[fe80::1]:81?x=1");
  ASSERT_TRUE(u);
  EXPECT_EQ(u->host, "fe80::1");
  EXPECT_EQ(u->port, 81);
  EXPECT_EQ(u->target, "/?x=1");

  for (const char* bad :
       {"", "https://10.0.0.1/a", "http://:8089/media/a.mp4", "http://h:0/", "http://h:99999/",
        "http://h:/", "http://u@h/", "ftp://h/", "http://[::1/"}) {
    EXPECT_FALSE(parseHttpUrl(bad)) << bad;
  }
}

TEST(SimUrl, PercentEncodesOnlyWhatATargetCannotCarry) {
  EXPECT_EQ(percentEncodeTarget("/media/a b.mp4"), "/media/a%20b.mp4");
  EXPECT_EQ(percentEncodeTarget("/media/a%20b.mp4"), "/media/a%20b.mp4");
  EXPECT_EQ(percentEncodeTarget("/media/\xc3\xa4.png"), "/media/%C3%A4.png");
  EXPECT_EQ(percentEncodeTarget("/m/<\"{|}>"), "/m/%3C%22%7B%7C%7D%3E");
  EXPECT_EQ(percentEncodeTarget("/m/a-b_c.~!$&'()*+,;=:@?x=1"), "/m/a-b_c.~!$&'()*+,;=:@?x=1");
}

TEST(SimUrl, ConsecutiveAddresses) {
  EXPECT_EQ(ipv4AddressAt("10.77.1.10", 0).value(), "10.77.1.10");
  EXPECT_EQ(ipv4AddressAt("10.77.1.250", 10).value(), "10.77.2.4");
  EXPECT_EQ(ipv4AddressAt("255.255.255.255", 0).value(), "255.255.255.255");
  EXPECT_FALSE(ipv4AddressAt("255.255.255.255", 1));
  EXPECT_FALSE(ipv4AddressAt("not-an-address", 0));
  EXPECT_EQ(formatEndpoint("10.0.0.1", 80), "10.0.0.1:80");
  EXPECT_EQ(formatEndpoint("::1", 80, true), "[::1]:80");
}

// ---- request bodies --------------------------------------------------------------------

// As the host builds it for two items, after the placeholder replacement.
const char* const kFetchList =
    "<?xml version=\"1.0\"?>\n<FetchListConfig><ListCount>2</ListCount>"
    "<NotifyServerHost>192.168.1.5</NotifyServerHost><NotifyServerPort>8080</NotifyServerPort>"
    "<FetchList_0><FileID>1</FileID><PlayType>1</PlayType><Duration>10</Duration>"
    "<FetchURL>http://192.168.1.5:8080/media/a.mp4</FetchURL></FetchList_0>"
    "<FetchList_1><FileID>-2</FileID><PlayType>2</PlayType><Duration>5</Duration>"
    "<FetchURL>http://192.168.1.5:8080/media/b.png</FetchURL></FetchList_1></FetchListConfig>\n";

const char* const kFirmware =
    "<?xml version=\"1.0\"?>\n<FetchFirmware><NotifyServerHost>10.77.2.1</NotifyServerHost>"
    "<NotifyServerPort>8089</NotifyServerPort>"
    "<NotifyServerURL>/ISAPI/System/NotifyFetchFirmware</NotifyServerURL>"
    "<FetchURL>http://10.77.2.1:8089/firmware/fw.dav</FetchURL></FetchFirmware>\n";

TEST(SimXmlBody, ExtractsFetchUrlsAndNotifyServerFromFetchList) {
  const auto order = parseFetchOrder(kFetchList, FetchKind::MediaList);
  ASSERT_TRUE(order);
  EXPECT_EQ(order->kind, FetchKind::MediaList);
  ASSERT_EQ(order->urls.size(), 2u);
  EXPECT_EQ(order->urls[0], "http://192.168.1.5:8080/media/a.mp4");
  EXPECT_EQ(order->urls[1], "http://192.168.1.5:8080/media/b.png");
  EXPECT_EQ(order->notifyHost, "192.168.1.5");
  EXPECT_EQ(order->notifyPort, "8080");
  EXPECT_EQ(order->notifyUrl, "");
  EXPECT_FALSE(parseFetchOrder(kFetchList, FetchKind::Firmware));
}

TEST(SimXmlBody, ExtractsFirmwareOrder) {
  const auto order = parseFetchOrder(kFirmware, FetchKind::Firmware);
  ASSERT_TRUE(order);
  ASSERT_EQ(order->urls.size(), 1u);
  EXPECT_EQ(order->urls[0], "http://10.77.2.1:8089/firmware/fw.dav");
  EXPECT_EQ(order->notifyHost, "10.77.2.1");
  EXPECT_EQ(order->notifyPort, "8089");
  EXPECT_EQ(order->notifyUrl, "/ISAPI/System/NotifyFetchFirmware");
}

TEST(SimXmlBody, EmptyPlaceholderAndBrokenBodies) {
  // No local address in the display's subnet: the host leaves the host part empty.
  const auto order = parseFetchOrder(
      "<FetchListConfig><NotifyServerHost></NotifyServerHost><NotifyServerPort>8089"
      "</NotifyServerPort><FetchList_0><FetchURL>http://:8089/media/a.mp4</FetchURL>"
      "</FetchList_0></FetchListConfig>",
      FetchKind::MediaList);
  ASSERT_TRUE(order);
  EXPECT_EQ(order->notifyHost, "");
  EXPECT_EQ(order->urls.at(0), "http://:8089/media/a.mp4");
  EXPECT_FALSE(parseFetchOrder("<FetchListConfig><FetchURL>x</FetchURL>", FetchKind::MediaList));
  EXPECT_FALSE(parseFetchOrder("", FetchKind::MediaList));
  EXPECT_FALSE(parseFetchOrder(std::string("\0\xff<", 3), FetchKind::MediaList));
}

TEST(SimXmlBody, UserCheckValuesAreUnescaped) {
  const auto check = parseUserCheck(
      "<UserCheck><Username>a&lt;&amp;b</Username><Password>0a1b</Password>"
      "<SessionId>S9</SessionId></UserCheck>");
  ASSERT_TRUE(check);
  EXPECT_EQ(check->username, "a<&b");
  EXPECT_EQ(check->password, "0a1b");
  EXPECT_EQ(check->sessionId, "S9");
  EXPECT_FALSE(parseUserCheck("<Login><Username>a</Username></Login>"));
  // The unescaped form of the original design is not well-formed for such a name.
  EXPECT_FALSE(parseUserCheck("<UserCheck><Username>a<&b</Username></UserCheck>"));
}

TEST(SimXmlBody, RootAndTotalFileSize) {
  EXPECT_EQ(xmlRootName("<?xml version=\"1.0\"?><Banner><BrandCustom/></Banner>").value(),
            "Banner");
  EXPECT_FALSE(xmlRootName("<ResponseStatus><StatusCode>200"));
  EXPECT_EQ(parseTotalFileSize("<RequestUploadList><TotalFileCount>2</TotalFileCount>"
                               "<TotalFileSize>1024</TotalFileSize></RequestUploadList>")
                .value(),
            1024u);
  EXPECT_EQ(parseTotalFileSize("<RequestUploadList><TotalFileSize>8589934592</TotalFileSize>"
                               "</RequestUploadList>")
                .value(),
            8589934592u);
  EXPECT_FALSE(
      parseTotalFileSize("<RequestUploadList><TotalFileSize>-1</TotalFileSize>"
                         "</RequestUploadList>"));
  EXPECT_FALSE(parseTotalFileSize("<RequestUploadList></RequestUploadList>"));
}

// ---- answers and notifications -----------------------------------------------------------

TEST(SimXmlText, ResponseStatusIsWellFormedAndEscaped) {
  const std::string xml =
      responseStatusXml("/ISAPI/a&<b>", "401", "Unauthenticated", {{"SessionId", "S1"}});
  EXPECT_NE(xml.find("<RequestURL>/ISAPI/a&amp;&lt;b&gt;</RequestURL>"), std::string::npos);
  EXPECT_NE(xml.find("<StatusCode>401</StatusCode><StatusString>Unauthenticated</StatusString>"
                     "<SessionId>S1</SessionId>"),
            std::string::npos);
  EXPECT_EQ(xmlRootName(xml).value(), "ResponseStatus");
  EXPECT_FALSE(xmlRootName(malformedXml("/ISAPI/DeviceInfo")));
}

TEST(SimXmlText, NotificationBodies) {
  EXPECT_NE(fetchResultXml(3, 2, 1).find("<NotifyFetchResult><TotalCount>3</TotalCount>"
                                         "<SucceedCount>2</SucceedCount><FailedCount>1"
                                         "</FailedCount></NotifyFetchResult>"),
            std::string::npos);
  EXPECT_NE(firmwareResultXml(1, 1).find("<StatusCode>200</StatusCode><StatusString>OK"),
            std::string::npos);
  EXPECT_EQ(firmwareResultXml(1, 0).find("<StatusCode>200"), std::string::npos);
  EXPECT_EQ(firmwareResultXml(0, 0).find("<StatusCode>200"), std::string::npos);
}

// ---- display logic ---------------------------------------------------------------------

namespace {

std::string field(const std::string& xml, const std::string& name) {
  const auto open = xml.find("<" + name + ">");
  if (open == std::string::npos) return "<missing>";
  const auto start = open + name.size() + 2;
  return xml.substr(start, xml.find("</" + name + ">", start) - start);
}

struct LoggedIn {
  SessionStore sessions{42};
  LogicConfig config;
  std::string id;

  explicit LoggedIn(LogicConfig c = {}) : config(c) {
    const Decision challenge = decideReply({"POST", kLoginPath, ""}, sessions, config);
    const std::string sid = field(challenge.reply.body, "SessionId");
    const Decision login =
        decideReply({"POST", kLoginPath,
                     "<UserCheck><Username>" + config.user + "</Username><Password>" +
                         loginDigest(sid, config.user, config.password) + "</Password><SessionId>" +
                         sid + "</SessionId></UserCheck>"},
                    sessions, config);
    if (login.reply.statusCode == "200") id = sid;
  }
  Decision send(const std::string& method, const std::string& path, const std::string& body) {
    return decideReply({method, path + "?ID=" + id, body}, sessions, config);
  }
};

}  // namespace

TEST(SimLogic, ChallengeGivesFreshSessionIds) {
  SessionStore sessions(1);
  const LogicConfig config;
  const Decision a = decideReply({"POST", kLoginPath, ""}, sessions, config);
  const Decision b = decideReply({"POST", kLoginPath, "\r\n"}, sessions, config);
  EXPECT_EQ(a.reply.httpStatus, 200);
  EXPECT_EQ(field(a.reply.body, "RequestURL"), "/ISAPI/Security/Login");
  EXPECT_EQ(field(a.reply.body, "StatusCode"), "401");
  EXPECT_EQ(field(a.reply.body, "StatusString"), "Unauthenticated");
  EXPECT_EQ(field(a.reply.body, "SessionId").size(), 32u);
  EXPECT_NE(field(a.reply.body, "SessionId"), field(b.reply.body, "SessionId"));
}

TEST(SimLogic, LoginAcceptsTheRightDigestOnly) {
  LoggedIn ok;
  EXPECT_FALSE(ok.id.empty());

  SessionStore sessions(7);
  const LogicConfig config;
  const Decision challenge = decideReply({"POST", kLoginPath, ""}, sessions, config);
  const std::string sid = field(challenge.reply.body, "SessionId");
  auto attempt = [&](const std::string& user, const std::string& digest, const std::string& id) {
    return decideReply({"POST", kLoginPath,
                        "<UserCheck><Username>" + user + "</Username><Password>" + digest +
                            "</Password><SessionId>" + id + "</SessionId></UserCheck>"},
                       sessions, config);
  };
  const Decision bad = attempt("admin", loginDigest(sid, "admin", "wrong"), sid);
  EXPECT_EQ(field(bad.reply.body, "StatusCode"), "401");
  EXPECT_NE(field(bad.reply.body, "SessionId"), sid);  // a fresh one
  EXPECT_EQ(field(attempt("root", loginDigest(sid, "root", "12345"), sid).reply.body, "StatusCode"),
            "401");
  // A session id the display never issued.
  EXPECT_EQ(field(attempt("admin", loginDigest("forged", "admin", "12345"), "forged").reply.body,
                  "StatusCode"),
            "401");
  const Decision good = attempt("admin", loginDigest(sid, "admin", "12345"), sid);
  EXPECT_EQ(field(good.reply.body, "StatusCode"), "200");
  EXPECT_EQ(field(good.reply.body, "StatusString"), "OK");
  EXPECT_EQ(field(good.reply.body, "SessionId"), sid);
  EXPECT_NE(field(good.reply.body, "Privilege"), "<missing>");
}

TEST(SimLogic, WrongCredentialsFaultRefusesEveryLogin) {
  LogicConfig config;
  config.wrongCredentials = true;
  LoggedIn session(config);
  EXPECT_TRUE(session.id.empty());
}

TEST(SimLogic, EveryHostRequestAnsweredWithItsPath) {
  LoggedIn s;
  struct Case {
    const char* path;
    const char* body;
  };
  for (const Case& c : {
           Case{"/ISAPI/Gui/UrgentConfig", "<UrgentConfig><Enabled>1</Enabled></UrgentConfig>"},
           Case{"/ISAPI/Gui/Banner/BrandCustom",
                "<Banner><BrandCustom><Enabled>1</Enabled></BrandCustom></Banner>"},
           Case{"/ISAPI/Gui/Banner/Deterrence", "<Banner><DeterrenceMsg/></Banner>"},
           Case{"/ISAPI/VideoAdvert/ClearFileList",
                "<ClearFileList><Enabled>1</Enabled></ClearFileList>"},
           Case{"/ISAPI/VideoAdvert/VideoAdvertConfig",
                "<VideoAdvertConfig><Enabled>0</Enabled></VideoAdvertConfig>"},
           Case{"/ISAPI/DeviceInfo", "<DeviceInfo><DeviceName>x</DeviceName></DeviceInfo>"},
           Case{"/ISAPI/VideoAdvert/ScreenSwitch",
                "<ScreenSwitch><Enabled>1</Enabled></ScreenSwitch>"},
           Case{"/ISAPI/VideoAdvert/RequestUploadList",
                "<RequestUploadList><TotalFileCount>1</TotalFileCount><TotalFileSize>5"
                "</TotalFileSize></RequestUploadList>"},
       }) {
    const Decision d = s.send("PUT", c.path, c.body);
    EXPECT_EQ(d.reply.httpStatus, 200) << c.path;
    EXPECT_EQ(field(d.reply.body, "RequestURL"), c.path);
    EXPECT_EQ(field(d.reply.body, "StatusCode"), "200") << c.path;
    EXPECT_EQ(field(d.reply.body, "StatusString"), "OK") << c.path;
    EXPECT_FALSE(d.fetch) << c.path;
  }
}

TEST(SimLogic, FetchRequestsOrderDownloads) {
  LoggedIn s;
  Decision d = s.send("PUT", "/ISAPI/VideoAdvert/FetchListConfig", kFetchList);
  EXPECT_EQ(field(d.reply.body, "StatusCode"), "200");
  ASSERT_TRUE(d.fetch);
  EXPECT_EQ(d.fetch->urls.size(), 2u);
  d = s.send("PUT", "/ISAPI/System/FetchFirmware", kFirmware);
  EXPECT_EQ(field(d.reply.body, "RequestURL"), "/ISAPI/System/FetchFirmware");
  ASSERT_TRUE(d.fetch);
  EXPECT_EQ(d.fetch->kind, FetchKind::Firmware);
}

TEST(SimLogic, UploadListAboveFreeSpaceAnswers503) {
  LogicConfig config;
  config.freeSpace = 1000;
  LoggedIn s(config);
  auto ask = [&](const std::string& size) {
    return field(s.send("PUT", "/ISAPI/VideoAdvert/RequestUploadList",
                        "<RequestUploadList><TotalFileCount>1</TotalFileCount><TotalFileSize>" +
                            size + "</TotalFileSize></RequestUploadList>")
                     .reply.body,
                 "StatusCode");
  };
  EXPECT_EQ(ask("1000"), "200");
  EXPECT_EQ(ask("1001"), "503");
  EXPECT_EQ(ask("x"), "400");
}

TEST(SimLogic, ConfigurationUploadAnswersEmpty200) {
  LoggedIn s;
  const std::string base = std::string(kUploadPath) + "?name=" + md5Hex("settings.conf") + ".conf";
  Decision data = decideReply({"POST", base + "&offset=0&ID=" + s.id, std::string(1234, 'x')},
                              s.sessions, s.config);
  EXPECT_EQ(data.reply.httpStatus, 200);
  EXPECT_EQ(data.reply.body, "");
  Decision closing =
      decideReply({"POST", base + "&offset=1234&ID=" + s.id, ""}, s.sessions, s.config);
  EXPECT_EQ(closing.reply.httpStatus, 200);
  EXPECT_EQ(closing.reply.body, "");
  Decision noId = decideReply({"POST", base + "&offset=0&ID=nope", "x"}, s.sessions, s.config);
  EXPECT_EQ(field(noId.reply.body, "StatusCode"), "401");
}

TEST(SimLogic, RefusalsOfBadRequests) {
  LoggedIn s;
  // Missing or wrong session id.
  EXPECT_EQ(field(decideReply({"PUT", "/ISAPI/DeviceInfo", "<DeviceInfo/>"}, s.sessions, s.config)
                      .reply.body,
                  "StatusCode"),
            "401");
  EXPECT_EQ(field(s.send("GET", "/ISAPI/DeviceInfo", "").reply.body, "StatusCode"), "405");
  EXPECT_EQ(field(s.send("PUT", "/ISAPI/DeviceInfo", "<Banner/>").reply.body, "StatusCode"), "400");
  EXPECT_EQ(field(s.send("PUT", "/ISAPI/DeviceInfo", "<DeviceInfo>").reply.body, "StatusCode"),
            "400");
  const Decision unknown = s.send("PUT", "/ISAPI/Nothing", "");
  EXPECT_EQ(field(unknown.reply.body, "RequestURL"), "/ISAPI/Nothing");
  EXPECT_EQ(field(unknown.reply.body, "StatusCode"), "404");
  EXPECT_EQ(s.send("GET", "/index.html", "").reply.httpStatus, 404);
}

TEST(SimLogic, SessionStoreIsBounded) {
  SessionStore store(3, 2);
  const std::string a = store.issueChallenge();
  const std::string b = store.issueChallenge();
  const std::string c = store.issueChallenge();
  EXPECT_FALSE(store.isChallenge(a));
  EXPECT_TRUE(store.isChallenge(b));
  EXPECT_TRUE(store.authenticate(c));
  EXPECT_FALSE(store.authenticate(a));
  EXPECT_TRUE(store.isAuthenticated(c));
  EXPECT_FALSE(store.isAuthenticated(""));
}

// ---- journal encoding --------------------------------------------------------------------

TEST(SimJournal, RequestLineCarriesEverything) {
  RequestRecord r;
  r.display = "10.77.1.10:80";
  r.peer = "10.77.1.1:50000";
  r.method = "PUT";
  r.target = "/ISAPI/DeviceInfo?ID=S";
  r.version = "HTTP/1.1";
  r.headers = {{"Host", "10.77.1.10:80"}, {"X-Dup", "a"}, {"X-Dup", "b"}};
  r.body = "<DeviceInfo/>";
  r.rawHead = "PUT /ISAPI/DeviceInfo?ID=S HTTP/1.1\r\nHost: 10.77.1.10:80\r\n\r\n";
  r.answered = true;
  r.replyStatus = 200;
  r.replyCode = "200";
  r.replyBody = "<ResponseStatus/>";
  const std::string line = journalLine(encodeRequest(r, 1000), 7, 1234);
  EXPECT_EQ(line.find('\n'), std::string::npos);
  const auto j = nlohmann::json::parse(line);
  EXPECT_EQ(j["event"], "request");
  EXPECT_EQ(j["seq"], 7);
  EXPECT_EQ(j["time_ms"], 1234);
  EXPECT_EQ(j["display"], r.display);
  EXPECT_EQ(j["peer"], r.peer);
  EXPECT_EQ(j["method"], "PUT");
  EXPECT_EQ(j["target"], r.target);
  EXPECT_EQ(j["headers"]["Host"], "10.77.1.10:80");
  EXPECT_EQ(j["headers"]["X-Dup"], "a, b");
  EXPECT_EQ(j["body"], r.body);
  EXPECT_EQ(j["body_size"], r.body.size());
  EXPECT_EQ(j["body_md5"], md5Hex(r.body));
  EXPECT_EQ(j["body_truncated"], false);
  EXPECT_EQ(j["raw_head"], r.rawHead);
  EXPECT_EQ(j["answered"], true);
  EXPECT_EQ(j["reply_status"], 200);
  EXPECT_EQ(j["reply_code"], "200");
  EXPECT_FALSE(j.contains("error"));
  // Members are sorted: "answered" comes first.
  EXPECT_EQ(line.rfind("{\"answered\":", 0), 0u);
}

TEST(SimJournal, LongAndBinaryBodies) {
  RequestRecord r;
  r.body = std::string(100, 'x');
  auto j = encodeRequest(r, 10);
  EXPECT_EQ(j["body"], std::string(10, 'x'));
  EXPECT_EQ(j["body_size"], 100);
  EXPECT_EQ(j["body_truncated"], true);
  EXPECT_FALSE(j.contains("reply_status"));

  r.body = std::string("\x00\xff\x01", 3);
  j = encodeRequest(r, 10);
  EXPECT_EQ(j["body"], "AP8B");
  EXPECT_EQ(j["body_encoding"], "base64");

  // A cut through a multi-byte character keeps the text valid.
  r.body = "ab\xc3\xa4";
  j = encodeRequest(r, 3);
  EXPECT_EQ(j["body"], "ab");
  EXPECT_FALSE(j.contains("body_encoding"));
  EXPECT_NO_THROW(nlohmann::json::parse(journalLine(j, 1, 1)));
}

TEST(SimJournal, Utf8AndBase64Helpers) {
  EXPECT_TRUE(isValidUtf8("plain"));
  EXPECT_TRUE(isValidUtf8("\xc3\xa4\xe2\x82\xac\xf0\x9f\x98\x80"));
  EXPECT_FALSE(isValidUtf8("\xc3"));
  EXPECT_FALSE(isValidUtf8("\xed\xa0\x80"));  // a surrogate
  EXPECT_FALSE(isValidUtf8("\xc0\xaf"));      // overlong
  EXPECT_EQ(base64Encode(""), "");
  EXPECT_EQ(base64Encode("f"), "Zg==");
  EXPECT_EQ(base64Encode("fo"), "Zm8=");
  EXPECT_EQ(base64Encode("foo"), "Zm9v");
}

TEST(SimJournal, FetchAndNotifyLines) {
  FetchRecord f{"10.77.1.10:80",
                "http://10.77.1.1:8089/media/a b.mp4",
                "/media/a%20b.mp4",
                200,
                1000,
                md5Hex("x"),
                true,
                "",
                5};
  auto j = nlohmann::json::parse(journalLine(encodeFetch(f), 1, 1));
  EXPECT_EQ(j["event"], "fetch");
  EXPECT_EQ(j["url"], f.url);
  EXPECT_EQ(j["target"], f.target);
  EXPECT_EQ(j["status"], 200);
  EXPECT_EQ(j["bytes"], 1000);
  EXPECT_EQ(j["ok"], true);

  NotifyRecord n{"10.77.1.10:80",
                 "NotifyFetchResult",
                 "10.77.1.1:8089",
                 "/ISAPI/VideoAdvert/NotifyFetchResult",
                 fetchResultXml(1, 1, 0),
                 true,
                 0,
                 ""};
  j = nlohmann::json::parse(journalLine(encodeNotify(n), 2, 1));
  EXPECT_EQ(j["event"], "notify");
  EXPECT_EQ(j["kind"], "NotifyFetchResult");
  EXPECT_EQ(j["target"], "10.77.1.1:8089");
  EXPECT_EQ(j["url"], "/ISAPI/VideoAdvert/NotifyFetchResult");
  EXPECT_EQ(j["sent"], true);
  EXPECT_EQ(j["answer_status"], 0);
}

// ---- command line --------------------------------------------------------------------------

TEST(SimOptions, DefaultsAndValues) {
  ParseResult p = parseOptions({});
  ASSERT_EQ(p.error, "");
  EXPECT_EQ(p.options.port, 80);
  EXPECT_EQ(p.options.count, 1);
  EXPECT_EQ(p.options.user, "admin");
  EXPECT_EQ(p.options.password, "12345");
  EXPECT_EQ(p.options.idleMs, 2000);

  p = parseOptions({"--address", "10.77.1.10", "--count=250", "--port", "8080", "--user", "u",
                    "--password=", "--free-space", "5", "--fault", "slow=150",
                    "--fault=http-status=401", "--fault", "malformed-xml", "--journal", "/tmp/j",
                    "--threads", "2"});
  ASSERT_EQ(p.error, "");
  EXPECT_EQ(p.options.address, "10.77.1.10");
  EXPECT_EQ(p.options.count, 250);
  EXPECT_EQ(p.options.port, 8080);
  EXPECT_EQ(p.options.password, "");
  EXPECT_EQ(p.options.freeSpace, 5u);
  EXPECT_EQ(p.options.faults.slowMs, 150);
  EXPECT_EQ(p.options.faults.httpStatus, 401);
  EXPECT_TRUE(p.options.faults.malformedXml);
  EXPECT_EQ(p.options.journalPath, "/tmp/j");
  EXPECT_EQ(p.options.threads, 2);
}

TEST(SimOptions, Errors) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--address", "10.0.0"},
                                             {"--count", "0"},
                                             {"--port", "65536"},
                                             {"--fault", "explode"},
                                             {"--fault", "http-status=99"},
                                             {"--fault", "slow=-1"},
                                             {"--count"},
                                             {"--bogus"},
                                             {"--address", "255.255.255.255", "--count", "2"}}) {
    EXPECT_NE(parseOptions(args).error, "") << args.front();
  }
  EXPECT_TRUE(parseOptions({"--help"}).options.help);
  EXPECT_NE(usageText().find("--fault"), std::string::npos);
}
