#include "device/folder_server.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/calendar.h"

namespace folder {

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool decodeSegment(std::string_view raw, std::string& out) {
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '%') {
      out += raw[i];
      continue;
    }
    if (i + 2 >= raw.size()) return false;
    const int hi = hexValue(raw[i + 1]);
    const int lo = hexValue(raw[i + 2]);
    if (hi < 0 || lo < 0) return false;
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return true;
}

bool isWithin(const std::string& root, const std::string& path) {
  if (root == "/") return !path.empty() && path[0] == '/';
  return path.size() >= root.size() && path.compare(0, root.size(), root) == 0 &&
         (path.size() == root.size() || path[root.size()] == '/');
}

std::string_view trim(std::string_view text) {
  const auto notSpace = text.find_first_not_of(" \t");
  if (notSpace == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t");
  return text.substr(notSpace, last - notSpace + 1);
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}

bool parseNumber(std::string_view digits, uint64_t& value) {
  if (digits.empty()) return false;
  value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    const uint64_t d = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - d) / 10) return false;
    value = value * 10 + d;
  }
  return true;
}

std::string extensionOf(std::string_view path) {
  const auto slash = path.find_last_of('/');
  const auto name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const auto dot = name.find_last_of('.');
  if (dot == std::string_view::npos) return {};
  std::string ext(name.substr(dot + 1));
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

std::string_view reasonText(unsigned status) {
  switch (status) {
    case 400:
      return "Bad Request";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 416:
      return "Range Not Satisfiable";
    default:
      return "Internal Server Error";
  }
}

Reply errorReply(unsigned status) {
  Reply reply;
  reply.status = status;
  reply.headers.emplace_back("Content-Type", "text/plain; charset=utf-8");
  reply.body = std::string(reasonText(status)) + "\n";
  return reply;
}

// Rounded down, as the system's own seconds field is for times before 1970.
std::time_t wholeSeconds(int64_t nanoseconds) {
  return static_cast<std::time_t>(nanoseconds / 1000000000 - (nanoseconds % 1000000000 < 0));
}

// If-None-Match takes precedence over If-Modified-Since; dates are compared as the exact text
// that this server sends, which is what caches send back.
bool notModified(const Request& request, const std::string& etag, const std::string& modified) {
  if (!request.ifNoneMatch.empty()) {
    std::string_view list = request.ifNoneMatch;
    while (!list.empty()) {
      const auto comma = list.find(',');
      auto tag = trim(list.substr(0, comma));
      list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
      if (tag == "*") return true;
      if (tag.starts_with("W/")) tag.remove_prefix(2);
      if (tag == etag) return true;
    }
    return false;
  }
  return !request.ifModifiedSince.empty() && trim(request.ifModifiedSince) == modified;
}

// A range is only served against the representation the client already holds: a resumed
// download of a file that changed meanwhile would otherwise splice two versions together.
bool rangeStillValid(const Request& request, const std::string& etag, const std::string& modified) {
  if (request.ifRange.empty()) return true;
  const auto value = trim(request.ifRange);
  return value == etag || value == modified;
}

Reply fileReply(const std::string& path, const Request& request) {
  ReadOnlyFile file(path, false);
  if (!file.isOpen()) return errorReply(file.forbidden() ? 403 : 404);
  if (!file.isRegular()) return errorReply(404);
  const uint64_t size = file.size();

  Reply reply;
  reply.headers.emplace_back("Content-Type", std::string(contentType(path)));
  const std::string etag = entityTag(file.modifiedNanoseconds(), size);
  const std::string modified = httpDate(wholeSeconds(file.modifiedNanoseconds()));
  reply.headers.emplace_back("Last-Modified", modified);
  reply.headers.emplace_back("ETag", etag);
  reply.headers.emplace_back("Accept-Ranges", "bytes");
  if (notModified(request, etag, modified)) {
    reply.status = 304;
    return reply;
  }

  ByteRange range;
  if (rangeStillValid(request, etag, modified)) range = parseRange(request.range, size);
  switch (range.kind) {
    case ByteRange::Kind::Unsatisfiable: {
      Reply refused = errorReply(416);
      refused.headers.emplace_back("Content-Range", "bytes */" + std::to_string(size));
      return refused;
    }
    case ByteRange::Kind::Part:
      reply.status = 206;
      reply.headers.emplace_back("Content-Range",
                                 "bytes " + std::to_string(range.first) + "-" +
                                     std::to_string(range.first + range.length - 1) + "/" +
                                     std::to_string(size));
      reply.offset = range.first;
      reply.length = range.length;
      break;
    case ByteRange::Kind::Whole:
      reply.length = size;
      break;
  }
  reply.file = std::move(file);
  return reply;
}

// Displays fetch media and firmware, nothing else; the view needs its page and the media it
// previews. Playlists and everything else in the folder stay private.
bool mayServe(std::string_view relative, bool view) {
  static constexpr std::string_view kLanAreas[] = {"/media/", "/firmware/"};
  static constexpr std::string_view kViewAreas[] = {
      "/media/", "/css/", "/js/", "/lang/", "/vendor/", "/index.html", "/favicon.ico"};
  const auto within = [relative](std::string_view area) {
    return area.back() == '/' ? relative.starts_with(area) : relative == area;
  };
  return view ? std::any_of(std::begin(kViewAreas), std::end(kViewAreas), within)
              : std::any_of(std::begin(kLanAreas), std::end(kLanAreas), within);
}

}  // namespace

Target resolveTarget(const std::string& canonicalRoot, std::string_view target,
                     const std::string& linkedRoot) {
  Target result;
  result.kind = Target::Kind::BadRequest;
  target = target.substr(0, target.find('?'));
  if (target.empty() || target[0] != '/' || target.find('\\') != std::string_view::npos) {
    return result;
  }

  std::string relative;
  size_t pos = 1;
  while (pos < target.size()) {
    size_t end = target.find('/', pos);
    if (end == std::string_view::npos) end = target.size();
    const auto raw = target.substr(pos, end - pos);
    pos = end + 1;
    if (raw.empty()) continue;
    std::string segment;
    if (!decodeSegment(raw, segment)) return result;
    // A decoded separator or NUL would let one segment stand for several, or cut the path.
    if (segment == "." || segment == ".." ||
        segment.find_first_of(std::string_view("/\\\0", 3)) != std::string::npos) {
      return result;
    }
    if (!relative.empty()) relative += '/';
    relative += segment;
  }
  result.urlPath = "/" + relative;
  if (!relative.empty() && target.back() == '/') result.urlPath += '/';

  const std::string canonical =
      canonicalPath(relative.empty() ? canonicalRoot : canonicalRoot + "/" + relative);
  if (canonical.empty()) {
    result.kind = Target::Kind::NotFound;
    return result;
  }
  const bool linked = !linkedRoot.empty() && result.urlPath.starts_with("/vendor/") &&
                      isWithin(linkedRoot, canonical);
  if (!isWithin(canonicalRoot, canonical) && !linked) return result;
  result.kind = Target::Kind::NotFound;
  const EntryKind kind = entryKind(canonical);
  if (kind == EntryKind::kFolder) {
    result.kind = Target::Kind::Directory;
  } else if (kind == EntryKind::kFile && result.urlPath.back() != '/') {
    result.kind = Target::Kind::File;
  } else {
    return result;
  }
  result.fsPath = canonical;
  return result;
}

ByteRange parseRange(std::string_view header, uint64_t size) {
  const ByteRange whole;
  header = trim(header);
  const auto eq = header.find('=');
  if (eq == std::string_view::npos || !equalsIgnoreCase(trim(header.substr(0, eq)), "bytes")) {
    return whole;
  }
  const auto rangeText = trim(header.substr(eq + 1));
  const auto dash = rangeText.find('-');
  if (dash == std::string_view::npos || rangeText.find(',') != std::string_view::npos) return whole;
  const auto firstText = trim(rangeText.substr(0, dash));
  const auto lastText = trim(rangeText.substr(dash + 1));

  ByteRange range;
  range.kind = ByteRange::Kind::Unsatisfiable;
  if (firstText.empty()) {
    uint64_t suffix = 0;
    if (!parseNumber(lastText, suffix)) return whole;
    if (suffix == 0 || size == 0) return range;
    range.kind = ByteRange::Kind::Part;
    range.length = std::min(suffix, size);
    range.first = size - range.length;
    return range;
  }
  uint64_t first = 0;
  uint64_t last = UINT64_MAX;
  if (!parseNumber(firstText, first)) return whole;
  if (!lastText.empty() && (!parseNumber(lastText, last) || last < first)) return whole;
  if (first >= size) return range;
  last = std::min(last, size - 1);
  range.kind = ByteRange::Kind::Part;
  range.first = first;
  range.length = last - first + 1;
  return range;
}

std::string_view contentType(std::string_view path) {
  static constexpr std::pair<std::string_view, std::string_view> kTypes[] = {
      {"mp4", "video/mp4"},
      {"mkv", "video/x-matroska"},
      {"avi", "video/x-msvideo"},
      {"mov", "video/quicktime"},
      {"jpg", "image/jpeg"},
      {"jpeg", "image/jpeg"},
      {"png", "image/png"},
      {"gif", "image/gif"},
      {"bmp", "image/bmp"},
      {"webp", "image/webp"},
      {"html", "text/html; charset=utf-8"},
      {"css", "text/css; charset=utf-8"},
      {"js", "text/javascript; charset=utf-8"},
      {"json", "application/json"},
      {"ico", "image/x-icon"},
      {"svg", "image/svg+xml"},
      {"woff", "font/woff"},
      {"woff2", "font/woff2"},
      {"ttf", "font/ttf"},
      {"zip", "application/zip"},
      {"bin", "application/octet-stream"},
      {"txt", "text/plain; charset=utf-8"},
  };
  const std::string ext = extensionOf(path);
  for (const auto& [known, type] : kTypes) {
    if (ext == known) return type;
  }
  return "application/octet-stream";
}

std::string httpDate(std::time_t when) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  struct tm tm {};
  if (!utcCalendar(when, tm)) return {};
  char text[40];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[tm.tm_wday % 7],
                tm.tm_mday, kMonths[tm.tm_mon % 12], tm.tm_year + 1900, tm.tm_hour, tm.tm_min,
                tm.tm_sec);
  return text;
}

std::string entityTag(int64_t mtimeNanoseconds, uint64_t size) {
  char text[48];
  std::snprintf(text, sizeof text, "\"%llx-%llx\"",
                static_cast<unsigned long long>(mtimeNanoseconds),
                static_cast<unsigned long long>(size));
  return text;
}

void FolderServer::setPageRoot(std::string pageRoot, std::string linkedRoot) {
  pageRoot_ = std::move(pageRoot);
  linkedRoot_ = canonicalPath(linkedRoot);
}

Reply FolderServer::serve(const Request& request) {
  try {
    if (canonicalRoot_.empty()) canonicalRoot_ = canonicalPath(root_);
    std::string root = canonicalRoot_;
    if (root.empty()) return errorReply(404);
    std::string_view path = request.target;
    const std::string_view prefix = request.viewPrefix;
    if (!prefix.empty()) {
      if (!path.starts_with(prefix) || path.size() == prefix.size() || path[prefix.size()] != '/') {
        return errorReply(404);
      }
      path.remove_prefix(prefix.size());
    }
    Target target = resolveTarget(root, path);
    // Decided on the decoded path, so that an escaped letter cannot move a request across.
    if (!prefix.empty() && !pageRoot_.empty() && !target.urlPath.starts_with("/media/")) {
      root = canonicalPath(pageRoot_);
      if (root.empty()) return errorReply(404);
      target = resolveTarget(root, path, linkedRoot_);
    }
    switch (target.kind) {
      case Target::Kind::BadRequest:
        return errorReply(400);
      case Target::Kind::File:
        break;
      default:
        return errorReply(404);
    }
    // Judged by where the file really is, so a link inside an open area cannot expose the rest;
    // a library linked out of the page is judged by the path it was asked by.
    const bool inRoot = isWithin(root, target.fsPath);
    const auto relative =
        inRoot ? std::string_view(target.fsPath).substr(root == "/" ? 0 : root.size())
               : std::string_view(target.urlPath);
    if (!mayServe(relative, !prefix.empty())) {
      return errorReply(404);
    }
    if (request.method == Request::Method::Other) {
      Reply refused = errorReply(405);
      refused.headers.emplace_back("Allow", "GET, HEAD");
      return refused;
    }
    Reply reply = fileReply(target.fsPath, request);
    if (reply.file.isOpen()) reply.path = std::string(relative);
    return reply;
  } catch (...) {
    return errorReply(500);
  }
}

}  // namespace folder
