#include "host/app/pairing_commands.h"

#include <set>

namespace veyra {

std::string ListPairings(const PairingStore& store) {
  std::string out = "this PC: " + store.hostName() + " (id " + store.hostId() + ")\n";
  out += "stored at " + store.path() + "\n\n";

  std::set<std::string> devices;
  for (const auto& [id, token] : store.receivers()) devices.insert(id);
  for (const auto& [id, pin] : store.pins()) devices.insert(id);

  if (devices.empty()) {
    return out + "no devices have approved this PC yet; the first connection will ask.\n";
  }
  out += "known to " + std::to_string(devices.size()) + " device(s), " +
         std::to_string(store.receivers().size()) + " approved:\n";
  for (const std::string& id : devices) {
    out += "  " + id + "\n";
    if (store.TokenFor(id).empty()) {
      out += "    no token - pin only; --forget " + id + " to pair afresh\n";
    }
    if (const std::string pin = store.PinFor(id); !pin.empty()) {
      out += "    pinned key " + pin + "\n";
    }
  }
  return out;
}

namespace {

CommandOutcome Unreadable(const PairingStore& store) {
  return {"could not read the pairing store " + store.path() + "; nothing was forgotten.\n", 1};
}

CommandOutcome Unsaved(const PairingStore& store) {
  return {
      "could not save the pairing store " + store.path() + "; the pairings stay as they were.\n",
      1};
}

}  // namespace

CommandOutcome ForgetDevice(PairingStore& store, const std::string& deviceId) {
  if (!store.readable()) {
    return Unreadable(store);
  }
  if (store.Forget(deviceId) && !store.Save()) {
    return Unsaved(store);
  }
  return {"forgotten; that device will ask again on the next connection.\n", 0};
}

CommandOutcome ForgetAllDevices(PairingStore& store) {
  if (!store.readable()) {
    return Unreadable(store);
  }
  if (!store.receivers().empty() || !store.pins().empty()) {
    store.ForgetAll();
    if (!store.Save()) {
      return Unsaved(store);
    }
  }
  return {"all pairings dropped.\n", 0};
}

void RenameHost(PairingStore& store, const std::string& name) {
  if (name != store.hostName()) {
    store.SetHostName(name);
    store.Save();
  }
}

}  // namespace veyra
