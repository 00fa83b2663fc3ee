// The bridge between page and host on untrusted text: the first line is the UI script, each
// further line an event of the view (its first byte says which). Nothing crashes, the script
// reaches the page whole and in order, and only the page's own origin is heard or answered.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "app/desktop/bridge_flow.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::string own = "http://127.0.0.1:41234";
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
