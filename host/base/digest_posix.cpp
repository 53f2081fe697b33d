#include "host/base/digest.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace veyra {
namespace {

template <std::size_t kBytes>
std::array<std::uint8_t, kBytes> Digest(const EVP_MD* type, const std::uint8_t* data,
                                        std::size_t size) {
  std::array<std::uint8_t, kBytes> digest{};
  unsigned int written = 0;
  if (type == nullptr || EVP_Digest(data, size, digest.data(), &written, type, nullptr) != 1 ||
      written != digest.size()) {
    throw std::runtime_error("OpenSSL digest failed");
  }
  return digest;
}

}  // namespace

Sha1Digest Sha1(const std::uint8_t* data, std::size_t size) {
  return Digest<20>(EVP_sha1(), data, size);
}

Sha256Digest Sha256(const std::uint8_t* data, std::size_t size) {
  return Digest<32>(EVP_sha256(), data, size);
}

}  // namespace veyra
