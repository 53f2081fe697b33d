#pragma once

// The phone's-browser path as the tray follows it: where the serving host
// offers its page, and where the phone stands, from the lines the host
// prints.

#include <string>
#include <string_view>
#include <vector>

namespace veyra {

enum class BrowserPhase {
  kOff,        // no serving host: the path is not in use
  kStarting,   // started, no address printed yet
  kWaiting,    // the address is offered, no phone yet
  kAsking,     // this PC's user is being asked about a phone
  kStreaming,  // a phone shows this PC
  kRefused,    // the last phone was not allowed; waiting for the next
  kLost,       // the last phone went away; waiting for the next
  kStopped     // the serving host ended and is not started again
};

struct BrowserPath {
  BrowserPhase phase = BrowserPhase::kOff;
  std::wstring link;                 // to open or scan, secret included
  std::wstring usb;                  // the same over a USB cable
  std::vector<std::wstring> others;  // the link on this PC's other networks
  std::wstring phone;                // the phone's name as the host showed it

  bool operator==(const BrowserPath&) const = default;
};

// At most this many other networks are kept.
inline constexpr std::size_t kMaxOtherLinks = 8;

// Applies one line of the serving host's standard output (UTF-8, without
// its line end); false when it said nothing the tray follows. A refused or
// lost phone stays the news while the host waits for the next one.
bool ApplyHostLine(BrowserPath& path, std::string_view line);

// "off", "starting", "waiting", "asking", "streaming", "refused", "lost",
// "stopped": the words the guide page reads.
const char* BrowserPhaseWord(BrowserPhase phase);

}  // namespace veyra
