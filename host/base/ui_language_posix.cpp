#include "host/base/ui_language.h"

namespace veyra {
namespace {

constexpr std::uint16_t kEnglishUnitedStates = 0x0409;

}  // namespace

std::uint16_t UserUiLanguage() { return kEnglishUnitedStates; }

}  // namespace veyra
