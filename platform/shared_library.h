#pragma once

#include <string>

// A library loaded at run time; null when it cannot be loaded.
void* loadSharedLibrary(const std::string& fileName);
void* findLibrarySymbol(void* library, const char* name);
void closeSharedLibrary(void* library);

// The media information library's file name on this system.
std::string mediaInfoLibraryName();
