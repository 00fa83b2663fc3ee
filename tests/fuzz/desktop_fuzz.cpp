// The desktop shell on untrusted text: page messages, documents and worker messages in any
// order (the first line is the UI script, each further line one event), and the same bytes
// as a locale, a navigation target and dialog patterns. Nothing crashes, the script reaches
// the page whole and in order, and only the page's own origin is ever answered.
#include <cctype>
#include <cstdint>
#include <cstdlib>
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

  size_t end = input.find('\n');
  const std::string script = input.substr(0, end);
  std::string pieces;
  bool ran = false;
  BridgeFlow* flowSeen = nullptr;
  BridgeFlow flow(script,
                  {[&](const std::string& text) {
                     if (!flowSeen->showsOwnDocument()) std::abort();
                     if (!ran) pieces += text;
                   },
                   [&](const char*) { ran = true; }},
                  [&](const std::string& request) {
                    if (!flowSeen->showsOwnDocument()) std::abort();
                    return request;
                  });
  flowSeen = &flow;
  flow.setOwnOrigin(own);
  while (end != std::string::npos) {
    size_t next = input.find('\n', end + 1);
    std::string line = input.substr(end + 1, next == std::string::npos ? next : next - end - 1);
    end = next;
    std::string rest = line.empty() ? "" : line.substr(1);
    switch (line.empty() ? ' ' : line[0]) {
      case 'd':
        flow.onDocument(rest);
        break;
      case 'o':
        flow.onDocument(own + rest);
        break;
      case 'p':
        flow.onPageMessage(&rest);
        break;
      case 'n':
        flow.onPageMessage(nullptr);
        break;
      case 'w':
        flow.onWorkerMessage(rest);
        break;
      case 's':
        flow.stop();
        break;
      default:
        break;
    }
  }
  if (script.compare(0, pieces.size(), pieces) != 0 || (ran && pieces != script)) std::abort();
  return 0;
}
