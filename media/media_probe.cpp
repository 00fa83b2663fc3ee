#include "media/media_probe.h"

#include <dlfcn.h>
#include <locale.h>

#include <array>
#include <mutex>
#include <span>
#include <string_view>
#include <utility>

#include "app/diag_log.h"
#include "media/file_utils.h"

// The library's wide-character entry points (MediaInfo_*), not the narrow MediaInfoA_* ones.
#define UNICODE
#include <MediaInfoDLL/MediaInfoDLL.h>

namespace {

// Searched as text, not entry by entry: "", "." and ".m" go the video way, ".jp" the image way.
// The image list starts with a dot too, or ".bmp" would find no match while ".Bmp" did.
constexpr std::string_view kVideoExtensions = ".mp4.mov.mkv.Mp4.Mov.Mkv.MP4.MOV.MKV";
constexpr std::string_view kImageExtensions =
    ".bmp.gif.jpeg.jpg.png.webp.Bmp.Gif.Jpeg.Jpg.Png.Webp.BMP.GIF.JPEG.JPG.PNG.WEBP";

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
std::string libraryName = "libmediainfo.so.0";
void* libraryModule = nullptr;
MediaInfoApi api;

template <typename Function>
Function entryPoint(void* module, const char* name) {
  return reinterpret_cast<Function>(dlsym(module, name));
}

// Tried again at every probe while the library is missing; once loaded it stays for the
// process's life.
const MediaInfoApi* loadLibraryLocked() {
  if (libraryModule) return &api;
  void* module = dlopen(libraryName.c_str(), RTLD_LAZY);
  if (!module) return nullptr;
  for (const char* name : kEntryPoints) {
    if (!dlsym(module, name)) {
      dlclose(module);
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

// MediaInfo turns wide paths into bytes with the thread's LC_CTYPE: under the "C" locale a
// non-ASCII path does not open. A thread-local UTF-8 LC_CTYPE keeps the probe independent of
// whatever the process set, without touching other threads.
class Utf8CharacterType {
 public:
  Utf8CharacterType() {
    locale_t base = duplocale(uselocale(static_cast<locale_t>(0)));
    if (!base) return;
    utf8_ = newlocale(LC_CTYPE_MASK, "C.UTF-8", base);
    if (!utf8_) {
      freelocale(base);
      return;
    }
    previous_ = uselocale(utf8_);
  }
  ~Utf8CharacterType() {
    if (!utf8_) return;
    uselocale(previous_);
    freelocale(utf8_);
  }
  Utf8CharacterType(const Utf8CharacterType&) = delete;
  Utf8CharacterType& operator=(const Utf8CharacterType&) = delete;

 private:
  locale_t utf8_ = static_cast<locale_t>(0);
  locale_t previous_ = static_cast<locale_t>(0);
};

// One opened file. Without the library (`api` null) every query answers kUnableToLoad; a
// handle the library refused to create answers empty texts.
class MediaFile {
 public:
  MediaFile(const MediaInfoApi* api, const std::string& path)
      : api_(api), handle_(api ? api->create() : nullptr) {
    // A NUL would cut the path short and the library would judge another file than the
    // caller goes on to copy: such a path names no file.
    if (handle_ && path.find('\0') == std::string::npos) {
      api_->open(handle_, utf8ToWide(path).c_str());
    }
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
  const Utf8CharacterType utf8Paths;
  MediaFile file(loadLibraryLocked(), path);

  std::string result;
  if (kVideoExtensions.find(extension) != std::string_view::npos) {
    result = probeVideo(file);
    file.close();
  } else if (kImageExtensions.find(extension) != std::string_view::npos) {
    const std::wstring width = file.get(MediaInfo_Stream_Image, L"Width");
    const std::wstring height = file.get(MediaInfo_Stream_Image, L"Height");
    diagLog(wideToUtf8(width + L" x " + height));
    file.close();
  } else {
    result = extension;
  }
  return result;
}

void setMediaInfoLibraryName(std::string fileName) {
  std::lock_guard lock(probeMutex);
  libraryName = std::move(fileName);
}
