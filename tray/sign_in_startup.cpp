#include "tray/sign_in_startup.h"

#include <algorithm>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "host/base/status_codes.h"

namespace veyra {
namespace {

wchar_t FoldAscii(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + 32) : c; }

}  // namespace

bool RunValueNamesTray(std::span<const wchar_t> buffer, std::size_t bytes) {
  constexpr std::wstring_view kTrayName = L"veyra-tray";
  // The registry counts bytes of UTF-16, whatever the width of wchar_t here.
  constexpr std::size_t kUtf16UnitBytes = 2;
  const std::size_t units = std::min(bytes / kUtf16UnitBytes, buffer.size());
  const std::span<const wchar_t> text = buffer.first(units);
  // The text ends at its first NUL, if it has one within the length.
  const auto end = std::find(text.begin(), text.end(), L'\0');
  const auto found = std::search(text.begin(), end, kTrayName.begin(), kTrayName.end(),
                                 [](wchar_t a, wchar_t b) { return FoldAscii(a) == b; });
  return found != end;
}

std::wstring QuotedProgramPath(const std::wstring& path) { return L"\"" + path + L"\""; }

bool StartupTaskRuns(std::int32_t state) {
  return state == static_cast<std::int32_t>(StartupTaskState::kEnabled) ||
         state == static_cast<std::int32_t>(StartupTaskState::kEnabledByPolicy);
}

PackagingTest::PackagingTest(std::function<std::uint32_t()> packageNameStatus)
    : packageNameStatus_(std::move(packageNameStatus)) {}

bool PackagingTest::IsPackaged() {
  std::call_once(once_,
                 [this] { packaged_ = packageNameStatus_() != status::kAppmodelErrorNoPackage; });
  return packaged_;
}

bool RunOnWorkerThread(const std::function<bool()>& work) {
  bool result = false;
  try {
    // Joined before `result` goes out of scope: the thread's only output.
    std::thread worker([&work, &result] {
      try {
        result = work();
      } catch (...) {
        // Whatever went wrong inside, the change or the query failed.
        result = false;
      }
    });
    worker.join();
  } catch (const std::system_error&) {
    return false;
  }
  return result;
}

}  // namespace veyra
