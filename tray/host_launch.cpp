#include "tray/host_launch.h"

namespace veyra {

std::wstring HostCommandLine(const std::wstring& hostPath, const HostLaunch& launch) {
  std::wstring line = L"\"" + hostPath + L"\"";
  line += L" --host " + launch.address;
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

HostExitAction OnHostExit(RestartState& state, bool hostRunning, const std::wstring& address,
                          std::uint64_t nowMs, std::uint32_t exitCode) {
  if (hostRunning) {
    // Typically the host started after this one was terminated.
    return HostExitAction::kNothing;
  }
  if (state.stopRequested || address.empty()) {
    return HostExitAction::kTurnOffDisplay;
  }
  if (exitCode == kHostExitRefusedOnThisPc) {
    state.stopRequested = true;
    return HostExitAction::kTurnOffDisplay;
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
