#pragma once

#include <cstdint>

namespace veyra {

// The user's display language identifier (English in the native build,
// which has no such setting).
std::uint16_t UserUiLanguage();

// True when a Windows language identifier's primary language (its low ten
// bits) is Korean. Other languages spoken in Korea do not count.
bool IsKoreanLanguage(std::uint16_t languageId);

}  // namespace veyra
