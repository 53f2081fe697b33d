#pragma once

#include <string>
#include <string_view>

namespace veyra {

// UTF-16 and UTF-8 conversion at the platform calls: the host keeps its texts
// in UTF-8 and converts them at every Windows call that takes or gives text.
std::string Utf8FromWide(std::wstring_view wide);
std::wstring WideFromUtf8(std::string_view utf8);

}  // namespace veyra
