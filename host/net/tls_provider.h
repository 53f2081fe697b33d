#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/base/status_codes.h"

namespace veyra {

// Status values of the TLS provider, in SSPI's numbering; the names the
// channel and the providers have always used, for the shared status values.
namespace tls_status {
inline constexpr std::int32_t kOk = status::kSecEOk;
inline constexpr std::int32_t kContinueNeeded = status::kSecIContinueNeeded;
inline constexpr std::int32_t kContextExpired = status::kSecIContextExpired;
inline constexpr std::int32_t kRenegotiate = status::kSecIRenegotiate;
inline constexpr std::int32_t kIncompleteMessage = status::kSecEIncompleteMessage;
inline constexpr std::int32_t kInternalError = status::kSecEInternalError;
inline constexpr std::int32_t kFail = status::kEFail;
}  // namespace tls_status

// SECPKG_ATTR_CONNECTION_INFO protocol bits of the client side.
inline constexpr std::uint32_t kProtocolTls12Client = 0x800;
inline constexpr std::uint32_t kProtocolTls13Client = 0x2000;

// The stream sizes of an established context.
struct TlsStreamSizes {
  std::uint32_t headerSize = 0;
  std::uint32_t trailerSize = 0;
  std::uint32_t maxMessageSize = 0;  // largest plaintext per record
};

// A span of bytes inside a buffer the provider was given.
struct ByteRange {
  std::size_t offset = 0;
  std::size_t length = 0;
};

// One handshake or post-handshake step.
struct TlsStepResult {
  std::int32_t status = tls_status::kFail;
  std::vector<std::uint8_t> token;  // to send to the peer, possibly empty
  std::size_t extraBytes = 0;       // the input's last bytes left unconsumed
};

// One DecryptMessage call, in place: the plaintext and the unconsumed rest
// are ranges of the input.
struct TlsDecryptResult {
  std::int32_t status = tls_status::kFail;
  std::vector<ByteRange> data;
  std::optional<ByteRange> extra;
};

// What TlsChannel needs of a TLS implementation: an SSPI-shaped client
// (Schannel on Windows; scripted fakes in tests). The channel does every
// socket read and write and keeps every buffer; the provider only
// transforms bytes. Encrypt and Decrypt may run at the same time on two
// threads; everything else is serialised by the channel.
class TlsProvider {
 public:
  virtual ~TlsProvider() = default;

  // Client credentials: TLS 1.2 and 1.3, no client certificate, no chain or
  // name validation. A status.
  virtual std::int32_t AcquireCredentials() = 0;

  // InitializeSecurityContext. The first handshake step gets |targetName|
  // and no input; every later step, post-handshake steps included, gets the
  // pending input and a null |targetName|.
  virtual TlsStepResult Step(const std::uint8_t* input, std::size_t length,
                             const std::string* targetName) = 0;

  // A context exists (the first step has run).
  virtual bool HasContext() const = 0;

  virtual std::int32_t QueryStreamSizes(TlsStreamSizes& sizes) = 0;

  // The Base64 key hash of the peer's SubjectPublicKeyInfo and the SHA-256
  // digest it encodes. Logs its own failure; returns a status.
  virtual std::int32_t PeerKey(std::string& keyHash, std::array<std::uint8_t, 32>& digest) = 0;

  // The negotiated protocol bits; 0 when unknown.
  virtual std::uint32_t ConnectionProtocol() = 0;

  // Encrypts one record in place. |record| holds room for the header, then
  // |dataLength| plaintext bytes at offset sizes.headerSize, then room for
  // the trailer. Sets |recordLength| to the bytes to write from |record|'s
  // start. A status.
  virtual std::int32_t Encrypt(std::uint8_t* record, const TlsStreamSizes& sizes,
                               std::size_t dataLength, std::size_t& recordLength) = 0;

  // Decrypts the first record of |input| in place.
  virtual TlsDecryptResult Decrypt(std::uint8_t* input, std::size_t length) = 0;

  // Deletes the context and frees the credentials, whichever exist.
  virtual void Release() = 0;
};

}  // namespace veyra
