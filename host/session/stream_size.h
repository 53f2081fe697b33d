#pragma once

#include <cstdint>

#include "host/wire/control_messages.h"

namespace veyra {

struct StreamSize {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  bool operator==(const StreamSize&) const = default;
};

// The size to encode a |sourceWidth| x |sourceHeight| desktop at for the
// receiver |info| describes: a forced size (both non-zero) wins; otherwise
// the source keeps its aspect ratio, shrinks to fit the receiver's screen
// (1920 x 1080 when it reports none, either way round) and its decoder
// limits (never below 640 x 480), and is never scaled up. Always even and
// at least 2 x 2, except that a forced size only loses its lowest bits.
StreamSize ChooseStreamSize(std::uint32_t sourceWidth, std::uint32_t sourceHeight,
                            const DeviceInfo& info, std::uint32_t forcedWidth,
                            std::uint32_t forcedHeight);

}  // namespace veyra
