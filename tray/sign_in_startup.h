#pragma once

// Starting the tray at sign-in: the decisions shared by both installations.
// A plain program keeps the value "Veyra" under the current user's Run key;
// a packaged one asks the package's startup task "VeyraTray".

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>

namespace veyra {

inline constexpr const wchar_t* kRunKeyPath = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr const wchar_t* kRunValueName = L"Veyra";
// The Run value is read into a buffer of this many bytes.
inline constexpr std::size_t kRunValueBufferBytes = 1040;
inline constexpr const wchar_t* kStartupTaskId = L"VeyraTray";
// Where the user may turn a disabled startup task back on.
inline constexpr const wchar_t* kStartupAppsSettingsUri = L"ms-settings:startupapps";

// True when the Run value's text, as far as the query returned it, holds
// "veyra-tray" in any case: file names on Windows ignore case, and a value
// need not end in a NUL, so nothing past `bytes` is read.
bool RunValueNamesTray(std::span<const wchar_t> buffer, std::size_t bytes);

// The Run value's content for a program: its path in double quotes.
std::wstring QuotedProgramPath(const std::wstring& path);

// The Windows Runtime's StartupTaskState.
enum class StartupTaskState : std::int32_t {
  kDisabled = 0,
  kDisabledByUser = 1,
  kEnabled = 2,
  kDisabledByPolicy = 3,
  kEnabledByPolicy = 4,
};

// Enabled by the user or by policy; every other value, known or not, is off.
bool StartupTaskRuns(std::int32_t state);

// Whether the process has a package identity, asked once: `packageNameStatus`
// gives GetCurrentPackageFullName's result for an empty buffer.
class PackagingTest {
 public:
  explicit PackagingTest(std::function<std::uint32_t()> packageNameStatus);

  bool IsPackaged();

 private:
  std::function<std::uint32_t()> packageNameStatus_;
  std::once_flag once_;
  bool packaged_ = false;
};

// Runs `work` on a thread of its own and waits for it to end. A thread that
// cannot start, or an exception out of `work`, gives false.
bool RunOnWorkerThread(const std::function<bool()>& work);

}  // namespace veyra
