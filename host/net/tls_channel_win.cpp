// Schannel under the TLS channel, on either side: SSPI for the handshake
// and records, Crypt32 and BCrypt for the peer key's fingerprint.
#define SECURITY_WIN32
#define SCHANNEL_USE_BLACKLISTS

// The order matters: Winsock before windows.h, subauth.h (UNICODE_STRING)
// before schannel.h for SCH_CREDENTIALS.
#include <winsock2.h>

#include <windows.h>

#include <bcrypt.h>
#include <wincrypt.h>

#include <subauth.h>

#include <schannel.h>

#include <security.h>
#include <sspi.h>

#include <string>
#include <vector>

#include "host/base/log.h"
#include "host/base/utf_conversion.h"
#include "host/net/schannel_provider_win.h"
#include "host/net/tls_channel.h"

namespace veyra {
namespace {

// ISC_REQ_REPLAY_DETECT | ISC_REQ_SEQUENCE_DETECT | ISC_REQ_CONFIDENTIALITY |
// ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM.
constexpr ULONG kContextRequirements = 0x811C;
static_assert(kContextRequirements ==
              (ISC_REQ_REPLAY_DETECT | ISC_REQ_SEQUENCE_DETECT | ISC_REQ_CONFIDENTIALITY |
               ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM));

// ASC_REQ_REPLAY_DETECT | ASC_REQ_SEQUENCE_DETECT | ASC_REQ_CONFIDENTIALITY |
// ASC_REQ_ALLOCATE_MEMORY | ASC_REQ_EXTENDED_ERROR | ASC_REQ_STREAM: the
// server's, with an alert for a client whose handshake fails.
constexpr ULONG kServerContextRequirements = 0x1811C;
static_assert(kServerContextRequirements ==
              (ASC_REQ_REPLAY_DETECT | ASC_REQ_SEQUENCE_DETECT | ASC_REQ_CONFIDENTIALITY |
               ASC_REQ_ALLOCATE_MEMORY | ASC_REQ_EXTENDED_ERROR | ASC_REQ_STREAM));

// Everything below TLS 1.2 is refused, on either side.
constexpr DWORD kDisabledProtocols =
    SP_PROT_SSL2_CLIENT | SP_PROT_SSL3_CLIENT | SP_PROT_TLS1_0_CLIENT | SP_PROT_TLS1_1_CLIENT;
static_assert(kDisabledProtocols == 0x2A8);
constexpr DWORD kDisabledServerProtocols =
    SP_PROT_SSL2_SERVER | SP_PROT_SSL3_SERVER | SP_PROT_TLS1_0_SERVER | SP_PROT_TLS1_1_SERVER;
static_assert(kDisabledServerProtocols == 0x154);

static_assert(kProtocolTls12Client == SP_PROT_TLS1_2_CLIENT &&
              kProtocolTls13Client == SP_PROT_TLS1_3_CLIENT);
static_assert(kProtocolTls12Server == SP_PROT_TLS1_2_SERVER &&
              kProtocolTls13Server == SP_PROT_TLS1_3_SERVER);

// Where an SSPI buffer handed back by the provider lies inside |input|.
// Extra buffers of some calls carry only a count: then they are the input's
// last bytes.
ByteRange RangeIn(const std::uint8_t* input, std::size_t length, const SecBuffer& buffer) {
  const auto* start = static_cast<const std::uint8_t*>(buffer.pvBuffer);
  if (start != nullptr && start >= input && start + buffer.cbBuffer <= input + length) {
    return {static_cast<std::size_t>(start - input), buffer.cbBuffer};
  }
  const std::size_t count = buffer.cbBuffer <= length ? buffer.cbBuffer : length;
  return {length - count, count};
}

// What a handshake step handed back: its token, copied out of the buffer
// SSPI allocated (then freed), and the count of input bytes it left over.
TlsStepResult StepResult(SECURITY_STATUS status, const SecBuffer& output, const SecBuffer& extra) {
  TlsStepResult result;
  result.status = status;
  if (output.pvBuffer != nullptr) {
    const auto* token = static_cast<const std::uint8_t*>(output.pvBuffer);
    result.token.assign(token, token + output.cbBuffer);
    FreeContextBuffer(output.pvBuffer);
  }
  if (extra.BufferType == SECBUFFER_EXTRA) {
    result.extraBytes = extra.cbBuffer;
  }
  return result;
}

// The buffers of one handshake step: the peer's bytes in (and what of
// them is left over), the token out. Not copied: the descriptions point
// into it.
struct StepBuffers {
  StepBuffers(const std::uint8_t* input, std::size_t length)
      : in{{static_cast<ULONG>(length), SECBUFFER_TOKEN, const_cast<std::uint8_t*>(input)},
           {0, SECBUFFER_EMPTY, nullptr}} {}
  StepBuffers(const StepBuffers&) = delete;
  StepBuffers& operator=(const StepBuffers&) = delete;

  SecBuffer in[2];
  SecBufferDesc inDesc{SECBUFFER_VERSION, 2, in};
  SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
};

class SchannelProvider final : public TlsProvider {
 public:
  // A client's provider.
  SchannelProvider() = default;

  // A server's, presenting |certificate|, whose private key the system's
  // key store holds.
  explicit SchannelProvider(PCCERT_CONTEXT certificate)
      : serverCertificate_(CertDuplicateCertificateContext(certificate)) {}

  ~SchannelProvider() override { Release(); }

  SchannelProvider(const SchannelProvider&) = delete;
  SchannelProvider& operator=(const SchannelProvider&) = delete;

  std::int32_t AcquireCredentials() override {
    TLS_PARAMETERS parameters{};
    SCH_CREDENTIALS settings{};
    settings.dwVersion = SCH_CREDENTIALS_VERSION;
    settings.cTlsParameters = 1;
    settings.pTlsParameters = &parameters;
    PCCERT_CONTEXT certificates[1] = {serverCertificate_.get()};
    ULONG use = SECPKG_CRED_OUTBOUND;
    if (serverCertificate_) {
      parameters.grbitDisabledProtocols = kDisabledServerProtocols;
      settings.cCreds = 1;
      settings.paCred = certificates;
      // No client certificate is asked for, so none is mapped to an account.
      settings.dwFlags = SCH_CRED_NO_SYSTEM_MAPPER;
      use = SECPKG_CRED_INBOUND;
    } else {
      parameters.grbitDisabledProtocols = kDisabledProtocols;
      settings.dwFlags = SCH_CRED_NO_DEFAULT_CREDS | SCH_CRED_MANUAL_CRED_VALIDATION |
                         SCH_CRED_NO_SERVERNAME_CHECK;
    }
    TimeStamp expiry{};
    wchar_t package[] = UNISP_NAME_W;
    const SECURITY_STATUS status = AcquireCredentialsHandleW(
        nullptr, package, use, nullptr, &settings, nullptr, nullptr, &credentials_, &expiry);
    hasCredentials_ = status == SEC_E_OK;
    return status;
  }

  TlsStepResult Step(const std::uint8_t* input, std::size_t length,
                     const std::string* targetName) override {
    StepBuffers buffers(input, length);
    ULONG attributes = 0;
    TimeStamp expiry{};
    SECURITY_STATUS status;
    if (targetName != nullptr) {
      std::wstring target = WideFromUtf8(*targetName);
      status = InitializeSecurityContextW(&credentials_, nullptr, target.data(),
                                          kContextRequirements, 0, 0, nullptr, 0, &context_,
                                          &buffers.outDesc, &attributes, &expiry);
      hasContext_ = status >= 0 || status == SEC_E_INCOMPLETE_MESSAGE;
    } else {
      status = InitializeSecurityContextW(&credentials_, &context_, nullptr, kContextRequirements,
                                          0, 0, &buffers.inDesc, 0, nullptr, &buffers.outDesc,
                                          &attributes, &expiry);
    }
    return StepResult(status, buffers.out, buffers.in[1]);
  }

  TlsStepResult AcceptStep(const std::uint8_t* input, std::size_t length) override {
    StepBuffers buffers(input, length);
    ULONG attributes = 0;
    TimeStamp expiry{};
    // The first call makes the context, unless the client's first message
    // is still incomplete: then the next call is a first call again.
    const SECURITY_STATUS status = AcceptSecurityContext(
        &credentials_, hasContext_ ? &context_ : nullptr, &buffers.inDesc,
        kServerContextRequirements, 0, &context_, &buffers.outDesc, &attributes, &expiry);
    hasContext_ = hasContext_ || status >= 0;
    return StepResult(status, buffers.out, buffers.in[1]);
  }

  bool HasContext() const override { return hasContext_; }

  std::int32_t QueryStreamSizes(TlsStreamSizes& sizes) override {
    SecPkgContext_StreamSizes stream{};
    const SECURITY_STATUS status =
        QueryContextAttributesW(&context_, SECPKG_ATTR_STREAM_SIZES, &stream);
    if (status == SEC_E_OK) {
      sizes.headerSize = stream.cbHeader;
      sizes.trailerSize = stream.cbTrailer;
      sizes.maxMessageSize = stream.cbMaximumMessage;
    }
    return status;
  }

  std::int32_t PeerKey(std::string& keyHash, std::array<std::uint8_t, 32>& digest) override {
    PCCERT_CONTEXT certificate = nullptr;
    const SECURITY_STATUS query =
        QueryContextAttributesW(&context_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate);
    if (query != SEC_E_OK || certificate == nullptr) {
      Log(LogLevel::Error, "TLS: peer presented no certificate (0x%08X)",
          static_cast<unsigned>(query));
      return status::kEFail;
    }
    std::vector<BYTE> der;
    DWORD size = 0;
    CERT_PUBLIC_KEY_INFO* keyInfo = &certificate->pCertInfo->SubjectPublicKeyInfo;
    bool encoded = CryptEncodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, keyInfo, 0, nullptr,
                                       nullptr, &size) &&
                   size > 0;
    if (encoded) {
      der.resize(size);
      encoded = CryptEncodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, keyInfo, 0, nullptr,
                                    der.data(), &size) &&
                size > 0;
    }
    CertFreeCertificateContext(certificate);
    if (!encoded) {
      Log(LogLevel::Error, "TLS: cannot encode peer SubjectPublicKeyInfo");
      return status::kEFail;
    }
    BCRYPT_ALG_HANDLE sha256 = nullptr;
    if (!BCRYPT_SUCCESS(
            BCryptOpenAlgorithmProvider(&sha256, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
      Log(LogLevel::Error, "TLS: cannot open SHA-256");
      return status::kEFail;
    }
    const NTSTATUS hashed = BCryptHash(sha256, nullptr, 0, der.data(), size, digest.data(),
                                       static_cast<ULONG>(digest.size()));
    BCryptCloseAlgorithmProvider(sha256, 0);
    if (!BCRYPT_SUCCESS(hashed)) {
      Log(LogLevel::Error, "TLS: cannot hash peer key");
      return status::kEFail;
    }
    const DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
    DWORD chars = 0;
    keyHash.clear();
    if (CryptBinaryToStringA(digest.data(), static_cast<DWORD>(digest.size()), flags, nullptr,
                             &chars) &&
        chars > 0) {
      std::string text(chars, '\0');
      if (CryptBinaryToStringA(digest.data(), static_cast<DWORD>(digest.size()), flags, text.data(),
                               &chars)) {
        // The second call counts without the terminating zero.
        text.resize(chars);
        keyHash = text;
      }
    }
    if (keyHash.empty()) {
      Log(LogLevel::Error, "TLS: cannot encode peer key hash");
      return status::kEFail;
    }
    return status::kSecEOk;
  }

  std::uint32_t ConnectionProtocol() override {
    SecPkgContext_ConnectionInfo info{};
    if (QueryContextAttributesW(&context_, SECPKG_ATTR_CONNECTION_INFO, &info) != SEC_E_OK) {
      return 0;
    }
    return info.dwProtocol;
  }

  std::int32_t Encrypt(std::uint8_t* record, const TlsStreamSizes& sizes, std::size_t dataLength,
                       std::size_t& recordLength) override {
    SecBuffer buffers[3] = {
        {sizes.headerSize, SECBUFFER_STREAM_HEADER, record},
        {static_cast<ULONG>(dataLength), SECBUFFER_DATA, record + sizes.headerSize},
        {sizes.trailerSize, SECBUFFER_STREAM_TRAILER, record + sizes.headerSize + dataLength}};
    SecBufferDesc desc{SECBUFFER_VERSION, 3, buffers};
    const SECURITY_STATUS status = EncryptMessage(&context_, 0, &desc, 0);
    recordLength = std::size_t{buffers[0].cbBuffer} + buffers[1].cbBuffer + buffers[2].cbBuffer;
    return status;
  }

  TlsDecryptResult Decrypt(std::uint8_t* input, std::size_t length) override {
    SecBuffer buffers[4] = {{static_cast<ULONG>(length), SECBUFFER_DATA, input},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
    TlsDecryptResult result;
    result.status = DecryptMessage(&context_, &desc, 0, nullptr);
    if (result.status != SEC_E_OK && result.status != SEC_I_RENEGOTIATE) {
      return result;
    }
    for (const SecBuffer& buffer : buffers) {
      if (buffer.BufferType == SECBUFFER_DATA && buffer.cbBuffer > 0 &&
          buffer.pvBuffer != nullptr) {
        result.data.push_back(RangeIn(input, length, buffer));
      } else if (buffer.BufferType == SECBUFFER_EXTRA && buffer.cbBuffer > 0) {
        result.extra = RangeIn(input, length, buffer);
      }
    }
    return result;
  }

  void Release() override {
    if (hasContext_) {
      DeleteSecurityContext(&context_);
      hasContext_ = false;
    }
    if (hasCredentials_) {
      FreeCredentialsHandle(&credentials_);
      hasCredentials_ = false;
    }
  }

 private:
  CertificateContextPtr serverCertificate_;  // a server's; set at construction
  bool hasCredentials_ = false;
  bool hasContext_ = false;
  CredHandle credentials_{};
  CtxtHandle context_{};
};

}  // namespace

std::unique_ptr<SecureChannel> CreatePlatformTlsChannel() {
  return std::make_unique<TlsChannel>(std::make_unique<SchannelProvider>());
}

std::unique_ptr<TlsProvider> CreateSchannelServerProvider(PCCERT_CONTEXT certificate) {
  return std::make_unique<SchannelProvider>(certificate);
}

}  // namespace veyra
