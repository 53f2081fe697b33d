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

// SECPKG_ATTR_CONNECTION_INFO protocol bits, of the client and of the
// server side.
inline constexpr std::uint32_t kProtocolTls12Client = 0x800;
inline constexpr std::uint32_t kProtocolTls13Client = 0x2000;
inline constexpr std::uint32_t kProtocolTls12Server = 0x400;
inline constexpr std::uint32_t kProtocolTls13Server = 0x1000;

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

// What TlsChannel needs of a TLS implementation: SSPI-shaped, either side
// (Schannel on Windows, OpenSSL natively; scripted fakes in tests). A
// provider is made for one side: a client's, or a server's that holds the
// server's identity. The channel does every socket read and write and
// keeps every buffer; the provider only transforms bytes. Encrypt and
// Decrypt may run at the same time on two threads; everything else is
// serialised by the channel.
class TlsProvider {
 public:
  virtual ~TlsProvider() = default;

  // The credentials of the provider's side, TLS 1.2 and 1.3 only. A
  // client's: no client certificate, no chain or name validation. A
  // server's: the identity it was made with; no client certificate asked
  // for. A status.
  virtual std::int32_t AcquireCredentials() = 0;

  // InitializeSecurityContext, the client's step. The first handshake step
  // gets |targetName| and no input; every later step, post-handshake steps
  // included, gets the pending input and a null |targetName|.
  virtual TlsStepResult Step(const std::uint8_t* input, std::size_t length,
                             const std::string* targetName) = 0;

  // AcceptSecurityContext, the server's step. Every step gets the pending
  // input, never none: the first is the start of the client's first flight
  // and makes the context. Post-handshake steps come here too.
  virtual TlsStepResult AcceptStep(const std::uint8_t* input, std::size_t length) = 0;

  // A context exists (the first step has run).
  virtual bool HasContext() const = 0;

  virtual std::int32_t QueryStreamSizes(TlsStreamSizes& sizes) = 0;

  // The Base64 key hash of the peer's SubjectPublicKeyInfo and the SHA-256
  // digest it encodes; asked of a client only. Logs its own failure;
  // returns a status.
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
