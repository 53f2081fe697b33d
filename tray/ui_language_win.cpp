#include <windows.h>

#include "tray/localized_text.h"

namespace veyra {

std::uint16_t UserUiLanguage() { return GetUserDefaultUILanguage(); }

}  // namespace veyra
