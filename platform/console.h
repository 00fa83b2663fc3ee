#pragma once

#include <string>
#include <vector>

// The program's arguments after its own name, as UTF-8. Windows hands narrow `argv` over in the
// ANSI code page, which cannot spell every name a user types; its wide command line can.
std::vector<std::string> commandLineArguments(int argc, char** argv);

// Standard output and error carry exactly the bytes written: Windows would otherwise turn each
// line feed into CR LF, and scripts read one JSON text per line.
void useBinaryStandardStreams();
