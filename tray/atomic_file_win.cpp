#include "tray/atomic_file_win.h"

#include <windows.h>

#include "host/base/scoped_handle_win.h"

namespace veyra {

bool WriteFileAtomically(const std::wstring& path, std::string_view bytes) {
  const std::wstring tmp = path + L".tmp";
  {
    ScopedHandle file(CreateFileW(tmp.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid()) {
      return false;
    }
    DWORD written = 0;
    const auto size = static_cast<DWORD>(bytes.size());
    if (!WriteFile(file.Get(), bytes.data(), size, &written, nullptr) || written != size) {
      file.Reset();
      DeleteFileW(tmp.c_str());
      return false;
    }
  }  // closed before the move: an open file cannot replace another
  if (!MoveFileExW(tmp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    DeleteFileW(tmp.c_str());
    return false;
  }
  return true;
}

}  // namespace veyra
