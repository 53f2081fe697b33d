// HELLO, PAIR_ACCEPTED and the receiver's refusal: who the receiver is,
// whether its key is the one pinned when it was approved, and the pairing.

#include "host/base/clock.h"
#include "host/base/log.h"
#include "host/session/session.h"
#include "host/wire/json_value.h"

namespace veyra {

void Session::OnHello(const JsonValue& json) {
  const ReceiverHello hello = ParseHello(json);
  Log(LogLevel::Info, "receiver hello: device=%s app=%s protocol=%d", hello.deviceId.c_str(),
      hello.appVersion.c_str(), hello.protocolVersion);
  if (hello.protocolVersion != kProtocolVersion) {
    SendError(kErrorBadVersion, "unsupported protocol version");
    permissionDenied_ = true;
    connection_.CloseAfterFlush();
    return;
  }

  // The id is taken only once the key has passed: a peer with someone
  // else's id and the wrong key must not get to pair under that id.
  const std::string keyHash = connection_.PeerKeyHash();
  if (!keyHash.empty()) {
    const std::string pin = pairingStore_.PinFor(hello.deviceId);
    if (!pin.empty() && pin != keyHash) {
      Log(LogLevel::Error,
          "the device's TLS key does not match the one pinned when it was approved.\n"
          "  pinned: %s\n  now:    %s\n"
          "Either the receiver app was reinstalled, or something is impersonating it. If you "
          "reinstalled it, run --forget %s and pair again.",
          pin.c_str(), keyHash.c_str(), hello.deviceId.c_str());
      SendError(kErrorPermissionDenied, "TLS key does not match the pinned key");
      permissionDenied_ = true;
      connection_.CloseAfterFlush();
      return;
    }
  }
  deviceId_ = hello.deviceId;

  HelloAck ack;
  ack.hostId = pairingStore_.hostId();
  ack.hostName = pairingStore_.hostName();
  ack.token = pairingStore_.TokenFor(deviceId_);
  awaitingApproval_ = ack.token.empty();
  if (ack.token.empty()) {
    Log(LogLevel::Info, "no pairing token for this device; it will ask the user to allow \"%s\"",
        ack.hostName.c_str());
    const std::string code = connection_.PeerShortCode();
    if (!code.empty()) {
      Log(LogLevel::Info, "%s", "");
      Log(LogLevel::Info, "  Check this code matches the one on the phone:  %s", code.c_str());
      Log(LogLevel::Info, "  If it does not match, do NOT approve - something else answered.");
      Log(LogLevel::Info, "%s", "");
    }
  }
  SendJson(MessageType::kHelloAck, Serialize(BuildHelloAck(ack)));
}

void Session::OnPairAccepted(const JsonValue& json) {
  const std::string token = ParsePairToken(json);
  if (token.empty()) {
    Log(LogLevel::Warn, "PAIR_ACCEPTED carried no token; this device will ask again next time");
    return;
  }
  if (!deviceId_.empty()) {
    pairingStore_.SetToken(deviceId_, token);
    pairingStore_.Save();
  }
  const std::string keyHash = connection_.PeerKeyHash();
  if (!keyHash.empty() && pairingStore_.PinFor(deviceId_).empty() && !deviceId_.empty()) {
    pairingStore_.SetPin(deviceId_, keyHash);
    pairingStore_.Save();
    Log(LogLevel::Info, "pinned the device's TLS key: %s", keyHash.c_str());
  }
  awaitingApproval_ = false;
  negotiationStartUs_ = NowUs();
  Log(LogLevel::Info, "paired with %s; it will connect without asking from now on",
      deviceId_.c_str());
}

void Session::OnRefused(const ErrorInfo& error) {
  awaitingApproval_ = false;
  permissionDenied_ = true;
  Log(LogLevel::Error,
      "the device did not allow this computer (%s). Tap Allow on the \"%s\" prompt on the "
      "device, then reconnect.",
      error.message.c_str(), pairingStore_.hostName().c_str());
}

}  // namespace veyra
