#pragma once

#include <string>
#include <string_view>

// MD5 digest of `data` as 32 lower-case hex digits; empty when the hashing service fails.
std::string md5HexDigest(std::string_view data);

// Base64 in lines of 64 characters, each line (the last one too) ended by CR LF.
std::string base64Lines(std::string_view data);
