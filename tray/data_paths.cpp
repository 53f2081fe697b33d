#include "tray/data_paths.h"

namespace veyra {

bool EnvironmentValueFits(std::size_t reportedLength) {
  return reportedLength > 0 && reportedLength < kEnvironmentBufferUnits;
}

std::wstring JoinPath(const std::wstring& base, const std::wstring& part) {
  if (!base.empty() && (base.back() == L'\\' || base.back() == L'/')) {
    return base + part;
  }
  return base + L'\\' + part;
}

std::wstring PathBesideProgram(const std::wstring& programPath, const std::wstring& name) {
  const std::size_t slash = programPath.rfind(L'\\');
  if (slash == std::wstring::npos) {
    return name;
  }
  return programPath.substr(0, slash + 1) + name;
}

}  // namespace veyra
