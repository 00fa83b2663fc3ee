#include <dlfcn.h>

#include "platform/shared_library.h"

void* loadSharedLibrary(const std::string& fileName) {
  return dlopen(fileName.c_str(), RTLD_LAZY);
}

void* findLibrarySymbol(void* library, const char* name) {
  return library ? dlsym(library, name) : nullptr;
}

void closeSharedLibrary(void* library) {
  if (library) dlclose(library);
}

std::string mediaInfoLibraryName() {
  return "libmediainfo.so.0";
}
