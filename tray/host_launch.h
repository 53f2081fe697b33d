#pragma once

// How the tray runs the host: its command lines and the rule that restarts
// a host which ended on its own.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace veyra {

inline constexpr const wchar_t* kHostProgramName = L"veyra-host.exe";
// Held by every running host; the tray only opens it to look.
inline constexpr const wchar_t* kHostMutexName = L"Local\\Veyra.Host.v1";

// What a streaming host is started with; the settings are read at the
// moment of the start, so menu changes apply from the next one.
struct HostLaunch {
  // Serves the page to the phone's browser instead of connecting out; the
  // address is then not used.
  bool serve = false;
  std::wstring address;    // passed as it is, so it must be a receiver address
  std::uint16_t port = 0;  // 0: the host's default port (to connect to, or to serve on)
  std::int32_t fps = 0;
  std::int32_t bitrateKbps = 0;
  std::wstring dataFolder;  // empty: no log file
};

// Whether text may follow the host's --host: an IPv4 literal (four decimal
// parts without leading zeros, which getaddrinfo's inet_addr-style parsing
// reads as octal), an IPv6 literal (no zone), or a host name (labels of 1-63
// letters, digits and hyphens, neither first nor last a hyphen, 253
// characters in all, the last label not all digits). Anything else, a space
// or a leading '-' above all, could reach the host as an option of its own.
bool IsReceiverAddress(std::wstring_view text);

// "path" --host a [--port n] --source dd --fps n --bitrate n [--log "dir\host.log"],
// serving: "path" --serve [--port n] and the same options after it; nothing
// when a host to connect to is given no receiver address.
std::optional<std::wstring> HostCommandLine(const std::wstring& hostPath, const HostLaunch& launch);

// "path" --forget-all
std::wstring ForgetAllCommandLine(const std::wstring& hostPath);

// The text without leading and trailing spaces and tabs; other white space
// (line breaks, no-break spaces) is kept.
std::wstring TrimSpacesAndTabs(const std::wstring& text);

// A host that ran longer than this has earned a fresh restart.
inline constexpr std::uint64_t kEarlyExitLimitMs = 60000;
// Tests of the program may shorten that limit through this environment
// variable (milliseconds, 1000 to kEarlyExitLimitMs); nothing else reads it.
inline constexpr const wchar_t* kEarlyExitLimitVariable = L"VEYRA_TRAY_EARLY_EXIT_MS";
// Automatic restarts per early exit streak.
inline constexpr std::int32_t kMaxRestarts = 1;
// The host's exit code when the user refused the phone on this PC: starting
// it again would only ask again.
inline constexpr std::uint32_t kHostExitRefusedOnThisPc = 3;
// The host's exit code when this PC's question went unanswered for its 60 s:
// the user may only have been away, so it is asked once more, but an
// unattended PC is not asked over and over.
inline constexpr std::uint32_t kHostExitNoAnswerOnThisPc = 4;
// Automatic restarts after unanswered questions, per connection the user
// made.
inline constexpr std::int32_t kMaxNoAnswerRestarts = 1;

// The restart bookkeeping of the current connection.
struct RestartState {
  bool stopRequested = true;  // true at start, after Exit and Disconnect
  // kEarlyExitLimitMs, but for tests of the program itself.
  std::uint64_t earlyExitLimitMs = kEarlyExitLimitMs;
  std::int32_t retryCount = 0;
  // Restarts after unanswered questions since the user last connected. A
  // question outlasts the early exit limit, so retryCount alone would ask
  // for ever.
  std::int32_t noAnswerCount = 0;
  std::uint64_t lastStartTickMs = 0;
};

enum class HostExitAction {
  kNothing,        // another host holds the mutex: it is the current one
  kScheduleRetry,  // restart after the retry delay
  kTurnOffDisplay  // stopped by the user, nothing to reconnect to, or given up
};

// Decides what a host's end (with |exitCode|, 0 when unknown) means and
// updates the bookkeeping.
// |hasTarget|: there is something to start again, a remembered phone or
// the serving of the page.
HostExitAction OnHostExit(RestartState& state, bool hostRunning, bool hasTarget,
                          std::uint64_t nowMs, std::uint32_t exitCode = 0);

}  // namespace veyra
