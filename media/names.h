#pragma once

// Names and text that come from the page or from files: which of them may be used as a file
// name, shown as a name, or read as UTF-8.

#include <cstddef>
#include <string>

// The length of the well-formed UTF-8 sequence that starts at `at`; 0 when none does.
size_t utf8SequenceLength(const std::string& text, size_t at);

// A single path component from the page: not empty, ".", "..", and no '/', '\' or NUL.
bool isSafeFileName(const std::string& name);

// A name an operator gives (a playlist, a group): not blank, and no control character, which
// would be invisible in lists and break lines in exported files.
bool isPlainName(const std::string& name);
