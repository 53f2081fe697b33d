#include "host/session/receiver_trust.h"

#include "host/base/peer_text.h"

namespace veyra {

HelloVerdict JudgeHello(std::string_view deviceId, std::string_view keyHash, std::string_view pin,
                        std::string_view token) {
  if (!IsAcceptableDeviceId(deviceId)) {
    return HelloVerdict::kRefuseBadId;
  }
  if (!pin.empty()) {
    if (keyHash.empty()) {
      return HelloVerdict::kRefusePlaintextPin;
    }
    if (pin != keyHash) {
      return HelloVerdict::kRefuseKeyMismatch;
    }
  }
  if (!keyHash.empty() && pin == keyHash && !token.empty()) {
    return HelloVerdict::kTrusted;
  }
  return HelloVerdict::kAsk;
}

bool CarriesApproval(std::string_view approvedId, std::string_view approvedKey,
                     std::string_view deviceId, std::string_view keyHash) {
  return !approvedKey.empty() && approvedKey == keyHash && approvedId == deviceId;
}

}  // namespace veyra
