#include "host/capture/adapter_choice.h"

namespace veyra {

std::optional<AdapterPlace> ChooseAdapter(std::span<const AdapterSummary> adapters,
                                          std::uint64_t requestedLuid, std::uint32_t monitor) {
  if (requestedLuid != 0) {
    for (std::size_t i = 0; i < adapters.size(); ++i) {
      if (AdapterMatches(adapters[i].software, adapters[i].luid, requestedLuid)) {
        return AdapterPlace{i, 0};
      }
    }
    return std::nullopt;
  }
  std::optional<AdapterPlace> first;
  std::uint32_t base = 0;
  for (std::size_t i = 0; i < adapters.size(); ++i) {
    if (adapters[i].software) continue;
    if (!first) first = AdapterPlace{i, 0};
    if (monitor < base + adapters[i].outputs) return AdapterPlace{i, base};
    base += adapters[i].outputs;
  }
  return first;
}

}  // namespace veyra
