#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

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

// What the choice needs to know of one enumerated adapter.
struct AdapterSummary {
  bool software = false;
  std::uint64_t luid = 0;
  std::uint32_t outputs = 0;  // monitors attached to it
};

// The adapter chosen and the number of monitors on the adapters before it:
// monitor N is that adapter's output N - outputBase.
struct AdapterPlace {
  std::size_t index = 0;
  std::uint32_t outputBase = 0;
};

// The adapter to create the devices on. With |requestedLuid| set, that
// adapter, its outputs counted from 0. Otherwise the hardware adapter that
// owns monitor |monitor|, the monitors of the hardware adapters counted in
// enumeration order: a monitor on a second GPU, or on the integrated GPU of
// a hybrid laptop whose discrete GPU comes first and drives no monitor,
// must be duplicated on the adapter that drives it. When no adapter has
// that many monitors, the first hardware adapter (a source without a
// monitor needs devices too). Nothing when no adapter matches.
std::optional<AdapterPlace> ChooseAdapter(std::span<const AdapterSummary> adapters,
                                          std::uint64_t requestedLuid, std::uint32_t monitor);

}  // namespace veyra
