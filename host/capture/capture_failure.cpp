#include "host/capture/capture_failure.h"

#include "host/base/status_codes.h"

namespace veyra {

// The expected errors are those of IDXGIOutput1::DuplicateOutput,
// IDXGIOutputDuplication::AcquireNextFrame and IDXGIAdapter::EnumOutputs on
// Microsoft's pages, grouped as the DXGIDesktopDuplication sample groups
// its expected system transitions.
CaptureFailure ClassifyCaptureFailure(std::int32_t status, bool openedBefore) {
  switch (status) {
    case status::kDxgiErrorAccessLost:
      return {CaptureRecovery::kRebuild, "the display mode or the desktop changed"};
    case status::kDxgiErrorDeviceRemoved:
    case status::kDxgiErrorDeviceReset:
      return {CaptureRecovery::kNewDevices, "the graphics device was removed or reset"};
    case static_cast<std::int32_t>(status::kWaitAbandoned):
      return {CaptureRecovery::kNewDevices, "a shared surface was abandoned by the other device"};
    case status::kEAccessDenied:
      return {CaptureRecovery::kRetryLater, "the lock screen or a secure desktop is showing"};
    case status::kDxgiErrorNotCurrentlyAvailable:
      return {CaptureRecovery::kRetryLater, "too many applications are duplicating this output"};
    case status::kDxgiErrorSessionDisconnected:
      return {CaptureRecovery::kRetryLater, "the session is disconnected"};
    case status::kDxgiErrorUnsupported:
      // Only after GraphicsContext::OpenSource tried every adapter that
      // shows the monitor; the mode may still change.
      return {CaptureRecovery::kRetryLater,
              "no adapter that shows this monitor can duplicate it in the current mode"};
    case status::kDxgiErrorNotFound:
      if (!openedBefore) return {CaptureRecovery::kFailed, "there is no such output"};
      return {CaptureRecovery::kRetryLater, "the output is missing, as during a mode change"};
    default:
      return {};
  }
}

}  // namespace veyra
