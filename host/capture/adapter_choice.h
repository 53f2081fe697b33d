#pragma once

#include <cstdint>

namespace veyra {

// A locally unique adapter id as one number: the high part above the low.
constexpr std::uint64_t LuidValue(std::uint32_t lowPart, std::int32_t highPart) {
  return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(highPart)) << 32) | lowPart;
}

// Whether an enumerated adapter is the one asked for: never a software
// adapter (the basic render driver has no video processor worth using);
// the first hardware one when |requestedLuid| is 0, else the one with that
// id.
constexpr bool AdapterMatches(bool software, std::uint64_t luid, std::uint64_t requestedLuid) {
  if (software) return false;
  return requestedLuid == 0 || luid == requestedLuid;
}

}  // namespace veyra
