#pragma once

#include <cstddef>
#include <string>

namespace veyra {

// The per-user data folder is LOCALAPPDATA\Brenvik\Veyra; the variable is
// read into a buffer of this many units.
inline constexpr std::size_t kEnvironmentBufferUnits = 4096;

// True when a variable's length as the platform reports it (0 when unset,
// the needed size when the buffer is too small) gives a usable value.
bool EnvironmentValueFits(std::size_t reportedLength);

// base\part, without doubling a separator that base already ends with.
std::wstring JoinPath(const std::wstring& base, const std::wstring& part);

// The file name placed in the folder of the given program path: everything
// up to and including the last backslash, then the name; the name alone
// when the path has no backslash.
std::wstring PathBesideProgram(const std::wstring& programPath, const std::wstring& name);

}  // namespace veyra
