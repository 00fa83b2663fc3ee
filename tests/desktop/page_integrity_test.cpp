#include "app/page_integrity.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "media/file_utils.h"

namespace {

namespace fs = std::filesystem;

class PageFolder : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quillora-page-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
  }
  void TearDown() override { fs::remove_all(folder_); }

  void writePage(const std::string& bytes) {
    std::ofstream(folder_ + "/index.html", std::ios::binary) << bytes;
  }

  std::string folder_;
};

std::string shippedPage() {
  std::ifstream in(QUILLORA_SOURCE_DIR "/web/index.html", std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST_F(PageFolder, TheShippedPageIsIntact) {
  std::string page = shippedPage();
  ASSERT_FALSE(page.empty());
  EXPECT_EQ(shippedPageDigest(), md5Hex(page));
  writePage(page);
  EXPECT_TRUE(shippedPageIsIntact(folder_));
}

TEST_F(PageFolder, AnyChangeOrNoPageIsRefused) {
  std::string page = shippedPage();
  ASSERT_FALSE(page.empty());
  std::string oneByte = page;
  oneByte[oneByte.size() / 2] ^= 0x01;
  std::string cases[] = {oneByte, page + "\n", page.substr(0, page.size() - 1), ""};
  for (const auto& changed : cases) {
    writePage(changed);
    EXPECT_FALSE(shippedPageIsIntact(folder_)) << changed.size() << " bytes";
  }
  fs::remove(folder_ + "/index.html");
  EXPECT_FALSE(shippedPageIsIntact(folder_));
}

TEST(PageDigest, AnEmptyDigestMatchesNothing) {
  EXPECT_FALSE(pageMatchesDigest("", ""));
  EXPECT_FALSE(pageMatchesDigest("<html></html>", ""));
  EXPECT_TRUE(pageMatchesDigest("", md5Hex("")));
  // Digests are compared in full and as written.
  std::string digest = md5Hex("<html></html>");
  EXPECT_TRUE(pageMatchesDigest("<html></html>", digest));
  EXPECT_FALSE(pageMatchesDigest("<html></html>", digest.substr(0, 31)));
  for (auto& c : digest) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_FALSE(pageMatchesDigest("<html></html>", digest));
}

}  // namespace
