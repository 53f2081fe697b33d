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

}  // namespace

std::string StoreFiles::DefaultPath() { return PairingStore::DefaultPath(); }

std::string PairingStore::NewHostId() { return LowerHexBytes(SystemRandomBytes(16)); }

PairingStore::PairingStore(std::string path, StoreFiles& files)
    : files_(files), path_(path.empty() ? files.DefaultPath() : std::move(path)) {
  Load();
}

void PairingStore::Load() {
  hostName_ = DefaultHostName();
  hostId_.clear();
  receivers_.clear();
  pins_.clear();

  std::string text;
  if (!path_.empty()) {
    StoreRead read = files_.ReadAll(path_);
    if (read.outcome == StoreRead::Outcome::kFailed) {
      Log(LogLevel::Warn,
          "pairing store unreadable (%s); starting fresh in memory, not saving over %s in this run",
          read.failure.c_str(), path_.c_str());
      unreadable_ = true;
    } else {
      text = std::move(read.bytes);
    }
  }
  if (!text.empty()) {
    try {
      const JsonValue root = Parse(text);
      if (root.IsObject()) {
        if (const JsonValue* id = root.Find("hostId"); id && id->kind() == JsonKind::String) {
          hostId_ = id->text();
        }
        const std::string name = root.ReadString("hostName", "");
        if (!name.empty()) {
          hostName_ = name;
        }
        LoadTextMap(root.Find("receivers"), receivers_);
        LoadTextMap(root.Find("pins"), pins_);
      }
    } catch (const ProtocolError& error) {
      Log(LogLevel::Warn, "pairing store unreadable (%s); starting fresh", error.what());
      hostId_.clear();
      receivers_.clear();
      pins_.clear();
    }
  }
  if (hostId_.empty()) {
    hostId_ = NewHostId();
    Log(LogLevel::Info, "new host identity %s", hostId_.c_str());
    if (!unreadable_) {
      Save();
    }
  }
}

bool PairingStore::Save() {
  if (path_.empty()) {
    return true;
  }
  if (unreadable_) {
    Log(LogLevel::Warn, "not saving %s: it could not be read; the change stays in memory",
        path_.c_str());
    return false;
  }
  JsonValue root = JsonValue::MakeObject();
  root.Set("hostId", JsonValue(hostId_));
  root.Set("hostName", JsonValue(hostName_));
  root.Set("receivers", TextMapObject(receivers_));
  root.Set("pins", TextMapObject(pins_));

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
  return true;
}

std::string PairingStore::TokenFor(const std::string& deviceId) const {
  const auto it = receivers_.find(deviceId);
  return it == receivers_.end() ? std::string() : it->second;
}

std::string PairingStore::PinFor(const std::string& deviceId) const {
  const auto it = pins_.find(deviceId);
  return it == pins_.end() ? std::string() : it->second;
}

void PairingStore::SetToken(const std::string& deviceId, const std::string& token) {
  receivers_[deviceId] = token;
}

void PairingStore::SetPin(const std::string& deviceId, const std::string& fingerprint) {
  pins_[deviceId] = fingerprint;
}

bool PairingStore::Forget(const std::string& deviceId) {
  const bool hadToken = receivers_.erase(deviceId) > 0;
  const bool hadPin = pins_.erase(deviceId) > 0;
  return hadToken || hadPin;
}

void PairingStore::ForgetAll() {
  receivers_.clear();
  pins_.clear();
}

void PairingStore::SetHostName(const std::string& name) { hostName_ = name; }

}  // namespace veyra
