#pragma once

// The receiver's side of TLS for the benchmarks: a fresh self-signed P-256
// identity and an OpenSSL server on an accepted socket. The handshake
// blocks; afterwards the socket may be switched to non-blocking mode, and
// Read and Write then report "would block" instead of waiting.

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <sys/socket.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "host/net/openssl_handles_posix.h"

namespace veyra::bench {

class TlsServer {
 public:
  static constexpr long kWouldBlock = -1;
  static constexpr long kFailed = -2;

  TlsServer() {
    key_.reset(EVP_EC_gen("P-256"));
    cert_.reset(X509_new());
    ASN1_INTEGER_set(X509_get_serialNumber(cert_.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert_.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert_.get()), 24 * 3600);
    X509_set_pubkey(cert_.get(), key_.get());
    X509_sign(cert_.get(), key_.get(), EVP_sha256());
    context_.reset(SSL_CTX_new(TLS_server_method()));
    SSL_CTX_use_certificate(context_.get(), cert_.get());
    SSL_CTX_use_PrivateKey(context_.get(), key_.get());
    SSL_CTX_set_min_proto_version(context_.get(), TLS1_2_VERSION);
    // A write that would block is retried with the same bytes from a
    // buffer that may have moved (the caller's vector).
    SSL_CTX_set_mode(context_.get(), SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  }

  // Runs the handshake on |socket| (blocking mode); true when it is done.
  bool Accept(int socket) {
    ssl_.reset(SSL_new(context_.get()));
    return ssl_ && SSL_set_fd(ssl_.get(), socket) == 1 && SSL_accept(ssl_.get()) == 1;
  }

  const char* ProtocolName() const { return ssl_ ? SSL_get_version(ssl_.get()) : "none"; }
  const char* CipherName() const { return ssl_ ? SSL_get_cipher_name(ssl_.get()) : "none"; }

  // Plaintext bytes read (> 0), 0 at the end of the stream, kWouldBlock or
  // kFailed.
  long Read(std::uint8_t* data, std::size_t capacity) {
    const int n = SSL_read(ssl_.get(), data, static_cast<int>(capacity));
    return n > 0 ? n : Classify(n);
  }

  // Plaintext bytes written (> 0), kWouldBlock or kFailed.
  long Write(const std::uint8_t* data, std::size_t length) {
    const int n = SSL_write(ssl_.get(), data, static_cast<int>(length));
    if (n > 0) {
      return n;
    }
    const long result = Classify(n);
    return result == 0 ? kFailed : result;
  }

  // Decrypted bytes OpenSSL holds that the socket will not signal again.
  bool HasPending() const { return SSL_pending(ssl_.get()) > 0; }

 private:
  long Classify(int n) const {
    switch (SSL_get_error(ssl_.get(), n)) {
      case SSL_ERROR_WANT_READ:
      case SSL_ERROR_WANT_WRITE:
        return kWouldBlock;
      case SSL_ERROR_ZERO_RETURN:
        return 0;
      default:
        return kFailed;
    }
  }

  EvpPkeyPtr key_;
  X509Ptr cert_;
  SslCtxPtr context_;
  SslPtr ssl_;
};

// The byte stream to the host: TLS or plain, on a non-blocking socket.
class ServerLink {
 public:
  ServerLink(int socket, TlsServer* tls) : socket_(socket), tls_(tls) {}

  // Bytes read (> 0), 0 at the end, TlsServer::kWouldBlock or kFailed.
  long Read(std::uint8_t* data, std::size_t capacity) {
    if (tls_ != nullptr) return tls_->Read(data, capacity);
    const ssize_t n = ::recv(socket_, data, capacity, 0);
    if (n >= 0) return n;
    return errno == EAGAIN || errno == EWOULDBLOCK ? TlsServer::kWouldBlock : TlsServer::kFailed;
  }

  long Write(const std::uint8_t* data, std::size_t length) {
    if (tls_ != nullptr) return tls_->Write(data, length);
    const ssize_t n = ::send(socket_, data, length, MSG_NOSIGNAL);
    if (n > 0) return n;
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? TlsServer::kWouldBlock
                                                              : TlsServer::kFailed;
  }

  bool HasPending() const { return tls_ != nullptr && tls_->HasPending(); }

 private:
  int socket_;
  TlsServer* tls_;
};

}  // namespace veyra::bench
