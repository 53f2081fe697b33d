#pragma once

#include <memory>

#include "host/net/tls_provider.h"

namespace veyra {

// The native build's TLS provider: OpenSSL 3 over memory BIOs, so that the
// portable TlsChannel does every socket read and write exactly as it does
// over Schannel. Defined only where the build links OpenSSL (natively).
std::unique_ptr<TlsProvider> CreateOpenSslTlsProvider();

}  // namespace veyra
