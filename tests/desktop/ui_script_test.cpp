#include "app/ui_script.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> allPieces(std::string_view script) {
  ScriptInjection injection(script);
  std::vector<std::string> pieces;
  // A piece per message; the bound only keeps a broken injection from looping for ever.
  while (injection.pending() && pieces.size() <= script.size()) {
    pieces.emplace_back(injection.nextPiece());
  }
  EXPECT_EQ(injection.nextPiece(), "");
  return pieces;
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
      // Eight units, not eight bytes: four two- or three-byte letters are four units...
      {"ééééfunction a(){}function b(){}", {"ééééfunction a(){}", "function b(){}"}},
      {"€€€€function", {"€€€€function"}},
      // ...and a character outside the BMP is two units: four of them are the whole offset.
      {"😀😀😀😀function", {"😀😀😀😀", "function"}},
      {"😀😀😀function", {"😀😀😀function"}},
      // A stray continuation byte is one unit, as the character it is converted to.
      {"\x80\x80\x80\x80\x80\x80\x80\x80"
       "function",
       {"\x80\x80\x80\x80\x80\x80\x80\x80", "function"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(allPieces(c.script), c.pieces) << c.script;
  }
}

}  // namespace
