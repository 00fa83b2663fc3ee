#include "app/page_integrity.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "media/file_reading.h"

namespace {

TEST(PageIntegrity, OnlyTheShippedPageAsBuiltIsShown) {
  const std::string page = readFileText(QUILLORA_SOURCE_DIR "/web/index.html");
  ASSERT_FALSE(page.empty());
  std::string flipped = page;
  flipped[flipped.size() / 2] ^= 0x01;
  char pattern[] = "/tmp/quillora-page-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string folder = pattern;
  struct Case {
    std::optional<std::string> bytes;  // none: no page at all
    bool intact;
  } cases[] = {{page, true}, {flipped, false}, {std::nullopt, false}};
  for (const auto& c : cases) {
    std::filesystem::remove(folder + "/index.html");
    if (c.bytes) std::ofstream(folder + "/index.html", std::ios::binary) << *c.bytes;
    EXPECT_EQ(shippedPageIsIntact(folder), c.intact) << c.bytes.has_value();
  }
  std::filesystem::remove_all(folder);
}

}  // namespace
