// Stands in for the user at the program's message boxes, under Wine: each box that appears is
// printed as "CAPTION: TEXT" (UTF-8, one line) and answered with OK.
// Usage: dismiss_boxes.exe SECONDS [COUNT] — ends after COUNT boxes (default 1) or SECONDS.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

namespace {

// A box answered a moment ago may still be on screen.
std::set<HWND> answered;

std::string utf8(const wchar_t* text) {
  char out[4096];
  int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, out, sizeof out, nullptr, nullptr);
  return n > 0 ? std::string(out, static_cast<size_t>(n - 1)) : std::string();
}

BOOL CALLBACK answer(HWND window, LPARAM count) {
  wchar_t name[16];
  if (answered.count(window) || !IsWindowVisible(window) || !GetClassNameW(window, name, 16) ||
      lstrcmpW(name, L"#32770"))
    return TRUE;
  answered.insert(window);
  wchar_t caption[256] = L"", text[2048] = L"";
  GetWindowTextW(window, caption, 256);
  // The box's text is its static control with the id 0xFFFF.
  GetDlgItemTextW(window, 0xFFFF, text, 2048);
  std::printf("%s: %s\n", utf8(caption).c_str(), utf8(text).c_str());
  std::fflush(stdout);
  PostMessageW(window, WM_COMMAND, IDOK, 0);
  ++*reinterpret_cast<int*>(count);
  return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  DWORD end = GetTickCount() + static_cast<DWORD>(std::atof(argv[1]) * 1000);
  int wanted = argc > 2 ? std::atoi(argv[2]) : 1, seen = 0;
  while (seen<wanted&& static_cast<LONG>(end - GetTickCount())> 0) {
    EnumWindows(answer, reinterpret_cast<LPARAM>(&seen));
    Sleep(seen < wanted ? 200 : 0);
  }
  return seen >= wanted ? 0 : 1;
}
