#pragma once

// Owners of OpenSSL objects, for the native TLS provider, the server
// identity and their tests: each frees its object with the library's own
// free function. And the error queue's text.

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

namespace veyra {

template <auto Free>
struct OpenSslDeleter {
  template <typename T>
  void operator()(T* object) const {
    Free(object);
  }
};

using SslCtxPtr = std::unique_ptr<SSL_CTX, OpenSslDeleter<SSL_CTX_free>>;
using SslPtr = std::unique_ptr<SSL, OpenSslDeleter<SSL_free>>;
using BioPtr = std::unique_ptr<BIO, OpenSslDeleter<BIO_free>>;
using EvpMdPtr = std::unique_ptr<EVP_MD, OpenSslDeleter<EVP_MD_free>>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, OpenSslDeleter<EVP_PKEY_free>>;
using X509Ptr = std::unique_ptr<X509, OpenSslDeleter<X509_free>>;
using OctetStringPtr = std::unique_ptr<ASN1_OCTET_STRING, OpenSslDeleter<ASN1_OCTET_STRING_free>>;

// Everything on this thread's OpenSSL error queue, oldest first; empties it.
inline std::string TakeOpenSslErrors() {
  std::string text;
  while (const unsigned long error = ERR_get_error()) {
    char line[256];
    ERR_error_string_n(error, line, sizeof(line));
    if (!text.empty()) {
      text += "; ";
    }
    text += line;
  }
  return text.empty() ? std::string("no OpenSSL error recorded") : text;
}

}  // namespace veyra
