// Runs under Wine: the process walk that StopAllHosts relies on, the host
// start's refusals, and a started host's output and end reported.
#include "tray/host_process_win.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace veyra {
namespace {

TEST(HostProcessUnderWineTest, TheSnapshotListsThisProcessInThisSession) {
  WinProcessSystem processes;
  const std::vector<ProcessEntry> listed = processes.Processes();
  const DWORD self = GetCurrentProcessId();
  const auto it = std::find_if(listed.begin(), listed.end(),
                               [&](const ProcessEntry& entry) { return entry.pid == self; });
  ASSERT_NE(it, listed.end());
  EXPECT_EQ(it->exeName, L"tray_under_wine_tests.exe");
  std::uint32_t session = 0xFFFFFFFF;
  ASSERT_TRUE(processes.SessionOf(self, session));
  EXPECT_EQ(session, processes.OwnSession());
  EXPECT_NE(processes.Open(self), nullptr);
}

TEST(HostProcessUnderWineTest, AMissingProcessCannotBeOpenedOrAsked) {
  WinProcessSystem processes;
  // Process ids are multiples of four; this one is never handed out.
  constexpr std::uint32_t kNoProcess = 0xFFFFFFF1;
  EXPECT_EQ(processes.Open(kNoProcess), nullptr);
  std::uint32_t session = 0;
  EXPECT_FALSE(processes.SessionOf(kNoProcess, session));
}

TEST(HostProcessUnderWineTest, AMissingHostIsNotStarted) {
  EXPECT_FALSE(StartHost(L"Z:\\no\\such\\folder\\veyra-host.exe",
                         L"\"Z:\\no\\such\\folder\\veyra-host.exe\" --host 10.0.0.2", HostWatch{}));
  EXPECT_FALSE(RunHidden(L"\"Z:\\no\\such\\folder\\veyra-host.exe\" --forget-all", 1000));
}

// What the tray's window receives from a started host: its lines, as one
// handle inherited on a pipe, and then its end with the exit code.
TEST(HostProcessUnderWineTest, AStartedHostsLinesComeBeforeItsEnd) {
  constexpr UINT kExited = WM_APP + 4;
  constexpr UINT kOutput = WM_APP + 5;
  HWND window =
      CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  ASSERT_NE(window, nullptr);
  HostWatch watch{window, kExited, kOutput, std::make_shared<HostOutput>(), 7};
  wchar_t system[MAX_PATH] = {};
  ASSERT_GT(GetSystemDirectoryW(system, MAX_PATH), 0U);
  const std::wstring cmd = std::wstring(system) + L"\\cmd.exe";
  ASSERT_TRUE(StartHost(cmd, L"\"" + cmd + L"\" /c echo Waiting for the phone.& exit 5", watch));
  std::vector<HostLine> lines;
  std::optional<WPARAM> exitCode;
  const ULONGLONG deadline = GetTickCount64() + 30000;
  MSG message;
  while (!exitCode && GetTickCount64() < deadline) {
    if (!PeekMessageW(&message, window, 0, 0, PM_REMOVE)) {
      Sleep(20);
      continue;
    }
    if (message.message == kOutput) {
      for (HostLine& line : watch.output->Take()) {
        lines.push_back(std::move(line));
      }
    } else if (message.message == kExited) {
      exitCode = message.wParam;
    }
  }
  DestroyWindow(window);
  ASSERT_EQ(exitCode, WPARAM{5});
  ASSERT_EQ(lines.size(), 1U);
  EXPECT_EQ(lines[0].host, 7U);
  EXPECT_EQ(lines[0].text, "Waiting for the phone.");
}

TEST(HostProcessUnderWineTest, RunHiddenGivesTheExitCodeOrNothingOnTimeOut) {
  EXPECT_EQ(RunHidden(L"cmd.exe /c exit 3", 30000), 3U);
  // Still running at the limit: nothing, and the process is left to end.
  EXPECT_FALSE(RunHidden(L"cmd.exe /c ping -n 3 127.0.0.1", 1).has_value());
}

}  // namespace
}  // namespace veyra
