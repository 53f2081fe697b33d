#pragma once

#include <string>
#include <string_view>

namespace veyra {

// Writes path + ".tmp" and moves it over path, so that a reader sees either
// the old complete file or the new one, never a part. The temporary file is
// removed when any step fails.
bool WriteFileAtomically(const std::wstring& path, std::string_view bytes);

}  // namespace veyra
