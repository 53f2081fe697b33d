#include "host/capture/adapter_choice.h"

#include <algorithm>

namespace veyra {
namespace {

// Two outputs show the same monitor when they name the same handle; an
// unknown handle (0) is a monitor of its own.
bool SameMonitor(std::uint64_t a, std::uint64_t b) { return a != 0 && a == b; }

bool Lists(const AdapterSummary& adapter, std::uint64_t handle) {
  return std::any_of(adapter.monitors.begin(), adapter.monitors.end(),
                     [&](std::uint64_t other) { return SameMonitor(handle, other); });
}

// Where monitor |monitor| is first listed: the distinct monitors of the
// hardware adapters in enumeration order.
struct MonitorPlace {
  std::size_t adapter = 0;
  std::uint32_t output = 0;
  std::uint64_t handle = 0;
};

std::optional<MonitorPlace> FindMonitor(std::span<const AdapterSummary> adapters,
                                        std::uint32_t monitor) {
  std::uint32_t counted = 0;
  for (std::size_t i = 0; i < adapters.size(); ++i) {
    if (adapters[i].software) continue;
    const std::vector<std::uint64_t>& outputs = adapters[i].monitors;
    for (std::uint32_t output = 0; output < outputs.size(); ++output) {
      const std::uint64_t handle = outputs[output];
      const bool listedBefore =
          std::any_of(adapters.begin(), adapters.begin() + static_cast<std::ptrdiff_t>(i),
                      [&](const AdapterSummary& other) {
                        return !other.software && Lists(other, handle);
                      }) ||
          std::any_of(outputs.begin(), outputs.begin() + output,
                      [&](std::uint64_t other) { return SameMonitor(handle, other); });
      if (listedBefore) continue;
      if (counted == monitor) return MonitorPlace{i, output, handle};
      ++counted;
    }
  }
  return std::nullopt;
}

bool Refused(std::span<const std::uint64_t> refusedLuids, std::uint64_t luid) {
  return std::find(refusedLuids.begin(), refusedLuids.end(), luid) != refusedLuids.end();
}

}  // namespace

std::optional<std::size_t> ChooseAdapter(std::span<const AdapterSummary> adapters,
                                         std::uint64_t requestedLuid, std::uint32_t monitor,
                                         std::span<const std::uint64_t> refusedLuids) {
  if (requestedLuid != 0) {
    for (std::size_t i = 0; i < adapters.size(); ++i) {
      if (AdapterMatches(adapters[i].software, adapters[i].luid, requestedLuid)) {
        if (Refused(refusedLuids, adapters[i].luid)) return std::nullopt;
        return i;
      }
    }
    return std::nullopt;
  }
  const std::optional<MonitorPlace> place = FindMonitor(adapters, monitor);
  for (std::size_t i = 0; i < adapters.size(); ++i) {
    const AdapterSummary& adapter = adapters[i];
    if (adapter.software || Refused(refusedLuids, adapter.luid)) continue;
    if (!place || i == place->adapter || Lists(adapter, place->handle)) return i;
  }
  return std::nullopt;
}

std::optional<std::uint32_t> OutputOfMonitor(std::span<const AdapterSummary> adapters,
                                             std::size_t chosen, std::uint64_t requestedLuid,
                                             std::uint32_t monitor) {
  if (chosen >= adapters.size()) return std::nullopt;
  const std::vector<std::uint64_t>& outputs = adapters[chosen].monitors;
  if (requestedLuid != 0) {
    if (monitor < outputs.size()) return monitor;
    return std::nullopt;
  }
  const std::optional<MonitorPlace> place = FindMonitor(adapters, monitor);
  if (!place) return std::nullopt;
  if (place->adapter == chosen) return place->output;
  for (std::uint32_t output = 0; output < outputs.size(); ++output) {
    if (SameMonitor(place->handle, outputs[output])) return output;
  }
  return std::nullopt;
}

}  // namespace veyra
