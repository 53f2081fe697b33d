// The server identity on Windows: an ECDSA P-256 key persisted in the
// user's CNG key store (the Microsoft Software Key Storage Provider), and its
// certificate as DER in the folder, beside the pairing data.
//
// Why the key store rather than a key file of our own: Schannel does the
// handshake in LSASS, which opens the private key by the name in the
// certificate's CERT_KEY_PROV_INFO_PROP_ID; a key that lives in this
// process alone (PFXImportCertStore with PKCS12_NO_PERSIST_KEY, an
// ephemeral CNG key) cannot be used there, as PFXImportCertStore's
// documentation says. The key store keeps a user's keys under the user's
// profile, encrypted with DPAPI, and the private key never enters this
// process (CNG key isolation). A PFX kept in the folder and imported at
// each start would have to persist it anyway, as a new key every start.
#define SECURITY_WIN32

// Winsock before windows.h, which the channel's headers bring in.
#include <winsock2.h>

#include <windows.h>

#include <bcrypt.h>
#include <ncrypt.h>
#include <wincrypt.h>

#include <array>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "host/base/digest.h"
#include "host/base/hex_text.h"
#include "host/base/hresult_text.h"
#include "host/base/log.h"
#include "host/base/scoped_handle_win.h"
#include "host/base/status_codes.h"
#include "host/base/utf_conversion.h"
#include "host/net/schannel_provider_win.h"
#include "host/net/tls_identity_store.h"
#include "host/net/tls_server_identity.h"

namespace veyra {

struct TlsServerIdentity::Keys {
  // Names the persisted key through CERT_KEY_PROV_INFO_PROP_ID.
  CertificateContextPtr certificate;
};

TlsServerIdentity::TlsServerIdentity(std::unique_ptr<Keys> keys, std::string fingerprint)
    : keys_(std::move(keys)), fingerprint_(std::move(fingerprint)) {}

TlsServerIdentity::~TlsServerIdentity() = default;

namespace {

constexpr const char* kCertificateFile = "\\page-cert.der";
// Valid from a day back, for a phone whose clock is behind, for ten years.
constexpr ULONGLONG kFileTimeTicksPerDay = 24ULL * 60 * 60 * 10000000;
constexpr ULONGLONG kValidDays = 3650;

// An NCrypt provider or key handle, freed with NCryptFreeObject.
class ScopedNCryptObject {
 public:
  ScopedNCryptObject() = default;
  ~ScopedNCryptObject() { Reset(); }
  ScopedNCryptObject(const ScopedNCryptObject&) = delete;
  ScopedNCryptObject& operator=(const ScopedNCryptObject&) = delete;

  NCRYPT_HANDLE Get() const { return handle_; }
  // Frees what it holds and gives the place for a new handle.
  NCRYPT_HANDLE* Receive() {
    Reset();
    return &handle_;
  }
  void Reset() {
    if (handle_ != 0) {
      NCryptFreeObject(handle_);
      handle_ = 0;
    }
  }

 private:
  NCRYPT_HANDLE handle_ = 0;
};

std::string Failed(const char* call, std::int32_t status) {
  std::string text = call;
  text += " failed: ";
  text += HresultText(status);
  return text;
}

// GetLastError of a crypt32 call: an HRESULT already for most failures, a
// Win32 error number for the rest.
std::int32_t LastErrorStatus() { return status::HresultFromWin32(GetLastError()); }

// The key's name in the user's key store: one per folder, so that a test's
// folder never shares the real one's key.
std::wstring KeyNameFor(const std::string& folder) {
  const Sha256Digest digest =
      Sha256(reinterpret_cast<const std::uint8_t*>(folder.data()), folder.size());
  std::string name = "Veyra page key ";
  name += LowerHexBytes(std::span<const std::uint8_t>(digest).first(8));
  return WideFromUtf8(name);
}

StoredItem ReadWholeFile(const std::string& path, std::string& bytes, std::string& why) {
  const ScopedHandle file(CreateFileW(WideFromUtf8(path).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.IsValid()) {
    const DWORD error = GetLastError();
    if (error == status::kErrorFileNotFound || error == status::kErrorPathNotFound) {
      return StoredItem::kAbsent;
    }
    why = Failed("CreateFile", status::HresultFromWin32(error));
    return StoredItem::kUnreadable;
  }
  char buffer[4096];
  for (;;) {
    DWORD count = 0;
    if (!ReadFile(file.Get(), buffer, sizeof(buffer), &count, nullptr)) {
      why = Failed("ReadFile", LastErrorStatus());
      return StoredItem::kUnreadable;
    }
    if (count == 0) break;
    bytes.append(buffer, count);
  }
  return StoredItem::kRead;
}

// Writes |bytes| to a new file, flushed, then moved over |path|: a crash
// leaves the old file or the new one. The file takes the folder's access
// rules, as the pairing data does; CREATE_NEW with
// FILE_FLAG_OPEN_REPARSE_POINT never writes through a planted link.
bool WriteFileAtomically(const std::string& path, const std::string& bytes, std::string& why) {
  const std::wstring temporary = WideFromUtf8(path + ".new");
  DeleteFileW(temporary.c_str());
  ScopedHandle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.IsValid()) {
    why = Failed("CreateFile", LastErrorStatus());
    return false;
  }
  DWORD written = 0;
  bool ok =
      WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
      written == bytes.size() && FlushFileBuffers(file.Get());
  if (!ok) {
    why = Failed("WriteFile", LastErrorStatus());
  }
  ok = CloseHandle(file.Take()) && ok;
  if (ok && !MoveFileExW(temporary.c_str(), WideFromUtf8(path).c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    why = Failed("MoveFileEx", LastErrorStatus());
    ok = false;
  }
  if (!ok) {
    DeleteFileW(temporary.c_str());
  }
  return ok;
}

SYSTEMTIME SystemTimeAt(ULONGLONG ticks) {
  const FILETIME time{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  SYSTEMTIME system{};
  FileTimeToSystemTime(&time, &system);
  return system;
}

class WindowsIdentityStore final : public TlsIdentityStore {
 public:
  explicit WindowsIdentityStore(std::string folder)
      : folder_(std::move(folder)), keyName_(KeyNameFor(folder_)) {}

  std::string Where() const override { return folder_; }

  StoredItem LoadKey(std::string& why) override {
    const SECURITY_STATUS opened =
        NCryptOpenStorageProvider(provider_.Receive(), MS_KEY_STORAGE_PROVIDER, 0);
    if (opened != ERROR_SUCCESS) {
      why = Failed("NCryptOpenStorageProvider", opened);
      return StoredItem::kUnreadable;
    }
    const SECURITY_STATUS status =
        NCryptOpenKey(provider_.Get(), key_.Receive(), keyName_.c_str(), 0, 0);
    const StoredItem item = StoredKeyFromOpenStatus(status);
    if (item != StoredItem::kRead) {
      why = Failed("NCryptOpenKey", status);
    }
    return item;
  }

  bool CreateKey(std::string& why) override {
    SECURITY_STATUS status =
        NCryptCreatePersistedKey(provider_.Get(), key_.Receive(), BCRYPT_ECDSA_P256_ALGORITHM,
                                 keyName_.c_str(), 0, NCRYPT_OVERWRITE_KEY_FLAG);
    why = Failed("NCryptCreatePersistedKey", status);
    if (status == ERROR_SUCCESS) {
      status = NCryptFinalizeKey(key_.Get(), 0);
      why = Failed("NCryptFinalizeKey", status);
    }
    return status == ERROR_SUCCESS;
  }

  StoredItem LoadCertificate(std::string& why) override {
    std::string der;
    const StoredItem read = ReadWholeFile(folder_ + kCertificateFile, der, why);
    if (read != StoredItem::kRead) {
      return read;
    }
    CertificateContextPtr certificate(
        CertCreateCertificateContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                     static_cast<DWORD>(der.size())));
    if (!certificate) {
      why = Failed("CertCreateCertificateContext", LastErrorStatus());
      return StoredItem::kDamaged;
    }
    if (!CarriesTheKey(certificate.get())) {
      why = "not made for the stored key";
      return StoredItem::kDamaged;
    }
    certificate_ = std::move(certificate);
    return StoredItem::kRead;
  }

  bool CreateCertificate(std::string& why) override {
    BYTE subject[128];
    DWORD subjectSize = sizeof(subject);
    if (!CertStrToNameW(X509_ASN_ENCODING, L"CN=Veyra host", CERT_X500_NAME_STR, nullptr, subject,
                        &subjectSize, nullptr)) {
      why = Failed("CertStrToName", LastErrorStatus());
      return false;
    }
    CERT_NAME_BLOB name{subjectSize, subject};
    CRYPT_ALGORITHM_IDENTIFIER algorithm{};
    algorithm.pszObjId = const_cast<char*>(szOID_ECDSA_SHA256);
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const ULONGLONG nowTicks = (ULONGLONG{now.dwHighDateTime} << 32) | now.dwLowDateTime;
    SYSTEMTIME start = SystemTimeAt(nowTicks - kFileTimeTicksPerDay);
    SYSTEMTIME end = SystemTimeAt(nowTicks + kValidDays * kFileTimeTicksPerDay);
    // The system picks a random serial number.
    CertificateContextPtr certificate(CertCreateSelfSignCertificate(
        key_.Get(), &name, 0, nullptr, &algorithm, &start, &end, nullptr));
    if (!certificate) {
      why = Failed("CertCreateSelfSignCertificate", LastErrorStatus());
      return false;
    }
    const std::string der(reinterpret_cast<const char*>(certificate->pbCertEncoded),
                          certificate->cbCertEncoded);
    if (!WriteFileAtomically(folder_ + kCertificateFile, der, why)) {
      return false;
    }
    certificate_ = std::move(certificate);
    return true;
  }

  std::unique_ptr<TlsServerIdentity> Finish(std::string& why) override {
    // Where Schannel finds the private key: by name, in the user's key store.
    CRYPT_KEY_PROV_INFO where{};
    where.pwszContainerName = keyName_.data();
    where.pwszProvName = const_cast<wchar_t*>(MS_KEY_STORAGE_PROVIDER);
    if (!CertSetCertificateContextProperty(certificate_.get(), CERT_KEY_PROV_INFO_PROP_ID, 0,
                                           &where)) {
      why = Failed("CertSetCertificateContextProperty", LastErrorStatus());
      return nullptr;
    }
    const Sha256Digest digest = Sha256(certificate_->pbCertEncoded, certificate_->cbCertEncoded);
    auto keys = std::make_unique<TlsServerIdentity::Keys>();
    keys->certificate = std::move(certificate_);
    return std::make_unique<TlsServerIdentity>(std::move(keys), FingerprintText(digest));
  }

 private:
  // Whether |certificate| carries the stored key's public half.
  bool CarriesTheKey(PCCERT_CONTEXT certificate) const {
    DWORD size = 0;
    if (!CryptExportPublicKeyInfo(key_.Get(), 0, X509_ASN_ENCODING, nullptr, &size) || size == 0) {
      return false;
    }
    // A CERT_PUBLIC_KEY_INFO followed by the bytes it points at, in
    // elements aligned for the structure.
    std::vector<std::uint64_t> buffer((size + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
    auto* info = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(buffer.data());
    return CryptExportPublicKeyInfo(key_.Get(), 0, X509_ASN_ENCODING, info, &size) &&
           CertComparePublicKeyInfo(X509_ASN_ENCODING,
                                    &certificate->pCertInfo->SubjectPublicKeyInfo, info);
  }

  std::string folder_;
  std::wstring keyName_;
  ScopedNCryptObject provider_;
  ScopedNCryptObject key_;
  CertificateContextPtr certificate_;
};

}  // namespace

std::unique_ptr<TlsServerIdentity> LoadOrCreateTlsServerIdentity(const std::string& folder) {
  if (folder.empty()) {
    Log(LogLevel::Error, "TLS server identity: no folder to keep it in");
    return nullptr;
  }
  CreateDirectoryW(WideFromUtf8(folder).c_str(), nullptr);  // usually exists already
  WindowsIdentityStore store(folder);
  return LoadOrCreateTlsServerIdentity(store);
}

std::unique_ptr<TlsChannel> CreatePlatformTlsServerChannel(const TlsServerIdentity& identity) {
  return std::make_unique<TlsChannel>(
      CreateSchannelServerProvider(identity.keys().certificate.get()));
}

}  // namespace veyra
