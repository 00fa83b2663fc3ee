#include "device/folder_server.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "device/markup_escape.h"

namespace fs = std::filesystem;

namespace folder {

namespace {

// Includes nest this deep at most; deeper ones are dropped, which also ends self-inclusion.
constexpr int kMaxIncludeDepth = 5;
// An .html file larger than this is sent as it is: expanding it would hold it in memory.
constexpr uint64_t kMaxIncludeSource = 4u << 20;
// Expanded includes may add this much; a file including itself many times on each level
// would otherwise grow exponentially.
constexpr size_t kMaxIncludeOutput = 8u << 20;

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

std::string canonicalPath(const std::string& path) {
  char* real = ::realpath(path.c_str(), nullptr);
  if (!real) return {};
  std::string result(real);
  std::free(real);
  return result;
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
    case 301:
      return "Moved Permanently";
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

int64_t mtimeNanoseconds(const struct stat& st) {
  return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
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

bool isHtml(std::string_view path) {
  return extensionOf(path) == "html";
}

struct Include {
  bool fromRoot = false;
  std::string path;
};

// `inner` is the text between "<!--#include" and "-->".
bool parseInclude(std::string_view inner, Include& include) {
  inner = trim(inner);
  std::string_view rest;
  if (inner.starts_with("virtual=")) {
    include.fromRoot = true;
    rest = inner.substr(8);
  } else if (inner.starts_with("file=")) {
    include.fromRoot = false;
    rest = inner.substr(5);
  } else {
    return false;
  }
  if (rest.size() < 2 || (rest[0] != '"' && rest[0] != '\'')) return false;
  const auto close = rest.find(rest[0], 1);
  if (close == std::string_view::npos || !trim(rest.substr(close + 1)).empty()) return false;
  include.path = std::string(rest.substr(1, close - 1));
  return !include.path.empty() && include.path.find('\0') == std::string::npos;
}

std::string resolveInclude(const std::string& root, const std::string& includer,
                           const Include& include) {
  std::string base = include.fromRoot ? root : fs::path(includer).parent_path().string();
  const auto start = include.path.find_first_not_of('/');
  if (start == std::string::npos) return {};
  const std::string resolved = canonicalPath(base + "/" + include.path.substr(start));
  struct stat st {};
  if (resolved.empty() || !isWithin(root, resolved) || ::stat(resolved.c_str(), &st) != 0 ||
      !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > kMaxIncludeSource) {
    return {};
  }
  return resolved;
}

bool readWholeFile(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

struct IncludeState {
  std::string out;
  size_t limit = 0;
  bool exhausted = false;
};

void expandInto(const std::string& root, const std::string& path, int depth, IncludeState& state) {
  std::string text;
  if (!readWholeFile(path, text)) return;
  constexpr std::string_view kOpen = "<!--#include";
  size_t pos = 0;
  while (true) {
    const size_t start = text.find(kOpen, pos);
    if (start == std::string::npos) break;
    const size_t end = text.find("-->", start + kOpen.size());
    if (end == std::string::npos) break;
    state.out.append(text, pos, start - pos);
    pos = end + 3;
    Include include;
    if (!parseInclude(
            std::string_view(text).substr(start + kOpen.size(), end - start - kOpen.size()),
            include)) {
      state.out.append(text, start, pos - start);
      continue;
    }
    if (state.exhausted || depth >= kMaxIncludeDepth) continue;
    const std::string target = resolveInclude(root, path, include);
    if (target.empty()) continue;
    const size_t mark = state.out.size();
    expandInto(root, target, depth + 1, state);
    if (state.out.size() > state.limit) {
      state.out.resize(mark);
      state.exhausted = true;
    }
  }
  state.out.append(text, pos, std::string::npos);
}

Reply fileReply(const std::string& root, const std::string& path, const Request& request) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0) return errorReply(errno == EACCES ? 403 : 404);
  FileHandle file(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return errorReply(404);
  const auto size = static_cast<uint64_t>(st.st_size);

  Reply reply;
  reply.headers.emplace_back("Content-Type", std::string(contentType(path)));
  if (isHtml(path) && size <= kMaxIncludeSource) {
    // Expanded pages are assembled per request: validators and ranges of the file on disk
    // would not describe them.
    reply.body = expandIncludes(root, path);
    return reply;
  }

  const std::string etag = entityTag(mtimeNanoseconds(st), size);
  const std::string modified = httpDate(st.st_mtim.tv_sec);
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

}  // namespace

Target resolveTarget(const std::string& canonicalRoot, std::string_view target) {
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
  if (!isWithin(canonicalRoot, canonical)) return result;
  struct stat st {};
  result.kind = Target::Kind::NotFound;
  if (::stat(canonical.c_str(), &st) != 0) return result;
  if (S_ISDIR(st.st_mode)) {
    result.kind = Target::Kind::Directory;
  } else if (S_ISREG(st.st_mode) && result.urlPath.back() != '/') {
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
  if (!gmtime_r(&when, &tm)) return {};
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

std::string urlEncode(std::string_view text, bool keepSlash) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (std::isalnum(b) || c == '-' || c == '.' || c == '_' || c == '~' ||
        (keepSlash && c == '/')) {
      out += c;
    } else {
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 15];
    }
  }
  return out;
}

std::string renderListing(std::string_view urlPath, const std::string& fsPath) {
  struct Entry {
    std::string name;
    bool directory = false;
    uint64_t size = 0;
    std::time_t modified = 0;
  };
  std::vector<Entry> entries;
  std::error_code ec;
  for (fs::directory_iterator it(fsPath, ec), end; !ec && it != end; it.increment(ec)) {
    Entry entry;
    entry.name = it->path().filename().string();
    struct stat st {};
    if (::stat(it->path().c_str(), &st) == 0) {
      entry.directory = S_ISDIR(st.st_mode);
      entry.size = static_cast<uint64_t>(st.st_size);
      entry.modified = st.st_mtim.tv_sec;
    }
    entries.push_back(std::move(entry));
  }
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return a.directory != b.directory ? a.directory : a.name < b.name;
  });

  const std::string title = escapeXml(urlPath);
  std::string html = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Index of " +
                     title + "</title></head>\n<body><h1>Index of " + title +
                     "</h1>\n<table>\n<tr><th>Name</th><th>Size</th><th>Modified</th></tr>\n";
  if (urlPath != "/") html += "<tr><td><a href=\"../\">../</a></td><td></td><td></td></tr>\n";
  for (const auto& entry : entries) {
    const std::string suffix = entry.directory ? "/" : "";
    html += "<tr><td><a href=\"" + urlEncode(entry.name) + suffix + "\">" + escapeXml(entry.name) +
            suffix + "</a></td><td>" +
            (entry.directory ? std::string("-") : std::to_string(entry.size)) + "</td><td>" +
            httpDate(entry.modified) + "</td></tr>\n";
  }
  html += "</table>\n</body></html>\n";
  return html;
}

std::string expandIncludes(const std::string& canonicalRoot, const std::string& fsPath) {
  IncludeState state;
  std::error_code ec;
  const auto size = fs::file_size(fsPath, ec);
  if (ec) return {};
  state.limit = static_cast<size_t>(size) + kMaxIncludeOutput;
  expandInto(canonicalRoot, fsPath, 0, state);
  return std::move(state.out);
}

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

FileHandle::~FileHandle() {
  reset();
}

void FileHandle::reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

Reply FolderServer::serve(const Request& request) {
  try {
    if (canonicalRoot_.empty()) canonicalRoot_ = canonicalPath(root_);
    const std::string& root = canonicalRoot_;
    if (root.empty()) return errorReply(404);
    const Target target = resolveTarget(root, request.target);
    switch (target.kind) {
      case Target::Kind::BadRequest:
        return errorReply(400);
      case Target::Kind::NotFound:
        return errorReply(404);
      case Target::Kind::File:
      case Target::Kind::Directory:
        break;
    }
    if (request.method == Request::Method::Other) {
      Reply refused = errorReply(405);
      refused.headers.emplace_back("Allow", "GET, HEAD");
      return refused;
    }
    if (target.kind == Target::Kind::File) return fileReply(root, target.fsPath, request);

    if (target.urlPath.back() != '/') {
      // Relative links in the folder's page resolve against the folder only with the slash.
      Reply moved = errorReply(301);
      moved.headers.emplace_back("Location", urlEncode(target.urlPath, true) + "/");
      return moved;
    }
    const std::string index = target.fsPath + "/index.html";
    struct stat st {};
    if (::lstat(index.c_str(), &st) == 0) {
      const std::string canonicalIndex = canonicalPath(index);
      if (canonicalIndex.empty()) return errorReply(404);
      if (!isWithin(root, canonicalIndex)) return errorReply(400);
      return fileReply(root, canonicalIndex, request);
    }
    Reply listing;
    listing.headers.emplace_back("Content-Type", "text/html; charset=utf-8");
    listing.body = renderListing(target.urlPath, target.fsPath);
    return listing;
  } catch (...) {
    return errorReply(500);
  }
}

}  // namespace folder
