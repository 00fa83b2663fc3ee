#pragma once

#include <string>

// Folder of the running executable, without a trailing separator; empty if unknown.
std::string getExecutableFolder();
