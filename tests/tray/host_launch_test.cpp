#include "tray/host_launch.h"

#include <gtest/gtest.h>

namespace veyra {
namespace {

const std::wstring kPath = L"C:\\Program Files\\Veyra\\veyra-host.exe";
const std::wstring kData = L"C:\\Users\\ana\\AppData\\Local\\Brenvik\\Veyra";

HostLaunch Launch(std::uint16_t port, std::wstring dataFolder) {
  HostLaunch launch;
  launch.address = L"192.168.1.20";
  launch.port = port;
  launch.fps = 60;
  launch.bitrateKbps = 12000;
  launch.dataFolder = std::move(dataFolder);
  return launch;
}

TEST(HostCommandLineTest, DefaultSettings) {
  EXPECT_EQ(HostCommandLine(kPath, Launch(0, kData)),
            L"\"C:\\Program Files\\Veyra\\veyra-host.exe\" --host 192.168.1.20 --source dd "
            L"--fps 60 --bitrate 12000 --log "
            L"\"C:\\Users\\ana\\AppData\\Local\\Brenvik\\Veyra\\host.log\"");
}

TEST(HostCommandLineTest, PortFollowsTheAddressOnlyWhenSet) {
  HostLaunch launch = Launch(47000, L"");
  launch.fps = 30;
  launch.bitrateKbps = 8000;
  EXPECT_EQ(HostCommandLine(kPath, launch),
            L"\"C:\\Program Files\\Veyra\\veyra-host.exe\" --host 192.168.1.20 --port 47000 "
            L"--source dd --fps 30 --bitrate 8000");
}

TEST(HostCommandLineTest, StoredValuesPassUnchanged) {
  HostLaunch launch = Launch(65535, L"");
  launch.address = L"phone.local";
  launch.fps = -5;
  EXPECT_EQ(HostCommandLine(L"veyra-host.exe", launch),
            L"\"veyra-host.exe\" --host phone.local --port 65535 --source dd --fps -5 "
            L"--bitrate 12000");
}

// Whatever reaches --host must read as one address, never as an option.
TEST(HostCommandLineTest, OnlyAddressLiteralsAndHostNamesAreGivenToTheHost) {
  struct Case {
    std::wstring address;
    bool accepted;
  };
  const std::wstring label63(63, L'a');
  const std::wstring name253 = label63 + L'.' + label63 + L'.' + label63 + L'.' + label63.substr(2);
  const Case cases[] = {
      {L"192.168.1.20", true},
      {L"255.255.255.255", true},
      {L"phone.local", true},
      {L"Pixel-8", true},
      {L"x", true},
      {label63 + L".local", true},
      {name253, true},
      {L"fe80::1", true},
      {L"::1", true},
      {L"2001:DB8:0:0:0:0:0:1", true},
      {L"::ffff:192.168.1.20", true},
      {L"192.168.1.5 --no-tls", false},
      {L"--log", false},
      {L"-phone", false},
      {L"phone-", false},
      {L"", false},
      {L"phone..local", false},
      {L"phone.local.", false},
      {L"a_b", false},
      {L"\"10.0.0.2\"", false},
      {L"10.0.0.2\t", false},
      {L"caf\u00e9", false},
      {std::wstring(64, L'a'), false},
      {name253 + L"a", false},
      {L"192.168.1", false},
      {L"192.168.1.256", false},
      {L"192.168.010.5", false},  // octal to inet_addr
      {L"1:2:3:4:5:6:7:8:9", false},
      {L"1::2::3", false},
      {L"1:2:3:4:5:6:7::8", false},
      {L"12345::", false},
      {L":1:2:3:4:5:6:7", false},
      {L"::1.2.3", false},
      {L"fe80::1%eth0", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsReceiverAddress(c.address), c.accepted) << c.address;
    HostLaunch launch = Launch(0, kData);
    launch.address = c.address;
    EXPECT_EQ(HostCommandLine(kPath, launch).has_value(), c.accepted) << c.address;
  }
}

TEST(HostCommandLineTest, ForgetAll) {
  EXPECT_EQ(ForgetAllCommandLine(kPath),
            L"\"C:\\Program Files\\Veyra\\veyra-host.exe\" --forget-all");
}

TEST(TrimTest, OnlySpacesAndTabsAtEitherEnd) {
  EXPECT_EQ(TrimSpacesAndTabs(L"  192.168.1.20\t"), L"192.168.1.20");
  EXPECT_EQ(TrimSpacesAndTabs(L"\t \t"), L"");
  EXPECT_EQ(TrimSpacesAndTabs(L""), L"");
  EXPECT_EQ(TrimSpacesAndTabs(L"a b"), L"a b");
  EXPECT_EQ(TrimSpacesAndTabs(L"\n10.0.0.2\r"), L"\n10.0.0.2\r");
  EXPECT_EQ(TrimSpacesAndTabs(L"\x00A0x"), L"\x00A0x");
}

constexpr std::uint64_t kSecond = 1000;

TEST(RestartRuleTest, EarlyExitRestartsOnceThenGivesUp) {
  RestartState state;
  state.stopRequested = false;
  state.lastStartTickMs = 100 * kSecond;
  EXPECT_EQ(OnHostExit(state, false, true, 110 * kSecond), HostExitAction::kScheduleRetry);
  EXPECT_EQ(state.retryCount, 1);
  state.lastStartTickMs = 112 * kSecond;  // the restart
  EXPECT_EQ(OnHostExit(state, false, true, 122 * kSecond), HostExitAction::kTurnOffDisplay);
  EXPECT_EQ(state.retryCount, 1);
}

TEST(RestartRuleTest, AHostThatRanOverAMinuteEarnsAFreshRestart) {
  RestartState state;
  state.stopRequested = false;
  state.retryCount = 1;
  state.lastStartTickMs = 0;
  EXPECT_EQ(OnHostExit(state, false, true, 300 * kSecond), HostExitAction::kScheduleRetry);
  EXPECT_EQ(state.retryCount, 1);
  // Exactly a minute is still early.
  state.lastStartTickMs = 1000 * kSecond;
  EXPECT_EQ(OnHostExit(state, false, true, 1060 * kSecond), HostExitAction::kTurnOffDisplay);
}

TEST(RestartRuleTest, AnUnansweredQuestionIsAskedOnceMoreARefusalNever) {
  RestartState refused;
  refused.stopRequested = false;
  EXPECT_EQ(OnHostExit(refused, false, true, 5 * kSecond, kHostExitRefusedOnThisPc),
            HostExitAction::kTurnOffDisplay);
  EXPECT_TRUE(refused.stopRequested);

  // Each question waits its 60 s, so every run is a long one.
  RestartState state;
  state.stopRequested = false;
  EXPECT_EQ(OnHostExit(state, false, true, 61 * kSecond, kHostExitNoAnswerOnThisPc),
            HostExitAction::kScheduleRetry);
  EXPECT_FALSE(state.stopRequested);
  state.lastStartTickMs = 63 * kSecond;
  // Another end in between does not start a new allowance.
  EXPECT_EQ(OnHostExit(state, false, true, 300 * kSecond), HostExitAction::kScheduleRetry);
  state.lastStartTickMs = 302 * kSecond;
  EXPECT_EQ(OnHostExit(state, false, true, 363 * kSecond, kHostExitNoAnswerOnThisPc),
            HostExitAction::kTurnOffDisplay);
  EXPECT_TRUE(state.stopRequested);
}

TEST(RestartRuleTest, StoppedNoAddressOrAnotherHostRunning) {
  RestartState stopped;
  EXPECT_EQ(OnHostExit(stopped, false, true, 5 * kSecond), HostExitAction::kTurnOffDisplay);
  EXPECT_EQ(stopped.retryCount, 0);

  RestartState noAddress;
  noAddress.stopRequested = false;
  EXPECT_EQ(OnHostExit(noAddress, false, false, 5 * kSecond), HostExitAction::kTurnOffDisplay);
  EXPECT_EQ(noAddress.retryCount, 0);

  RestartState replaced;
  replaced.stopRequested = false;
  EXPECT_EQ(OnHostExit(replaced, true, L"10.0.0.2", 5 * kSecond), HostExitAction::kNothing);
  EXPECT_EQ(replaced.retryCount, 0);
}

}  // namespace
}  // namespace veyra
