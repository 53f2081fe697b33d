#include "host/capture/graphics_context.h"

#include <algorithm>

#include "host/base/hresult_text.h"
#include "host/base/log.h"
#include "host/base/status_codes.h"
#include "host/capture/capture_source.h"

namespace veyra {

std::int32_t GraphicsContext::Init(std::uint64_t adapterLuid, std::uint32_t monitor) {
  requestedLuid_ = adapterLuid;
  monitor_ = monitor;
  refusedLuids_.clear();
  const std::int32_t status = CreateOnChosenAdapter();
  if (status == status::kDxgiErrorNotFound) {
    Log(LogLevel::Error, "no suitable DXGI adapter found");
  }
  return status;
}

std::optional<std::uint32_t> GraphicsContext::OutputOf(std::uint32_t monitor) const {
  return OutputOfMonitor(adapters_, chosen_, requestedLuid_, monitor);
}

std::int32_t GraphicsContext::OpenSource(ICaptureSource& source) {
  std::int32_t status = source.Open();
  const std::string first = adapterName_;
  // Each pass refuses one more adapter, so the adapters run out within a
  // call; the next call (the session's retry) starts a new round where this
  // one ended, since a mode change may have let any of them duplicate.
  while (status == status::kDxgiErrorUnsupported && devices_ != nullptr) {
    // DuplicateOutput's DXGI_ERROR_UNSUPPORTED ("IDXGIOutput1::DuplicateOutput
    // method") is a mode or scenario this adapter cannot duplicate; the
    // same monitor listed by another adapter may still be duplicated there.
    if (std::find(refusedLuids_.begin(), refusedLuids_.end(), adapterLuid_) ==
        refusedLuids_.end()) {
      refusedLuids_.push_back(adapterLuid_);
    }
    const std::int32_t moved = CreateOnChosenAdapter();
    if (moved == status::kDxgiErrorNotFound) {
      Log(LogLevel::Debug, "no other adapter shows monitor %u", monitor_);
      refusedLuids_.clear();
      return status;
    }
    if (moved != status::kSOk) {
      // The devices are half replaced: DeviceLost says so, and the session
      // creates them afresh.
      return moved;
    }
    status = source.Open();
    if (status == status::kSOk) {
      Log(LogLevel::Info, "capturing monitor %u on %s: %s cannot duplicate it", monitor_,
          adapterName_.c_str(), first.c_str());
    }
  }
  return status;
}

void GraphicsContext::KeepLastFrame(const Texture& frame, Texture* lastFrame) {
  if (*lastFrame && lastFrame->width == frame.width && lastFrame->height == frame.height &&
      lastFrame->format == frame.format) {
    const std::int32_t status = CopyTexture(frame, *lastFrame);
    if (status != status::kSOk) {
      Log(LogLevel::Warn, "cannot keep a copy of the last frame: %s", HresultText(status).c_str());
      *lastFrame = Texture{};
    }
    return;
  }
  *lastFrame = Texture{};
  Texture copy;
  std::int32_t status = CreateTexture(frame.width, frame.height, frame.format, &copy);
  if (status == status::kSOk) {
    status = CopyTexture(frame, copy);
  }
  if (status != status::kSOk) {
    Log(LogLevel::Warn, "cannot keep a copy of the last frame: %s", HresultText(status).c_str());
    return;
  }
  *lastFrame = copy;
}

}  // namespace veyra
