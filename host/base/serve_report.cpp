#include "host/base/serve_report.h"

#include <algorithm>
#include <array>
#include <utility>

namespace veyra {
namespace {

constexpr std::string_view kAddressPrefix = "Open this address on the phone: ";
constexpr std::string_view kOtherPrefix = "Or, on another network: ";
// "Or, over a USB cable after adb reverse tcp:P tcp:P: http://localhost:P/#S"
constexpr std::string_view kUsbPrefix = "Or, over a USB cable after adb reverse ";
constexpr std::string_view kUsbLinkMark = ": http";

struct PhaseText {
  ServePhase phase;
  std::string_view text;
};

// Each phase with a name: "<text>: <name>"; without one: "<text>.".
constexpr std::array<PhaseText, 5> kPhases{{
    {ServePhase::kWaiting, "Waiting for the phone"},
    {ServePhase::kAsking, "Asking this PC's user about the phone"},
    {ServePhase::kStreaming, "Showing this PC on the phone"},
    {ServePhase::kRefused, "This PC did not allow the phone"},
    {ServePhase::kLeft, "The phone went away"},
}};

bool HasControl(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
  });
}

bool IsLink(std::string_view text) {
  const bool scheme = text.starts_with("https://") || text.starts_with("http://");
  return scheme && text.size() <= 512 && !HasControl(text) &&
         text.find(' ') == std::string_view::npos;
}

std::optional<ServeLine> Address(ServeLineKind kind, std::string_view link) {
  if (!IsLink(link)) {
    return std::nullopt;
  }
  return ServeLine{kind, ServePhase::kWaiting, std::string(link)};
}

}  // namespace

std::string AddressLine(ServeLineKind kind, const std::string& link) {
  return std::string(kind == ServeLineKind::kOtherAddress ? kOtherPrefix : kAddressPrefix) + link;
}

std::string UsbAddressLine(std::uint16_t port, const std::string& link) {
  const std::string number = std::to_string(port);
  return std::string(kUsbPrefix) + "tcp:" + number + " tcp:" + number + ": " + link;
}

std::string PhaseLine(ServePhase phase, const std::string& phone) {
  for (const PhaseText& entry : kPhases) {
    if (entry.phase == phase) {
      std::string line(entry.text);
      if (phone.empty()) {
        line += '.';
      } else {
        line += ": ";
        line += phone;
      }
      return line;
    }
  }
  return {};
}

std::optional<ServeLine> ParseServeLine(std::string_view line) {
  if (line.starts_with(kAddressPrefix)) {
    return Address(ServeLineKind::kAddress, line.substr(kAddressPrefix.size()));
  }
  if (line.starts_with(kOtherPrefix)) {
    return Address(ServeLineKind::kOtherAddress, line.substr(kOtherPrefix.size()));
  }
  if (line.starts_with(kUsbPrefix)) {
    const std::size_t mark = line.find(kUsbLinkMark);
    if (mark == std::string_view::npos) {
      return std::nullopt;
    }
    return Address(ServeLineKind::kUsbAddress, line.substr(mark + 2));
  }
  if (HasControl(line)) {
    return std::nullopt;
  }
  for (const PhaseText& entry : kPhases) {
    if (!line.starts_with(entry.text)) {
      continue;
    }
    const std::string_view rest = line.substr(entry.text.size());
    if (rest == ".") {
      return ServeLine{ServeLineKind::kPhase, entry.phase, {}};
    }
    if (rest.starts_with(": ") && rest.size() > 2) {
      return ServeLine{ServeLineKind::kPhase, entry.phase, std::string(rest.substr(2))};
    }
  }
  return std::nullopt;
}

}  // namespace veyra
