#include "tray/ascii_case.h"

#include <algorithm>

namespace veyra {
namespace {

wchar_t FoldAscii(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c; }

}  // namespace

bool EqualsIgnoringAsciiCase(std::wstring_view a, std::wstring_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](wchar_t x, wchar_t y) { return FoldAscii(x) == FoldAscii(y); });
}

}  // namespace veyra
