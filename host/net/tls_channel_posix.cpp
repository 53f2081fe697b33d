#include "host/net/secure_channel.h"

namespace veyra {

// The native build has no TLS provider; its connections are plaintext.
std::unique_ptr<SecureChannel> CreatePlatformTlsChannel() { return nullptr; }

}  // namespace veyra
