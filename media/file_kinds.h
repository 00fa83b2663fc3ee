#pragma once

// What a file holds, told by its first bytes.

#include <string>

// 16 kHz, 16-bit, mono PCM WAV with the format chunk first.
bool isWavFile(const std::string& path);
bool isPngFile(const std::string& path);
