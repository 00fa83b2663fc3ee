#include "digest.h"

#include <openssl/evp.h>

#include <cctype>

namespace dsim {
namespace {

std::string toHex(const unsigned char* bytes, unsigned int size) {
  static const char* const kDigits = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (unsigned int i = 0; i < size; ++i) {
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 15]);
  }
  return out;
}

}  // namespace

struct Md5Stream::Impl {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  ~Impl() { EVP_MD_CTX_free(ctx); }
};

Md5Stream::Md5Stream() : impl_(std::make_unique<Impl>()) {
  reset();
}
Md5Stream::~Md5Stream() = default;

void Md5Stream::reset() {
  EVP_DigestInit_ex(impl_->ctx, EVP_md5(), nullptr);
}

void Md5Stream::update(const void* data, size_t size) {
  if (size > 0) EVP_DigestUpdate(impl_->ctx, data, size);
}

std::string Md5Stream::finishHex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_DigestFinal_ex(impl_->ctx, digest, &size);
  reset();
  return toHex(digest, size);
}

std::string md5Hex(std::string_view data) {
  Md5Stream md5;
  md5.update(data.data(), data.size());
  return md5.finishHex();
}

std::string loginDigest(const std::string& sessionId, const std::string& user,
                        const std::string& password) {
  return md5Hex(sessionId + ":" + user + ":" + password + ":KOVRA");
}

bool digestMatches(const std::string& given, const std::string& expected) {
  if (given.size() != expected.size()) return false;
  for (size_t i = 0; i < given.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(given[i])) != expected[i]) return false;
  }
  return true;
}

}  // namespace dsim
