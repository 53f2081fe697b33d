// Natively there is no desktop to duplicate: every output index is missing,
// which the session and the probe already handle as "no capture".

#include "host/base/log.h"
#include "host/base/status_codes.h"
#include "host/capture/desktop_duplication_source.h"

namespace veyra {

struct DesktopDuplicationSource::State {};

DesktopDuplicationSource::DesktopDuplicationSource(GraphicsContext& graphics,
                                                   std::uint32_t outputIndex)
    : graphics_(graphics), outputIndex_(outputIndex) {}

DesktopDuplicationSource::~DesktopDuplicationSource() { Close(); }

std::int32_t DesktopDuplicationSource::Open() {
  if (!graphics_.initialised()) return status::kInvalidStateHresult;
  Log(LogLevel::Error, "output %u does not exist on this adapter", outputIndex_);
  return status::kDxgiErrorNotFound;
}

void DesktopDuplicationSource::Close() { ReleaseFrame(); }

std::int32_t DesktopDuplicationSource::AcquireFrame(CapturedFrame* /*frame*/,
                                                    std::uint32_t /*timeoutMs*/) {
  return status::kInvalidStateHresult;
}

void DesktopDuplicationSource::ReleaseFrame() { frameHeld_ = false; }

}  // namespace veyra
