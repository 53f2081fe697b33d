#pragma once

#include <string>
#include <string_view>

namespace veyra {

// Wide text (UTF-16 on Windows, UTF-32 natively) and UTF-8: the host keeps
// its texts in UTF-8 and converts them at every Windows call that takes or
// gives text; the tray keeps wide texts and converts what the host's shared
// code gives it. Invalid input becomes U+FFFD.
std::string Utf8FromWide(std::wstring_view wide);
std::wstring WideFromUtf8(std::string_view utf8);

}  // namespace veyra
