#include "host/pairing/pairing_store.h"

#include "host/base/hex_text.h"
#include "host/base/log.h"
#include "host/wire/json_value.h"
#include "host/wire/protocol_error.h"

namespace veyra {
namespace {

// Members of |object| whose name is not empty and whose value is a string; a
// later member of the same name overwrites an earlier one.
void LoadTextMap(const JsonValue* object, std::map<std::string, std::string>& into) {
  if (object == nullptr || !object->IsObject()) {
    return;
  }
  for (const auto& [name, value] : object->members()) {
    if (!name.empty() && value.kind() == JsonKind::String) {
      into[name] = value.text();
    }
  }
}

JsonValue TextMapObject(const std::map<std::string, std::string>& map) {
  JsonValue object = JsonValue::MakeObject();
  for (const auto& [name, value] : map) {
    object.Set(name, JsonValue(value));
  }
  return object;
}

// Names a malformed store is kept under, tried in turn; an older kept
// copy is never replaced.
constexpr int kAsideNames = 10;

}  // namespace

std::string StoreFiles::DefaultPath() { return PairingStore::DefaultPath(); }

std::string PairingStore::NewHostId() { return LowerHexBytes(SystemRandomBytes(16)); }

PairingStore::PairingStore(std::string path, StoreFiles& files)
    : files_(files), path_(path.empty() ? files.DefaultPath() : std::move(path)) {
  Load();
}

PairingStore::FileState PairingStore::ReadFile(Contents* into, std::string* why) {
  StoreRead read = files_.ReadAll(path_);
  if (read.outcome == StoreRead::Outcome::kFailed) {
    *why = read.failure;
    return FileState::kUnreadable;
  }
  if (read.outcome == StoreRead::Outcome::kNotFound || read.bytes.empty()) {
    return FileState::kMissing;
  }
  try {
    const JsonValue root = Parse(read.bytes);
    if (root.IsObject()) {
      if (const JsonValue* id = root.Find("hostId"); id && id->kind() == JsonKind::String) {
        into->hostId = id->text();
      }
      into->hostName = root.ReadString("hostName", "");
      LoadTextMap(root.Find("receivers"), into->receivers);
      LoadTextMap(root.Find("pins"), into->pins);
    }
  } catch (const ProtocolError& error) {
    *into = Contents{};
    *why = error.what();
    return FileState::kMalformed;
  }
  return FileState::kRead;
}

bool PairingStore::KeepAside(const std::string& why) {
  for (int n = 1; n <= kAsideNames; ++n) {
    std::string aside = path_ + ".corrupt";
    if (n > 1) {
      aside += '-';
      aside += std::to_string(n);
    }
    if (files_.ReadAll(aside).outcome != StoreRead::Outcome::kNotFound) {
      continue;
    }
    if (files_.Replace(path_, aside) != 0) {
      break;
    }
    // Kept for the user: it may be repaired, and it says what was lost.
    Log(LogLevel::Warn, "pairing store unreadable (%s); kept it as %s and starting fresh",
        why.c_str(), aside.c_str());
    return true;
  }
  return false;
}

void PairingStore::Load() {
  state_ = Contents{};
  state_.hostName = DefaultHostName();
  if (!path_.empty()) {
    Contents contents;
    std::string why;
    switch (ReadFile(&contents, &why)) {
      case FileState::kRead:
        Adopt(std::move(contents));
        break;
      case FileState::kMissing:
        break;
      case FileState::kUnreadable:
        Log(LogLevel::Warn,
            "pairing store unreadable (%s); starting fresh in memory, not saving over %s in this "
            "run",
            why.c_str(), path_.c_str());
        unreadable_ = true;
        break;
      case FileState::kMalformed:
        if (!KeepAside(why)) {
          Log(LogLevel::Warn,
              "pairing store unreadable (%s) and could not be moved aside; starting fresh in "
              "memory, not saving over %s in this run",
              why.c_str(), path_.c_str());
          unreadable_ = true;
        }
        break;
    }
  }
  if (state_.hostId.empty()) {
    state_.hostId = NewHostId();
    Log(LogLevel::Info, "new host identity %s", state_.hostId.c_str());
    if (!unreadable_) {
      Save();
    }
  }
}

void PairingStore::Adopt(Contents contents) {
  if (contents.hostId.empty()) {
    contents.hostId = std::move(state_.hostId);
  }
  if (contents.hostName.empty()) {
    contents.hostName = std::move(state_.hostName);
  }
  state_ = std::move(contents);
}

void PairingStore::Reload() {
  if (path_.empty() || unreadable_) {
    return;
  }
  // What a file that cannot be read or parsed holds is unknown: no device
  // is trusted from it.
  Contents contents;
  std::string why;
  if (const FileState state = ReadFile(&contents, &why);
      state == FileState::kUnreadable || state == FileState::kMalformed) {
    Log(LogLevel::Warn, "pairing store unreadable (%s); trusting no device until it is readable",
        why.c_str());
  }
  for (const Change& change : unsaved_) {
    Apply(change, contents);
  }
  Adopt(std::move(contents));
}

bool PairingStore::Save() {
  if (path_.empty()) {
    unsaved_.clear();
    return true;
  }
  if (unreadable_) {
    Log(LogLevel::Warn, "not saving %s: it could not be read; the change stays in memory",
        path_.c_str());
    return false;
  }
  // Without the lock (the folder cannot be written, or another program
  // holds it) nothing is written, as when the temporary file fails.
  const std::unique_ptr<StoreLock> lock = files_.Lock(path_);
  if (!lock) {
    Log(LogLevel::Warn, "cannot write %s", path_.c_str());
    return false;
  }
  Contents contents;
  std::string why;
  switch (ReadFile(&contents, &why)) {
    case FileState::kRead:
    case FileState::kMissing:
      break;
    case FileState::kUnreadable:
      Log(LogLevel::Warn, "not saving %s: it could not be read (%s); the change stays in memory",
          path_.c_str(), why.c_str());
      return false;
    case FileState::kMalformed:
      if (!KeepAside(why)) {
        Log(LogLevel::Warn, "not saving %s: it is malformed (%s); the change stays in memory",
            path_.c_str(), why.c_str());
        return false;
      }
      break;
  }
  if (contents.hostId.empty()) {
    contents.hostId = state_.hostId;
  }
  if (contents.hostName.empty()) {
    contents.hostName = state_.hostName;
  }
  for (const Change& change : unsaved_) {
    Apply(change, contents);
  }

  JsonValue root = JsonValue::MakeObject();
  root.Set("hostId", JsonValue(contents.hostId));
  root.Set("hostName", JsonValue(contents.hostName));
  root.Set("receivers", TextMapObject(contents.receivers));
  root.Set("pins", TextMapObject(contents.pins));

  // A failed open, write, flush or close must not reach the store file: the
  // old one stays whole and the partial temporary file goes.
  const std::string temporary = path_ + ".tmp";
  if (!files_.WriteAll(temporary, Serialize(root))) {
    Log(LogLevel::Warn, "cannot write %s", path_.c_str());
    files_.Remove(temporary);
    return false;
  }
  if (const std::uint32_t error = files_.Replace(temporary, path_); error != 0) {
    Log(LogLevel::Warn, "cannot replace %s (error %lu)", path_.c_str(),
        static_cast<unsigned long>(error));
    return false;
  }
  unsaved_.clear();
  state_ = std::move(contents);
  return true;
}

void PairingStore::Apply(const Change& change, Contents& to) {
  switch (change.kind) {
    case Change::Kind::kToken:
      to.receivers[change.deviceId] = change.value;
      return;
    case Change::Kind::kPin:
      to.pins[change.deviceId] = change.value;
      return;
    case Change::Kind::kForget:
      to.receivers.erase(change.deviceId);
      to.pins.erase(change.deviceId);
      return;
    case Change::Kind::kForgetAll:
      to.receivers.clear();
      to.pins.clear();
      return;
    case Change::Kind::kHostName:
      to.hostName = change.value;
      return;
  }
}

void PairingStore::Record(Change change) {
  Apply(change, state_);
  unsaved_.push_back(std::move(change));
}

std::string PairingStore::TokenFor(const std::string& deviceId) const {
  const auto it = state_.receivers.find(deviceId);
  return it == state_.receivers.end() ? std::string() : it->second;
}

std::string PairingStore::PinFor(const std::string& deviceId) const {
  const auto it = state_.pins.find(deviceId);
  return it == state_.pins.end() ? std::string() : it->second;
}

void PairingStore::SetToken(const std::string& deviceId, const std::string& token) {
  Record({Change::Kind::kToken, deviceId, token});
}

void PairingStore::SetPin(const std::string& deviceId, const std::string& fingerprint) {
  Record({Change::Kind::kPin, deviceId, fingerprint});
}

bool PairingStore::Forget(const std::string& deviceId) {
  const bool known = state_.receivers.count(deviceId) > 0 || state_.pins.count(deviceId) > 0;
  if (known) {
    Record({Change::Kind::kForget, deviceId, {}});
  }
  return known;
}

void PairingStore::ForgetAll() { Record({Change::Kind::kForgetAll, {}, {}}); }

void PairingStore::SetHostName(const std::string& name) {
  Record({Change::Kind::kHostName, {}, name});
}

}  // namespace veyra
