#pragma once

// Reading files and folders of the application folder without surprises: only regular files,
// never blocking on a FIFO or device, nothing at all rather than half of something.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/file_system.h"  // removeFile
#include "platform/text_conversion.h"

// The file's size; 0 when it is not a readable regular file.
uint64_t fileSize(const std::string& path);
bool isDirectory(const std::string& path);

// Names (no folder) of the files directly in `folder`, sorted; folders are left out.
std::vector<std::string> listFiles(const std::string& folder);

// The whole file, or its Base64 text in CR LF-ended lines of 64 characters; empty on failure.
// Only regular files are read (see readRegularFile).
std::string readFileText(const std::string& path, bool base64 = false);

// The content of a regular file, no more than the size it had when opened; nothing for a
// folder, FIFO, device or unreadable file. Opening never blocks.
std::optional<std::string> readRegularFile(const std::string& path);
