// The server identity natively: an OpenSSL key and certificate kept as PEM
// files, private to the user (0600 in a 0700 folder) like the pairing data.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/pem.h>
#include <openssl/rand.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <utility>

#include "host/base/log.h"
#include "host/net/openssl_handles_posix.h"
#include "host/net/openssl_tls_provider.h"
#include "host/net/tls_identity_store.h"
#include "host/net/tls_server_identity.h"

namespace veyra {

struct TlsServerIdentity::Keys {
  EvpPkeyPtr key;
  X509Ptr certificate;
};

TlsServerIdentity::TlsServerIdentity(std::unique_ptr<Keys> keys, std::string fingerprint)
    : keys_(std::move(keys)), fingerprint_(std::move(fingerprint)) {}

TlsServerIdentity::~TlsServerIdentity() = default;

namespace {

constexpr const char* kKeyFile = "/page-key.pem";
constexpr const char* kCertificateFile = "/page-cert.pem";
// Valid from a day back, for a phone whose clock is behind, for ten years.
constexpr long kBackdateSeconds = 24L * 60 * 60;
constexpr int kValidDays = 3650;

std::string CallFailed(const char* call, const std::string& path, int error) {
  std::string text = call;
  text += ' ';
  text += path;
  text += ": ";
  text += std::strerror(error);
  return text;
}

// The whole of |path|; kAbsent only when there is no such file.
StoredItem ReadWholeFile(const std::string& path, std::string& bytes, std::string& why) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    if (error == ENOENT) {
      return StoredItem::kAbsent;
    }
    why = CallFailed("open", path, error);
    return StoredItem::kUnreadable;
  }
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      why = CallFailed("read", path, errno);
      ::close(fd);
      return StoredItem::kUnreadable;
    }
    if (n == 0) break;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return StoredItem::kRead;
}

// Writes |bytes| to a new file readable by the user alone, flushed, then
// renamed over |path|: a crash leaves the old file or the new one, never
// half of one. O_EXCL with O_NOFOLLOW never writes through a planted link.
bool WriteFileAtomically(const std::string& path, const std::string& bytes, std::string& why) {
  const std::string temporary = path + ".new";
  ::unlink(temporary.c_str());
  const int fd =
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    why = CallFailed("open", temporary, errno);
    return false;
  }
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      why = CallFailed("write", temporary, errno);
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  bool ok = done == bytes.size();
  if (ok && ::fsync(fd) != 0) {
    why = CallFailed("fsync", temporary, errno);
    ok = false;
  }
  if (::close(fd) != 0 && ok) {
    why = CallFailed("close", temporary, errno);
    ok = false;
  }
  if (ok && ::rename(temporary.c_str(), path.c_str()) != 0) {
    why = CallFailed("rename", temporary, errno);
    ok = false;
  }
  if (!ok) {
    ::unlink(temporary.c_str());
  }
  return ok;
}

// Refuses every passphrase: the default callback would ask on the terminal
// for one, should the stored key ever be an encrypted one.
int NoPassphrase(char* /*buffer*/, int /*size*/, int /*writing*/, void* /*data*/) { return 0; }

BioPtr ReadingBio(const std::string& bytes) {
  return BioPtr(bytes.size() <= INT_MAX
                    ? BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size()))
                    : nullptr);
}

std::string BioText(BIO* bio) {
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  return length > 0 ? std::string(data, static_cast<std::size_t>(length)) : std::string();
}

class PosixIdentityStore final : public TlsIdentityStore {
 public:
  explicit PosixIdentityStore(std::string folder) : folder_(std::move(folder)) {}

  std::string Where() const override { return folder_; }

  StoredItem LoadKey(std::string& why) override {
    std::string pem;
    const StoredItem read = ReadWholeFile(folder_ + kKeyFile, pem, why);
    if (read != StoredItem::kRead) {
      return read;
    }
    const BioPtr bio = ReadingBio(pem);
    key_.reset(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassphrase, nullptr) : nullptr);
    if (!key_) {
      why = "not a PEM private key: " + TakeOpenSslErrors();
      return StoredItem::kDamaged;
    }
    return StoredItem::kRead;
  }

  bool CreateKey(std::string& why) override {
    EvpPkeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    const BioPtr bio(BIO_new(BIO_s_mem()));
    if (!key || !bio ||
        PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) !=
            1) {
      why = "P-256 key: " + TakeOpenSslErrors();
      return false;
    }
    if (!WriteFileAtomically(folder_ + kKeyFile, BioText(bio.get()), why)) {
      return false;
    }
    key_ = std::move(key);
    return true;
  }

  StoredItem LoadCertificate(std::string& why) override {
    std::string pem;
    const StoredItem read = ReadWholeFile(folder_ + kCertificateFile, pem, why);
    if (read != StoredItem::kRead) {
      return read;
    }
    const BioPtr bio = ReadingBio(pem);
    X509Ptr certificate(bio ? PEM_read_bio_X509(bio.get(), nullptr, NoPassphrase, nullptr)
                            : nullptr);
    if (!certificate) {
      why = "not a PEM certificate: " + TakeOpenSslErrors();
      return StoredItem::kDamaged;
    }
    if (X509_check_private_key(certificate.get(), key_.get()) != 1) {
      ERR_clear_error();
      why = "not made for the stored key";
      return StoredItem::kDamaged;
    }
    certificate_ = std::move(certificate);
    return StoredItem::kRead;
  }

  bool CreateCertificate(std::string& why) override {
    X509Ptr certificate(X509_new());
    std::uint64_t serial = 0;
    const BioPtr bio(BIO_new(BIO_s_mem()));
    X509_NAME* name = certificate ? X509_get_subject_name(certificate.get()) : nullptr;
    const bool made =
        certificate && bio && name != nullptr &&
        RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof(serial)) == 1 &&
        X509_set_version(certificate.get(), X509_VERSION_3) == 1 &&
        // A serial must be positive.
        ASN1_INTEGER_set_uint64(X509_get_serialNumber(certificate.get()),
                                serial != 0 ? serial : 1) == 1 &&
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("Veyra host"), -1, -1,
                                   0) == 1 &&
        X509_set_issuer_name(certificate.get(), name) == 1 &&
        X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -kBackdateSeconds) != nullptr &&
        X509_time_adj_ex(X509_getm_notAfter(certificate.get()), kValidDays, 0, nullptr) !=
            nullptr &&
        X509_set_pubkey(certificate.get(), key_.get()) == 1 &&
        X509_sign(certificate.get(), key_.get(), EVP_sha256()) > 0 &&
        PEM_write_bio_X509(bio.get(), certificate.get()) == 1;
    if (!made) {
      why = "self-signed certificate: " + TakeOpenSslErrors();
      return false;
    }
    if (!WriteFileAtomically(folder_ + kCertificateFile, BioText(bio.get()), why)) {
      return false;
    }
    certificate_ = std::move(certificate);
    return true;
  }

  std::unique_ptr<TlsServerIdentity> Finish(std::string& why) override {
    std::array<std::uint8_t, 32> digest{};
    unsigned int length = 0;
    if (X509_digest(certificate_.get(), EVP_sha256(), digest.data(), &length) != 1 ||
        length != digest.size()) {
      why = "certificate digest: " + TakeOpenSslErrors();
      return nullptr;
    }
    auto keys = std::make_unique<TlsServerIdentity::Keys>();
    keys->key = std::move(key_);
    keys->certificate = std::move(certificate_);
    return std::make_unique<TlsServerIdentity>(std::move(keys), FingerprintText(digest));
  }

 private:
  std::string folder_;
  EvpPkeyPtr key_;
  X509Ptr certificate_;
};

}  // namespace

std::unique_ptr<TlsServerIdentity> LoadOrCreateTlsServerIdentity(const std::string& folder) {
  if (folder.empty()) {
    Log(LogLevel::Error, "TLS server identity: no folder to keep it in");
    return nullptr;
  }
  // The pairing data's folder exists already as a rule; made private when
  // not. Its parents are not made here: a folder that cannot be made shows
  // in the first write.
  ::mkdir(folder.c_str(), 0700);
  PosixIdentityStore store(folder);
  return LoadOrCreateTlsServerIdentity(store);
}

std::unique_ptr<TlsChannel> CreatePlatformTlsServerChannel(const TlsServerIdentity& identity) {
  const TlsServerIdentity::Keys& keys = identity.keys();
  return std::make_unique<TlsChannel>(
      CreateOpenSslTlsServerProvider(keys.key.get(), keys.certificate.get()));
}

}  // namespace veyra
