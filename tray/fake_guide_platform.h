#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "tray/connection_guide.h"

namespace veyra {

// Files, site and browser as a test describes them. The program folder and
// the data folder are plain maps of path to content.
class FakeGuidePlatform final : public GuidePlatform {
 public:
  std::wstring DataFolder() override { return dataFolder; }
  std::wstring FileBesideProgram(const std::wstring& name) override {
    return programFolder + L"\\" + name;
  }
  bool CopyFileOver(const std::wstring& from, const std::wstring& to) override {
    const auto it = files.find(from);
    if (it == files.end() || unwritable.contains(to)) {
      return false;
    }
    files[to] = it->second;
    return true;
  }
  bool WriteFileAtomically(const std::wstring& path, std::string_view bytes) override {
    writes.emplace_back(path);
    if (unwritable.contains(path)) {
      return false;
    }
    files[path] = std::string(bytes);
    return true;
  }
  bool DriverEventExists() override {
    ++driverEventChecks;
    return driverEvent;
  }
  std::uint64_t TickMs() override { return tickMs; }
  std::optional<std::wstring> FileUrl(const std::wstring& path) override {
    if (!fileUrlWorks) {
      return std::nullopt;
    }
    return L"file:///" + path;
  }
  bool ProbeGuideSite() override {
    ++probes;
    return siteAnswers;
  }
  bool OpenInBrowser(const std::wstring& address) override {
    opened.push_back(address);
    return address.starts_with(L"https:") ? onlineLaunches : localLaunches;
  }
  void ShowWarning(const std::wstring& text) override { warnings.push_back(text); }

  // Scripted world.
  std::wstring dataFolder = L"C:\\Users\\ana\\AppData\\Local\\Brenvik\\Veyra";
  std::wstring programFolder = L"C:\\Program Files\\Veyra";
  std::map<std::wstring, std::string> files;
  std::set<std::wstring> unwritable;
  bool driverEvent = false;
  std::uint64_t tickMs = 123456;
  bool fileUrlWorks = true;
  bool siteAnswers = false;
  bool onlineLaunches = true;
  bool localLaunches = true;

  // Recorded.
  std::vector<std::wstring> writes;
  int driverEventChecks = 0;
  int probes = 0;
  std::vector<std::wstring> opened;
  std::vector<std::wstring> warnings;
};

}  // namespace veyra
