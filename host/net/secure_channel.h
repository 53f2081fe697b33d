#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "host/net/socket.h"
#include "host/net/transport.h"

namespace veyra {

// The client side of TLS over a socket the connection already connected:
// the handshake, then records through the Transport calls, and the peer's
// key fingerprint. Trust comes from pinning that fingerprint, so nothing
// about the peer's certificate or name is validated.
class SecureChannel : public Transport {
 public:
  // Runs the handshake on |socket| (used, never closed). 0 on success;
  // otherwise a failure code, everything released.
  virtual std::int32_t Handshake(SocketHandle socket, const std::string& targetHost) = 0;

  // Base64 SHA-256 of the peer's SubjectPublicKeyInfo: 44 characters.
  virtual std::string PeerKeyHash() const = 0;
  // The first 8 digest bytes as "XXXX-XXXX-XXXX-XXXX".
  virtual std::string PeerShortCode() const = 0;
  // "TLS1.2", "TLS1.3" or "TLS".
  virtual std::string ProtocolName() const = 0;

  // Releases the provider's context and credentials and forgets the socket.
  virtual void Teardown() = 0;
};

// The platform's TLS channel: Schannel on Windows, OpenSSL 3 natively. A
// factory may give none; the connection then refuses TLS rather than fall
// back to plaintext.
std::unique_ptr<SecureChannel> CreatePlatformTlsChannel();

}  // namespace veyra
