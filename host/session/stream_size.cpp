#include "host/session/stream_size.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace veyra {
namespace {

constexpr std::uint32_t kDefaultTargetWidth = 1920;
constexpr std::uint32_t kDefaultTargetHeight = 1080;
constexpr std::int32_t kMinDecodeWidth = 640;
constexpr std::int32_t kMinDecodeHeight = 480;
constexpr std::uint32_t kSmallestSide = 2;

// limit / size, with a zero size never the binding side.
double Ratio(std::uint32_t limit, std::uint32_t size) {
  return size == 0 ? std::numeric_limits<double>::infinity()
                   : static_cast<double>(limit) / static_cast<double>(size);
}

// Shrinks (w, h) by one factor so that it fits inside |limitW| x |limitH|.
void FitInside(std::uint32_t limitW, std::uint32_t limitH, std::uint32_t& w, std::uint32_t& h) {
  const double scale = std::min(Ratio(limitH, h), Ratio(limitW, w));
  w = static_cast<std::uint32_t>(static_cast<double>(w) * scale);
  h = static_cast<std::uint32_t>(static_cast<double>(h) * scale);
}

std::uint32_t EvenAtLeastTwo(std::uint32_t side) {
  const std::uint32_t even = side & ~1u;
  return even <= kSmallestSide ? kSmallestSide : even;
}

}  // namespace

StreamSize ChooseStreamSize(std::uint32_t sourceWidth, std::uint32_t sourceHeight,
                            const DeviceInfo& info, std::uint32_t forcedWidth,
                            std::uint32_t forcedHeight) {
  if (forcedWidth != 0 && forcedHeight != 0) {
    return {forcedWidth & ~1u, forcedHeight & ~1u};
  }

  std::uint32_t targetW = kDefaultTargetWidth;
  std::uint32_t targetH = kDefaultTargetHeight;
  if (info.widthPx != 0 && info.heightPx != 0) {
    targetW = static_cast<std::uint32_t>(info.widthPx);
    targetH = static_cast<std::uint32_t>(info.heightPx);
  }
  if (targetH > targetW) {
    std::swap(targetW, targetH);
  }

  std::uint32_t w = sourceWidth;
  std::uint32_t h = sourceHeight;
  if (w > targetW || h > targetH) {
    FitInside(targetW, targetH, w, h);
  }

  const auto limitW = static_cast<std::uint32_t>(std::max(info.maxDecodeWidth, kMinDecodeWidth));
  const auto limitH = static_cast<std::uint32_t>(std::max(info.maxDecodeHeight, kMinDecodeHeight));
  if (w > limitW || h > limitH) {
    FitInside(limitW, limitH, w, h);
  }
  return {EvenAtLeastTwo(w), EvenAtLeastTwo(h)};
}

}  // namespace veyra
