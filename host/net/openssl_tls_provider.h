#pragma once

#include <openssl/types.h>

#include <memory>

#include "host/net/tls_provider.h"

namespace veyra {

// The native build's TLS provider: OpenSSL 3 over memory BIOs, so that the
// portable TlsChannel does every socket read and write exactly as it does
// over Schannel. Defined only where the build links OpenSSL (natively).
std::unique_ptr<TlsProvider> CreateOpenSslTlsProvider();

// The server's side, presenting |certificate| signed for |key| (TLS 1.2 and
// 1.3, no client certificate asked for). The provider keeps references of
// its own to both.
std::unique_ptr<TlsProvider> CreateOpenSslTlsServerProvider(EVP_PKEY* key, X509* certificate);

}  // namespace veyra
