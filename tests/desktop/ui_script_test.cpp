#include "app/ui_script.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

namespace {

// "function name(" at the start of `line`.
bool isFunctionHead(const std::string& line) {
  const std::string keyword = "function ";
  if (line.rfind(keyword, 0) != 0) return false;
  size_t end = keyword.size();
  auto isNameChar = [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$';
  };
  while (end < line.size() && isNameChar(line[end])) ++end;
  return end > keyword.size() && !std::isdigit(static_cast<unsigned char>(line[keyword.size()])) &&
         end < line.size() && line[end] == '(';
}

std::vector<std::string> allPieces(std::string_view script) {
  ScriptInjection injection(script);
  std::vector<std::string> pieces;
  // A piece per message; the bound only keeps a broken injection from looping for ever.
  while (injection.pending() && pieces.size() <= script.size()) {
    pieces.emplace_back(injection.nextPiece());
  }
  EXPECT_FALSE(injection.pending());
  return pieces;
}

TEST(UiScript, ShippedScriptComesInTwentyPieces) {
  std::vector<std::string> pieces = allPieces(uiScript());
  EXPECT_EQ(pieces.size(), 20u);
  std::string joined;
  for (const auto& piece : pieces) joined += piece;
  EXPECT_EQ(joined, uiScript());
}

// The script is cut at every occurrence of the word, so each one must open a top-level
// function declaration: at the start of a line, followed by a name and its parameters.
TEST(UiScript, FunctionOccursOnlyAtTheHeadsOfTopLevelFunctions) {
  std::string script(uiScript());
  ASSERT_EQ(script.rfind("function", 0), 0u) << "the script must start with its first function";
  size_t count = 0;
  for (size_t at = script.find("function"); at != std::string::npos;
       at = script.find("function", at + 1)) {
    ++count;
    size_t lineStart = script.rfind('\n', at);
    lineStart = lineStart == std::string::npos ? 0 : lineStart + 1;
    size_t lineEnd = script.find('\n', at);
    std::string line = script.substr(lineStart, lineEnd - lineStart);
    EXPECT_EQ(lineStart, at) << "\"function\" inside a line: " << line;
    EXPECT_TRUE(isFunctionHead(line)) << "not a function declaration: " << line;
  }
  EXPECT_EQ(count, 20u);
}

TEST(ScriptInjection, CutsBeforeEachFunctionAfterTheFirstEightUnits) {
  struct Case {
    const char* script;
    std::vector<std::string> pieces;
  } cases[] = {
      {"", {""}},
      {"function a(){}", {"function a(){}"}},
      {"function a(){}\nfunction b(){}\n", {"function a(){}\n", "function b(){}\n"}},
      {"functionfunction", {"function", "function"}},
      // A preamble of eight units or more becomes a piece of its own...
      {"// lead\nfunction a(){}", {"// lead\n", "function a(){}"}},
      // ...a shorter one travels with the first function.
      {"//x\nfunction a(){}", {"//x\nfunction a(){}"}},
      // The word inside a longer word cuts all the same: hence the rule on the script.
      {"function f(){ let functional = 1; }", {"function f(){ let ", "functional = 1; }"}},
      // Eight units, not eight bytes: four two-byte letters are four units.
      {"\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"
       "function a(){}function b(){}",
       {"\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"
        "function a(){}",
        "function b(){}"}},
      // A character outside the BMP is two units: four of them are the whole offset.
      {"\xF0\x9F\x98\x80\xF0\x9F\x98\x80\xF0\x9F\x98\x80\xF0\x9F\x98\x80"
       "function",
       {"\xF0\x9F\x98\x80\xF0\x9F\x98\x80\xF0\x9F\x98\x80\xF0\x9F\x98\x80", "function"}},
      {"\xF0\x9F\x98\x80\xF0\x9F\x98\x80\xF0\x9F\x98\x80"
       "function",
       {"\xF0\x9F\x98\x80\xF0\x9F\x98\x80\xF0\x9F\x98\x80"
        "function"}},
      // A stray continuation byte is one unit, as the character it is converted to.
      {"\x80\x80\x80\x80\x80\x80\x80\x80"
       "function",
       {"\x80\x80\x80\x80\x80\x80\x80\x80", "function"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(allPieces(c.script), c.pieces) << c.script;
  }
}

TEST(ScriptInjection, NothingMoreOnceTheLastPieceIsOut) {
  ScriptInjection injection("function a(){}function b(){}");
  EXPECT_TRUE(injection.pending());
  EXPECT_EQ(injection.nextPiece(), "function a(){}");
  EXPECT_TRUE(injection.pending());
  EXPECT_EQ(injection.nextPiece(), "function b(){}");
  EXPECT_FALSE(injection.pending());
  EXPECT_EQ(injection.nextPiece(), "");
  EXPECT_FALSE(injection.pending());
}

}  // namespace
