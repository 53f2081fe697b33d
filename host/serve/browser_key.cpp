#include "host/serve/browser_key.h"

#include <array>
#include <vector>

#include "host/base/base64.h"
#include "host/base/digest.h"
#include "host/net/tls_channel.h"

namespace veyra {

std::optional<PeerIdentity> BrowserKeyIdentity(std::string_view keyText) {
  const std::optional<std::vector<std::uint8_t>> key = base64::DecodeUrl(keyText);
  if (!key || key->size() != kBrowserKeyBytes) {
    return std::nullopt;
  }
  const std::array<std::uint8_t, 32> digest = Sha256(key->data(), key->size());
  PeerIdentity identity;
  identity.keyHash = base64::Encode(digest);
  identity.shortCode = ShortCodeFromDigest(digest);
  return identity;
}

}  // namespace veyra
