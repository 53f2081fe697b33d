#pragma once

#include <bit>
#include <cstdint>

// Big-endian (network order) loads and stores for the frame header and the
// binary payloads. Callers check the bounds; these only move bytes.
namespace veyra::byte_order {

inline std::uint16_t LoadBe16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

inline std::uint32_t LoadBe32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

inline std::uint64_t LoadBe64(const std::uint8_t* p) {
  return (std::uint64_t{LoadBe32(p)} << 32) | LoadBe32(p + 4);
}

// An IEEE-754 binary32 sent as its 32-bit pattern, big-endian.
inline float LoadBeFloat(const std::uint8_t* p) { return std::bit_cast<float>(LoadBe32(p)); }

inline void StoreBe16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}

inline void StoreBe32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

inline void StoreBe64(std::uint8_t* p, std::uint64_t v) {
  StoreBe32(p, static_cast<std::uint32_t>(v >> 32));
  StoreBe32(p + 4, static_cast<std::uint32_t>(v));
}

inline void StoreBeFloat(std::uint8_t* p, float v) {
  StoreBe32(p, std::bit_cast<std::uint32_t>(v));
}

}  // namespace veyra::byte_order
