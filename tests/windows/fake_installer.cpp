// Stands in for the WebView2 runtime's installer beside the program: it records the arguments it
// was started with in installer-args.txt beside itself, and installs nothing.
#include <windows.h>

#include <cstdio>
#include <string>

int main() {
  wchar_t path[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring file(path, length);
  file = file.substr(0, file.find_last_of(L'\\') + 1) + L"installer-args.txt";
  FILE* out = _wfopen(file.c_str(), L"w");
  if (!out) return 1;
  std::fprintf(out, "%ls\n", GetCommandLineW());
  return std::fclose(out) == 0 ? 0 : 1;
}
