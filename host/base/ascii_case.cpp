#include "host/base/ascii_case.h"

namespace veyra {
namespace {

template <typename Char>
constexpr Char FoldAscii(Char c) {
  return (c >= Char('A') && c <= Char('Z')) ? static_cast<Char>(c - Char('A') + Char('a')) : c;
}

template <typename Char>
bool EqualsFolded(std::basic_string_view<Char> a, std::basic_string_view<Char> b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) { return EqualsFolded(a, b); }

bool EqualsIgnoringAsciiCase(std::wstring_view a, std::wstring_view b) {
  return EqualsFolded(a, b);
}

}  // namespace veyra
