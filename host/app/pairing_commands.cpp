#include "host/app/pairing_commands.h"

#include <set>

#include "host/base/peer_text.h"

namespace veyra {

namespace {

// Every device the store knows, in ascending byte order.
std::set<std::string> KnownDevices(const PairingStore& store) {
  std::set<std::string> devices;
  for (const auto& [id, token] : store.receivers()) devices.insert(id);
  for (const auto& [id, pin] : store.pins()) devices.insert(id);
  return devices;
}

}  // namespace

std::string ListPairings(const PairingStore& store) {
  std::string out = "this PC: " + store.hostName() + " (id " + store.hostId() + ")\n";
  out += "stored at " + store.path() + "\n\n";

  // Ids and keys came from the phones: escaped like any peer text.
  const std::set<std::string> devices = KnownDevices(store);
  if (devices.empty()) {
    return out + "no devices have approved this PC yet; the first connection will ask.\n";
  }
  out += "known to " + std::to_string(devices.size()) + " device(s), " +
         std::to_string(store.receivers().size()) + " approved:\n";
  for (const std::string& id : devices) {
    const std::string shown = PeerText(id);
    out += "  " + shown + "\n";
    if (store.TokenFor(id).empty()) {
      out += "    no token - pin only; --forget " + shown + " to pair afresh\n";
    }
    if (const std::string pin = store.PinFor(id); !pin.empty()) {
      out += "    pinned key " + PeerText(pin) + "\n";
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
  if (!store.Forget(deviceId)) {
    std::string text =
        "no device with the id " + PeerText(deviceId) + " is stored; nothing was forgotten.\n";
    const std::set<std::string> devices = KnownDevices(store);
    if (devices.empty()) {
      return {text + "no devices are stored.\n", 1};
    }
    text += "stored ids:\n";
    for (const std::string& id : devices) {
      text += "  " + PeerText(id) + "\n";
    }
    return {text, 1};
  }
  if (!store.Save()) {
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
