// Placeholder for the DXGI desktop duplication back end, still to be
// written: Open reports it as not implemented.

#include "host/base/hresult_text.h"
#include "host/base/log.h"
#include "host/base/status_codes.h"
#include "host/capture/desktop_duplication_source.h"

namespace veyra {

DesktopDuplicationSource::DesktopDuplicationSource(GraphicsContext& graphics,
                                                   std::uint32_t outputIndex)
    : graphics_(graphics), outputIndex_(outputIndex) {}

DesktopDuplicationSource::~DesktopDuplicationSource() { Close(); }

std::int32_t DesktopDuplicationSource::Open() {
  if (!graphics_.initialised()) return status::kInvalidStateHresult;
  Log(LogLevel::Error, "%s failed: %s", "EnumOutputs", HresultText(status::kENotImpl).c_str());
  return status::kENotImpl;
}

void DesktopDuplicationSource::Close() { ReleaseFrame(); }

std::int32_t DesktopDuplicationSource::AcquireFrame(CapturedFrame* /*frame*/,
                                                    std::uint32_t /*timeoutMs*/) {
  return status::kInvalidStateHresult;
}

void DesktopDuplicationSource::ReleaseFrame() { frameHeld_ = false; }

}  // namespace veyra
