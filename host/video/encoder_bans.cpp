#include "host/video/encoder_bans.h"

#include <algorithm>

#include "host/base/status_codes.h"

namespace veyra {

bool IsDeviceLoss(std::int32_t status) {
  return status == status::kDxgiErrorDeviceRemoved || status == status::kDxgiErrorDeviceHung ||
         status == status::kDxgiErrorDeviceReset;
}

void EncoderBans::Ban(std::uint64_t adapterLuid, const std::string& name, std::uint64_t nowUs) {
  Banned(adapterLuid, name, nowUs);  // drops an expired entry
  for (Entry& entry : entries_) {
    if (entry.adapterLuid == adapterLuid && entry.name == name) {
      entry.untilUs = nowUs + kBanUs;
      return;
    }
  }
  entries_.push_back({adapterLuid, name, nowUs + kBanUs});
}

bool EncoderBans::Banned(std::uint64_t adapterLuid, const std::string& name, std::uint64_t nowUs) {
  std::erase_if(entries_, [nowUs](const Entry& entry) { return entry.untilUs <= nowUs; });
  return std::any_of(entries_.begin(), entries_.end(), [&](const Entry& entry) {
    return entry.adapterLuid == adapterLuid && entry.name == name;
  });
}

}  // namespace veyra
