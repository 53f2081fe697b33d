// Asking this PC's user about a receiver that is not trusted yet, and acting
// on the answer: the question is set up on the receive thread, shown and
// taken up by the run loop, and asked on the prompt's thread.

#include <algorithm>
#include <string>

#include "host/base/clock.h"
#include "host/base/log.h"
#include "host/base/peer_text.h"
#include "host/session/session.h"

namespace veyra {

// On the receive thread, once an untrusted receiver has said who it is.
void Session::AskThisPc(const char* why) {
  if (approval_.load() != PeerApproval::kNone || permissionDenied_.load()) {
    return;
  }
  ApprovalQuestion question;
  {
    const std::lock_guard<std::mutex> lock(deviceInfoLock_);
    if (deviceInfoReceived_ && !deviceInfo_.model.empty()) {
      question.phone = PeerName(deviceInfo_.model);
    }
  }
  question.address = peerAddress_;
  question.code = peerCode_;
  {
    const std::lock_guard<std::mutex> lock(trustLock_);
    if (question.phone.empty()) {
      question.phone = deviceId_.empty() ? std::string("an unnamed device") : PeerName(deviceId_);
    }
    // Over plaintext there is no key: the claimed id is all there is.
    const std::string about = peerKey_.empty() ? "id " + deviceId_ : "key " + peerKey_;
    question.differentDevice = !lastAskedAbout_.empty() && lastAskedAbout_ != about;
    lastAskedAbout_ = about;
    question.notThePairedPhone = !pairingStore_.receivers().empty() &&
                                 pairingStore_.TokenFor(deviceId_).empty() &&
                                 pairingStore_.PinFor(deviceId_).empty();
    question_ = question;
  }
  const std::uint64_t delayUs = question.differentDevice ? differentDeviceDelayUs_ : 0;
  const std::uint64_t nowUs = NowUs();
  approvalAskedUs_ = nowUs;
  approvalShowAtUs_ = nowUs + delayUs;
  Log(LogLevel::Info, "asking this PC's user whether %s may see and control this PC (%s)%s",
      question.phone.c_str(), why,
      question.differentDevice ? "; another device than the one asked about before, so the "
                                 "question waits a few seconds"
                               : "");
  // Told by the run loop a moment later, not here: a receiver that refuses
  // the PC at once closes right behind its refusal, and a send racing that
  // close ends the connection (a reset discards what was not read yet)
  // before the refusal is read.
  approvalNoticeDue_ = true;
  // Published last: the run loop acts on a pending question only once its
  // times and text are set, so it can neither time out a question asked at
  // time zero nor show an earlier one.
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
  if (!questionShown_) {
    if (nowUs < approvalShowAtUs_.load()) {
      return;
    }
    ApprovalQuestion question;
    {
      const std::lock_guard<std::mutex> lock(trustLock_);
      question = question_;
    }
    questionShown_ = true;
    questionShownUs_ = nowUs;
    prompt_.Start(question);
    ReportPhase(ServePhase::kAsking);
  }
  const std::optional<ApprovalAnswer> answer = prompt_.Answer();
  if (!answer) {
    if (nowUs - std::min(nowUs, questionShownUs_) >= approvalTimeoutUs_) {
      prompt_.Finish();
      // Nobody at the PC is not a No: nothing is allowed, and the tray
      // may ask again later.
      noAnswerHere_ = true;
      RefuseHere("nobody answered in time", "no answer on this PC");
      ReportPhase(ServePhase::kRefused);
    }
    return;
  }
  prompt_.Finish();
  if (*answer == ApprovalAnswer::kYes) {
    AcceptApproval();
  } else {
    refusedHere_ = true;
    RefuseHere("answered no");
    ReportPhase(ServePhase::kRefused);
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
    approvedStored_ = false;
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

void Session::RefuseHere(const char* why, const char* message) {
  // Refused before the question closes: a message being handled meanwhile
  // must not ask again.
  permissionDenied_ = true;
  approval_ = PeerApproval::kNone;
  Log(LogLevel::Error, "this PC did not allow the receiver (%s); nothing was stored", why);
  SendError(kErrorPermissionDenied, message);
  connection_.CloseAfterFlush();
}

void Session::ReloadTrustLocked() {
  pairingStore_.Reload();
  if (approvedStored_ && !approvedId_.empty() && pairingStore_.TokenFor(approvedId_).empty() &&
      pairingStore_.PinFor(approvedId_).empty()) {
    Log(LogLevel::Info, "%s was forgotten on this PC since it was allowed; it will be asked about",
        PeerText(approvedId_).c_str());
    approvedId_.clear();
    approvedKey_.clear();
    approvedStored_ = false;
  }
}

}  // namespace veyra
