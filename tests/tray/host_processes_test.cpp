#include "tray/host_processes.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

namespace veyra {
namespace {

// Processes described by the test; a terminated process ends at once only
// when it is not one of the `stubborn` ones.
class FakeProcessSystem final : public ProcessSystem {
 public:
  class Opened final : public OpenedProcess {
   public:
    Opened(FakeProcessSystem& system, std::uint32_t pid) : system_(system), pid_(pid) {}
    bool Terminate() override {
      system_.terminated.push_back(pid_);
      return !system_.failTerminate.contains(pid_);
    }
    std::uint32_t pid() const { return pid_; }

   private:
    FakeProcessSystem& system_;
    std::uint32_t pid_;
  };

  std::vector<ProcessEntry> Processes() override {
    ++snapshots;
    return list;
  }
  bool SessionOf(std::uint32_t pid, std::uint32_t& session) override {
    const auto it = sessions.find(pid);
    if (it == sessions.end()) {
      return false;
    }
    session = it->second;
    return true;
  }
  std::uint32_t OwnSession() override { return 1; }
  std::unique_ptr<OpenedProcess> Open(std::uint32_t pid) override {
    opened.push_back(pid);
    if (unopenable.contains(pid)) {
      return nullptr;
    }
    return std::make_unique<Opened>(*this, pid);
  }
  void WaitForAll(std::span<OpenedProcess* const> processes,
                  std::chrono::milliseconds limit) override {
    ++waits;
    waitLimit = limit;
    for (OpenedProcess* p : processes) {
      waitedFor.push_back(static_cast<Opened*>(p)->pid());
    }
  }

  void Add(std::uint32_t pid, const wchar_t* name, std::uint32_t session) {
    list.push_back({pid, name});
    sessions[pid] = session;
  }

  std::vector<ProcessEntry> list;
  std::map<std::uint32_t, std::uint32_t> sessions;
  std::set<std::uint32_t> unopenable;
  std::set<std::uint32_t> failTerminate;
  int snapshots = 0;
  int waits = 0;
  std::chrono::milliseconds waitLimit{0};
  std::vector<std::uint32_t> opened;
  std::vector<std::uint32_t> terminated;
  std::vector<std::uint32_t> waitedFor;
};

TEST(StopAllHostsTest, EndsOnlyThisSessionsHostsOnceAndWaitsForThemTogether) {
  FakeProcessSystem system;
  system.Add(10, L"explorer.exe", 1);
  system.Add(20, L"veyra-host.exe", 1);
  system.Add(30, L"veyra-host.exe", 2);  // another user's host
  system.Add(40, L"VEYRA-HOST.EXE", 1);
  system.Add(50, L"veyra-host.exe.bak", 1);
  EXPECT_EQ(StopAllHosts(system), 2U);
  EXPECT_EQ(system.snapshots, 1);
  EXPECT_EQ(system.opened, (std::vector<std::uint32_t>{20, 40}));
  EXPECT_EQ(system.terminated, (std::vector<std::uint32_t>{20, 40}));
  EXPECT_EQ(system.waits, 1);
  EXPECT_EQ(system.waitLimit, std::chrono::milliseconds(2000));
  EXPECT_EQ(system.waitedFor, (std::vector<std::uint32_t>{20, 40}));
}

TEST(StopAllHostsTest, AHostThatNeverEndsIsTerminatedOnceAndTheWaitIsBounded) {
  FakeProcessSystem system;
  system.Add(20, L"veyra-host.exe", 1);
  // Listed twice, as a snapshot taken while it is dying may do.
  system.list.push_back({20, L"veyra-host.exe"});
  EXPECT_EQ(StopAllHosts(system), 1U);
  EXPECT_EQ(system.terminated, (std::vector<std::uint32_t>{20}));
  EXPECT_EQ(system.waits, 1);
}

TEST(StopAllHostsTest, SkipsWhatCannotBeOpenedOrAskedAndGoesOn) {
  FakeProcessSystem system;
  system.Add(20, L"veyra-host.exe", 1);
  system.Add(30, L"veyra-host.exe", 1);
  system.Add(40, L"veyra-host.exe", 1);
  system.Add(50, L"veyra-host.exe", 1);
  system.unopenable = {20};
  system.sessions.erase(30);  // gone before its session could be asked
  system.failTerminate = {40};
  EXPECT_EQ(StopAllHosts(system), 1U);
  EXPECT_EQ(system.opened, (std::vector<std::uint32_t>{20, 40, 50}));
  EXPECT_EQ(system.waitedFor, (std::vector<std::uint32_t>{50}));
}

TEST(StopAllHostsTest, NoHostMeansNoWait) {
  FakeProcessSystem system;
  system.Add(10, L"explorer.exe", 1);
  EXPECT_EQ(StopAllHosts(system), 0U);
  EXPECT_EQ(system.waits, 0);
  FakeProcessSystem empty;  // no snapshot at all
  EXPECT_EQ(StopAllHosts(empty), 0U);
}

}  // namespace
}  // namespace veyra
