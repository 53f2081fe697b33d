#include <windows.h>

#include <bcrypt.h>

#include <limits>
#include <stdexcept>

#include "host/base/digest.h"

namespace veyra {
namespace {

// An algorithm provider, closed when it goes. Opened per call: the host
// hashes a few short keys per connection, and a cached provider would be
// shared state for no measurable gain.
class ScopedAlgorithm {
 public:
  explicit ScopedAlgorithm(LPCWSTR algorithm) {
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&handle_, algorithm, nullptr, 0))) {
      handle_ = nullptr;
    }
  }
  ~ScopedAlgorithm() {
    if (handle_ != nullptr) {
      BCryptCloseAlgorithmProvider(handle_, 0);
    }
  }
  ScopedAlgorithm(const ScopedAlgorithm&) = delete;
  ScopedAlgorithm& operator=(const ScopedAlgorithm&) = delete;

  BCRYPT_ALG_HANDLE Get() const { return handle_; }

 private:
  BCRYPT_ALG_HANDLE handle_ = nullptr;
};

template <std::size_t kBytes>
std::array<std::uint8_t, kBytes> Digest(LPCWSTR algorithm, const std::uint8_t* data,
                                        std::size_t size) {
  if (size > std::numeric_limits<ULONG>::max()) {
    throw std::runtime_error("BCrypt digest input too large");
  }
  const ScopedAlgorithm provider(algorithm);
  if (provider.Get() == nullptr) {
    throw std::runtime_error("BCryptOpenAlgorithmProvider failed");
  }
  std::array<std::uint8_t, kBytes> digest{};
  // BCryptHash only reads its input; the parameter is not const in the
  // header. The output size must equal the digest's exactly.
  UCHAR empty = 0;
  PUCHAR input = size == 0 ? &empty : const_cast<PUCHAR>(data);
  if (!BCRYPT_SUCCESS(BCryptHash(provider.Get(), nullptr, 0, input, static_cast<ULONG>(size),
                                 digest.data(), static_cast<ULONG>(digest.size())))) {
    throw std::runtime_error("BCryptHash failed");
  }
  return digest;
}

}  // namespace

Sha1Digest Sha1(const std::uint8_t* data, std::size_t size) {
  return Digest<20>(BCRYPT_SHA1_ALGORITHM, data, size);
}

Sha256Digest Sha256(const std::uint8_t* data, std::size_t size) {
  return Digest<32>(BCRYPT_SHA256_ALGORITHM, data, size);
}

}  // namespace veyra
