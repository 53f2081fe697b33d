#include <windows.h>

#include "host/base/ui_language.h"

namespace veyra {

std::uint16_t UserUiLanguage() { return GetUserDefaultUILanguage(); }

}  // namespace veyra
