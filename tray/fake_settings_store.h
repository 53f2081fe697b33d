#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tray/settings_store.h"

namespace veyra {

// Settings in memory. Records every write in order; a test may script the
// status that writes return (they store the value only on success).
class FakeSettingsStore final : public SettingsStore {
 public:
  std::wstring Read(const wchar_t* name) override {
    const auto it = values_.find(name);
    return it == values_.end() ? std::wstring() : it->second;
  }

  std::int32_t Write(const wchar_t* name, const std::wstring& text) override {
    writes_.emplace_back(name, text);
    if (writeStatus_ == 0) {
      values_[name] = text;
    }
    return writeStatus_;
  }

  void Set(const std::wstring& name, const std::wstring& text) { values_[name] = text; }
  void SetWriteStatus(std::int32_t status) { writeStatus_ = status; }

  const std::vector<std::pair<std::wstring, std::wstring>>& writes() const { return writes_; }
  const std::map<std::wstring, std::wstring>& values() const { return values_; }

 private:
  std::map<std::wstring, std::wstring> values_;
  std::vector<std::pair<std::wstring, std::wstring>> writes_;
  std::int32_t writeStatus_ = 0;
};

}  // namespace veyra
