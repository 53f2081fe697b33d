#pragma once

#include <cstdint>

namespace veyra {

// Identifiers of the tray's menu commands (the low word of WM_COMMAND's
// wParam). Their values are fixed: a test helper and the phone picker's
// arithmetic rely on them.
inline constexpr std::uint16_t kCmdExit = 100;
inline constexpr std::uint16_t kCmdStartAtSignIn = 103;
inline constexpr std::uint16_t kCmdConnect = 104;
inline constexpr std::uint16_t kCmdDisconnect = 105;
inline constexpr std::uint16_t kCmdEnterAddress = 106;
inline constexpr std::uint16_t kCmdConnectBrowser = 107;
inline constexpr std::uint16_t kCmdGuide = 109;
inline constexpr std::uint16_t kCmdForgetPhones = 111;
inline constexpr std::uint16_t kCmdBitrate6000 = 200;
inline constexpr std::uint16_t kCmdBitrate12000 = 201;
inline constexpr std::uint16_t kCmdBitrate20000 = 202;
inline constexpr std::uint16_t kCmdFps60 = 210;
inline constexpr std::uint16_t kCmdFps30 = 211;
// Entry i of the phone picker has kCmdPhoneFirst + i.
inline constexpr std::uint16_t kCmdPhoneFirst = 500;

// Private window messages (WM_APP + n) posted to the tray's window.
inline constexpr std::uint32_t kMsgTrayIcon = 0x8001;
inline constexpr std::uint32_t kMsgPhonesFound = 0x8002;
inline constexpr std::uint32_t kMsgHostExited = 0x8004;
// A host printed lines; they wait in the window's hand-over.
inline constexpr std::uint32_t kMsgHostOutput = 0x8005;

// Timers of the tray's window.
inline constexpr std::uintptr_t kTimerRefresh = 1;
inline constexpr std::uintptr_t kTimerRetry = 2;
inline constexpr std::uint32_t kRefreshPeriodMs = 2000;
inline constexpr std::uint32_t kRetryDelayMs = 2000;

}  // namespace veyra
