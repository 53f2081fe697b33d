#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "host/pairing/store_files.h"

namespace veyra {

// The host's lasting identity and the receivers that approved it, kept whole
// in one JSON file ("pairing.json" under the user's local application data
// folder, in a folder Veyra) and rewritten whole by Save after each change.
// Device ids, tokens and key fingerprints are opaque text here.
//
// Several programs hold the file at once (a running host, a --forget, the
// tray's "forget"): Save re-reads the file under the store's file lock and
// applies only this instance's own changes to what it finds, so a device
// another instance forgot stays forgotten; Reload takes in what others
// saved.
//
// Takes no thread lock: one instance is used by one thread at a time (the
// command line's on the main thread before the session exists, the
// session's during negotiation).
class PairingStore {
 public:
  // An empty |path| means |files|' DefaultPath(); when that is empty too,
  // the store lives in memory only. Reads the file; a missing or empty one
  // gives a new identity, saved at once; a malformed one is moved aside
  // (kept for the user as "pairing.json.corrupt") and then treated as
  // missing. A file that exists but cannot be read gives a new identity in
  // memory only: nothing is saved over it by this instance. Throws
  // std::runtime_error when a new identity is needed and the random source
  // fails.
  explicit PairingStore(std::string path, StoreFiles& files = PlatformStoreFiles());

  // "pairing.json" in the folder Veyra under the local application data
  // folder, which it creates; empty when that folder cannot be found.
  static std::string DefaultPath();
  // The computer's name, or "Windows PC".
  static std::string DefaultHostName();
  // 16 random bytes as 32 lowercase hexadecimal digits.
  static std::string NewHostId();

  // Under the file lock: re-reads the file, applies this instance's changes
  // since its last save to it, and writes the whole through a temporary file
  // that then replaces the store file, so the store file is never left
  // partly written. Memory then holds what the file holds. Does nothing but
  // log when the file could not be read at creation. True when the file now
  // holds the store (or the store lives in memory only); false keeps the
  // changes in memory, to be saved by the next Save.
  bool Save();

  // Takes in what the file holds now, this instance's unsaved changes on
  // top. A missing file holds no pairings; one that cannot be read or
  // parsed makes this instance trust no device until it can.
  void Reload();

  std::string TokenFor(const std::string& deviceId) const;
  std::string PinFor(const std::string& deviceId) const;
  void SetToken(const std::string& deviceId, const std::string& token);
  void SetPin(const std::string& deviceId, const std::string& fingerprint);
  // Removes the device from both maps; true when it stood in either.
  bool Forget(const std::string& deviceId);
  void ForgetAll();
  void SetHostName(const std::string& name);

  const std::string& path() const { return path_; }
  // False when the file exists but could not be read: what it holds is
  // unknown and this instance never saves over it.
  bool readable() const { return !unreadable_; }
  const std::string& hostId() const { return state_.hostId; }
  const std::string& hostName() const { return state_.hostName; }
  // Device id to pairing token: the devices that approved this PC.
  const std::map<std::string, std::string>& receivers() const { return state_.receivers; }
  // Device id to the pinned TLS key fingerprint.
  const std::map<std::string, std::string>& pins() const { return state_.pins; }

 private:
  // What the file holds, and what this instance holds.
  struct Contents {
    std::string hostId;
    std::string hostName;
    std::map<std::string, std::string> receivers;
    std::map<std::string, std::string> pins;
  };
  // One change made through this instance, replayed onto what the file
  // holds when saving.
  struct Change {
    enum class Kind { kToken, kPin, kForget, kForgetAll, kHostName } kind;
    std::string deviceId;
    std::string value;
  };
  enum class FileState { kRead, kMissing, kUnreadable, kMalformed };

  void Load();
  // Reads and parses the file into |into|; |why| says what went wrong.
  FileState ReadFile(Contents* into, std::string* why);
  // Moves a malformed file aside, kept for the user, and says so; false
  // when it could not be moved.
  bool KeepAside(const std::string& why);
  static void Apply(const Change& change, Contents& to);
  void Record(Change change);
  // Takes |contents| as this instance's state; an empty id or name keeps
  // the one held.
  void Adopt(Contents contents);

  StoreFiles& files_;
  std::string path_;
  Contents state_;
  // The file exists but could not be read: what it holds is unknown, so
  // writing the memory's state over it could lose every pairing.
  bool unreadable_ = false;
  std::vector<Change> unsaved_;
};

// 16 bytes from the system's preferred random source; throws
// std::runtime_error naming the failing call.
std::vector<std::uint8_t> SystemRandomBytes(std::size_t count);

}  // namespace veyra
