// Page messages through the dispatcher on an application folder of its own: no network service,
// dialogs answered from prepared files. A file beside the application folder means a message
// wrote outside it.

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "app/app_context.h"
#include "app/config.h"
#include "commands/dispatcher.h"
#include "platform/file_dialog.h"

namespace fs = std::filesystem;

namespace {

struct Fixture {
  fs::path outer, app;
  PreparedDialogs dialogs;
  std::unique_ptr<AppContext> context;

  Fixture() {
    std::string pattern = (fs::temp_directory_path() / "quillora-fuzz-XXXXXX").string();
    if (!mkdtemp(pattern.data())) abort();
    outer = pattern;
    app = outer / "app";
    write("config.yaml", "notification: {port: 18089}\nsearch: {port: 13702}\nlanguage: auto\n");
    write("in/a.png", std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16) + std::string(17, 1) +
                          std::string("\0\0\0\0IEND\xae\x42\x60\x82", 12));
    write("in/a.conf", "conf");
    auto config = loadConfig(app.string());
    if (!config) abort();
    context = std::make_unique<AppContext>(app.string(), std::move(*config));
    context->dialogs = &dialogs;
  }
  ~Fixture() { fs::remove_all(outer); }

  void write(const std::string& relative, const std::string& content) const {
    fs::create_directories((app / relative).parent_path());
    std::ofstream(app / relative, std::ios::binary) << content;
  }

  // The runtime folders as a run finds them, without what earlier inputs saved.
  void reset() {
    for (const char* folder : {"web/conf", "web/media", "web/firmware"})
      fs::remove_all(app / folder);
    write("web/conf/a.json", R"({"playlist":[{"url":"m.png","title":"m","id":1,"type":1}]})");
    write("web/media/m.png", "m");
    write("web/firmware/f.epak", "f");
    for (const char* file : {"in/a.png", "in/a.conf", "in/missing.png"})
      dialogs.addAnswer({(app / file).string()});
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Fixture fixture;
  static int runs = 0;
  if (runs++ % 64 == 0) fixture.reset();
  dispatchPageMessage(*fixture.context, std::string(reinterpret_cast<const char*>(data), size));
  for (const auto& entry : fs::directory_iterator(fixture.outer)) {
    if (entry.path() != fixture.app) abort();
  }
  return 0;
}
