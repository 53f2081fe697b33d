#pragma once

#include <windows.h>

#include <memory>

#include "tray/display_system_win.h"
#include "tray/host_output.h"
#include "tray/phone_hand_over.h"
#include "tray/registry_settings_win.h"
#include "tray/tray_controller.h"
#include "tray/tray_icon_win.h"

namespace veyra {

// The hidden window "VeyraTrayWindow" that receives all of the tray's
// events, and the Windows side of everything the tray does. UI thread only.
class TrayWindow final : public TrayShell {
 public:
  explicit TrayWindow(HINSTANCE instance);
  ~TrayWindow() override = default;
  TrayWindow(const TrayWindow&) = delete;
  TrayWindow& operator=(const TrayWindow&) = delete;

  // Creates the window, shows the icon and starts the refresh timer; false
  // only when the window cannot be created.
  bool Start();
  // Dispatches messages until the window has been destroyed.
  void RunMessageLoop();
  void Shutdown() { controller_.Shutdown(); }

  // TrayShell.
  bool IsHostRunning() override;
  std::wstring HostPath() override;
  std::wstring DataFolder() override;
  bool StartHost(const std::wstring& path, const std::wstring& commandLine) override;
  std::optional<std::uint32_t> RunHost(const std::wstring& commandLine,
                                       std::uint32_t limitMs) override;
  void StopAllHosts() override;
  std::uint64_t TickMs() override;
  void LoadIcon(bool attached) override;
  void AddIcon(const std::wstring& tooltip) override;
  void ModifyIcon(bool attached, const std::wstring& tooltip) override;
  void RemoveIcon() override;
  void SetRetryTimer() override;
  void KillRetryTimer() override;
  void TrackMenu(const std::vector<MenuItem>& items) override;
  std::optional<std::wstring> AskAddress(const std::wstring& current) override;
  bool ShowMessage(const std::wstring& text, MessageKind kind, bool owned) override;
  bool StartPhoneSearch() override;
  void CloseWindow() override;
  bool OpenGuide(bool automatic, bool browserPath) override;
  void WriteStatusScript(const DisplayState& display, std::size_t phonesFound,
                         const BrowserPath& browser) override;
  bool IsStartupEnabled() override;
  bool SetStartupEnabled(bool enable) override;

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  // Messages from WM_NCCREATE on; window_ is set only once creation returns.
  LRESULT Handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  HINSTANCE instance_;
  HWND window_ = nullptr;
  ScopedIcon icon_;  // the picture shown in the notification area
  UINT taskbarCreatedMessage_ = 0;
  RegistrySettingsStore settings_;
  WinDisplaySystem displays_;
  ExtraDisplay extraDisplay_;
  TrayController controller_;
  std::shared_ptr<PhoneHandOver> handOver_ = std::make_shared<PhoneHandOver>();
  std::shared_ptr<HostOutput> hostOutput_ = std::make_shared<HostOutput>();
  // Hosts started so far; the last one's lines are the ones that count.
  std::uint64_t hostStarts_ = 0;
};

}  // namespace veyra
