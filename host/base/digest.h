#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace veyra {

using Sha1Digest = std::array<std::uint8_t, 20>;
using Sha256Digest = std::array<std::uint8_t, 32>;

// One-shot digests through the system's crypto library (OpenSSL natively,
// BCrypt on Windows). |data| may be null when |size| is 0. Raise
// std::runtime_error only when the library itself fails, never for an input;
// on Windows an input of 4 GiB or more is refused the same way (BCrypt counts
// bytes in 32 bits, and nothing the host hashes comes near that).
Sha1Digest Sha1(const std::uint8_t* data, std::size_t size);
Sha256Digest Sha256(const std::uint8_t* data, std::size_t size);

}  // namespace veyra
