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
    base_.write("root/docs/index.html", "docs");
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
      {"/media/A.MP4", "video/mp4"},
      {"x.JPEG", "image/jpeg"},
      {"index.html", "text/html; charset=utf-8"},
      {"x.tar.gz", "application/octet-stream"},
      {"/dir.mp4/noextension", "application/octet-stream"},
      {"trailingdot.", "application/octet-stream"},
  };
  for (const auto& [path, type] : cases) {
    SCOPED_TRACE(path);
    EXPECT_EQ(folder::contentType(path), type);
  }
  EXPECT_EQ(folder::httpDate(784111777), "Sun, 06 Nov 1994 08:49:37 GMT");
}

TEST_F(FolderTest, EachAudienceSeesItsOwnAreasOnly) {
  base_.write("root/conf/list.html", "<script>x</script>");
  base_.write("root/index.html", "page");
  base_.write("root/js/page.js", "js");
  base_.symlink("../conf/list.html", "root/media/list.html");
  const std::string view = "/0123456789abcdef0123456789abcdef";
  struct Case {
    std::string target;
    std::string prefix;
    unsigned status;
  };
  const Case cases[] = {
      {"/media/a%20b.mp4", "", 200},
      {"/firmware/fw.bin", "", 200},
      {"/media/inner.bin", "", 200},
      {"/", "", 404},
      {"/media/", "", 404},
      {"/conf/list.html", "", 404},
      {"/media/list.html", "", 404},
      {"/index.html", "", 404},
      {"/docs/index.html", "", 404},
      {view + "/index.html", view, 200},
      {view + "/js/page.js", view, 200},
      {view + "/media/a%20b.mp4", view, 200},
      {view + "/firmware/fw.bin", view, 404},
      {view + "/conf/list.html", view, 404},
      {view + "/media/list.html", view, 404},
      {view + "/", view, 404},
      {view, view, 404},
      {view + "index.html", view, 404},
      {"/index.html", view, 404},
      {"/media/a%20b.mp4", view, 404},
      {view + "/../index.html", view, 400},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target + " below " + c.prefix);
    EXPECT_EQ(serve(c.target, {.viewPrefix = c.prefix}).status, c.status);
  }
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
  request.target = "/media/a.txt";
  EXPECT_EQ(server.serve(request).status, 404u);
  base.write("web/media/a.txt", "late");
  EXPECT_EQ(server.serve(request).status, 200u);
}

}  // namespace
