#pragma once

// The Schannel provider's server side, for the server identity's channel
// factory, and the owner of the certificate it presents.

#include <windows.h>

#include <wincrypt.h>

#include <memory>

#include "host/net/tls_provider.h"

namespace veyra {

struct CertificateContextFree {
  void operator()(PCCERT_CONTEXT certificate) const { CertFreeCertificateContext(certificate); }
};
using CertificateContextPtr = std::unique_ptr<const CERT_CONTEXT, CertificateContextFree>;

// A server's provider presenting |certificate| (a reference of its own),
// whose private key the system's key store holds under the name the
// certificate's CERT_KEY_PROV_INFO_PROP_ID gives.
std::unique_ptr<TlsProvider> CreateSchannelServerProvider(PCCERT_CONTEXT certificate);

}  // namespace veyra
