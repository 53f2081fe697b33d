#pragma once

#include <cstdint>

namespace veyra {

// What a failed capture status asks of the session.
enum class CaptureRecovery : std::uint8_t {
  // The duplication is dead (a mode change, a desktop switch): build the
  // pipeline again at once.
  kRebuild,
  // The graphics device is gone (a driver update, a GPU reset, a dock
  // change): new devices, then a new pipeline.
  kNewDevices,
  // The desktop cannot be captured for now (lock screen, secure desktop,
  // a disconnected session, too many capturers, an output mid mode change):
  // wait and try again, as for a locked desktop.
  kRetryLater,
  // Anything else: reported, and tried again after the retry period.
  kFailed,
};

struct CaptureFailure {
  CaptureRecovery recovery = CaptureRecovery::kFailed;
  // The cause in words, for the log; nullptr when the status is not one
  // the host knows.
  const char* cause = nullptr;
};

// Classifies a status from opening or reading a capture source, from the
// converter, or from a keyed mutex (WAIT_ABANDONED: the other device is
// gone), in the one place the host does so. A missing output is a mode
// change only when it could be opened before (|openedBefore|); one never
// seen is a wrong output number, which waiting does not mend.
CaptureFailure ClassifyCaptureFailure(std::int32_t status, bool openedBefore = false);

}  // namespace veyra
