#pragma once

#include <string_view>

namespace veyra {

// Compares two texts with the letters A-Z and a-z taken as equal. Display
// device names and ids and DNS host names are ASCII; DNS defines its case
// rule for ASCII only.
bool EqualsIgnoringAsciiCase(std::wstring_view a, std::wstring_view b);

}  // namespace veyra
