#include "tray/host_launch.h"

#include <algorithm>

namespace veyra {
namespace {

// ASCII only: the C library's classification follows the locale.
constexpr bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }
constexpr bool IsLetter(wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); }
constexpr bool IsHexDigit(wchar_t c) {
  return IsDigit(c) || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
}
constexpr bool IsLabelCharacter(wchar_t c) { return IsLetter(c) || IsDigit(c) || c == L'-'; }

bool AllOf(std::wstring_view text, bool (*test)(wchar_t)) {
  return std::all_of(text.begin(), text.end(), test);
}

// Calls |accept| with each piece of |text| between separators, empty pieces
// included, and stops at the first it refuses; true when none was refused.
template <typename Accept>
bool EveryPart(std::wstring_view text, wchar_t separator, Accept accept) {
  for (;;) {
    const std::size_t at = text.find(separator);
    if (!accept(text.substr(0, at))) {
      return false;
    }
    if (at == std::wstring_view::npos) {
      return true;
    }
    text.remove_prefix(at + 1);
  }
}

bool IsOctet(std::wstring_view number) {
  if (number.empty() || number.size() > 3 || !AllOf(number, IsDigit) ||
      (number.size() > 1 && number.front() == L'0')) {
    return false;
  }
  int value = 0;
  for (const wchar_t c : number) {
    value = value * 10 + (c - L'0');
  }
  return value <= 255;
}

bool IsIpv4Literal(std::wstring_view text) {
  int parts = 0;
  return EveryPart(text, L'.',
                   [&](std::wstring_view number) { return ++parts <= 4 && IsOctet(number); }) &&
         parts == 4;
}

// The 16-bit groups written on one side of an IPv6 literal's "::" (or in the
// whole literal); -1 when malformed. The side that ends the literal may end
// in an IPv4 literal, which stands for two groups.
int Ipv6Groups(std::wstring_view side, bool endsTheLiteral) {
  if (side.empty()) {
    return 0;
  }
  int groups = 0;
  if (endsTheLiteral && side.find(L'.') != std::wstring_view::npos) {
    const std::size_t colon = side.rfind(L':');
    if (!IsIpv4Literal(side.substr(colon == std::wstring_view::npos ? 0 : colon + 1))) {
      return -1;
    }
    if (colon == std::wstring_view::npos) {
      return 2;
    }
    groups = 2;
    side = side.substr(0, colon);
  }
  const bool wellFormed = EveryPart(side, L':', [&](std::wstring_view group) {
    ++groups;
    return !group.empty() && group.size() <= 4 && AllOf(group, IsHexDigit);
  });
  return wellFormed ? groups : -1;
}

bool IsIpv6Literal(std::wstring_view text) {
  const std::size_t gap = text.find(L"::");
  if (gap == std::wstring_view::npos) {
    return Ipv6Groups(text, true) == 8;
  }
  if (text.find(L"::", gap + 1) != std::wstring_view::npos) {
    return false;
  }
  const int before = Ipv6Groups(text.substr(0, gap), false);
  const int after = Ipv6Groups(text.substr(gap + 2), true);
  // The gap stands for at least one group.
  return before >= 0 && after >= 0 && before + after <= 7;
}

bool IsHostName(std::wstring_view text) {
  constexpr std::size_t kMaxName = 253;
  constexpr std::size_t kMaxLabel = 63;
  std::wstring_view last;
  const bool labelsValid =
      text.size() <= kMaxName && EveryPart(text, L'.', [&](std::wstring_view label) {
        last = label;
        return !label.empty() && label.size() <= kMaxLabel && label.front() != L'-' &&
               label.back() != L'-' && AllOf(label, IsLabelCharacter);
      });
  // Dotted decimals are an IPv4 literal or nothing: no guess at what
  // "192.168.1" or "10.0.0.300" was meant to be.
  return labelsValid && !AllOf(last, IsDigit);
}

}  // namespace

bool IsReceiverAddress(std::wstring_view text) {
  if (text.find(L':') != std::wstring_view::npos) {
    return IsIpv6Literal(text);
  }
  return IsIpv4Literal(text) || IsHostName(text);
}

std::optional<std::wstring> HostCommandLine(const std::wstring& hostPath,
                                            const HostLaunch& launch) {
  if (!launch.serve && !IsReceiverAddress(launch.address)) {
    return std::nullopt;
  }
  std::wstring line = L"\"" + hostPath + L"\"";
  line += launch.serve ? std::wstring(L" --serve") : L" --host " + launch.address;
  if (launch.port != 0) {
    line += L" --port " + std::to_wstring(launch.port);
  }
  line += L" --source dd";
  line += L" --fps " + std::to_wstring(launch.fps);
  line += L" --bitrate " + std::to_wstring(launch.bitrateKbps);
  if (!launch.dataFolder.empty()) {
    line += L" --log \"" + launch.dataFolder + L"\\host.log\"";
  }
  return line;
}

std::wstring ForgetAllCommandLine(const std::wstring& hostPath) {
  return L"\"" + hostPath + L"\" --forget-all";
}

std::wstring TrimSpacesAndTabs(const std::wstring& text) {
  constexpr const wchar_t* kBlanks = L" \t";
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::wstring::npos) {
    return {};
  }
  const std::size_t last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

HostExitAction OnHostExit(RestartState& state, bool hostRunning, bool hasTarget,
                          std::uint64_t nowMs, std::uint32_t exitCode) {
  if (hostRunning) {
    // Typically the host started after this one was terminated.
    return HostExitAction::kNothing;
  }
  if (state.stopRequested || !hasTarget) {
    return HostExitAction::kTurnOffDisplay;
  }
  if (exitCode == kHostExitRefusedOnThisPc) {
    state.stopRequested = true;
    return HostExitAction::kTurnOffDisplay;
  }
  if (exitCode == kHostExitNoAnswerOnThisPc) {
    // Asked again after the retry delay, once per connection the user made:
    // a second silence means nobody is there. Other ends in between do not
    // reset the count, or a receiver that drops the link after a long run
    // could keep an unattended PC asking.
    if (state.noAnswerCount >= kMaxNoAnswerRestarts) {
      state.stopRequested = true;
      return HostExitAction::kTurnOffDisplay;
    }
    ++state.noAnswerCount;
    return HostExitAction::kScheduleRetry;
  }
  if (nowMs - state.lastStartTickMs > state.earlyExitLimitMs) {
    state.retryCount = 0;
  }
  if (state.retryCount >= kMaxRestarts) {
    return HostExitAction::kTurnOffDisplay;
  }
  ++state.retryCount;
  return HostExitAction::kScheduleRetry;
}

}  // namespace veyra
