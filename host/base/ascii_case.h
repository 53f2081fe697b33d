#pragma once

#include <string_view>

namespace veyra {

// Compares two texts with the letters A-Z and a-z taken as equal and every
// other code unit as itself. Display device names and ids and DNS host names
// are ASCII; DNS defines its case rule for ASCII only.
bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b);
bool EqualsIgnoringAsciiCase(std::wstring_view a, std::wstring_view b);

}  // namespace veyra
