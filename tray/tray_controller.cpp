#include "tray/tray_controller.h"

#include <utility>

#include "tray/localized_text.h"
#include "tray/tooltip_text.h"
#include "tray/tray_commands.h"

namespace veyra {
namespace {

// The fields whose change shows on the icon; the device's names do not.
bool VisiblyDiffers(const DisplayState& a, const DisplayState& b) {
  return a.present != b.present || a.attached != b.attached || a.width != b.width ||
         a.height != b.height || a.left != b.left || a.top != b.top;
}

}  // namespace

TrayController::TrayController(TrayShell& shell, SettingsStore& settings, ExtraDisplay& display,
                               bool korean)
    : shell_(shell), settings_(settings), extraDisplay_(display), korean_(korean) {}

void TrayController::Start() {
  display_ = extraDisplay_.Probe();
  hostWasRunning_ = shell_.IsHostRunning();
  if (display_.present && display_.attached && !hostWasRunning_) {
    // A previous run may have left the extra display on the desktop with
    // nothing streaming to it.
    extraDisplay_.SavePlacement(display_);
    extraDisplay_.Detach(display_);
    display_ = extraDisplay_.Probe();
  }
  shell_.LoadIcon(display_.attached);
  tooltip_ = TooltipText();
  shell_.AddIcon(tooltip_);
  if (!GuideAlreadyShown(settings_.Read(kSetupGuideShownSetting))) {
    guideOpened_ = shell_.OpenGuide(true, false) || guideOpened_;
  }
}

void TrayController::Shutdown() {
  if (shutDown_) {
    return;
  }
  shutDown_ = true;
  restart_.stopRequested = true;
  shell_.KillRetryTimer();
  shell_.StopAllHosts();
  extraDisplay_.TurnOff();
  shell_.RemoveIcon();
}

void TrayController::Refresh() {
  DisplayState probed = extraDisplay_.Probe();
  const bool running = shell_.IsHostRunning();
  if (hostWasRunning_ && !running && probed.attached) {
    // The host has gone and left the extra display on the desktop.
    extraDisplay_.TurnOff();
    probed = extraDisplay_.Probe();
  }
  const bool changed = VisiblyDiffers(display_, probed) || running != hostWasRunning_;
  display_ = std::move(probed);
  hostWasRunning_ = running;
  if (guideOpened_) {
    shell_.WriteStatusScript(display_, phones_.size(), browser_);
  }
  std::wstring tooltip = TooltipText();
  if (changed || tooltip != tooltip_) {
    shell_.ModifyIcon(display_.attached, tooltip);
    tooltip_ = std::move(tooltip);
  }
}

void TrayController::OnTaskbarCreated() {
  tooltip_ = TooltipText();
  shell_.AddIcon(tooltip_);
}

std::wstring TrayController::TooltipText() {
  const bool running = shell_.IsHostRunning();
  if (running && serving_) {
    return ServingTooltipFor(browser_.phase == BrowserPhase::kStreaming, browser_.phone, korean_);
  }
  return TooltipFor(running, running ? settings_.Read(kReceiverNameSetting) : std::wstring(),
                    korean_);
}

std::vector<MenuItem> TrayController::MainMenu() {
  display_ = extraDisplay_.Probe();
  MainMenuInputs in;
  in.address = settings_.ReadReceiverAddress();
  in.name = settings_.Read(kReceiverNameSetting);
  in.hostRunning = shell_.IsHostRunning();
  in.serving = serving_;
  in.servedPhone = browser_.phase == BrowserPhase::kStreaming ? browser_.phone : std::wstring();
  in.browserFirst = settings_.Read(kLastConnectionSetting) == kLastConnectionBrowser;
  in.searching = searching_;
  in.bitrateKbps = settings_.ReadInt(kBitrateKbpsSetting, kDefaultBitrateKbps);
  in.fps = settings_.ReadInt(kFpsSetting, kDefaultFps);
  in.hostRunningAtQuality = shell_.IsHostRunning();
  in.startupEnabled = shell_.IsStartupEnabled();
  in.korean = korean_;
  return BuildMainMenu(in);
}

void TrayController::ShowMainMenu() { shell_.TrackMenu(MainMenu()); }

void TrayController::OnCommand(std::uint16_t command) {
  if (const auto preset = PresetSettingFor(command)) {
    // A running host keeps its presets; a failed write keeps the old check
    // mark, which is all the feedback there is.
    settings_.Write(preset->first, preset->second);
    return;
  }
  if (const auto picked = PickedPhoneIndex(command, phones_.size())) {
    const FoundPhone phone = phones_[*picked];
    ConnectTo(phone.name, phone.address, phone.port);
    return;
  }
  switch (command) {
    case kCmdExit:
      restart_.stopRequested = true;
      serving_ = false;
      browser_ = {};
      shell_.StopAllHosts();
      extraDisplay_.TurnOff();
      shell_.CloseWindow();
      break;
    case kCmdStartAtSignIn:
      ToggleStartup();
      break;
    case kCmdConnect:
      StartPhoneSearch();
      break;
    case kCmdDisconnect:
      Disconnect();
      break;
    case kCmdEnterAddress:
      EnterAddress();
      break;
    case kCmdConnectBrowser:
      ServeBrowsers();
      break;
    case kCmdGuide:
      guideOpened_ = shell_.OpenGuide(false, serving_) || guideOpened_;
      break;
    case kCmdForgetPhones:
      ForgetAllPhones();
      break;
    default:
      break;
  }
}

void TrayController::Disconnect() {
  restart_.stopRequested = true;
  serving_ = false;
  browser_ = {};
  shell_.StopAllHosts();
  extraDisplay_.TurnOff();
  Refresh();
}

void TrayController::ToggleStartup() {
  if (!shell_.SetStartupEnabled(!shell_.IsStartupEnabled())) {
    shell_.ShowMessage(TextFor(TextRole::StartupChangeFailed, korean_), MessageKind::kWarning,
                       false);
  }
}

void TrayController::EnterAddress() {
  const std::optional<std::wstring> typed = shell_.AskAddress(settings_.ReadReceiverAddress());
  if (!typed) {
    return;
  }
  const std::wstring address = TrimSpacesAndTabs(*typed);
  if (address.empty()) {
    return;
  }
  // A typed address has no service name; the empty value replaces the
  // name of the phone used before. Text that is no address is refused
  // there, and never stored.
  ConnectTo(L"", address, 0);
}

void TrayController::StartPhoneSearch() {
  if (searching_) {
    return;
  }
  searching_ = true;
  Refresh();
  if (!shell_.StartPhoneSearch()) {
    // No result message will come, so nothing would clear the flag.
    searching_ = false;
  }
}

void TrayController::OnPhonesFound(std::vector<FoundPhone> phones) {
  searching_ = false;
  // An answer's address would reach the host's command line.
  std::erase_if(phones, [](const FoundPhone& phone) { return !IsReceiverAddress(phone.address); });
  phones_ = std::move(phones);
  if (phones_.size() == 1 && MayConnectUnasked(phones_.front())) {
    const FoundPhone phone = phones_.front();
    ConnectTo(phone.name, phone.address, phone.port);
    return;
  }
  if (phones_.empty()) {
    const std::wstring address = settings_.ReadReceiverAddress();
    if (!address.empty()) {
      // The phone connected to last, at its remembered address on the
      // host's default port.
      ConnectTo(settings_.Read(kReceiverNameSetting), address, 0);
      return;
    }
    shell_.ShowMessage(TextFor(TextRole::NoPhoneFound, korean_), MessageKind::kInformation, true);
    Refresh();
    return;
  }
  shell_.TrackMenu(BuildPhonePicker(phones_));
}

// Any device on the network can answer the search, so a lone answer is
// connected at once only if it is the phone connected to last (same address,
// same name) or no phone is remembered yet.
bool TrayController::MayConnectUnasked(const FoundPhone& phone) {
  const std::wstring address = settings_.ReadReceiverAddress();
  return address.empty() ||
         (phone.address == address && phone.name == settings_.Read(kReceiverNameSetting));
}

HostLaunch TrayController::ServingLaunch() {
  // Out of range (or no number at all): the host's own port.
  const std::int32_t port = settings_.ReadInt(kServePortSetting, 0);
  HostLaunch launch;
  launch.serve = true;
  launch.port = port > 0 && port <= 0xFFFF ? static_cast<std::uint16_t>(port) : 0;
  return launch;
}

std::optional<TrayController::HostStart> TrayController::PrepareHost(HostLaunch launch) {
  launch.fps = settings_.ReadInt(kFpsSetting, kDefaultFps);
  launch.bitrateKbps = settings_.ReadInt(kBitrateKbpsSetting, kDefaultBitrateKbps);
  launch.dataFolder = shell_.DataFolder();
  HostStart start;
  start.path = shell_.HostPath();
  std::optional<std::wstring> line = HostCommandLine(start.path, launch);
  if (!line) {
    return std::nullopt;
  }
  start.commandLine = std::move(*line);
  return start;
}

HostLaunch TrayController::AppLaunch(const std::wstring& address, std::uint16_t port) {
  HostLaunch launch;
  launch.address = address;
  launch.port = port;
  return launch;
}

bool TrayController::StartConnection(const std::optional<HostStart>& start, std::uint16_t port) {
  restart_.stopRequested = false;
  restart_.retryCount = 0;
  restart_.noAnswerCount = 0;
  port_ = port;
  // One host at a time: a new connection replaces the old one, whichever
  // way either goes.
  shell_.StopAllHosts();
  restart_.lastStartTickMs = shell_.TickMs();
  if (Launch(start)) {
    return true;
  }
  extraDisplay_.TurnOff();
  shell_.ShowMessage(TextFor(TextRole::HostStartFailed, korean_), MessageKind::kWarning, true);
  return false;
}

void TrayController::ConnectTo(const std::wstring& name, const std::wstring& address,
                               std::uint16_t port) {
  const std::optional<HostStart> start = PrepareHost(AppLaunch(address, port));
  if (!start) {
    shell_.ShowMessage(TextFor(TextRole::AddressRefused, korean_), MessageKind::kWarning, true);
    return;
  }
  settings_.Write(kReceiverAddressSetting, address);
  settings_.Write(kReceiverNameSetting, name);
  settings_.Write(kLastConnectionSetting, kLastConnectionApp);
  serving_ = false;
  browser_ = {};
  StartConnection(start, port);
  Refresh();
}

void TrayController::ServeBrowsers() {
  if (serving_ && shell_.IsHostRunning()) {
    OpenBrowserGuide();
    return;
  }
  const std::optional<HostStart> start = PrepareHost(ServingLaunch());
  settings_.Write(kLastConnectionSetting, kLastConnectionBrowser);
  serving_ = true;
  browser_ = {};
  browser_.phase = BrowserPhase::kStarting;
  if (StartConnection(start, 0)) {
    OpenBrowserGuide();
  } else {
    browser_.phase = BrowserPhase::kStopped;
  }
  Refresh();
}

void TrayController::OpenBrowserGuide() {
  guideOpened_ = shell_.OpenGuide(false, true) || guideOpened_;
}

bool TrayController::Launch(const std::optional<HostStart>& start) {
  return start && shell_.StartHost(start->path, start->commandLine);
}

void TrayController::OnHostOutput(std::string_view line) {
  if (!serving_) {
    return;
  }
  const bool wasStreaming = browser_.phase == BrowserPhase::kStreaming;
  if (!ApplyHostLine(browser_, line)) {
    return;
  }
  if (wasStreaming && browser_.phase != BrowserPhase::kStreaming) {
    // Nothing streams the extra display any more, as when an app's host
    // ends.
    extraDisplay_.TurnOff();
  }
  // The news reaches the guide's status script and the tooltip.
  Refresh();
}

void TrayController::OnHostExited(std::uint32_t exitCode) {
  const bool running = shell_.IsHostRunning();
  const bool hasTarget =
      !running && !restart_.stopRequested && (serving_ || !settings_.ReadReceiverAddress().empty());
  switch (OnHostExit(restart_, running, hasTarget, shell_.TickMs(), exitCode)) {
    case HostExitAction::kNothing:
      return;
    case HostExitAction::kScheduleRetry:
      shell_.SetRetryTimer();
      if (serving_) {
        // The next host offers a new secret.
        browser_ = {};
        browser_.phase = BrowserPhase::kStarting;
      }
      break;
    case HostExitAction::kTurnOffDisplay:
      extraDisplay_.TurnOff();
      if (serving_) {
        browser_ = {};
        browser_.phase = BrowserPhase::kStopped;
      }
      break;
  }
  Refresh();
}

void TrayController::OnRetryTimer() {
  shell_.KillRetryTimer();
  if (restart_.stopRequested || shell_.IsHostRunning()) {
    return;
  }
  const std::wstring address = serving_ ? std::wstring() : settings_.ReadReceiverAddress();
  if (!serving_ && address.empty()) {
    extraDisplay_.TurnOff();
    Refresh();
    return;
  }
  restart_.lastStartTickMs = shell_.TickMs();
  if (!Launch(PrepareHost(serving_ ? ServingLaunch() : AppLaunch(address, port_)))) {
    extraDisplay_.TurnOff();
    if (serving_) {
      browser_.phase = BrowserPhase::kStopped;
    }
  }
  Refresh();
}

void TrayController::ForgetAllPhones() {
  if (!shell_.ShowMessage(TextFor(TextRole::AskForgetPhones, korean_), MessageKind::kQuestion,
                          true)) {
    return;
  }
  // A running host would write the approvals it holds back over the
  // cleared store when it ends, so it is stopped first; the store itself is
  // the host's to change.
  Disconnect();
  const std::optional<std::uint32_t> exitCode =
      shell_.RunHost(ForgetAllCommandLine(shell_.HostPath()), kForgetAllLimitMs);
  if (exitCode && *exitCode == 0) {
    shell_.ShowMessage(TextFor(TextRole::ForgetDone, korean_), MessageKind::kInformation, true);
    return;
  }
  shell_.ShowMessage(TextFor(TextRole::ForgetFailed, korean_), MessageKind::kWarning, true);
}

}  // namespace veyra
