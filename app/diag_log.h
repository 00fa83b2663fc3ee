#pragma once

#include <string_view>

// The diagnostic log: off by default; QUILLORA_LOG=stderr or QUILLORA_LOG=/path/file turns it on.
void initDiagLog();
void diagLog(std::string_view line);
