#include "device/folder_server.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "server_test_support.h"

using folder::ByteRange;
using folder::Reply;
using folder::Request;
using folder::Target;

namespace {

std::string canonical(const std::string& path) {
  char* real = ::realpath(path.c_str(), nullptr);
  std::string result = real ? real : "";
  std::free(real);
  return result;
}

std::string header(const Reply& reply, const std::string& name) {
  for (const auto& [key, value] : reply.headers) {
    if (key == name) return value;
  }
  return {};
}

std::string fileBytes(const Reply& reply) {
  std::string bytes(reply.length, '\0');
  const ssize_t got =
      ::pread(reply.file.fd(), bytes.data(), bytes.size(), static_cast<off_t>(reply.offset));
  bytes.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return bytes;
}

// base/root is served; base/outside is a sibling that must stay unreachable.
class FolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_.write("outside/secret.txt", "secret");
    base_.write("root/media/a b.mp4", "movie-bytes");
    base_.write("root/media/clip.MP4", "clip");
    base_.write("root/firmware/fw.bin", "firmware");
    base_.write("root/docs/index.html", "<p><!--#include virtual=\"/parts/head.txt\" --></p>");
    base_.write("root/parts/head.txt", "HEAD");
    base_.symlink("../outside", "root/escape");
    base_.symlink("../../outside/secret.txt", "root/media/link.txt");
    base_.symlink("../firmware/fw.bin", "root/media/inner.bin");
    root_ = canonical(base_.file("root"));
  }

  std::string path(const std::string& relative) const { return root_ + "/" + relative; }

  Reply serve(std::string_view target, Request request = {}) const {
    request.target = target;
    return folder::FolderServer(base_.file("root")).serve(request);
  }

  TempTree base_;
  std::string root_;
};

TEST_F(FolderTest, ResolvesTargetsInsideTheRootOnly) {
  struct Case {
    const char* target;
    Target::Kind kind;
    const char* relative;  // expected fsPath below the root; nullptr when none
  };
  const Case cases[] = {
      {"/media/a%20b.mp4", Target::Kind::File, "media/a b.mp4"},
      {"/media//a%20b.mp4", Target::Kind::File, "media/a b.mp4"},
      {"/media/a%20b.mp4?name=../../outside/secret.txt", Target::Kind::File, "media/a b.mp4"},
      {"/media/inner.bin", Target::Kind::File, "firmware/fw.bin"},
      {"/", Target::Kind::Directory, ""},
      {"/media", Target::Kind::Directory, "media"},
      {"/media/missing.mp4", Target::Kind::NotFound, nullptr},
      {"/media/a%20b.mp4/", Target::Kind::NotFound, nullptr},
      // An absolute path after a double slash must stay below the root.
      {"//etc/passwd", Target::Kind::NotFound, nullptr},
      {"/media/../firmware/fw.bin", Target::Kind::BadRequest, nullptr},
      {"/..", Target::Kind::BadRequest, nullptr},
      {"/%2e%2e/outside/secret.txt", Target::Kind::BadRequest, nullptr},
      {"/media/%2E%2e/firmware/fw.bin", Target::Kind::BadRequest, nullptr},
      {"/media/..%2f..%2foutside/secret.txt", Target::Kind::BadRequest, nullptr},
      {"/media%2f..%2f..%2foutside", Target::Kind::BadRequest, nullptr},
      {"/./media", Target::Kind::BadRequest, nullptr},
      {"/media/%2e", Target::Kind::BadRequest, nullptr},
      {"/media/a%20b.mp4%00.txt", Target::Kind::BadRequest, nullptr},
      {"/media/%00", Target::Kind::BadRequest, nullptr},
      {"/media\\..\\..\\outside\\secret.txt", Target::Kind::BadRequest, nullptr},
      {"/media/%5c..%5csecret.txt", Target::Kind::BadRequest, nullptr},
      {"/media/%zz", Target::Kind::BadRequest, nullptr},
      {"/media/a%2", Target::Kind::BadRequest, nullptr},
      {"media/a%20b.mp4", Target::Kind::BadRequest, nullptr},
      {"http://host/media/a%20b.mp4", Target::Kind::BadRequest, nullptr},
      {"", Target::Kind::BadRequest, nullptr},
      // Symlinks that resolve outside the root.
      {"/escape/secret.txt", Target::Kind::BadRequest, nullptr},
      {"/escape", Target::Kind::BadRequest, nullptr},
      {"/media/link.txt", Target::Kind::BadRequest, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    const Target target = folder::resolveTarget(root_, c.target);
    EXPECT_EQ(target.kind, c.kind);
    if (c.relative) {
      EXPECT_EQ(target.fsPath, *c.relative ? path(c.relative) : root_);
    } else {
      EXPECT_EQ(target.fsPath, "");
    }
  }
}

TEST(Range, ParsesSingleRanges) {
  using K = ByteRange::Kind;
  struct Case {
    const char* header;
    uint64_t size;
    K kind;
    uint64_t first;
    uint64_t length;
  };
  const Case cases[] = {
      {"", 1000, K::Whole, 0, 0},
      {"bytes=0-99", 1000, K::Part, 0, 100},
      {"bytes=100-", 1000, K::Part, 100, 900},
      {"bytes=999-999", 1000, K::Part, 999, 1},
      {"bytes=990-5000", 1000, K::Part, 990, 10},
      {"bytes=-100", 1000, K::Part, 900, 100},
      {"bytes=-5000", 1000, K::Part, 0, 1000},
      {"BYTES = 0-0", 1000, K::Part, 0, 1},
      {"bytes=1000-", 1000, K::Unsatisfiable, 0, 0},
      {"bytes=1000-2000", 1000, K::Unsatisfiable, 0, 0},
      {"bytes=-0", 1000, K::Unsatisfiable, 0, 0},
      {"bytes=0-", 0, K::Unsatisfiable, 0, 0},
      {"bytes=-5", 0, K::Unsatisfiable, 0, 0},
      // Forms that are not served are answered with the whole file.
      {"bytes=5-1", 1000, K::Whole, 0, 0},
      {"bytes=0-1,5-6", 1000, K::Whole, 0, 0},
      {"items=0-1", 1000, K::Whole, 0, 0},
      {"bytes=abc", 1000, K::Whole, 0, 0},
      {"bytes=1-x", 1000, K::Whole, 0, 0},
      {"bytes=-", 1000, K::Whole, 0, 0},
      {"bytes=+1-2", 1000, K::Whole, 0, 0},
      {"bytes=99999999999999999999999-", 1000, K::Whole, 0, 0},
      {"bytes=0-99999999999999999999999", 1000, K::Whole, 0, 0},
      {"bytes=18446744073709551615-", 1000, K::Unsatisfiable, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.header);
    const ByteRange range = folder::parseRange(c.header, c.size);
    EXPECT_EQ(range.kind, c.kind);
    if (c.kind == K::Part) {
      EXPECT_EQ(range.first, c.first);
      EXPECT_EQ(range.length, c.length);
    }
  }
}

TEST(ContentType, FollowsTheExtension) {
  const std::pair<const char*, const char*> cases[] = {
      {"/media/a.mp4", "video/mp4"},
      {"/media/A.MP4", "video/mp4"},
      {"x.mkv", "video/x-matroska"},
      {"x.avi", "video/x-msvideo"},
      {"x.mov", "video/quicktime"},
      {"x.jpg", "image/jpeg"},
      {"x.JPEG", "image/jpeg"},
      {"x.png", "image/png"},
      {"x.gif", "image/gif"},
      {"x.bmp", "image/bmp"},
      {"x.webp", "image/webp"},
      {"index.html", "text/html; charset=utf-8"},
      {"x.css", "text/css; charset=utf-8"},
      {"x.js", "text/javascript; charset=utf-8"},
      {"x.json", "application/json"},
      {"favicon.ico", "image/x-icon"},
      {"x.svg", "image/svg+xml"},
      {"x.woff", "font/woff"},
      {"x.woff2", "font/woff2"},
      {"x.ttf", "font/ttf"},
      {"x.zip", "application/zip"},
      {"fw.bin", "application/octet-stream"},
      {"x.txt", "text/plain; charset=utf-8"},
      {"x.tar.gz", "application/octet-stream"},
      {"noextension", "application/octet-stream"},
      {"/dir.mp4/noextension", "application/octet-stream"},
      {"trailingdot.", "application/octet-stream"},
  };
  for (const auto& [path, type] : cases) {
    SCOPED_TRACE(path);
    EXPECT_EQ(folder::contentType(path), type);
  }
}

TEST(HttpDate, IsImfFixdate) {
  EXPECT_EQ(folder::httpDate(784111777), "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_EQ(folder::httpDate(0), "Thu, 01 Jan 1970 00:00:00 GMT");
  EXPECT_EQ(folder::httpDate(951782400), "Tue, 29 Feb 2000 00:00:00 GMT");
}

TEST(Escaping, NamesCannotBreakOutOfMarkupOrLinks) {
  EXPECT_EQ(folder::urlEncode("a b#?%/\xC3\xA9.mp4"), "a%20b%23%3F%25%2F%C3%A9.mp4");
  EXPECT_EQ(folder::urlEncode("/media/a b", true), "/media/a%20b");
  EXPECT_EQ(folder::urlEncode("javascript:alert(1)"), "javascript%3Aalert%281%29");
}

TEST(Listing, EscapesNamesAndLinks) {
  TempTree dir;
  dir.write("<b>&\"'.txt", "1");
  dir.write("javascript:alert(1).jpg", "22");
  dir.mkdir("sub folder");
  const std::string html = folder::renderListing("/media/<x>/", dir.path());
  EXPECT_NE(html.find("href=\"%3Cb%3E%26%22%27.txt\">&lt;b&gt;&amp;&quot;&apos;.txt</a>"),
            std::string::npos);
  EXPECT_NE(html.find("href=\"javascript%3Aalert%281%29.jpg\""), std::string::npos);
  EXPECT_NE(html.find("href=\"sub%20folder/\">sub folder/</a>"), std::string::npos);
  EXPECT_NE(html.find("Index of /media/&lt;x&gt;/"), std::string::npos);
  EXPECT_NE(html.find("href=\"../\""), std::string::npos);
  EXPECT_EQ(html.find("<b>"), std::string::npos);
  EXPECT_EQ(html.find("<x>"), std::string::npos);
  // Folders first, then files by name.
  EXPECT_LT(html.find("sub folder"), html.find("&lt;b&gt;"));
  EXPECT_LT(html.find("&lt;b&gt;"), html.find("javascript"));
  EXPECT_EQ(folder::renderListing("/", dir.path()).find("href=\"../\""), std::string::npos);
}

class IncludeTest : public FolderTest {
 protected:
  std::string expand(const std::string& relative, const std::string& content) {
    base_.write("root/" + relative, content);
    return folder::expandIncludes(root_, path(relative));
  }
};

TEST_F(IncludeTest, ExpandsIncludesInsideTheRoot) {
  base_.write("root/ssi/part.txt", "[part]");
  base_.write("root/ssi/sub/nested.html", "<!--#include file=\"../part.txt\" -->");
  struct Case {
    const char* name;
    std::string page;
    std::string expected;
  };
  const Case cases[] = {
      {"virtual from root", "A<!--#include virtual=\"/ssi/part.txt\" -->B", "A[part]B"},
      {"virtual without slash", "<!--#include virtual=\"ssi/part.txt\"-->", "[part]"},
      {"file beside the page", "<!--#include file='part.txt' -->", "[part]"},
      {"nested include", "(<!--#include file=\"sub/nested.html\" -->)", "([part])"},
      {"several", "<!--#include file=\"part.txt\" --><!--#include file=\"part.txt\" -->",
       "[part][part]"},
      {"virtual leaving the root", "A<!--#include virtual=\"/../outside/secret.txt\" -->B", "AB"},
      {"file leaving the root", "A<!--#include file=\"../../outside/secret.txt\" -->B", "AB"},
      {"absolute file path", "A<!--#include file=\"/etc/passwd\" -->B", "AB"},
      {"symlink out of the root", "A<!--#include virtual=\"/media/link.txt\" -->B", "AB"},
      {"through an escaping folder", "A<!--#include virtual=\"/escape/secret.txt\" -->B", "AB"},
      {"missing file", "A<!--#include virtual=\"/ssi/none.txt\" -->B", "AB"},
      {"a folder", "A<!--#include virtual=\"/ssi\" -->B", "AB"},
      {"unquoted value kept as written", "<!--#include virtual=x -->",
       "<!--#include virtual=x -->"},
      {"other directives kept", "<!--#exec cmd=\"ls\" -->", "<!--#exec cmd=\"ls\" -->"},
      {"unterminated kept", "x<!--#include virtual=\"/ssi/part.txt\"",
       "x<!--#include virtual=\"/ssi/part.txt\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(expand("ssi/page.html", c.page), c.expected);
  }
}

TEST_F(IncludeTest, NestingIsBounded) {
  for (int level = 0; level < 8; ++level) {
    base_.write(
        "root/deep/" + std::to_string(level) + ".html",
        std::to_string(level) + "<!--#include file=\"" + std::to_string(level + 1) + ".html\" -->");
  }
  EXPECT_EQ(folder::expandIncludes(root_, path("deep/0.html")), "012345");
  EXPECT_EQ(expand("self.html", "x<!--#include file=\"self.html\" -->"), "xxxxxx");
}

TEST_F(IncludeTest, SelfMultiplyingPagesStayBounded) {
  std::string page(64 * 1024, 'p');
  for (int i = 0; i < 10; ++i) page += "<!--#include file=\"bomb.html\" -->";
  const auto started = std::chrono::steady_clock::now();
  const std::string out = expand("bomb.html", page);
  EXPECT_LE(out.size(), page.size() + (8u << 20));
  EXPECT_GE(out.size(), 64u * 1024);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

TEST_F(FolderTest, RedirectKeepsTheFolderNameEncoded) {
  base_.mkdir("root/a dir?");
  const Reply reply = serve("/a%20dir%3F");
  EXPECT_EQ(reply.status, 301u);
  EXPECT_EQ(header(reply, "Location"), "/a%20dir%3F/");
}

TEST_F(FolderTest, IndexLinkedOutOfTheRootIsRefused) {
  base_.write("outside/index.html", "secret page");
  base_.mkdir("root/trap");
  base_.symlink("../../outside/index.html", "root/trap/index.html");
  EXPECT_EQ(serve("/trap/").status, 400u);
}

TEST_F(FolderTest, HonoursConditionalAndRangeHeaders) {
  const Reply plain = serve("/firmware/fw.bin");
  const std::string etag = header(plain, "ETag");
  const std::string modified = header(plain, "Last-Modified");
  const std::string etagList = "\"x\", W/" + etag;
  struct Case {
    const char* name;
    Request request;
    unsigned status;
    std::string bytes;
  };
  const Case cases[] = {
      {"matching etag", {.ifNoneMatch = etag}, 304, ""},
      {"etag in a list", {.ifNoneMatch = etagList}, 304, ""},
      {"any etag", {.ifNoneMatch = "*"}, 304, ""},
      {"other etag", {.ifNoneMatch = "\"other\""}, 200, "firmware"},
      {"same date", {.ifModifiedSince = modified}, 304, ""},
      {"other date", {.ifModifiedSince = "Thu, 01 Jan 1970 00:00:00 GMT"}, 200, "firmware"},
      {"etag wins over date",
       {.ifNoneMatch = "\"other\"", .ifModifiedSince = modified},
       200,
       "firmware"},
      {"range", {.range = "bytes=4-"}, 206, "ware"},
      {"range with current etag", {.range = "bytes=0-3", .ifRange = etag}, 206, "firm"},
      {"range with current date", {.range = "bytes=0-3", .ifRange = modified}, 206, "firm"},
      {"range of an older version", {.range = "bytes=0-3", .ifRange = "\"old\""}, 200, "firmware"},
      {"unsatisfiable", {.range = "bytes=8-"}, 416, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Reply reply = serve("/firmware/fw.bin", c.request);
    EXPECT_EQ(reply.status, c.status);
    if (reply.file.valid()) {
      EXPECT_EQ(fileBytes(reply), c.bytes);
    }
    if (c.status == 304) {
      EXPECT_FALSE(reply.hasBody());
    }
    if (c.status == 416) {
      EXPECT_EQ(header(reply, "Content-Range"), "bytes */8");
    }
    if (c.status == 206) {
      EXPECT_NE(header(reply, "Content-Range").find("/8"), std::string::npos);
    }
  }
}

TEST(FolderServer, RootMadeLaterIsServedOnceItExists) {
  TempTree base;
  folder::FolderServer server(base.file("web"));
  folder::Request request;
  request.target = "/a.txt";
  EXPECT_EQ(server.serve(request).status, 404u);
  base.write("web/a.txt", "late");
  EXPECT_EQ(server.serve(request).status, 200u);
}

}  // namespace
