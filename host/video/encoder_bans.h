#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace veyra {

// Whether a failure a transform reported is its device's rather than its
// own: the device was removed, reset or hung (a driver update, a GPU reset,
// resume from sleep). The encoder is not to blame and works again on the
// new device.
bool IsDeviceLoss(std::int32_t status);

// Hardware encoders that stopped a running stream by themselves, so that a
// rebuild gives the next candidate its turn instead of the same failure
// every two seconds. A ban is for one encoder on one adapter, and it
// expires: a fault that passed, or another adapter's encoder of the same
// name, does not leave the user on the software encoder until the host
// restarts. Not thread-safe; the encoder guards it.
class EncoderBans {
 public:
  static constexpr std::uint64_t kBanUs = 5ull * 60 * 1000000;

  void Ban(std::uint64_t adapterLuid, const std::string& name, std::uint64_t nowUs);
  // Forgets the bans that ran out.
  bool Banned(std::uint64_t adapterLuid, const std::string& name, std::uint64_t nowUs);

 private:
  struct Entry {
    std::uint64_t adapterLuid = 0;
    std::string name;
    std::uint64_t untilUs = 0;
  };
  std::vector<Entry> entries_;
};

}  // namespace veyra
