#include <windows.h>

#include "platform/shared_library.h"

void* loadSharedLibrary(const std::string& fileName) {
  return reinterpret_cast<void*>(LoadLibraryA(fileName.c_str()));
}

void* findLibrarySymbol(void* library, const char* name) {
  if (!library) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void closeSharedLibrary(void* library) {
  if (library) FreeLibrary(static_cast<HMODULE>(library));
}

std::string mediaInfoLibraryName() {
  return "MediaInfo.dll";
}
