#include "host/net/tls_server_identity.h"

#include "host/base/hex_text.h"
#include "host/base/log.h"
#include "host/base/status_codes.h"
#include "host/net/tls_identity_store.h"

namespace veyra {
namespace {

// Logs what becomes of a stored |what|; false when it could not be read and
// so must be left as it is.
bool Settle(const char* what, StoredItem item, const std::string& why, const std::string& where) {
  switch (item) {
    case StoredItem::kRead:
      return true;
    case StoredItem::kAbsent:
      Log(LogLevel::Info, "TLS server %s: none in %s yet; making one", what, where.c_str());
      return true;
    case StoredItem::kDamaged:
      Log(LogLevel::Warn, "TLS server %s in %s cannot be used (%s); replacing it", what,
          where.c_str(), why.c_str());
      return true;
    case StoredItem::kUnreadable:
      break;
  }
  Log(LogLevel::Error, "TLS server %s in %s cannot be read (%s); leaving it as it is", what,
      where.c_str(), why.c_str());
  return false;
}

}  // namespace

std::string FingerprintText(const std::array<std::uint8_t, 32>& digest) {
  std::string text;
  for (const std::uint8_t byte : digest) {
    if (!text.empty()) {
      text += ':';
    }
    text += UpperHexDigit(byte >> 4);
    text += UpperHexDigit(byte);
  }
  return text;
}

std::unique_ptr<TlsServerIdentity> LoadOrCreateTlsServerIdentity(TlsIdentityStore& store) {
  const std::string where = store.Where();
  std::string why;
  const StoredItem key = store.LoadKey(why);
  if (!Settle("key", key, why, where)) {
    return nullptr;
  }
  const bool newKey = key != StoredItem::kRead;
  if (newKey && !store.CreateKey(why)) {
    Log(LogLevel::Error, "TLS server key: cannot make one in %s: %s", where.c_str(), why.c_str());
    return nullptr;
  }
  // A new key needs a new certificate: the stored one names the old key.
  const StoredItem certificate = newKey ? StoredItem::kAbsent : store.LoadCertificate(why);
  if (!newKey && !Settle("certificate", certificate, why, where)) {
    return nullptr;
  }
  if (certificate != StoredItem::kRead && !store.CreateCertificate(why)) {
    Log(LogLevel::Error, "TLS server certificate: cannot make one in %s: %s", where.c_str(),
        why.c_str());
    return nullptr;
  }
  std::unique_ptr<TlsServerIdentity> identity = store.Finish(why);
  if (!identity) {
    Log(LogLevel::Error, "TLS server identity in %s: %s", where.c_str(), why.c_str());
  }
  return identity;
}

StoredItem StoredKeyFromOpenStatus(std::int32_t status) {
  switch (status) {
    case status::kSecEOk:
      return StoredItem::kRead;
    case status::kNteBadKeyset:  // no key of that name
      return StoredItem::kAbsent;
    case status::kNteBadKey:
    case status::kNteBadData:
      return StoredItem::kDamaged;
    default:
      // Access denied, a key store that is not running, or one without
      // persisted keys (Wine's): nothing says the key is bad.
      return StoredItem::kUnreadable;
  }
}

}  // namespace veyra
