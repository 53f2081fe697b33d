#include "host/net/openssl_tls_provider.h"
#include "host/net/secure_channel.h"
#include "host/net/tls_channel.h"

namespace veyra {

std::unique_ptr<SecureChannel> CreatePlatformTlsChannel() {
  return std::make_unique<TlsChannel>(CreateOpenSslTlsProvider());
}

}  // namespace veyra
