#pragma once

// How the server identity is loaded or made, apart from how each platform
// keeps a key and a certificate: LoadOrCreateTlsServerIdentity(folder) runs
// the one decision below over the platform's store.

#include <cstdint>
#include <memory>
#include <string>

#include "host/net/tls_server_identity.h"

namespace veyra {

// What became of looking for a stored key or certificate.
enum class StoredItem {
  kRead,        // there and usable
  kAbsent,      // never made: made now
  kDamaged,     // there but unusable: replaced, with a warning
  kUnreadable,  // could not be read: left as it is, and no identity
};

// One platform's way of keeping the identity in one folder. Each call sets
// |why| when it gives anything but kRead or true.
class TlsIdentityStore {
 public:
  virtual ~TlsIdentityStore() = default;

  // The folder, for log lines.
  virtual std::string Where() const = 0;
  virtual StoredItem LoadKey(std::string& why) = 0;
  // Makes a new key and keeps it, replacing any stored one.
  virtual bool CreateKey(std::string& why) = 0;
  // kDamaged also for a certificate that is not the key's.
  virtual StoredItem LoadCertificate(std::string& why) = 0;
  // Makes a new self-signed certificate for the key and keeps it.
  virtual bool CreateCertificate(std::string& why) = 0;
  // The identity of the key and certificate loaded or made.
  virtual std::unique_ptr<TlsServerIdentity> Finish(std::string& why) = 0;
};

// Loads the stored key and certificate, making what is missing or damaged.
std::unique_ptr<TlsServerIdentity> LoadOrCreateTlsServerIdentity(TlsIdentityStore& store);

// What NCryptOpenKey's status says of the key Windows' key store holds
// under the identity's name.
StoredItem StoredKeyFromOpenStatus(std::int32_t status);

}  // namespace veyra
