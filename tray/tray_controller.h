#pragma once

// The tray's behaviour: start-up, refresh, the menu and its commands, the
// phone search's result, and the host's start, restart and stop. Every
// Windows call sits behind TrayShell, so all of it runs in tests.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tray/browser_path.h"
#include "tray/display_state.h"
#include "tray/host_launch.h"
#include "tray/main_menu.h"
#include "tray/phone_discovery.h"
#include "tray/settings_store.h"

namespace veyra {

enum class MessageKind {
  kInformation,
  kWarning,
  kQuestion  // Yes and No, No being the default
};

// What the tray asks of the platform. Everything here runs on the UI
// thread; StartPhoneSearch and StartHost leave a worker behind that reports
// back through a window message.
class TrayShell {
 public:
  virtual ~TrayShell() = default;

  // Hosts.
  virtual bool IsHostRunning() = 0;
  virtual std::wstring HostPath() = 0;
  virtual std::wstring DataFolder() = 0;
  // Starts the host hidden and watches it: each line it prints comes back
  // through OnHostOutput, its end through OnHostExited, and lines of hosts
  // started before it are no longer reported. False when the program is
  // missing or did not start.
  virtual bool StartHost(const std::wstring& path, const std::wstring& commandLine) = 0;
  // Runs the host hidden to its end: its exit code, or nothing when it did
  // not start or still ran after the limit (it is then left running).
  virtual std::optional<std::uint32_t> RunHost(const std::wstring& commandLine,
                                               std::uint32_t limitMs) = 0;
  virtual void StopAllHosts() = 0;
  virtual std::uint64_t TickMs() = 0;

  // The notification icon. LoadIcon replaces the picture held for the next
  // AddIcon; ModifyIcon shows a new picture and frees the old one.
  virtual void LoadIcon(bool attached) = 0;
  virtual void AddIcon(const std::wstring& tooltip) = 0;
  virtual void ModifyIcon(bool attached, const std::wstring& tooltip) = 0;
  virtual void RemoveIcon() = 0;

  // The window and its dialogs. TrackMenu returns once the menu is closed;
  // the choice arrives later as a command.
  virtual void SetRetryTimer() = 0;
  virtual void KillRetryTimer() = 0;
  virtual void TrackMenu(const std::vector<MenuItem>& items) = 0;
  // The typed text after Connect; nothing after Cancel.
  virtual std::optional<std::wstring> AskAddress(const std::wstring& current) = 0;
  // True when a question was answered Yes. Boxes without an owner stay
  // out of the way of the (hidden) window.
  virtual bool ShowMessage(const std::wstring& text, MessageKind kind, bool owned) = 0;
  virtual bool StartPhoneSearch() = 0;
  virtual void CloseWindow() = 0;

  // The connection guide and sign-in startup.
  // True once the page was prepared; |browserPath| opens the phone's
  // browser path of the local page.
  virtual bool OpenGuide(bool automatic, bool browserPath) = 0;
  virtual void WriteStatusScript(const DisplayState& display, std::size_t phonesFound,
                                 const BrowserPath& browser) = 0;
  virtual bool IsStartupEnabled() = 0;
  virtual bool SetStartupEnabled(bool enable) = 0;
};

// One per process; all methods run on the UI thread.
class TrayController {
 public:
  TrayController(TrayShell& shell, SettingsStore& settings, ExtraDisplay& display, bool korean);

  // After the window exists: takes a left-over extra display off the
  // desktop, shows the icon, and opens the guide on a first start.
  void Start();
  // Once only; later calls do nothing.
  void Shutdown();
  void Refresh();
  void OnTaskbarCreated();

  std::wstring TooltipText();
  std::vector<MenuItem> MainMenu();
  void ShowMainMenu();
  void OnCommand(std::uint16_t command);
  void OnPhonesFound(std::vector<FoundPhone> phones);
  // |exitCode|: the host's, 0 when it could not be read.
  void OnHostExited(std::uint32_t exitCode = 0);
  // One line the current host printed (UTF-8, without its line end).
  void OnHostOutput(std::string_view line);
  void OnRetryTimer();

  // Refuses, with a warning and before anything is stored or stopped, an
  // address the host may not be given.
  void ConnectTo(const std::wstring& name, const std::wstring& address, std::uint16_t port);
  // Starts a host that serves the page to the phone's browser, in place of
  // any other, and opens the guide on its code; while one serves, only
  // opens the guide again.
  void ServeBrowsers();
  void ForgetAllPhones();
  void StartPhoneSearch();
  void EnterAddress();

  const DisplayState& display() const { return display_; }
  const RestartState& restart() const { return restart_; }
  void SetEarlyExitLimit(std::uint64_t limitMs) { restart_.earlyExitLimitMs = limitMs; }
  const std::vector<FoundPhone>& phones() const { return phones_; }
  const BrowserPath& browser() const { return browser_; }
  bool searching() const { return searching_; }
  std::uint16_t port() const { return port_; }

 private:
  struct HostStart {
    std::wstring path;
    std::wstring commandLine;
  };

  // The host and its command line with the presets of this moment: serving
  // the phone's browser, or connecting to the address (nothing when it is
  // no receiver address).
  std::optional<HostStart> PrepareHost(HostLaunch launch);
  static HostLaunch AppLaunch(const std::wstring& address, std::uint16_t port);
  HostLaunch ServingLaunch();
  // A new connection's bookkeeping, every other host stopped, and |start|
  // started; on failure the extra display is turned off and the user told.
  bool StartConnection(const std::optional<HostStart>& start, std::uint16_t port);
  // Starts the host a retry or a new connection asks for; false when it did
  // not start.
  bool Launch(const std::optional<HostStart>& start);
  void OpenBrowserGuide();
  bool MayConnectUnasked(const FoundPhone& phone);
  void Disconnect();
  void ToggleStartup();

  TrayShell& shell_;
  SettingsStore& settings_;
  ExtraDisplay& extraDisplay_;
  const bool korean_;

  DisplayState display_;
  bool hostWasRunning_ = false;
  bool shutDown_ = false;
  std::vector<FoundPhone> phones_;
  bool searching_ = false;
  bool guideOpened_ = false;
  // The current connection is the phone's browser's, through a serving host.
  bool serving_ = false;
  BrowserPath browser_;
  std::wstring tooltip_;  // as last shown
  RestartState restart_;
  std::uint16_t port_ = 0;
};

// The clear-approvals run may take this long before it counts as failed.
inline constexpr std::uint32_t kForgetAllLimitMs = 5000;

}  // namespace veyra
