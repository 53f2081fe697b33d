// <windows.h> first: the other headers build on its types.
#include <windows.h>

#include <bcrypt.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "host/base/log.h"
#include "host/base/scoped_handle_win.h"
#include "host/base/status_codes.h"
#include "host/base/utf_conversion.h"
#include "host/pairing/pairing_store.h"

namespace veyra {
namespace {

// How long Save waits for another program's save to finish: a save takes
// milliseconds, so this is only reached when something hangs.
constexpr int kLockAttempts = 300;
constexpr DWORD kLockRetryMs = 10;

// LockFileEx on a file beside the store; closing the handle releases it.
class WindowsStoreLock final : public StoreLock {
 public:
  explicit WindowsStoreLock(ScopedHandle file) : file_(std::move(file)) {}

 private:
  ScopedHandle file_;
};

StoreRead Failed(const char* call, DWORD error) {
  return {StoreRead::Outcome::kFailed,
          {},
          std::string(call) + " failed: error " + std::to_string(error)};
}

class WindowsStoreFiles final : public StoreFiles {
 public:
  StoreRead ReadAll(const std::string& path) override {
    const ScopedHandle file(CreateFileW(WideFromUtf8(path).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid()) {
      const DWORD error = GetLastError();
      // A sharing violation or a denied access says nothing about what the
      // file holds; only a file that is not there is a first run.
      if (error == status::kErrorFileNotFound || error == status::kErrorPathNotFound) {
        return {};
      }
      return Failed("CreateFile", error);
    }
    StoreRead read{StoreRead::Outcome::kRead, {}, {}};
    char buffer[4096];
    for (;;) {
      DWORD count = 0;
      if (!ReadFile(file.Get(), buffer, sizeof(buffer), &count, nullptr)) {
        // What came so far is not the whole file.
        return Failed("ReadFile", GetLastError());
      }
      if (count == 0) break;
      read.bytes.append(buffer, count);
    }
    return read;
  }

  bool WriteAll(const std::string& path, const std::string& bytes) override {
    // A new file, never an old one opened again: DeleteFileW removes a link
    // planted there (the link, not its target), and CREATE_NEW with
    // FILE_FLAG_OPEN_REPARSE_POINT fails on one planted in between instead
    // of following it.
    const std::wstring wide = WideFromUtf8(path);
    DeleteFileW(wide.c_str());
    ScopedHandle file(CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.IsValid()) {
      return false;
    }
    bool ok = true;
    std::size_t done = 0;
    while (ok && done < bytes.size()) {
      DWORD written = 0;
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 20));
      ok = WriteFile(file.Get(), bytes.data() + done, chunk, &written, nullptr) && written > 0;
      done += written;
    }
    // The data must be on the disk before the file replaces the store.
    ok = ok && FlushFileBuffers(file.Get());
    return CloseHandle(file.Take()) && ok;
  }

  std::uint32_t Replace(const std::string& from, const std::string& to) override {
    if (MoveFileExW(WideFromUtf8(from).c_str(), WideFromUtf8(to).c_str(),
                    MOVEFILE_REPLACE_EXISTING)) {
      return 0;
    }
    return GetLastError();
  }

  void Remove(const std::string& path) override { DeleteFileW(WideFromUtf8(path).c_str()); }

  std::unique_ptr<StoreLock> Lock(const std::string& path) override {
    ScopedHandle file(
        CreateFileW(WideFromUtf8(path + ".lock").c_str(), GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.IsValid()) {
      return nullptr;
    }
    for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
      OVERLAPPED at = {};
      if (LockFileEx(file.Get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                     &at)) {
        return std::make_unique<WindowsStoreLock>(std::move(file));
      }
      if (GetLastError() != ERROR_LOCK_VIOLATION) {
        break;
      }
      Sleep(kLockRetryMs);
    }
    Log(LogLevel::Warn, "another program held %s.lock for too long", path.c_str());
    return nullptr;
  }
};

}  // namespace

StoreFiles& PlatformStoreFiles() {
  static WindowsStoreFiles files;
  return files;
}

std::string PairingStore::DefaultPath() {
  PWSTR folder = nullptr;
  const HRESULT hr = SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &folder);
  std::wstring path;
  if (SUCCEEDED(hr) && folder != nullptr) {
    path = folder;
  }
  CoTaskMemFree(folder);
  if (FAILED(hr) || path.empty()) {
    return {};
  }
  path += L"\\Veyra";
  CreateDirectoryW(path.c_str(), nullptr);  // usually exists already
  path += L"\\pairing.json";
  return Utf8FromWide(path);
}

std::string PairingStore::DefaultHostName() {
  wchar_t name[16] = {};
  DWORD size = 16;
  if (!GetComputerNameW(name, &size)) {
    return "Windows PC";
  }
  return Utf8FromWide(std::wstring_view(name, size));
}

std::vector<std::uint8_t> SystemRandomBytes(std::size_t count) {
  std::vector<std::uint8_t> bytes(count);
  if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, bytes.data(), static_cast<ULONG>(count),
                                      BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
    throw std::runtime_error("BCryptGenRandom failed");
  }
  return bytes;
}

}  // namespace veyra
