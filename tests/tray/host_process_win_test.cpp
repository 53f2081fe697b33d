// Runs under Wine: the process walk that StopAllHosts relies on, and the
// host start's refusals.
#include "tray/host_process_win.h"

#include <gtest/gtest.h>

#include <algorithm>

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
                         L"\"Z:\\no\\such\\folder\\veyra-host.exe\" --host 10.0.0.2", nullptr, 0));
  EXPECT_FALSE(RunHidden(L"\"Z:\\no\\such\\folder\\veyra-host.exe\" --forget-all", 1000));
}

TEST(HostProcessUnderWineTest, RunHiddenGivesTheExitCodeOrNothingOnTimeOut) {
  EXPECT_EQ(RunHidden(L"cmd.exe /c exit 3", 30000), 3U);
  // Still running at the limit: nothing, and the process is left to end.
  EXPECT_FALSE(RunHidden(L"cmd.exe /c ping -n 3 127.0.0.1", 1).has_value());
}

}  // namespace
}  // namespace veyra
