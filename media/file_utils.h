#pragma once

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

// The length of the well-formed UTF-8 sequence that starts at `at`; 0 when none does.
size_t utf8SequenceLength(const std::string& text, size_t at);

std::string md5Hex(const std::string& data);

// 16 kHz, 16-bit, mono PCM WAV with the format chunk first.
bool isWavFile(const std::string& path);
bool isPngFile(const std::string& path);

// A single path component from the page: not empty, ".", "..", and no '/', '\' or NUL.
bool isSafeFileName(const std::string& name);

// A name an operator gives (a playlist, a group): not blank, and no control character, which
// would be invisible in lists and break lines in exported files.
bool isPlainName(const std::string& name);

// Writes `content` to a temporary file beside `path`, flushes it and renames it over
// `path`, so readers see the old or the new content, never a torn file.
bool writeFileAtomically(const std::string& path, const std::string& content);

// Copies the regular file `source` the same way: a failed copy leaves `target` as it was, and
// a file copied onto itself stays whole.
bool copyFileAtomically(const std::string& source, const std::string& target);

// Prefix of the temporaries of writeFileAtomically; left-overs of a crash are removed.
inline constexpr const char* kTempFilePrefix = ".quillora-save-";
void removeStaleTempFiles(const std::string& folder);
