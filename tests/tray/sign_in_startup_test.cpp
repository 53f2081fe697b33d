#include "tray/sign_in_startup.h"

#include <gtest/gtest.h>

#include <array>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "host/base/status_codes.h"

namespace veyra {
namespace {

// The buffer as the registry fills it: the value's bytes, then whatever
// the buffer held before (here a tray name that must not be seen).
std::vector<wchar_t> Filled(const std::wstring& value, std::size_t units) {
  std::vector<wchar_t> buffer(units, L'x');
  const std::wstring trailer = L"veyra-tray";
  for (std::size_t i = 0; i < units; ++i) {
    buffer[i] = trailer[i % trailer.size()];
  }
  std::copy(value.begin(), value.end(), buffer.begin());
  return buffer;
}

// Lengths are in bytes of UTF-16, two per character, as the registry gives them.
TEST(RunValueTest, NamesTheTrayInAnyCase) {
  for (const std::wstring value :
       {L"\"C:\\Program Files\\Veyra\\veyra-tray.exe\"", L"\"C:\\Veyra\\Veyra-Tray.exe\"",
        L"\"C:\\VEYRA-TRAY.EXE\"", L"C:\\old\\veyra-tray-1.0\\run.exe"}) {
    std::wstring terminated = value + L'\0';
    EXPECT_TRUE(RunValueNamesTray(terminated, terminated.size() * 2))
        << std::string(value.begin(), value.end());
  }
}

TEST(RunValueTest, AnotherProgramOrALookAlikeIsNotTheTray) {
  for (const std::wstring value :
       {L"\"C:\\Tools\\other.exe\"", L"\"C:\\veyra_tray.exe\"", L"\"C:\\veyra-tra\"", L""}) {
    std::wstring terminated = value + L'\0';
    EXPECT_FALSE(RunValueNamesTray(terminated, terminated.size() * 2))
        << std::string(value.begin(), value.end());
  }
  // Folding is ASCII only: a fullwidth letter is another character.
  const std::wstring fullwidth = L"\"C:\\veyra-tr\uFF41y.exe\"";
  EXPECT_FALSE(RunValueNamesTray(fullwidth, fullwidth.size() * 2));
}

TEST(RunValueTest, ReadsOnlyTheReturnedLengthOfAnUnterminatedValue) {
  // 1040 bytes of another program's path, no terminator, and the tray's
  // name right behind them in memory.
  std::vector<wchar_t> buffer = Filled(std::wstring(520, L'a'), 540);
  EXPECT_FALSE(RunValueNamesTray(std::span(buffer).first(520), kRunValueBufferBytes));
  EXPECT_FALSE(RunValueNamesTray(buffer, kRunValueBufferBytes));
  // A length beyond the buffer is cut to the buffer.
  std::vector<wchar_t> exact(520, L'a');
  EXPECT_FALSE(RunValueNamesTray(exact, 100000));

  // The same value ending in the tray's name, unterminated, still counts.
  std::wstring tail(510, L'a');
  tail += L"veyra-tray";
  std::vector<wchar_t> full = Filled(tail, 520);
  EXPECT_TRUE(RunValueNamesTray(full, kRunValueBufferBytes));
  // An odd byte count ends at the last whole character.
  EXPECT_FALSE(RunValueNamesTray(full, kRunValueBufferBytes - 1));
}

TEST(RunValueTest, TextStopsAtItsFirstNul) {
  std::wstring value = L"\"C:\\other.exe\"";
  value += L'\0';
  value += L"veyra-tray";
  EXPECT_FALSE(RunValueNamesTray(value, value.size() * 2));
}

TEST(RunValueTest, QuotesThePath) {
  EXPECT_EQ(QuotedProgramPath(L"C:\\Program Files\\Veyra\\veyra-tray.exe"),
            L"\"C:\\Program Files\\Veyra\\veyra-tray.exe\"");
}

TEST(StartupTaskStateTest, OnlyTheEnabledStatesRun) {
  const std::array<bool, 6> runs = {false, false, true, false, true, false};
  for (std::int32_t state = 0; state < 6; ++state) {
    EXPECT_EQ(StartupTaskRuns(state), runs[static_cast<std::size_t>(state)]) << state;
  }
  EXPECT_FALSE(StartupTaskRuns(-1));
}

TEST(PackagingTestTest, AsksOnceAndTreatsEveryOtherAnswerAsPackaged) {
  int asked = 0;
  PackagingTest plain([&] {
    ++asked;
    return status::kAppmodelErrorNoPackage;
  });
  EXPECT_FALSE(plain.IsPackaged());
  EXPECT_FALSE(plain.IsPackaged());
  EXPECT_EQ(asked, 1);

  // ERROR_INSUFFICIENT_BUFFER is what a packaged process gets for an empty
  // buffer; success would be as good.
  for (const std::uint32_t answer : {122U, 0U}) {
    PackagingTest packaged([answer] { return answer; });
    EXPECT_TRUE(packaged.IsPackaged()) << answer;
  }
}

TEST(WorkerThreadTest, HandsTheResultBackFromAnotherThread) {
  const std::thread::id caller = std::this_thread::get_id();
  std::thread::id ranOn;
  EXPECT_TRUE(RunOnWorkerThread([&] {
    ranOn = std::this_thread::get_id();
    return true;
  }));
  EXPECT_NE(ranOn, caller);
  EXPECT_FALSE(RunOnWorkerThread([] { return false; }));
}

TEST(WorkerThreadTest, AnExceptionInsideIsAFailure) {
  EXPECT_FALSE(RunOnWorkerThread([]() -> bool { throw std::runtime_error("no package"); }));
}

}  // namespace
}  // namespace veyra
