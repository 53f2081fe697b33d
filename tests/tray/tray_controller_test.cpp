#include "tray/tray_controller.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tray/fake_display_system.h"
#include "tray/fake_settings_store.h"
#include "tray/fake_tray_shell.h"
#include "tray/tray_commands.h"

namespace veyra {
namespace {

const wchar_t* const kPhoneDisplay = L"\\\\.\\DISPLAY2";

class TrayControllerTest : public ::testing::Test {
 protected:
  TrayControllerTest() {
    settings.Set(kSetupGuideShownSetting, L"1");
    // The driver's display, detached; a detach really takes it off.
    displays.adapters = {{L"\\\\.\\DISPLAY1", L"PCI\\VEN_1", 1, {L"MONITOR\\DEL1"}},
                         {kPhoneDisplay, L"ROOT\\VYR", 0, {L"MONITOR\\VYR0001\\1"}}};
    displays.modes[kPhoneDisplay] = {1920, 1080, -1920, 0};
    displays.onDetach = [this] { displays.adapters[1].stateFlags = 0; };
  }

  void AttachPhoneDisplay() { displays.adapters[1].stateFlags = kAdapterAttachedToDesktop; }

  // The command line the tray gives a host with the fake's paths.
  static std::wstring Line(const std::wstring& hostArgs) {
    return L"\"C:\\Program Files\\Veyra\\veyra-host.exe\" " + hostArgs +
           L" --log \"C:\\Users\\ana\\AppData\\Local\\Brenvik\\Veyra\\host.log\"";
  }

  FakeTrayShell shell;
  FakeSettingsStore settings;
  FakeDisplaySystem displays;
  ExtraDisplay extra{displays, settings};
  TrayController tray{shell, settings, extra, false};
};

TEST_F(TrayControllerTest, StartDetachesALeftOverDisplayBeforeShowingTheGreyIcon) {
  AttachPhoneDisplay();
  settings.Set(kSetupGuideShownSetting, L"yes");
  tray.Start();
  EXPECT_EQ(displays.detached, std::vector<std::wstring>{kPhoneDisplay});
  EXPECT_EQ(settings.values().at(kLastXSetting), L"-1920");
  EXPECT_FALSE(tray.display().attached);
  EXPECT_EQ(shell.calls, (std::vector<std::wstring>{L"LoadIcon", L"AddIcon", L"OpenGuide(auto)"}));
  EXPECT_FALSE(shell.iconAttached);
  EXPECT_EQ(shell.tooltips.back(), L"Veyra - ready to connect");
}

TEST_F(TrayControllerTest, StartLeavesTheDisplayToARunningHostAndSkipsAShownGuide) {
  AttachPhoneDisplay();
  shell.hostRunning = true;
  tray.Start();
  EXPECT_TRUE(displays.detached.empty());
  EXPECT_TRUE(shell.iconAttached);
  EXPECT_EQ(shell.Count(L"OpenGuide(auto)"), 0U);
  EXPECT_EQ(shell.tooltips.back(), L"Veyra - showing this PC on your phone");
}

TEST_F(TrayControllerTest, RefreshTurnsTheDisplayOffWhenTheHostHasGone) {
  shell.hostRunning = true;
  AttachPhoneDisplay();
  tray.Start();
  shell.calls.clear();
  tray.Refresh();
  EXPECT_EQ(shell.Count(L"ModifyIcon"), 0U);  // nothing visible changed

  shell.hostRunning = false;
  tray.Refresh();
  EXPECT_EQ(displays.detached, std::vector<std::wstring>{kPhoneDisplay});
  EXPECT_EQ(shell.Count(L"ModifyIcon"), 1U);
  EXPECT_FALSE(shell.iconAttached);
  EXPECT_EQ(shell.tooltips.back(), L"Veyra - ready to connect");
}

TEST_F(TrayControllerTest, ADisplayChangeAloneUpdatesTheIcon) {
  tray.Start();
  displays.modes[kPhoneDisplay] = {1280, 720, -1280, 0};
  tray.Refresh();
  EXPECT_EQ(shell.Count(L"ModifyIcon"), 1U);
  displays.adapters[1].deviceId = L"ROOT\\OTHER";  // names are not compared
  tray.Refresh();
  EXPECT_EQ(shell.Count(L"ModifyIcon"), 1U);
}

TEST_F(TrayControllerTest, TooltipNamesThePhoneAndIsCut) {
  shell.hostRunning = true;
  settings.Set(kReceiverNameSetting, std::wstring(200, L'x'));
  const std::wstring tooltip = tray.TooltipText();
  EXPECT_EQ(tooltip.size(), 127U);
  EXPECT_EQ(tooltip.substr(0, 30), L"Veyra - showing this PC on xxx");

  TrayController korean{shell, settings, extra, true};
  settings.Set(kReceiverNameSetting, L"Pixel");
  EXPECT_EQ(korean.TooltipText(), L"Veyra - Pixel에 PC 화면 표시 중");
  shell.hostRunning = false;
  EXPECT_EQ(korean.TooltipText(), L"Veyra - 연결 준비됨");
}

TEST_F(TrayControllerTest, TypedAddressIsTrimmedStoredAndConnectedOnTheDefaultPort) {
  settings.Set(kReceiverAddressSetting, L"10.0.0.9");
  settings.Set(kReceiverNameSetting, L"Old phone");
  shell.typedAddress = L"  192.168.1.20\t";
  tray.OnCommand(kCmdEnterAddress);
  EXPECT_EQ(shell.dialogInitialText, L"10.0.0.9");
  EXPECT_EQ(settings.values().at(kReceiverAddressSetting), L"192.168.1.20");
  EXPECT_EQ(settings.values().at(kReceiverNameSetting), L"");
  ASSERT_EQ(shell.started.size(), 1U);
  EXPECT_EQ(shell.started[0], Line(L"--host 192.168.1.20 --source dd --fps 60 --bitrate 12000"));
  EXPECT_EQ(tray.port(), 0);
  EXPECT_FALSE(tray.restart().stopRequested);
}

TEST_F(TrayControllerTest, BlanksOrCancelInTheDialogDoNothing) {
  settings.Set(kReceiverAddressSetting, L"10.0.0.9");
  shell.typedAddress = L" \t ";
  tray.OnCommand(kCmdEnterAddress);
  shell.typedAddress.reset();
  tray.OnCommand(kCmdEnterAddress);
  EXPECT_TRUE(shell.started.empty());
  EXPECT_TRUE(settings.writes().empty());
  EXPECT_EQ(shell.Count(L"StopAllHosts"), 0U);
}

TEST_F(TrayControllerTest, TextThatIsNoAddressNeverReachesTheHostOrTheSettings) {
  shell.hostRunning = true;
  settings.Set(kReceiverAddressSetting, L"10.0.0.9 --log C:\\x");
  shell.typedAddress = L" 192.168.1.5 --no-tls";
  tray.OnCommand(kCmdEnterAddress);
  EXPECT_EQ(shell.dialogInitialText, L"");  // the stored text counts as none
  ASSERT_EQ(shell.messages.size(), 1U);
  EXPECT_EQ(shell.messages[0].text, TextFor(TextRole::AddressRefused, false));
  EXPECT_EQ(shell.messages[0].kind, MessageKind::kWarning);
  EXPECT_EQ(shell.Count(L"StopAllHosts"), 0U);  // the running host stays

  // An answer to the search with such an address is dropped, and the
  // stored text is not fallen back on.
  shell.hostRunning = false;
  tray.StartPhoneSearch();
  tray.OnPhonesFound({{L"Pixel", L"-x", 47001}});
  EXPECT_TRUE(tray.phones().empty());
  EXPECT_EQ(shell.messages.back().text, TextFor(TextRole::NoPhoneFound, false));
  EXPECT_TRUE(shell.started.empty());
  EXPECT_TRUE(settings.writes().empty());
}

TEST_F(TrayControllerTest, ConnectReplacesTheRunningHostWithTheCurrentPresets) {
  shell.hostRunning = true;
  shell.dataFolder.clear();  // no data folder: no log option
  tray.OnCommand(kCmdBitrate20000);
  tray.OnCommand(kCmdFps30);
  EXPECT_EQ(shell.calls.size(), 0U);  // presets touch neither host nor icon
  tray.ConnectTo(L"Pixel", L"192.168.1.20", 47000);
  const std::vector<std::wstring> expected = {L"StopAllHosts", L"StartHost", L"ModifyIcon"};
  EXPECT_EQ(shell.calls, expected);
  EXPECT_EQ(shell.started[0],
            L"\"C:\\Program Files\\Veyra\\veyra-host.exe\" --host 192.168.1.20 --port 47000 "
            L"--source dd --fps 30 --bitrate 20000");
  EXPECT_EQ(settings.values().at(kReceiverNameSetting), L"Pixel");
}

TEST_F(TrayControllerTest, AHostThatCannotStartTurnsTheDisplayOffAndWarns) {
  AttachPhoneDisplay();
  shell.startResult = false;
  tray.ConnectTo(L"", L"10.0.0.2", 0);
  EXPECT_EQ(displays.detached.size(), 1U);
  ASSERT_EQ(shell.messages.size(), 1U);
  EXPECT_EQ(shell.messages[0].text, TextFor(TextRole::HostStartFailed, false));
  EXPECT_EQ(shell.messages[0].kind, MessageKind::kWarning);
  EXPECT_TRUE(shell.messages[0].owned);
}

TEST_F(TrayControllerTest, AnEarlyExitIsRestartedOnceAfterTheDelayThenGivenUp) {
  tray.ConnectTo(L"Pixel", L"192.168.1.20", 47000);
  shell.nowMs += 10000;
  shell.hostRunning = false;
  shell.calls.clear();
  tray.OnHostExited();
  EXPECT_TRUE(shell.retryTimerSet);
  EXPECT_EQ(shell.Count(L"StartHost"), 0U);

  shell.nowMs += 2000;
  tray.OnRetryTimer();
  EXPECT_FALSE(shell.retryTimerSet);
  ASSERT_EQ(shell.started.size(), 2U);
  EXPECT_EQ(shell.started[1], shell.started[0]);  // same phone, same port

  AttachPhoneDisplay();
  shell.nowMs += 10000;
  shell.hostRunning = false;
  shell.calls.clear();
  tray.OnHostExited();
  EXPECT_EQ(shell.Count(L"SetRetryTimer"), 0U);
  EXPECT_EQ(displays.detached.size(), 1U);
  EXPECT_TRUE(shell.messages.empty());  // restarts and giving up are silent
}

TEST_F(TrayControllerTest, AnUnansweredQuestionIsAskedOnceMoreUntilTheUserConnects) {
  const auto exitUnanswered = [this] {
    shell.nowMs += 61000;
    shell.hostRunning = false;
    shell.retryTimerSet = false;
    tray.OnHostExited(kHostExitNoAnswerOnThisPc);
  };
  tray.ConnectTo(L"Pixel", L"192.168.1.20", 0);
  exitUnanswered();
  EXPECT_TRUE(shell.retryTimerSet);
  tray.OnRetryTimer();
  exitUnanswered();
  EXPECT_FALSE(shell.retryTimerSet);
  EXPECT_EQ(shell.started.size(), 2U);

  tray.ConnectTo(L"Pixel", L"192.168.1.20", 0);
  exitUnanswered();
  EXPECT_TRUE(shell.retryTimerSet);
}

TEST_F(TrayControllerTest, AHostThatRanLongIsRestartedAgain) {
  tray.ConnectTo(L"Pixel", L"192.168.1.20", 0);
  shell.nowMs += 10000;
  shell.hostRunning = false;
  tray.OnHostExited();
  shell.nowMs += 2000;
  tray.OnRetryTimer();
  shell.nowMs += 5ULL * 60 * 1000;
  shell.hostRunning = false;
  shell.calls.clear();
  tray.OnHostExited();
  EXPECT_EQ(shell.Count(L"SetRetryTimer"), 1U);
}

TEST_F(TrayControllerTest, DisconnectAndExitNeverRestart) {
  tray.ConnectTo(L"Pixel", L"192.168.1.20", 0);
  tray.OnCommand(kCmdDisconnect);
  EXPECT_TRUE(tray.restart().stopRequested);
  tray.OnHostExited();
  EXPECT_EQ(shell.Count(L"SetRetryTimer"), 0U);

  tray.ConnectTo(L"Pixel", L"192.168.1.20", 0);
  shell.calls.clear();
  tray.OnCommand(kCmdExit);
  EXPECT_EQ(shell.calls, (std::vector<std::wstring>{L"StopAllHosts", L"CloseWindow"}));
  tray.OnHostExited();
  tray.OnRetryTimer();  // a timer set before the exit finds the stop
  EXPECT_EQ(shell.Count(L"SetRetryTimer"), 0U);
  EXPECT_EQ(shell.Count(L"StartHost"), 0U);
}

TEST_F(TrayControllerTest, TheExitOfAReplacedHostIsIgnored) {
  tray.ConnectTo(L"Pixel", L"192.168.1.20", 0);
  tray.ConnectTo(L"Tablet", L"192.168.1.31", 0);
  shell.calls.clear();
  tray.OnHostExited();  // the first host's watcher; the second holds the mutex
  EXPECT_TRUE(shell.calls.empty());
  EXPECT_EQ(tray.restart().retryCount, 0);
}

TEST_F(TrayControllerTest, ARetryFindingAHostRunningOrNoAddressStartsNothing) {
  tray.ConnectTo(L"Pixel", L"192.168.1.20", 0);
  shell.hostRunning = false;
  tray.OnHostExited();
  shell.hostRunning = true;
  tray.OnRetryTimer();
  EXPECT_EQ(shell.Count(L"StartHost"), 1U);

  shell.hostRunning = false;
  settings.Set(kReceiverAddressSetting, L"");
  AttachPhoneDisplay();
  tray.OnRetryTimer();
  EXPECT_EQ(shell.Count(L"StartHost"), 1U);
  EXPECT_EQ(displays.detached.size(), 1U);
}

TEST_F(TrayControllerTest, OneSearchAtATimeAndItsResultDecides) {
  tray.OnCommand(kCmdConnect);
  tray.OnCommand(kCmdConnect);
  EXPECT_EQ(shell.Count(L"StartPhoneSearch"), 1U);
  EXPECT_TRUE(tray.searching());
  EXPECT_EQ(tray.MainMenu()[2].label, L"Looking for your phone...");

  tray.OnPhonesFound({{L"Pixel", L"192.168.1.20", 47001}});
  EXPECT_FALSE(tray.searching());
  ASSERT_EQ(shell.started.size(), 1U);
  EXPECT_EQ(shell.started[0],
            Line(L"--host 192.168.1.20 --port 47001 --source dd --fps 60 --bitrate 12000"));
  EXPECT_EQ(shell.Count(L"TrackMenu"), 0U);
}

TEST_F(TrayControllerTest, NoPhoneReconnectsToTheRememberedAddressOrInforms) {
  tray.StartPhoneSearch();
  tray.OnPhonesFound({});
  ASSERT_EQ(shell.messages.size(), 1U);
  EXPECT_EQ(shell.messages[0].text, TextFor(TextRole::NoPhoneFound, false));
  EXPECT_EQ(shell.messages[0].kind, MessageKind::kInformation);
  EXPECT_TRUE(shell.started.empty());

  settings.Set(kReceiverAddressSetting, L"192.168.1.20");
  settings.Set(kReceiverNameSetting, L"Pixel");
  tray.StartPhoneSearch();
  tray.OnPhonesFound({});
  ASSERT_EQ(shell.started.size(), 1U);
  EXPECT_EQ(shell.started[0], Line(L"--host 192.168.1.20 --source dd --fps 60 --bitrate 12000"));
  EXPECT_EQ(settings.values().at(kReceiverNameSetting), L"Pixel");
  EXPECT_EQ(shell.messages.size(), 1U);
}

TEST_F(TrayControllerTest, ALoneStrangerIsOfferedNotConnectedWhileAPhoneIsRemembered) {
  settings.Set(kReceiverAddressSetting, L"192.168.1.20");
  settings.Set(kReceiverNameSetting, L"Pixel");
  for (const FoundPhone& stranger :
       {FoundPhone{L"Pixel", L"192.168.1.66", 47001}, FoundPhone{L"Pixel 8", L"192.168.1.20", 1}}) {
    tray.StartPhoneSearch();
    tray.OnPhonesFound({stranger});
  }
  ASSERT_EQ(shell.menus.size(), 2U);
  EXPECT_EQ(shell.menus[0][0].label, L"Pixel (192.168.1.66)");
  EXPECT_EQ(shell.menus[1][0].label, L"Pixel 8 (192.168.1.20)");
  EXPECT_TRUE(shell.started.empty());

  tray.StartPhoneSearch();
  tray.OnPhonesFound({{L"Pixel", L"192.168.1.20", 47001}});
  EXPECT_EQ(shell.started.size(), 1U);
  EXPECT_EQ(shell.menus.size(), 2U);
}

TEST_F(TrayControllerTest, SeveralPhonesShowThePickerAndAnEntryConnects) {
  tray.StartPhoneSearch();
  tray.OnPhonesFound({{L"Pixel", L"192.168.1.20", 47820}, {L"Tablet", L"192.168.1.31", 47000}});
  ASSERT_EQ(shell.menus.size(), 1U);
  EXPECT_EQ(shell.menus[0][1].label, L"Tablet (192.168.1.31)");
  EXPECT_TRUE(shell.started.empty());
  tray.OnCommand(502);  // not listed
  EXPECT_TRUE(shell.started.empty());
  tray.OnCommand(501);
  ASSERT_EQ(shell.started.size(), 1U);
  EXPECT_EQ(settings.values().at(kReceiverNameSetting), L"Tablet");
  EXPECT_EQ(tray.port(), 47000);
}

TEST_F(TrayControllerTest, ASearchThatCannotStartDoesNotStaySearching) {
  shell.searchStarts = false;
  tray.StartPhoneSearch();
  EXPECT_FALSE(tray.searching());
}

TEST_F(TrayControllerTest, ForgetAllAsksFirstAndReportsTheExitCode) {
  tray.ForgetAllPhones();  // answered No
  EXPECT_EQ(shell.Count(L"RunHost"), 0U);
  ASSERT_EQ(shell.messages.size(), 1U);
  EXPECT_EQ(shell.messages[0].kind, MessageKind::kQuestion);

  EXPECT_EQ(shell.Count(L"StopAllHosts"), 0U);

  // A running host is stopped before the store is cleared, and not
  // restarted.
  tray.ConnectTo(L"Pixel", L"192.168.1.20", 0);
  shell.calls.clear();
  shell.answerYes = true;
  tray.ForgetAllPhones();
  EXPECT_EQ(shell.calls, (std::vector<std::wstring>{L"ShowMessage", L"StopAllHosts", L"ModifyIcon",
                                                    L"RunHost", L"ShowMessage"}));
  EXPECT_TRUE(tray.restart().stopRequested);
  EXPECT_EQ(shell.ran.back(), L"\"C:\\Program Files\\Veyra\\veyra-host.exe\" --forget-all");
  EXPECT_EQ(shell.runLimitMs, 5000U);
  EXPECT_EQ(shell.messages.back().text, TextFor(TextRole::ForgetDone, false));
  EXPECT_EQ(shell.messages.back().kind, MessageKind::kInformation);

  for (const std::optional<std::uint32_t> result :
       {std::optional<std::uint32_t>(1U), std::optional<std::uint32_t>()}) {
    shell.runResult = result;
    tray.ForgetAllPhones();
    EXPECT_EQ(shell.messages.back().text, TextFor(TextRole::ForgetFailed, false));
    EXPECT_EQ(shell.messages.back().kind, MessageKind::kWarning);
  }
}

TEST_F(TrayControllerTest, StartupToggleWarnsWithoutAnOwnerWhenItFails) {
  tray.OnCommand(kCmdStartAtSignIn);
  EXPECT_TRUE(shell.startupEnabled);
  EXPECT_TRUE(tray.MainMenu()[8].checked);
  shell.startupChangeWorks = false;
  tray.OnCommand(kCmdStartAtSignIn);
  ASSERT_EQ(shell.messages.size(), 1U);
  EXPECT_EQ(shell.messages[0].text, TextFor(TextRole::StartupChangeFailed, false));
  EXPECT_FALSE(shell.messages[0].owned);
}

TEST_F(TrayControllerTest, TheGuideKeepsTheStatusScriptCurrentOnceOpened) {
  tray.Refresh();
  EXPECT_EQ(shell.Count(L"WriteStatusScript"), 0U);
  tray.OnCommand(kCmdGuide);
  EXPECT_EQ(shell.Count(L"OpenGuide(manual)"), 1U);
  tray.OnPhonesFound({{L"A", L"10.0.0.1", 1}, {L"B", L"10.0.0.2", 1}});
  tray.Refresh();
  EXPECT_EQ(shell.Count(L"WriteStatusScript"), 1U);
  EXPECT_EQ(shell.statusPhones, 2U);
}

// The phone's browser through a serving host: started in place of the app's
// host, followed through what it prints, restarted once, and given up on.
TEST_F(TrayControllerTest, TheBrowserPathFollowsItsServingHostAndIsWatchedLikeTheApps) {
  settings.Set(kServePortSetting, L"70000");  // out of range: the host's own port
  tray.Start();
  tray.ConnectTo(L"Pixel", L"192.168.1.20", 0);
  tray.OnCommand(kCmdConnectBrowser);
  ASSERT_EQ(shell.started.size(), 2U);
  EXPECT_EQ(shell.started[1], Line(L"--serve --source dd --fps 60 --bitrate 12000"));
  EXPECT_EQ(shell.Count(L"StopAllHosts"), 2U);  // the app's host gave way
  EXPECT_EQ(shell.Count(L"OpenGuide(manual,browser)"), 1U);
  EXPECT_EQ(settings.values().at(kLastConnectionSetting), L"browser");
  EXPECT_EQ(shell.statusBrowser.phase, BrowserPhase::kStarting);

  tray.OnHostOutput("Open this address on the phone: https://192.168.1.5:47820/#abc");
  tray.OnHostOutput("Waiting for the phone.");
  EXPECT_EQ(shell.statusBrowser.phase, BrowserPhase::kWaiting);
  EXPECT_EQ(shell.statusBrowser.link, L"https://192.168.1.5:47820/#abc");
  EXPECT_EQ(shell.tooltips.back(), L"Veyra - waiting for the phone's browser");
  AttachPhoneDisplay();
  tray.OnHostOutput("Showing this PC on the phone: Tab S9");
  EXPECT_EQ(shell.tooltips.back(), L"Veyra - showing this PC on Tab S9");
  EXPECT_TRUE(displays.detached.empty());
  tray.OnHostOutput("The phone went away: Tab S9");
  EXPECT_EQ(shell.statusBrowser.phase, BrowserPhase::kLost);
  EXPECT_EQ(displays.detached, std::vector<std::wstring>{kPhoneDisplay});

  // Chosen again while it serves: the code again, not a second host.
  tray.OnCommand(kCmdConnectBrowser);
  EXPECT_EQ(shell.started.size(), 2U);
  EXPECT_EQ(shell.Count(L"OpenGuide(manual,browser)"), 2U);

  shell.hostRunning = false;
  tray.OnHostExited();
  EXPECT_TRUE(shell.retryTimerSet);
  EXPECT_EQ(shell.statusBrowser.phase, BrowserPhase::kStarting);
  EXPECT_TRUE(shell.statusBrowser.link.empty());  // the next host offers a new secret
  tray.OnRetryTimer();
  ASSERT_EQ(shell.started.size(), 3U);
  EXPECT_EQ(shell.started[2], shell.started[1]);
  shell.hostRunning = false;
  tray.OnHostExited();
  EXPECT_FALSE(shell.retryTimerSet);
  EXPECT_EQ(shell.statusBrowser.phase, BrowserPhase::kStopped);

  // The app's connection takes over; a serving host's words no longer count.
  tray.ConnectTo(L"Pixel", L"192.168.1.20", 0);
  tray.OnHostOutput("Waiting for the phone.");
  EXPECT_EQ(shell.statusBrowser, BrowserPath{});
  EXPECT_EQ(settings.values().at(kLastConnectionSetting), L"app");
}

TEST_F(TrayControllerTest, ShutdownRunsOnce) {
  tray.ConnectTo(L"Pixel", L"192.168.1.20", 0);
  AttachPhoneDisplay();
  shell.calls.clear();
  tray.Shutdown();
  tray.Shutdown();
  EXPECT_EQ(shell.calls,
            (std::vector<std::wstring>{L"KillRetryTimer", L"StopAllHosts", L"RemoveIcon"}));
  EXPECT_EQ(displays.detached.size(), 1U);
  EXPECT_TRUE(tray.restart().stopRequested);
}

}  // namespace
}  // namespace veyra
