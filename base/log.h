#pragma once

#include <string>
#include <string_view>

// The diagnostic log: off by default; QUILLORA_LOG=stderr or QUILLORA_LOG=/path/file turns it on.
// No password reaches it: every "pass" member of a line is written as "***".
void initDiagLog();
void diagLog(std::string_view line);

// `line` with the text of each JSON member "pass" replaced by ***.
std::string maskCredentials(std::string_view line);

// A problem the operator must hear of: "quillora: " + line on stderr, and in the log.
void reportProblem(std::string_view line);
