// The folder server's answer to one request: target, range and conditional headers, on a LAN
// listener or the view's. Files that no listener may hand out hold a marker; no answer may
// carry it, and every range must lie inside its file.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "device/folder_server.h"

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kMarker = "PRIVATE";
constexpr std::string_view kPrefix = "/0123456789abcdef0123456789abcdef";

// Never destroyed: the clean-up at exit still needs it.
const std::string& root() {
  static const std::string* const path = [] {
    std::string base = (fs::temp_directory_path() / "quillora-folder-fuzz-XXXXXX").string();
    if (!::mkdtemp(base.data())) std::abort();
    std::atexit([] { fs::remove_all(fs::path(root()).parent_path()); });
    const auto put = [&](const std::string& relative, std::string_view content) {
      fs::create_directories(fs::path(base + "/" + relative).parent_path());
      std::ofstream(base + "/" + relative, std::ios::binary) << content;
    };
    put("web/media/a b.mp4", "0123456789");
    put("web/firmware/fw.bin", "firmware");
    put("web/index.html", "page");
    put("web/conf/list.json", kMarker);
    put("secret.txt", kMarker);
    fs::create_symlink("../conf/list.json", base + "/web/media/list.mp4");
    fs::create_symlink("../../secret.txt", base + "/web/media/out.mp4");
    // An installed page: its library is a link into the system's copies; only /vendor/ may
    // lead there, so a link elsewhere in the page must not hand out what lies beside it.
    put("page/index.html", "page");
    put("system/lib/lib.js", "lib");
    put("system/private.txt", kMarker);
    fs::create_directories(base + "/page/vendor");
    fs::create_symlink("../../system/lib", base + "/page/vendor/lib");
    fs::create_directories(base + "/page/js");
    fs::create_symlink("../../system/private.txt", base + "/page/js/private.js");
    return new std::string(base + "/web");
  }();
  return *path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A first byte 'v' asks the view's listener, 'p' the view's with an installed page, anything
  // else a LAN one; then fields separated by newlines: target, range, if-range, if-none-match,
  // if-modified-since.
  if (size == 0) return 0;
  const bool installed = data[0] == 'p';
  const bool view = data[0] == 'v' || installed;
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string_view fields[5];
  for (auto& field : fields) {
    const size_t end = rest.find('\n');
    field = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  }
  folder::Request request{.target = fields[0],
                          .range = fields[1],
                          .ifRange = fields[2],
                          .ifNoneMatch = fields[3],
                          .ifModifiedSince = fields[4]};
  if (view) request.viewPrefix = kPrefix;
  folder::FolderServer files(root());
  if (installed) {
    const std::string base = fs::path(root()).parent_path().string();
    files.setPageRoot(base + "/page", base + "/system");
  }
  const folder::Reply reply = files.serve(request);
  if (view && !fields[0].starts_with(kPrefix) && reply.status != 404) std::abort();
  if (!reply.file.isOpen()) return 0;
  if (!reply.file.isRegular() || reply.offset + reply.length > reply.file.size()) std::abort();
  std::string head(kMarker.size(), '\0');
  if (reply.file.readAt(0, head.data(), head.size()) == int64_t(head.size()) && head == kMarker)
    std::abort();
  return 0;
}
