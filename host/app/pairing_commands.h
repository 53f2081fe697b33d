#pragma once

#include <string>

#include "host/pairing/pairing_store.h"

namespace veyra {

// The pairing commands of the command line. Each works on a store created
// for it and returns the text for standard output; the store reports its
// own failures in the log.

// "--pairings": this PC's identity and every device the store knows, in
// ascending byte order of the device id.
std::string ListPairings(const PairingStore& store);

// What a command prints on standard output and the exit code it ends with.
struct CommandOutcome {
  std::string text;
  int exitCode = 0;
};

// "--forget <deviceId>": saves only when something was removed. Exit code 1,
// and nothing claimed, when the store could not be read or saved, or holds
// no such device (the stored ids are listed then).
CommandOutcome ForgetDevice(PairingStore& store, const std::string& deviceId);

// "--forget-all": saves only when there was something to drop; fails as
// ForgetDevice does.
CommandOutcome ForgetAllDevices(PairingStore& store);

// "--name <text>": saves only when the name changes.
void RenameHost(PairingStore& store, const std::string& name);

}  // namespace veyra
