#pragma once

#include <string>
#include <string_view>

// MD5 digest of `data` as 32 lower-case hex digits; empty when the hashing service fails.
std::string md5HexDigest(std::string_view data);

// SHA-256 of the file at `path` as 64 lower-case hex digits; empty when it cannot be read.
std::string sha256FileHex(const std::string& path);

// Base64 in lines of 64 characters, each line (the last one too) ended by CR LF.
std::string base64Lines(std::string_view data);
