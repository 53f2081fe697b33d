#pragma once

#include <optional>
#include <string_view>

#include "host/net/connection.h"

namespace veyra {

// A browser's key: 32 random bytes it made on its first visit and keeps,
// sent base64url (43 characters) with each connection, inside TLS. A
// browser cannot prove a key without showing it, so this PC pins its
// SHA-256 as it pins a phone's TLS key: the Base64 digest as the pin, and
// the first bytes as the code the page shows beside this PC's question.
inline constexpr std::size_t kBrowserKeyBytes = 32;

// The identity of a key as sent; nothing when it is not exactly 32 bytes of
// strict base64url.
std::optional<PeerIdentity> BrowserKeyIdentity(std::string_view keyText);

}  // namespace veyra
