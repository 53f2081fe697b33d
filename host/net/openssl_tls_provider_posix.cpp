// OpenSSL 3 under the TLS channel, on either side (a client's SSL object in
// connect state, a server's in accept state). The channel owns the socket
// and the buffers and speaks SSPI's language (a step consumes a prefix of
// its input and names the unconsumed rest; a decryption works on the first
// record of its input, in place); this provider translates that onto an SSL
// object whose network side is a pair of memory BIOs.
//
// OpenSSL pulls a partial record out of its read BIO into buffers of its
// own, where the channel could no longer see it or hand it over again. So
// the provider cuts the channel's input into whole records itself and feeds
// OpenSSL one complete record at a time: whatever it has not fed stays the
// channel's, which keeps application data that rides behind the last
// handshake message for the first Receive, and keeps a split record in the
// channel's buffer until it is complete.
#include "host/net/openssl_tls_provider.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/base/log.h"
#include "host/base/status_codes.h"
#include "host/net/openssl_handles_posix.h"

namespace veyra {
namespace {

// A record: type (1 byte), legacy version (2), length (2, big-endian), body.
constexpr std::size_t kRecordHeaderBytes = SSL3_RT_HEADER_LENGTH;
// The largest body a peer may send (TLS 1.2's ciphertext limit; TLS 1.3's
// is smaller). Anything longer is not TLS.
constexpr std::size_t kMaxRecordBodyBytes = SSL3_RT_MAX_ENCRYPTED_LENGTH;
constexpr std::uint32_t kMaxPlaintextBytes = SSL3_RT_MAX_PLAIN_LENGTH;
// Room behind a record's plaintext for its MAC, padding and tag, and for
// the small post-handshake records (a KeyUpdate answer, a warning alert)
// that OpenSSL queues while reading and that go out ahead of the next
// record written.
constexpr std::uint32_t kTrailerRoomBytes = SSL3_RT_MAX_ENCRYPTED_OVERHEAD + 512;

// The length of the complete record at the start of |input|; 0 when the
// record is not complete yet.
std::size_t CompleteRecordBytes(const std::uint8_t* input, std::size_t length) {
  if (length < kRecordHeaderBytes) {
    return 0;
  }
  const std::size_t body = (std::size_t{input[3]} << 8) | input[4];
  const std::size_t total = kRecordHeaderBytes + body;
  return length >= total ? total : 0;
}

// A header no TLS peer would send: an unknown content type, a version
// outside 3.x, or a body beyond the limit. Caught before waiting for the
// body, so that a peer speaking plaintext fails the handshake at once
// instead of after the read timeout.
bool NotARecord(const std::uint8_t* input, std::size_t length) {
  if (length < kRecordHeaderBytes) {
    return false;
  }
  const std::uint8_t type = input[0];
  const bool knownType = type >= SSL3_RT_CHANGE_CIPHER_SPEC && type <= SSL3_RT_APPLICATION_DATA;
  return !knownType || input[1] != SSL3_VERSION_MAJOR ||
         ((std::size_t{input[3]} << 8) | input[4]) > kMaxRecordBodyBytes;
}

// The SSPI status that best names a failed handshake: no common protocol
// version or cipher is an algorithm mismatch, anything else a message the
// client could not accept.
std::int32_t HandshakeFailureStatus(unsigned long error) {
  switch (ERR_GET_REASON(error)) {
    case SSL_R_UNSUPPORTED_PROTOCOL:
    case SSL_R_NO_PROTOCOLS_AVAILABLE:
    case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
    case SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE:
    case SSL_R_NO_SHARED_CIPHER:
    case SSL_R_WRONG_CIPHER_RETURNED:
      return status::kSecEAlgorithmMismatch;
    default:
      return status::kSecEIllegalMessage;
  }
}

// A numeric address is no server name and must not go into SNI.
bool IsNumericAddress(const std::string& host) {
  const OctetStringPtr address(a2i_IPADDRESS(host.c_str()));
  ERR_clear_error();
  return address != nullptr;
}

class OpenSslTlsProvider final : public TlsProvider {
 public:
  // A client's provider.
  OpenSslTlsProvider() = default;

  // A server's, presenting |certificate| signed for |key|; it holds
  // references of its own to both.
  OpenSslTlsProvider(EVP_PKEY* key, X509* certificate) : server_(true) {
    if (EVP_PKEY_up_ref(key) == 1) {
      serverKey_.reset(key);
    }
    if (X509_up_ref(certificate) == 1) {
      serverCertificate_.reset(certificate);
    }
  }

  ~OpenSslTlsProvider() override { Release(); }

  std::int32_t AcquireCredentials() override {
    const std::lock_guard<std::mutex> lock(mutex_);
    SslCtxPtr context(SSL_CTX_new(server_ ? TLS_server_method() : TLS_client_method()));
    // A client's peer key is pinned by the session, so the chain and the
    // name go unchecked; a server asks for no client certificate.
    // Renegotiation is refused, since nothing here needs it.
    if (!context || SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_max_proto_version(context.get(), TLS1_3_VERSION) != 1) {
      Log(LogLevel::Error, "%s failed: %s", "SSL_CTX_new", TakeOpenSslErrors().c_str());
      return status::kSecENoCredentials;
    }
    if (server_ && (!serverKey_ || !serverCertificate_ ||
                    SSL_CTX_use_certificate(context.get(), serverCertificate_.get()) != 1 ||
                    SSL_CTX_use_PrivateKey(context.get(), serverKey_.get()) != 1 ||
                    SSL_CTX_check_private_key(context.get()) != 1)) {
      Log(LogLevel::Error, "%s failed: %s", "SSL_CTX_use_PrivateKey", TakeOpenSslErrors().c_str());
      return status::kSecENoCredentials;
    }
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_options(context.get(), SSL_OP_NO_RENEGOTIATION);
    if (server_) {
      // Each channel makes a context of its own, so no session ticket or
      // cached session could ever be taken up again: offer none.
      SSL_CTX_set_options(context.get(), SSL_OP_NO_TICKET);
      SSL_CTX_set_num_tickets(context.get(), 0);
      SSL_CTX_set_session_cache_mode(context.get(), SSL_SESS_CACHE_OFF);
    }
    context_ = std::move(context);
    return status::kSecEOk;
  }

  TlsStepResult Step(const std::uint8_t* input, std::size_t length,
                     const std::string* targetName) override {
    const std::lock_guard<std::mutex> lock(mutex_);
    // SSL_get_error reads this thread's error queue, which must start empty.
    ERR_clear_error();
    if (targetName != nullptr) {
      return Start(*targetName);
    }
    if (!ssl_) {
      TlsStepResult result;
      result.status = status::kEFail;
      return result;
    }
    return Advance(input, length);
  }

  TlsStepResult AcceptStep(const std::uint8_t* input, std::size_t length) override {
    const std::lock_guard<std::mutex> lock(mutex_);
    ERR_clear_error();
    if (!ssl_) {
      SslPtr ssl = NewSsl();
      if (!ssl) {
        Log(LogLevel::Error, "%s failed: %s", "SSL_new", TakeOpenSslErrors().c_str());
        TlsStepResult result;
        result.status = status::kSecEInternalError;
        return result;
      }
      SSL_set_accept_state(ssl.get());
      ssl_ = std::move(ssl);
      hasContext_ = true;
    }
    return Advance(input, length);
  }

  bool HasContext() const override { return hasContext_.load(); }

  std::int32_t QueryStreamSizes(TlsStreamSizes& sizes) override {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!ssl_ || SSL_is_init_finished(ssl_.get()) == 0) {
      return status::kEFail;
    }
    sizes.headerSize = kRecordHeaderBytes;
    sizes.maxMessageSize = kMaxPlaintextBytes;
    sizes.trailerSize = kTrailerRoomBytes;
    return status::kSecEOk;
  }

  std::int32_t PeerKey(std::string& keyHash, std::array<std::uint8_t, 32>& digest) override {
    const std::lock_guard<std::mutex> lock(mutex_);
    X509* certificate = ssl_ ? SSL_get0_peer_certificate(ssl_.get()) : nullptr;
    if (certificate == nullptr) {
      Log(LogLevel::Error, "TLS: peer presented no certificate (0x%08X)",
          static_cast<unsigned>(status::kEFail));
      return status::kEFail;
    }
    X509_PUBKEY* keyInfo = X509_get_X509_PUBKEY(certificate);
    const int size = keyInfo != nullptr ? i2d_X509_PUBKEY(keyInfo, nullptr) : 0;
    std::vector<std::uint8_t> der(size > 0 ? static_cast<std::size_t>(size) : 0);
    unsigned char* cursor = der.data();
    if (size <= 0 || i2d_X509_PUBKEY(keyInfo, &cursor) != size) {
      Log(LogLevel::Error, "TLS: cannot encode peer SubjectPublicKeyInfo");
      return status::kEFail;
    }
    const EvpMdPtr sha256(EVP_MD_fetch(nullptr, "SHA256", nullptr));
    if (!sha256) {
      Log(LogLevel::Error, "TLS: cannot open SHA-256");
      return status::kEFail;
    }
    unsigned int digestBytes = 0;
    if (EVP_Digest(der.data(), der.size(), digest.data(), &digestBytes, sha256.get(), nullptr) !=
            1 ||
        digestBytes != digest.size()) {
      Log(LogLevel::Error, "TLS: cannot hash peer key");
      return status::kEFail;
    }
    // Four characters per three bytes, "=" padded, no line breaks, and a
    // terminating zero.
    char text[((32 + 2) / 3) * 4 + 1] = {};
    const int chars = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text), digest.data(),
                                      static_cast<int>(digest.size()));
    keyHash.assign(text, chars > 0 ? static_cast<std::size_t>(chars) : 0);
    if (keyHash.empty()) {
      Log(LogLevel::Error, "TLS: cannot encode peer key hash");
      return status::kEFail;
    }
    return status::kSecEOk;
  }

  std::uint32_t ConnectionProtocol() override {
    const std::lock_guard<std::mutex> lock(mutex_);
    switch (ssl_ ? SSL_version(ssl_.get()) : 0) {
      case TLS1_2_VERSION:
        return server_ ? kProtocolTls12Server : kProtocolTls12Client;
      case TLS1_3_VERSION:
        return server_ ? kProtocolTls13Server : kProtocolTls13Client;
      default:
        return 0;
    }
  }

  std::int32_t Encrypt(std::uint8_t* record, const TlsStreamSizes& sizes, std::size_t dataLength,
                       std::size_t& recordLength) override {
    const std::lock_guard<std::mutex> lock(mutex_);
    ERR_clear_error();
    recordLength = 0;
    if (!ssl_ || dataLength > kMaxPlaintextBytes) {
      return status::kEFail;
    }
    if (dataLength == 0) {
      return status::kSecEOk;
    }
    // SSL_write encrypts out of the plaintext into the write BIO, so the
    // record may then overwrite the plaintext from the buffer's start.
    const int written =
        SSL_write(ssl_.get(), record + sizes.headerSize, static_cast<int>(dataLength));
    if (written != static_cast<int>(dataLength)) {
      Log(LogLevel::Warn, "%s failed: %s", "SSL_write", TakeOpenSslErrors().c_str());
      return status::kSecEInternalError;
    }
    const std::size_t pending = BIO_ctrl_pending(networkOut_);
    const std::size_t room = std::size_t{sizes.headerSize} + dataLength + sizes.trailerSize;
    if (pending > room) {
      Log(LogLevel::Warn, "TLS: %zu record bytes do not fit in %zu bytes", pending, room);
      return status::kSecEInternalError;
    }
    recordLength = ReadOutput(record, pending);
    return recordLength == pending ? status::kSecEOk : status::kSecEInternalError;
  }

  TlsDecryptResult Decrypt(std::uint8_t* input, std::size_t length) override {
    const std::lock_guard<std::mutex> lock(mutex_);
    ERR_clear_error();
    TlsDecryptResult result;
    if (!ssl_) {
      return result;
    }
    if (NotARecord(input, length)) {
      Log(LogLevel::Warn, "TLS: the peer's bytes are not a TLS record");
      result.status = status::kSecEIllegalMessage;
      return result;
    }
    const std::size_t record = CompleteRecordBytes(input, length);
    if (record == 0) {
      result.status = status::kSecEIncompleteMessage;
      return result;
    }
    Feed(input, record);
    // The plaintext is shorter than the record it came in, so it goes back
    // into the record's own bytes, behind the header: the BIO holds its own
    // copy of the ciphertext.
    std::size_t plain = 0;
    const std::size_t room = record - kRecordHeaderBytes;
    for (;;) {
      const int read = room > plain ? SSL_read(ssl_.get(), input + kRecordHeaderBytes + plain,
                                               static_cast<int>(room - plain))
                                    : 0;
      if (read > 0) {
        plain += static_cast<std::size_t>(read);
        continue;
      }
      const int error = room > plain ? SSL_get_error(ssl_.get(), read) : SSL_ERROR_WANT_READ;
      if (error == SSL_ERROR_WANT_READ) {
        break;  // the record is used up (a session ticket leaves no plaintext)
      }
      if (error == SSL_ERROR_ZERO_RETURN) {
        result.status = status::kSecIContextExpired;
        return result;
      }
      Log(LogLevel::Warn, "%s failed: %s", "SSL_read", TakeOpenSslErrors().c_str());
      result.status = status::kSecEIllegalMessage;
      return result;
    }
    result.status = status::kSecEOk;
    if (plain > 0) {
      result.data.push_back({kRecordHeaderBytes, plain});
    }
    if (length > record) {
      result.extra = ByteRange{record, length - record};
    }
    return result;
  }

  void Release() override {
    const std::lock_guard<std::mutex> lock(mutex_);
    hasContext_ = false;
    networkIn_ = nullptr;
    networkOut_ = nullptr;
    ssl_.reset();
    context_.reset();
  }

 private:
  // Feeds the complete records at the start of |input| to the handshake,
  // one at a time, until it is done or wants more. Called with mutex_ held.
  TlsStepResult Advance(const std::uint8_t* input, std::size_t length) {
    TlsStepResult result;
    // After the handshake OpenSSL handles post-handshake messages inside
    // SSL_read, so a later step has nothing to do and consumes nothing.
    if (SSL_is_init_finished(ssl_.get()) != 0) {
      result.status = status::kSecEOk;
      result.extraBytes = length;
      return result;
    }
    std::size_t offset = 0;
    bool done = false;
    while (!done) {
      if (NotARecord(input + offset, length - offset)) {
        Log(LogLevel::Error, "TLS handshake: the peer's bytes are not a TLS record");
        result.status = status::kSecEIllegalMessage;
        return result;
      }
      const std::size_t record = CompleteRecordBytes(input + offset, length - offset);
      if (record == 0) {
        break;
      }
      Feed(input + offset, record);
      offset += record;
      const int handshake = SSL_do_handshake(ssl_.get());
      TakeOutput(result.token);
      done = handshake == 1;
      if (!done && SSL_get_error(ssl_.get(), handshake) != SSL_ERROR_WANT_READ) {
        // The token may hold OpenSSL's alert; the channel sends it.
        result.status = HandshakeFailureStatus(ERR_peek_last_error());
        Log(LogLevel::Error, "%s failed: %s", "SSL_do_handshake", TakeOpenSslErrors().c_str());
        return result;
      }
    }
    if (offset == 0) {
      result.status = status::kSecEIncompleteMessage;
      return result;
    }
    result.status = done ? status::kSecEOk : status::kSecIContinueNeeded;
    result.extraBytes = length - offset;
    return result;
  }

  // A new SSL object on a pair of memory BIOs, or null.
  SslPtr NewSsl() {
    SslPtr ssl(context_ ? SSL_new(context_.get()) : nullptr);
    BioPtr in(BIO_new(BIO_s_mem()));
    BioPtr out(BIO_new(BIO_s_mem()));
    if (!ssl || !in || !out || SSL_set_max_send_fragment(ssl.get(), kMaxPlaintextBytes) != 1) {
      return nullptr;
    }
    // An empty read BIO means "more to come", never end of stream.
    BIO_set_mem_eof_return(in.get(), -1);
    networkIn_ = in.get();
    networkOut_ = out.get();
    SSL_set_bio(ssl.get(), in.release(), out.release());  // the SSL object owns both now
    return ssl;
  }

  // The client's first step: a new SSL object and its ClientHello.
  TlsStepResult Start(const std::string& targetName) {
    TlsStepResult result;
    SslPtr ssl = NewSsl();
    if (!ssl || (!targetName.empty() && !IsNumericAddress(targetName) &&
                 SSL_set_tlsext_host_name(ssl.get(), targetName.c_str()) != 1)) {
      networkIn_ = nullptr;
      networkOut_ = nullptr;
      Log(LogLevel::Error, "%s failed: %s", "SSL_new", TakeOpenSslErrors().c_str());
      result.status = status::kSecEInternalError;
      return result;
    }
    SSL_set_connect_state(ssl.get());
    ssl_ = std::move(ssl);
    hasContext_ = true;
    const int handshake = SSL_do_handshake(ssl_.get());
    TakeOutput(result.token);
    if (handshake != 1 && SSL_get_error(ssl_.get(), handshake) != SSL_ERROR_WANT_READ) {
      Log(LogLevel::Error, "%s failed: %s", "SSL_do_handshake", TakeOpenSslErrors().c_str());
      result.status = status::kSecEInternalError;
      return result;
    }
    result.status = status::kSecIContinueNeeded;
    return result;
  }

  void Feed(const std::uint8_t* bytes, std::size_t length) {
    // A memory BIO takes every byte it is given; a record is far below INT_MAX.
    BIO_write(networkIn_, bytes, static_cast<int>(length));
  }

  void TakeOutput(std::vector<std::uint8_t>& token) {
    const std::size_t pending = BIO_ctrl_pending(networkOut_);
    const std::size_t start = token.size();
    token.resize(start + pending);
    token.resize(start + ReadOutput(token.data() + start, pending));
  }

  std::size_t ReadOutput(std::uint8_t* to, std::size_t length) {
    if (length == 0 || length > INT_MAX) {
      return 0;
    }
    const int read = BIO_read(networkOut_, to, static_cast<int>(length));
    return read > 0 ? static_cast<std::size_t>(read) : 0;
  }

  // Set at construction, read-only after.
  bool server_ = false;
  EvpPkeyPtr serverKey_;       // a server's
  X509Ptr serverCertificate_;  // a server's

  // Serialises every use of the SSL object: one SSL object must not be used
  // on two threads at once, and Encrypt and Decrypt come from the send and
  // the receive thread. A leaf lock, held only for in-memory work; the
  // channel does the socket I/O outside it.
  mutable std::mutex mutex_;
  SslCtxPtr context_;          // guarded by mutex_
  SslPtr ssl_;                 // guarded by mutex_
  BIO* networkIn_ = nullptr;   // owned by ssl_; guarded by mutex_
  BIO* networkOut_ = nullptr;  // owned by ssl_; guarded by mutex_
  std::atomic<bool> hasContext_{false};
};

}  // namespace

std::unique_ptr<TlsProvider> CreateOpenSslTlsProvider() {
  return std::make_unique<OpenSslTlsProvider>();
}

std::unique_ptr<TlsProvider> CreateOpenSslTlsServerProvider(EVP_PKEY* key, X509* certificate) {
  return std::make_unique<OpenSslTlsProvider>(key, certificate);
}

}  // namespace veyra
