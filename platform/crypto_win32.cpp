#include <windows.h>
// wincrypt.h needs windows.h first.
#include <wincrypt.h>

#include <algorithm>
#include <vector>

#include "platform/crypto.h"
#include "platform/file_system.h"

namespace {

std::string hexText(const unsigned char* digest, DWORD length) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(length * 2);
  for (DWORD i = 0; i < length; ++i) {
    hex.push_back(kHex[digest[i] >> 4]);
    hex.push_back(kHex[digest[i] & 0x0F]);
  }
  return hex;
}

// One hash object of a verify-only context, released with its owner.
class Hash {
 public:
  Hash(DWORD providerType, ALG_ID algorithm) {
    if (CryptAcquireContextA(&provider_, nullptr, nullptr, providerType, CRYPT_VERIFYCONTEXT)) {
      if (!CryptCreateHash(provider_, algorithm, 0, 0, &hash_)) hash_ = 0;
    }
  }
  ~Hash() {
    if (hash_) CryptDestroyHash(hash_);
    if (provider_) CryptReleaseContext(provider_, 0);
  }
  Hash(const Hash&) = delete;
  Hash& operator=(const Hash&) = delete;

  bool add(const char* data, size_t size) {
    if (!hash_) return false;
    // The length is a DWORD: larger inputs go in pieces.
    while (size > 0) {
      const DWORD piece = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
      if (!CryptHashData(hash_, reinterpret_cast<const BYTE*>(data), piece, 0)) return false;
      data += piece;
      size -= piece;
    }
    return true;
  }
  // Lower-case hex of the value; empty when the service failed.
  std::string hex() {
    unsigned char value[64];
    DWORD length = sizeof value;
    if (!hash_ || !CryptGetHashParam(hash_, HP_HASHVAL, value, &length, 0)) return {};
    return hexText(value, length);
  }

 private:
  HCRYPTPROV provider_ = 0;
  HCRYPTHASH hash_ = 0;
};

}  // namespace

std::string md5HexDigest(std::string_view data) {
  Hash hash(PROV_RSA_FULL, CALG_MD5);
  if (!hash.add(data.data(), data.size())) return {};
  return hash.hex();
}

std::string sha256FileHex(const std::string& path) {
  const ReadOnlyFile file(path);
  if (!file.isRegular()) return {};
  Hash hash(PROV_RSA_AES, CALG_SHA_256);
  std::vector<char> chunk(1 << 20);
  for (uint64_t offset = 0;;) {
    const int64_t n = file.readAt(offset, chunk.data(), chunk.size());
    if (n < 0) return {};
    if (n == 0) break;
    if (!hash.add(chunk.data(), static_cast<size_t>(n))) return {};
    offset += static_cast<uint64_t>(n);
  }
  return hash.hex();
}
