#pragma once

#include <functional>
#include <string>
#include <string_view>

// The one log of the core. Every layer writes lines with a level; where they go is the front
// end's choice (setLogSink). No password reaches a sink: every "pass" member of a line is
// written as "***" before the sink sees it.

enum class LogLevel { debug, warning, error };

using LogSink = std::function<void(LogLevel level, const std::string& line)>;

// Without a sink every line is dropped.
void setLogSink(LogSink sink);
void logLine(LogLevel level, std::string_view line);

// What only whoever debugs wants to see.
inline void diagLog(std::string_view line) {
  logLine(LogLevel::debug, line);
}
// A problem the operator must hear of.
inline void reportProblem(std::string_view line) {
  logLine(LogLevel::error, line);
}

// The front ends' sink: warnings and errors on stderr as "quillora: " + line; with
// QUILLORA_LOG=stderr or QUILLORA_LOG=/path/file (made readable by its owner only) every line,
// time-stamped, there too.
void initDiagLog();

// `line` with the text of each JSON member "pass" replaced by ***.
std::string maskCredentials(std::string_view line);
