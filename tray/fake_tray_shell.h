#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "tray/tray_controller.h"

namespace veyra {

// The platform as a test describes it. Records what the tray asked for, in
// order, in `calls`, plus the details of each kind of request.
class FakeTrayShell final : public TrayShell {
 public:
  struct Message {
    std::wstring text;
    MessageKind kind;
    bool owned;
  };

  bool IsHostRunning() override { return hostRunning; }
  std::wstring HostPath() override { return hostPath; }
  std::wstring DataFolder() override { return dataFolder; }

  bool StartHost(const std::wstring& path, const std::wstring& commandLine) override {
    calls.push_back(L"StartHost");
    startedPaths.push_back(path);
    started.push_back(commandLine);
    if (startResult && hostRunsWhenStarted) {
      hostRunning = true;
    }
    return startResult;
  }

  std::optional<std::uint32_t> RunHost(const std::wstring& commandLine,
                                       std::uint32_t limitMs) override {
    calls.push_back(L"RunHost");
    ran.push_back(commandLine);
    runLimitMs = limitMs;
    return runResult;
  }

  void StopAllHosts() override {
    calls.push_back(L"StopAllHosts");
    hostRunning = false;
  }

  std::uint64_t TickMs() override { return nowMs; }

  void LoadIcon(bool attached) override {
    calls.push_back(L"LoadIcon");
    iconAttached = attached;
  }
  void AddIcon(const std::wstring& tooltip) override {
    calls.push_back(L"AddIcon");
    tooltips.push_back(tooltip);
  }
  void ModifyIcon(bool attached, const std::wstring& tooltip) override {
    calls.push_back(L"ModifyIcon");
    iconAttached = attached;
    tooltips.push_back(tooltip);
  }
  void RemoveIcon() override { calls.push_back(L"RemoveIcon"); }

  void SetRetryTimer() override {
    calls.push_back(L"SetRetryTimer");
    retryTimerSet = true;
  }
  void KillRetryTimer() override {
    calls.push_back(L"KillRetryTimer");
    retryTimerSet = false;
  }

  void TrackMenu(const std::vector<MenuItem>& items) override {
    calls.push_back(L"TrackMenu");
    menus.push_back(items);
  }

  std::optional<std::wstring> AskAddress(const std::wstring& current) override {
    calls.push_back(L"AskAddress");
    dialogInitialText = current;
    return typedAddress;
  }

  bool ShowMessage(const std::wstring& text, MessageKind kind, bool owned) override {
    calls.push_back(L"ShowMessage");
    messages.push_back({text, kind, owned});
    return answerYes;
  }

  bool StartPhoneSearch() override {
    calls.push_back(L"StartPhoneSearch");
    return searchStarts;
  }

  void CloseWindow() override { calls.push_back(L"CloseWindow"); }

  bool OpenGuide(bool automatic, bool browserPath) override {
    calls.push_back(std::wstring(automatic ? L"OpenGuide(auto" : L"OpenGuide(manual") +
                    (browserPath ? L",browser)" : L")"));
    return guidePrepared;
  }
  void WriteStatusScript(const DisplayState& /*display*/, std::size_t phonesFound,
                         const BrowserPath& browser) override {
    calls.push_back(L"WriteStatusScript");
    statusPhones = phonesFound;
    statusBrowser = browser;
  }
  bool IsStartupEnabled() override { return startupEnabled; }
  bool SetStartupEnabled(bool enable) override {
    calls.push_back(enable ? L"EnableStartup" : L"DisableStartup");
    if (startupChangeWorks) {
      startupEnabled = enable;
    }
    return startupChangeWorks;
  }

  std::size_t Count(const std::wstring& call) const {
    std::size_t n = 0;
    for (const auto& c : calls) {
      n += c == call ? 1 : 0;
    }
    return n;
  }

  // Scripted world.
  bool hostRunning = false;
  bool hostRunsWhenStarted = true;
  bool startResult = true;
  std::optional<std::uint32_t> runResult = 0U;
  std::wstring hostPath = L"C:\\Program Files\\Veyra\\veyra-host.exe";
  std::wstring dataFolder = L"C:\\Users\\ana\\AppData\\Local\\Brenvik\\Veyra";
  std::uint64_t nowMs = 1000000;
  std::optional<std::wstring> typedAddress;
  bool answerYes = false;
  bool searchStarts = true;
  bool guidePrepared = true;
  bool startupEnabled = false;
  bool startupChangeWorks = true;

  // Recorded.
  std::vector<std::wstring> calls;
  std::vector<std::wstring> started;
  std::vector<std::wstring> startedPaths;
  std::vector<std::wstring> ran;
  std::uint32_t runLimitMs = 0;
  std::vector<std::wstring> tooltips;
  std::vector<std::vector<MenuItem>> menus;
  std::vector<Message> messages;
  std::wstring dialogInitialText;
  BrowserPath statusBrowser;
  std::size_t statusPhones = 0;
  bool iconAttached = false;
  bool retryTimerSet = false;
};

}  // namespace veyra
