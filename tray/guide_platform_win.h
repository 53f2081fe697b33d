#pragma once

#include <windows.h>

#include "tray/connection_guide.h"

namespace veyra {

// The guide's files, site and browser on Windows; message boxes are owned
// by the tray's window. UI thread only.
class WinGuidePlatform final : public GuidePlatform {
 public:
  explicit WinGuidePlatform(HWND owner) : owner_(owner) {}

  std::wstring DataFolder() override;
  std::wstring FileBesideProgram(const std::wstring& name) override;
  bool CopyFileOver(const std::wstring& from, const std::wstring& to) override;
  bool WriteFileAtomically(const std::wstring& path, std::string_view bytes) override;
  bool DriverEventExists() override;
  std::uint64_t TickMs() override;
  std::optional<std::wstring> FileUrl(const std::wstring& path) override;
  bool ProbeGuideSite() override;
  bool OpenInBrowser(const std::wstring& address) override;
  void ShowWarning(const std::wstring& text) override;

 private:
  HWND owner_;
};

}  // namespace veyra
