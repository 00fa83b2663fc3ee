#pragma once

#include <string>

// UTF-8 <-> the system's wide text (UTF-32 on Linux, UTF-16 on Windows); invalid sequences
// become U+FFFD.
std::wstring utf8ToWide(const std::string& text);
std::string wideToUtf8(const std::wstring& text);
