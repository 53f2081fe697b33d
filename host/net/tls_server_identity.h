#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "host/net/tls_channel.h"

namespace veyra {

// The key and certificate the host presents as a TLS server (the page a
// phone's browser opens): an ECDSA P-256 key and a self-signed certificate
// for "Veyra host", made once, kept in a folder and loaded at each start.
// Browsers warn about a self-signed certificate whatever it names, so it
// names no address; its fingerprint lets a user tell that it is this
// host's.
class TlsServerIdentity {
 public:
  // The platform's key and certificate; each platform's file defines it.
  struct Keys;

  TlsServerIdentity(std::unique_ptr<Keys> keys, std::string fingerprint);
  ~TlsServerIdentity();
  TlsServerIdentity(const TlsServerIdentity&) = delete;
  TlsServerIdentity& operator=(const TlsServerIdentity&) = delete;

  // SHA-256 of the certificate, as FingerprintText writes it.
  const std::string& Fingerprint() const { return fingerprint_; }
  const Keys& keys() const { return *keys_; }

 private:
  std::unique_ptr<Keys> keys_;
  std::string fingerprint_;
};

// The identity kept in |folder| (the pairing data's; created private to the
// user when missing), or one made and kept there when there is none or the
// stored one is damaged, with a log line saying so. Logs and returns null on
// failure; a key that could not be read is left as it is, never replaced.
std::unique_ptr<TlsServerIdentity> LoadOrCreateTlsServerIdentity(const std::string& folder);

// A channel presenting |identity|, to run with Accept; it holds what it
// needs of |identity|, which may go first.
std::unique_ptr<TlsChannel> CreatePlatformTlsServerChannel(const TlsServerIdentity& identity);

// A SHA-256 digest as upper-case hexadecimal pairs joined by ':'
// ("0A:1B:...:FF", 95 characters), as certificate viewers show it.
std::string FingerprintText(const std::array<std::uint8_t, 32>& digest);

}  // namespace veyra
