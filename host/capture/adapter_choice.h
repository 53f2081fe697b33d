#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

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
  // The monitor each of its outputs shows, in output order, by a handle
  // that names the monitor system-wide (the HMONITOR on Windows); 0 when
  // unknown. On a hybrid laptop set to high performance the discrete GPU
  // lists the panel that the integrated GPU lists too.
  std::vector<std::uint64_t> monitors;
};

// The adapter to create the devices on, as its index in |adapters|. With
// |requestedLuid| set, that adapter. Otherwise a hardware adapter that shows
// monitor |monitor|, the monitors of the hardware adapters numbered in
// enumeration order and each counted once however many adapters list it;
// of those, the first that is not in |refusedLuids| (adapters that could
// not duplicate it). When no adapter shows that monitor, the first hardware
// adapter (a source without a monitor needs devices too). Nothing when no
// adapter is left.
std::optional<std::size_t> ChooseAdapter(std::span<const AdapterSummary> adapters,
                                         std::uint64_t requestedLuid, std::uint32_t monitor,
                                         std::span<const std::uint64_t> refusedLuids = {});

// The output of adapter |chosen| that shows monitor |monitor|, numbered as
// ChooseAdapter numbers them; nothing when it shows none.
std::optional<std::uint32_t> OutputOfMonitor(std::span<const AdapterSummary> adapters,
                                             std::size_t chosen, std::uint64_t requestedLuid,
                                             std::uint32_t monitor);

}  // namespace veyra
