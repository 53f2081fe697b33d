#pragma once

#include <string_view>

namespace veyra {

// What a HELLO earns its connection, decided from what the connection
// proved (its TLS key; empty on a plaintext connection) and what the
// pairing store holds for the device id it claims.
enum class HelloVerdict {
  // TLS, the pinned key and a stored token: streams without asking.
  kTrusted,
  // Anything else that is not refused: this PC's user decides.
  kAsk,
  // The id is too long or holds control characters: never stored.
  kRefuseBadId,
  // A pinned id presenting another key.
  kRefuseKeyMismatch,
  // A pinned id on a connection without a key: its pin cannot be checked
  // and its token must not go out in clear.
  kRefusePlaintextPin,
};

HelloVerdict JudgeHello(std::string_view deviceId, std::string_view keyHash, std::string_view pin,
                        std::string_view token);

// A reconnection carries this PC's earlier yes only when it proves the same
// key over TLS and claims the same device id as the approved connection.
bool CarriesApproval(std::string_view approvedId, std::string_view approvedKey,
                     std::string_view deviceId, std::string_view keyHash);

}  // namespace veyra
