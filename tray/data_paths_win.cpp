#include "tray/data_paths_win.h"

#include <windows.h>

#include <vector>

#include "tray/data_paths.h"

namespace veyra {

std::wstring AppDataFolder() {
  std::vector<wchar_t> buffer(kEnvironmentBufferUnits);
  const DWORD length =
      GetEnvironmentVariableW(L"LOCALAPPDATA", buffer.data(), static_cast<DWORD>(buffer.size()));
  if (!EnvironmentValueFits(length)) {
    return {};
  }
  const std::wstring maker = JoinPath(std::wstring(buffer.data(), length), L"Brenvik");
  // An existing folder fails here too; the next step finds out whether the
  // path is usable.
  CreateDirectoryW(maker.c_str(), nullptr);
  std::wstring folder = JoinPath(maker, L"Veyra");
  if (CreateDirectoryW(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS) {
    return folder;
  }
  return {};
}

std::wstring FileBesideProgram(const std::wstring& name) {
  // MAX_PATH covers most installs; a longer path is read in full rather
  // than cut, since a cut path names the wrong folder.
  constexpr DWORD kLongestPath = 32768;
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD length =
        GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length < buffer.size() || buffer.size() >= kLongestPath) {
      return PathBesideProgram(std::wstring(buffer.data(), length), name);
    }
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace veyra
