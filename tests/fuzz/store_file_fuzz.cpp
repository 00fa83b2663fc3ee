// A store file as it may be found on disk (damaged, of another version, not a database at
// all): opened, read and written to in an application folder of its own. Opening either
// refuses it or gives a store whose calls answer without crashing.

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "store/store.h"

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const struct Folder {
    fs::path path;
    Folder() {
      std::string pattern = (fs::temp_directory_path() / "quillora-fuzz-XXXXXX").string();
      if (!mkdtemp(pattern.data())) abort();
      path = pattern;
    }
    ~Folder() { fs::remove_all(path); }
  } folder;
  const fs::path& app = folder.path;
  fs::remove_all(app / "data");
  fs::create_directories(app / "data");
  std::ofstream(app / "data/quillora.db", std::ios::binary)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  auto opened = Store::open(app.string());
  if (!opened) return 0;
  Store& store = **opened;
  (void)store.addDisplay("10.0.0.1:80", 1);
  (void)store.saveGroup("hall", {"10.0.0.1:80"}, "");
  RunStart run;
  run.kind = "playlist";
  run.ips = {"10.0.0.1:80"};
  int64_t id = store.beginRun(run).value_or(0);
  store.recordStep({id, "10.0.0.1:80", 2, "playlist", "finish", {}, "delivered"});
  store.displays();
  store.history(100, "", "hall", id);
  store.run(id);
  (void)store.exportCsv(0, [](const std::string&) { return true; });
  (void)store.prune({1, 1}, 10);
  return 0;
}
