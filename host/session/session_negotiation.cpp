// HELLO, PAIR_ACCEPTED and the receiver's refusal: who the receiver is,
// whether its key is the one pinned when it was approved, and the pairing.

#include "host/base/clock.h"
#include "host/base/log.h"
#include "host/base/peer_text.h"
#include "host/session/receiver_trust.h"
#include "host/session/session.h"
#include "host/wire/json_value.h"

namespace veyra {

void Session::OnHello(const JsonValue& json) {
  if (helloSeen_) {
    // Who the receiver is was settled by its first HELLO, and so was what
    // this PC allowed: a second one must not move that onto another id.
    Log(LogLevel::Warn, "ignoring a second HELLO on this connection");
    return;
  }
  const ReceiverHello hello = ParseHello(json);
  Log(LogLevel::Info, "receiver hello: device=%s app=%s protocol=%d",
      PeerText(hello.deviceId).c_str(), PeerText(hello.appVersion).c_str(), hello.protocolVersion);
  if (hello.protocolVersion != kProtocolVersion) {
    SendError(kErrorBadVersion, "unsupported protocol version");
    permissionDenied_ = true;
    connection_.CloseAfterFlush();
    return;
  }

  // The id is taken only once the key has passed: a peer with someone
  // else's id and the wrong key must not get to pair under that id.
  std::string pin;
  std::string token;
  {
    const std::lock_guard<std::mutex> lock(trustLock_);
    ReloadTrustLocked();
    pin = pairingStore_.PinFor(hello.deviceId);
    token = pairingStore_.TokenFor(hello.deviceId);
  }
  const HelloVerdict verdict = JudgeHello(hello.deviceId, peerKey_, pin, token);
  switch (verdict) {
    case HelloVerdict::kRefuseBadId:
      Log(LogLevel::Error, "refusing a receiver whose device id is not acceptable (%zu bytes)",
          hello.deviceId.size());
      RefuseHello("device id not acceptable");
      return;
    case HelloVerdict::kRefuseKeyMismatch:
      Log(LogLevel::Error,
          "the device's TLS key does not match the one pinned when it was approved.\n"
          "  pinned: %s\n  now:    %s\n"
          "Either the receiver app was reinstalled, or something is impersonating it. If you "
          "reinstalled it, run --forget %s and pair again.",
          PeerText(pin).c_str(), peerKey_.c_str(), PeerText(hello.deviceId).c_str());
      RefuseHello("TLS key does not match the pinned key");
      return;
    case HelloVerdict::kRefusePlaintextPin:
      Log(LogLevel::Error,
          "device %s is paired with a TLS key but connected without TLS; its key cannot be "
          "checked, so it is refused. Connect with TLS.",
          PeerText(hello.deviceId).c_str());
      RefuseHello("this device is paired over TLS only");
      return;
    case HelloVerdict::kTrusted:
    case HelloVerdict::kAsk:
      break;
  }
  const bool trusted = verdict == HelloVerdict::kTrusted;
  bool carried = false;
  {
    const std::lock_guard<std::mutex> lock(trustLock_);
    deviceId_ = hello.deviceId;
    carried = CarriesApproval(approvedId_, approvedKey_, deviceId_, peerKey_);
  }
  helloSeen_ = true;
  // A receiver seen before starts from what its link delivered then.
  ResumeDelivery(hello.deviceId);

  HelloAck ack;
  ack.hostId = pairingStore_.hostId();
  ack.hostName = pairingStore_.hostName();
  // The token goes only to the receiver it was issued to: anyone else gets
  // none, so its own user is asked and a new token comes back.
  ack.token = trusted ? token : std::string();
  awaitingApproval_ = ack.token.empty();
  if (ack.token.empty()) {
    Log(LogLevel::Info, "no pairing token for this device; it will ask the user to allow \"%s\"",
        ack.hostName.c_str());
    if (!peerCode_.empty()) {
      Log(LogLevel::Info, "%s", "");
      Log(LogLevel::Info, "  Check this code matches the one on the phone:  %s", peerCode_.c_str());
      Log(LogLevel::Info, "  If it does not match, do NOT approve - something else answered.");
      Log(LogLevel::Info, "%s", "");
    }
  }
  SendJson(MessageType::kHelloAck, Serialize(BuildHelloAck(ack)));

  if (approval_.load() != PeerApproval::kNone) {
    return;
  }
  if (trusted || carried) {
    approval_ = PeerApproval::kAllowed;
    Log(LogLevel::Info, "%s",
        trusted ? "receiver is paired with this PC; no need to ask"
                : "same receiver as the one allowed before; not asking again");
    return;
  }
  AskThisPc(peerKey_.empty() ? "plaintext connection" : "not paired with this PC yet");
}

void Session::RefuseHello(const char* message) {
  SendError(kErrorPermissionDenied, message);
  permissionDenied_ = true;
  connection_.CloseAfterFlush();
}

void Session::OnPairAccepted(const JsonValue& json) {
  const std::string token = ParsePairToken(json);
  if (token.empty()) {
    Log(LogLevel::Warn, "PAIR_ACCEPTED carried no token; this device will ask again next time");
    return;
  }
  {
    const std::lock_guard<std::mutex> lock(trustLock_);
    if (approval_.load() == PeerApproval::kAllowed) {
      StorePairingLocked(token);
    } else {
      // Both sides must agree before anything is stored.
      pendingToken_ = token;
      Log(LogLevel::Info, "the device allowed this PC; waiting for this PC's answer");
    }
  }
  awaitingApproval_ = false;
  negotiationStartUs_ = NowUs();
}

void Session::StorePairingLocked(const std::string& token) {
  if (deviceId_.empty()) {
    Log(LogLevel::Warn, "the receiver sent no device id; its pairing is not stored");
    return;
  }
  pairingStore_.SetToken(deviceId_, token);
  bool saved = pairingStore_.Save();
  if (!peerKey_.empty() && pairingStore_.PinFor(deviceId_).empty()) {
    pairingStore_.SetPin(deviceId_, peerKey_);
    saved = pairingStore_.Save() && saved;
    Log(LogLevel::Info, "pinned the device's TLS key: %s", peerKey_.c_str());
  }
  approvedStored_ = saved && deviceId_ == approvedId_;
  if (!saved) {
    // Allowed for this connection; not remembered, so it asks again.
    Log(LogLevel::Error, "the pairing with %s could not be saved; it will be asked about again",
        PeerText(deviceId_).c_str());
    return;
  }
  Log(LogLevel::Info, "paired with %s; it will connect without asking from now on",
      PeerText(deviceId_).c_str());
}

void Session::OnRefused(const ErrorInfo& error) {
  awaitingApproval_ = false;
  permissionDenied_ = true;
  Log(LogLevel::Error,
      "the device did not allow this computer (%s). Tap Allow on the \"%s\" prompt on the "
      "device, then reconnect.",
      PeerText(error.message).c_str(), pairingStore_.hostName().c_str());
}

}  // namespace veyra
