#pragma once

// What a serving host tells on standard output, one line each: where the
// phone opens the page, and then where the phone stands. People read the
// lines in a console; the tray reads the same lines through a pipe, so both
// sides take them from here.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace veyra {

enum class ServePhase {
  kWaiting,    // no phone yet, or the last one left
  kAsking,     // this PC's user is being asked about the phone
  kStreaming,  // the phone shows this PC
  kRefused,    // this PC's user said no, or nobody answered
  kLeft        // the phone went away
};

enum class ServeLineKind {
  kAddress,       // the address to open on the phone
  kOtherAddress,  // the same page on another of this PC's networks
  kUsbAddress,    // the page over a USB cable, after adb reverse
  kPhase
};

struct ServeLine {
  ServeLineKind kind = ServeLineKind::kPhase;
  ServePhase phase = ServePhase::kWaiting;
  // An address: the whole link, secret included. A phase: the phone's name
  // as the host made it safe to show (PeerName), possibly empty.
  std::string text;
};

std::string AddressLine(ServeLineKind kind, const std::string& link);
// The cable's line names the adb command that makes the port reachable.
std::string UsbAddressLine(std::uint16_t port, const std::string& link);
std::string PhaseLine(ServePhase phase, const std::string& phone);

// One line (without its line end) as the host prints it; nothing for any
// other text. Only what the formats above make is accepted: an address must
// be a http(s) link without spaces or controls, a name without controls.
std::optional<ServeLine> ParseServeLine(std::string_view line);

}  // namespace veyra
