#pragma once

// Serving the web folder: the request-to-reply logic of the host's HTTP server without any
// socket, so that every rule about what may be read can be checked on its own.

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/file_system.h"

namespace folder {

// Where a request path lands on disk. Paths that could leave the folder are BadRequest even
// when the place they name does not exist, so probing outside the folder learns nothing.
struct Target {
  enum class Kind { File, Directory, NotFound, BadRequest };
  Kind kind = Kind::NotFound;
  std::string fsPath;   // canonical path on disk (File and Directory)
  std::string urlPath;  // decoded path: leading '/', empty segments dropped, trailing '/' kept
};

// `canonicalRoot` must be a canonical absolute path (no symlinks, no trailing '/').
// `target` is the raw request target; the query string is ignored. `linkedRoot` (canonical
// too, or empty for none) is where links below /vendor/ may lead out of the root: an
// installed page links its libraries to the system's shared copies.
Target resolveTarget(const std::string& canonicalRoot, std::string_view target,
                     const std::string& linkedRoot = {});

// Single byte range from a `Range` header. Forms the server does not serve (other units,
// several ranges, malformed values) give Whole, as if no header had been sent.
struct ByteRange {
  enum class Kind { Whole, Part, Unsatisfiable };
  Kind kind = Kind::Whole;
  uint64_t first = 0;
  uint64_t length = 0;
};
ByteRange parseRange(std::string_view header, uint64_t size);

// Content type from the file name's extension (case-insensitive).
std::string_view contentType(std::string_view path);

// IMF-fixdate ("Sun, 06 Nov 1994 08:49:37 GMT"), independent of the process locale.
std::string httpDate(std::time_t when);

// Strong validator that changes when the file is rewritten or resized.
std::string entityTag(int64_t mtimeNanoseconds, uint64_t size);

struct Request {
  enum class Method { Get, Head, Other };
  Method method = Method::Get;
  std::string_view target{};
  std::string_view range{};
  std::string_view ifRange{};
  std::string_view ifNoneMatch{};
  std::string_view ifModifiedSince{};
  // Empty on the LAN listeners: only files under /media/ and /firmware/ are served. Otherwise
  // the view's secret: only targets that start with it are served, as paths below it.
  std::string_view viewPrefix{};
};

// A complete answer except for the framing headers (Content-Length, Connection, Date), which
// belong to the transport. The body is either `body` or `length` bytes of `file` from `offset`.
struct Reply {
  unsigned status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  ReadOnlyFile file;
  uint64_t offset = 0;
  uint64_t length = 0;
  std::string path;  // of a file, where it really lies below the root ("/media/NAME")

  uint64_t contentLength() const { return file.isOpen() ? length : body.size(); }
  // Whether the status may carry a body at all (1xx, 204 and 304 may not).
  bool hasBody() const { return status >= 200 && status != 204 && status != 304; }
};

class FolderServer {
 public:
  explicit FolderServer(std::string root) : root_(std::move(root)) {}

  // The view's page from its own folder, apart from the written data under the root: the
  // view then gets its /media/ from the root and everything else from `pageRoot`, whose
  // /vendor/ links may lead into `linkedRoot`. The LAN is served from the root alone.
  void setPageRoot(std::string pageRoot, std::string linkedRoot);

  // Never throws; an unusable root answers 404 to everything, and so does every folder.
  Reply serve(const Request& request);

 private:
  std::string root_;
  std::string canonicalRoot_;  // resolved on first use, as the folder may be made later
  std::string pageRoot_;
  std::string linkedRoot_;
};

}  // namespace folder
