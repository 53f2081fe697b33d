// Asking this PC's user about a receiver that is not trusted yet, and acting
// on the answer: the question runs on the prompt's thread, the answer is
// taken up by the run loop.

#include <algorithm>
#include <string>

#include "host/base/clock.h"
#include "host/base/log.h"
#include "host/base/peer_text.h"
#include "host/session/session.h"

namespace veyra {

// On the receive thread, when an untrusted receiver first asks for anything.
void Session::AskThisPc(const char* why) {
  if (approval_.load() != PeerApproval::kNone || permissionDenied_.load()) {
    return;
  }
  ApprovalQuestion question;
  {
    const std::lock_guard<std::mutex> lock(deviceInfoLock_);
    if (deviceInfoReceived_ && !deviceInfo_.model.empty()) {
      question.phone = PeerText(deviceInfo_.model, 64);
    }
  }
  if (question.phone.empty()) {
    const std::lock_guard<std::mutex> lock(trustLock_);
    question.phone = deviceId_.empty() ? std::string("an unnamed device") : PeerText(deviceId_, 64);
  }
  question.address = options_.host + ":" + std::to_string(options_.port);
  question.code = peerCode_;
  approvalAskedUs_ = NowUs();
  Log(LogLevel::Info, "asking this PC's user whether %s may see and control this PC (%s)",
      question.phone.c_str(), why);
  // Told by the run loop a moment later, not here: a receiver that refuses
  // the PC at once closes right behind its refusal, and a send racing that
  // close ends the connection (a reset discards what was not read yet)
  // before the refusal is read.
  approvalNoticeDue_ = true;
  prompt_.Start(question);
  // Published last: the run loop acts on a pending question only once its
  // time is set and its thread started, so it can neither time out a
  // question asked at time zero nor take up an answer to an earlier one.
  approval_ = PeerApproval::kPending;
}

// On the run thread, every pass of the run loop.
void Session::PollApproval(std::uint64_t nowUs) {
  if (approval_.load() != PeerApproval::kPending) {
    return;
  }
  if (permissionDenied_.load()) {
    // The receiver refused this PC (or was refused) while the question was
    // open: whatever this PC's user answers now must not start anything.
    prompt_.Finish();
    approval_ = PeerApproval::kNone;
    Log(LogLevel::Info, "the question to this PC's user was withdrawn: the connection was refused");
    return;
  }
  const std::uint64_t waitedUs = nowUs - std::min(nowUs, approvalAskedUs_.load());
  if (waitedUs >= kApprovalNoticeDelayUs && approvalNoticeDue_.exchange(false)) {
    SendError(kErrorNoDisplay, "waiting for approval on the PC");
  }
  const std::optional<ApprovalAnswer> answer = prompt_.Answer();
  if (!answer) {
    if (waitedUs >= approvalTimeoutUs_) {
      prompt_.Finish();
      RefuseHere("no answer in time");
    }
    return;
  }
  prompt_.Finish();
  if (*answer == ApprovalAnswer::kYes) {
    AcceptApproval();
  } else {
    RefuseHere("answered no");
  }
}

void Session::AcceptApproval() {
  {
    const std::lock_guard<std::mutex> lock(trustLock_);
    if (permissionDenied_.load()) {
      approval_ = PeerApproval::kNone;
      return;
    }
    approvedId_ = deviceId_;
    approvedKey_ = peerKey_;
    approval_ = PeerApproval::kAllowed;
    if (!pendingToken_.empty()) {
      StorePairingLocked(pendingToken_);
      pendingToken_.clear();
    }
  }
  Log(LogLevel::Info, "this PC's user allowed the receiver");
  DeviceInfo info;
  bool received = false;
  {
    const std::lock_guard<std::mutex> lock(deviceInfoLock_);
    info = deviceInfo_;
    received = deviceInfoReceived_;
  }
  if (received) {
    const std::int32_t status = StartPipeline(info);
    if (status < 0) {
      SetState(SessionState::kDegraded, "pipeline start failed");
    }
  }
}

void Session::RefuseHere(const char* why) {
  // Refused before the question closes: a message being handled meanwhile
  // must not ask again.
  permissionDenied_ = true;
  refusedHere_ = true;
  approval_ = PeerApproval::kNone;
  Log(LogLevel::Error, "this PC did not allow the receiver (%s); nothing was stored", why);
  SendError(kErrorPermissionDenied, "not allowed on this PC");
  connection_.CloseAfterFlush();
}

}  // namespace veyra
