#pragma once

// Files replaced whole: readers see the old content or the new, never a torn file, and the
// temporaries a crash leaves behind are recognised and removed.

#include <string>

// Writes `content` to a temporary file beside `path`, flushes it and renames it over
// `path`, so readers see the old or the new content, never a torn file.
bool writeFileAtomically(const std::string& path, const std::string& content);

// Copies the regular file `source` the same way: a failed copy leaves `target` as it was, and
// a file copied onto itself stays whole.
bool copyFileAtomically(const std::string& source, const std::string& target);

// Prefix of the temporaries of writeFileAtomically; left-overs of a crash are removed.
inline constexpr const char* kTempFilePrefix = ".quillora-save-";
void removeStaleTempFiles(const std::string& folder);
