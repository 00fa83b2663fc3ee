#pragma once

#include <string>

// What a test needs from the system beyond the program's own platform layer.

// A FIFO at `path`; false where the system has none (Windows), and the case is left out.
bool makeFifo(const std::string& path);

// A character device that reads forever.
extern const char* const kEndlessDevice;

void setEnvironment(const std::string& name, const std::string& value);

// File names are bytes (POSIX), so a name that is not UTF-8 can name a file; on Windows names
// are UTF-16 and such a name names none.
extern const bool kNamesAreBytes;

// Folder permissions are POSIX mode bits; Windows has access lists instead.
extern const bool kModeBits;

// chmod; false where files have no mode bits.
bool setFileMode(const std::string& path, int mode);
