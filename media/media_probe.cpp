#include "media/media_probe.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <mutex>
#include <span>
#include <string_view>
#include <utility>

#include "base/log.h"
#include "media/file_reading.h"
#include "platform/file_system.h"
#include "platform/shared_library.h"
#include "platform/text_conversion.h"

namespace {

// The library's published C interface, wide-character entry points (MediaInfo_*, not the
// narrow MediaInfoA_*). x86-64 has one calling convention, so no __stdcall is spelled out.
enum MediaInfo_stream_C {
  MediaInfo_Stream_General,
  MediaInfo_Stream_Video,
  MediaInfo_Stream_Audio,
  MediaInfo_Stream_Text,
  MediaInfo_Stream_Other,
  MediaInfo_Stream_Image,
};
enum MediaInfo_info_C { MediaInfo_Info_Name, MediaInfo_Info_Text };
using MEDIAINFO_New = void* (*)();
using MEDIAINFO_Delete = void (*)(void*);
using MEDIAINFO_Open = size_t (*)(void*, const wchar_t*);
using MEDIAINFO_Close = void (*)(void*);
using MEDIAINFO_Get = const wchar_t* (*)(void*, MediaInfo_stream_C, size_t, const wchar_t*,
                                         MediaInfo_info_C, MediaInfo_info_C);

// Whole extensions, in the three spellings the displays' players take (".mP4" is refused).
constexpr std::string_view kVideoExtensions[] = {".mp4", ".mov", ".mkv", ".Mp4", ".Mov",
                                                 ".Mkv", ".MP4", ".MOV", ".MKV"};
enum class ImageType { kBmp, kGif, kJpeg, kPng, kWebp };
constexpr std::pair<std::string_view, ImageType> kImageExtensions[] = {
    {".bmp", ImageType::kBmp},  {".gif", ImageType::kGif}, {".jpeg", ImageType::kJpeg},
    {".jpg", ImageType::kJpeg}, {".png", ImageType::kPng}, {".webp", ImageType::kWebp},
    {".Bmp", ImageType::kBmp},  {".Gif", ImageType::kGif}, {".Jpeg", ImageType::kJpeg},
    {".Jpg", ImageType::kJpeg}, {".Png", ImageType::kPng}, {".Webp", ImageType::kWebp},
    {".BMP", ImageType::kBmp},  {".GIF", ImageType::kGif}, {".JPEG", ImageType::kJpeg},
    {".JPG", ImageType::kJpeg}, {".PNG", ImageType::kPng}, {".WEBP", ImageType::kWebp}};

// MP4/QuickTime avc1 and hvc1, Matroska V_MPEG4/ISO/AVC and V_MPEGH/ISO/HEVC: what the
// displays play. hev1 and avc3 (parameter sets inside the stream) are refused.
constexpr std::wstring_view kAcceptedVideoCodecs[] = {L"avc1", L"hvc1", L"AVC", L"HEVC"};
// Matroska names MP3 "A_MPEG/L3"; without it an MP3 track in a .mkv slipped through while the
// same track in an .mp4 ("mp4a-6B") was refused.
constexpr std::wstring_view kMp3AudioCodecs[] = {L"mp4a-6B", L"mp3", L"A_MPEG4/L3", L"A_MPEG/L3"};

constexpr std::wstring_view kUnableToLoad = L"Unable to load MediaInfo.dll";
constexpr std::string_view kNoVideo = "no video";

// Every entry point of the published wrapper: a library lacking any one is not used.
constexpr std::array kEntryPoints = {
    "MediaInfo_New",
    "MediaInfoList_New",
    "MediaInfo_Delete",
    "MediaInfoList_Delete",
    "MediaInfo_Open",
    "MediaInfoList_Open",
    "MediaInfo_Open_Buffer_Init",
    "MediaInfo_Open_Buffer_Continue",
    "MediaInfo_Open_Buffer_Continue_GoTo_Get",
    "MediaInfo_Open_Buffer_Finalize",
    "MediaInfo_Open_NextPacket",
    "MediaInfo_Close",
    "MediaInfoList_Close",
    "MediaInfo_Inform",
    "MediaInfoList_Inform",
    "MediaInfo_GetI",
    "MediaInfoList_GetI",
    "MediaInfo_Get",
    "MediaInfoList_Get",
    "MediaInfo_Output_Buffer_Get",
    "MediaInfo_Output_Buffer_GetI",
    "MediaInfo_Option",
    "MediaInfoList_Option",
    "MediaInfo_State_Get",
    "MediaInfoList_State_Get",
    "MediaInfo_Count_Get",
    "MediaInfoList_Count_Get",
    "MediaInfoList_Count_Get_Files",
};

struct MediaInfoApi {
  MEDIAINFO_New create = nullptr;
  MEDIAINFO_Delete destroy = nullptr;
  MEDIAINFO_Open open = nullptr;
  MEDIAINFO_Close close = nullptr;
  MEDIAINFO_Get get = nullptr;
};

// The wrapper's own loader fixes the file name at compile time and keeps unguarded globals, so
// it is replaced by this one. One probe runs at a time: loading writes the entry points, and
// MediaInfo's C interface promises nothing about calls from several threads. A probe takes
// milliseconds and the page asks for them one by one.
std::mutex probeMutex;
std::string libraryName = mediaInfoLibraryName();
void* libraryModule = nullptr;
MediaInfoApi api;

template <typename Function>
Function entryPoint(void* module, const char* name) {
  return reinterpret_cast<Function>(findLibrarySymbol(module, name));
}

// Tried again at every probe while the library is missing; once loaded it stays for the
// process's life.
const MediaInfoApi* loadLibraryLocked() {
  if (libraryModule) return &api;
  void* module = loadSharedLibrary(libraryName);
  if (!module) return nullptr;
  for (const char* name : kEntryPoints) {
    if (!findLibrarySymbol(module, name)) {
      closeSharedLibrary(module);
      return nullptr;
    }
  }
  api.create = entryPoint<MEDIAINFO_New>(module, "MediaInfo_New");
  api.destroy = entryPoint<MEDIAINFO_Delete>(module, "MediaInfo_Delete");
  api.open = entryPoint<MEDIAINFO_Open>(module, "MediaInfo_Open");
  api.close = entryPoint<MEDIAINFO_Close>(module, "MediaInfo_Close");
  api.get = entryPoint<MEDIAINFO_Get>(module, "MediaInfo_Get");
  libraryModule = module;
  return &api;
}

// One opened file. Without the library (`api` null) every query answers kUnableToLoad; a
// handle the library refused to create answers empty texts.
class MediaFile {
 public:
  MediaFile(const MediaInfoApi* api, const std::string& path)
      : api_(api), handle_(api ? api->create() : nullptr) {
    if (handle_ && !path.empty()) api_->open(handle_, utf8ToWide(path).c_str());
  }
  ~MediaFile() {
    if (handle_) api_->destroy(handle_);
  }
  MediaFile(const MediaFile&) = delete;
  MediaFile& operator=(const MediaFile&) = delete;

  std::wstring get(MediaInfo_stream_C kind, const wchar_t* parameter) const {
    if (!api_) return std::wstring(kUnableToLoad);
    if (!handle_) return {};
    // Copied at once: the library reuses this buffer for the next answer on the handle.
    const wchar_t* value =
        api_->get(handle_, kind, 0, parameter, MediaInfo_Info_Text, MediaInfo_Info_Name);
    return value ? std::wstring(value) : std::wstring();
  }

  void close() {
    if (handle_) api_->close(handle_);
  }

 private:
  const MediaInfoApi* api_;
  void* handle_;
};

// Reads an opened file from any offset, through a buffer: the JPEG check walks every byte
// of the coded data.
class ByteReader {
 public:
  explicit ByteReader(const ReadOnlyFile& file) : file_(file), size_(file.size()) {}
  uint64_t size() const { return size_; }
  // The byte at `offset`, or -1 past the end or on a read error.
  int at(uint64_t offset) {
    if (offset >= size_) return -1;
    if (offset < start_ || offset >= start_ + buffer_.size()) {
      buffer_.resize(kBufferSize);
      const int64_t n = file_.readAt(offset, buffer_.data(), buffer_.size());
      buffer_.resize(n > 0 ? static_cast<size_t>(n) : 0);
      start_ = offset;
      if (buffer_.empty()) return -1;
    }
    return static_cast<unsigned char>(buffer_[offset - start_]);
  }
  bool matches(uint64_t offset, std::string_view bytes) {
    for (size_t i = 0; i < bytes.size(); ++i) {
      if (at(offset + i) != static_cast<unsigned char>(bytes[i])) return false;
    }
    return true;
  }
  uint32_t be32(uint64_t offset) { return (be16(offset) << 16) | be16(offset + 2); }
  uint32_t be16(uint64_t offset) { return (byte(offset) << 8) | byte(offset + 1); }
  uint32_t le32(uint64_t offset) {
    return byte(offset) | (byte(offset + 1) << 8) | (byte(offset + 2) << 16) |
           (byte(offset + 3) << 24);
  }

 private:
  static constexpr size_t kBufferSize = 65536;
  uint32_t byte(uint64_t offset) { return static_cast<uint32_t>(std::max(at(offset), 0)); }
  const ReadOnlyFile& file_;
  uint64_t size_;
  uint64_t start_ = 0;
  std::string buffer_;
};

// Chunks from the header to IEND, each within the file; letters only in chunk types, so that
// a run of zeros ends the walk at once.
bool isCompletePng(ByteReader& r) {
  if (!r.matches(0, "\x89PNG\r\n\x1a\n") || !r.matches(12, "IHDR")) return false;
  for (uint64_t offset = 8; offset + 12 <= r.size();) {
    for (int i = 4; i < 8; ++i) {
      if (!std::isalpha(r.at(offset + i))) return false;
    }
    if (r.matches(offset + 4, "IEND")) return true;
    offset += 12 + static_cast<uint64_t>(r.be32(offset));
  }
  return false;
}

// Segments from the start marker to the end marker; after each scan header the coded data runs
// to the next marker that is not a stuffed 0xFF or a restart. Bytes after the end marker
// (camera trailers, embedded clips) are not looked at.
bool isCompleteJpeg(ByteReader& r) {
  if (!r.matches(0, "\xFF\xD8\xFF")) return false;
  uint64_t offset = 2;
  while (offset < r.size()) {
    if (r.at(offset) != 0xFF) return false;
    while (r.at(offset) == 0xFF) ++offset;
    const int marker = r.at(offset++);
    if (marker == 0xD9) return true;
    if (marker < 0 || marker == 0x00) return false;
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;
    const uint32_t length = r.be16(offset);
    if (length < 2) return false;
    offset += length;
    if (marker != 0xDA) continue;
    for (int b; (b = r.at(offset)) >= 0; ++offset) {
      if (b != 0xFF) continue;
      const int next = r.at(offset + 1);
      if (next != 0x00 && !(next >= 0xD0 && next <= 0xD7)) break;
      ++offset;
    }
  }
  return false;
}

bool isCompleteImage(ByteReader& r, ImageType type) {
  switch (type) {
    case ImageType::kPng:
      return isCompletePng(r);
    case ImageType::kJpeg:
      return isCompleteJpeg(r);
    case ImageType::kGif:
      return (r.matches(0, "GIF87a") || r.matches(0, "GIF89a")) && r.size() > 13 &&
             r.at(r.size() - 1) == 0x3B;
    case ImageType::kWebp:
      return r.matches(0, "RIFF") && r.matches(8, "WEBPVP8") && r.size() > 20 &&
             8 + static_cast<uint64_t>(r.le32(4)) <= r.size();
    case ImageType::kBmp:
      return r.matches(0, "BM") && r.size() > 26 && r.le32(2) <= r.size() && r.le32(10) < r.size();
  }
  return false;
}

bool containsAny(const std::wstring& text, std::span<const std::wstring_view> parts) {
  for (std::wstring_view part : parts) {
    if (text.find(part) != std::wstring::npos) return true;
  }
  return false;
}

std::string probeVideo(const MediaFile& file) {
  const std::wstring codec = file.get(MediaInfo_Stream_Video, L"CodecID");
  const std::wstring width = file.get(MediaInfo_Stream_Video, L"Width");
  const std::wstring height = file.get(MediaInfo_Stream_Video, L"Height");
  const std::wstring duration = file.get(MediaInfo_Stream_Video, L"Duration");
  const std::wstring audio = file.get(MediaInfo_Stream_Audio, L"CodecID");
  diagLog(
      wideToUtf8(codec + L", " + width + L" x " + height + L", " + duration + L" ms, " + audio));

  std::string result;
  if (!containsAny(codec, kAcceptedVideoCodecs)) result = wideToUtf8(codec);
  if (containsAny(audio, kMp3AudioCodecs)) {
    result += " mp3";
  } else if (codec.empty()) {
    // MediaInfo opens text and empty files without complaint and finds no stream in them, nor
    // in a missing file: taking them would put a file no display can play into the library.
    result = kNoVideo;
  }
  return result;
}

}  // namespace

std::string probeMedia(std::string path, std::string extension) {
  diagLog(path);
  std::lock_guard lock(probeMutex);
  // Opened once: the file MediaInfo judges is the one that is checked and copied.
  const ReadOnlyFile opened(path);
  MediaFile file(loadLibraryLocked(), opened.pathForLibraries());

  auto isVideo = [&](std::string_view e) { return e == extension; };
  auto image = std::find_if(std::begin(kImageExtensions), std::end(kImageExtensions),
                            [&](const auto& entry) { return entry.first == extension; });
  std::string result;
  // A name without an extension is judged by its content, as a video.
  if (extension.empty() ||
      std::any_of(std::begin(kVideoExtensions), std::end(kVideoExtensions), isVideo)) {
    result = probeVideo(file);
    file.close();
  } else if (image != std::end(kImageExtensions)) {
    const std::wstring width = file.get(MediaInfo_Stream_Image, L"Width");
    const std::wstring height = file.get(MediaInfo_Stream_Image, L"Height");
    diagLog(wideToUtf8(width + L" x " + height));
    file.close();
    ByteReader reader(opened);
    if (!opened.isRegular() || !isCompleteImage(reader, image->second)) result = extension;
  } else {
    result = extension;
  }
  return result;
}

void setMediaInfoLibraryName(std::string fileName) {
  std::lock_guard lock(probeMutex);
  libraryName = std::move(fileName);
}
