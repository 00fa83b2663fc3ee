#pragma once

#include <cstddef>
#include <string_view>

// The part of the page's logic that the program ships itself (app/ui_script.js, built in).
std::string_view uiScript();

// Hands a script to a freshly loaded page one top-level function at a time: each page message
// fetches the piece that starts at the current "function" and ends before the next one. The
// page sends its first message once it is loaded and answers every piece, so the pieces
// arrive in order. The word "function" must therefore appear only at the heads of the
// script's top-level functions.
class ScriptInjection {
 public:
  explicit ScriptInjection(std::string_view script) : script_(script) {}

  bool pending() const { return pending_; }

  // The next piece; the last one turns pending() false. Empty once nothing is pending.
  std::string_view nextPiece();

 private:
  std::string_view script_;
  size_t chunkStart_ = 0;
  bool pending_ = true;
};
