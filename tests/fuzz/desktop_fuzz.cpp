// The desktop shell on untrusted text: the first line is the UI script, each further line an
// event of the view (its first byte says which), and the whole input is also taken as a
// locale, a navigation target and dialog patterns. Nothing crashes, the script reaches the
// page whole and in order, and only the page's own origin is ever heard or answered.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "app/desktop/bridge_flow.h"
#include "app/desktop/desktop_rules.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::string own = "http://127.0.0.1:41234";
  for (char c : userLocaleName([&](const char*) { return input.c_str(); })) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') std::abort();
  }
  if (isOwnOrigin(input, own) && !navigationAllowed(input, own)) std::abort();
  chooserPatterns(input);
  std::string error;
  parseDesktopOptions({input.substr(0, input.find('\n')), input.substr(input.find('\n') + 1)},
                      error);

  std::istringstream lines(input);
  std::string script, line, pieces;
  std::getline(lines, script);
  bool ran = false;
  BridgeFlow flow(script,
                  {[&](const std::string& text) {
                     if (!flow.showsOwnDocument()) std::abort();
                     if (!ran) pieces += text;
                   },
                   [&](const char*) { ran = true; }},
                  [&](const std::string& request) {
                    if (!flow.showsOwnDocument()) std::abort();
                    return request;
                  });
  flow.setOwnOrigin(own);
  while (std::getline(lines, line)) {
    const char kind = line.empty() ? ' ' : line[0];
    std::string rest = line.empty() ? "" : line.substr(1);
    if (kind == 'd') flow.onDocument(rest);
    if (kind == 'o') flow.onDocument(own + rest);
    if (kind == 'p') flow.onPageMessage(&rest);
    if (kind == 'n') flow.onPageMessage(nullptr);
    if (kind == 'w') flow.onWorkerMessage(rest);
    if (kind == 's') flow.stop();
  }
  if (script.compare(0, pieces.size(), pieces) != 0 || (ran && pieces != script)) std::abort();
  return 0;
}
