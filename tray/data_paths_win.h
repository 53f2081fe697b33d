#pragma once

#include <string>

namespace veyra {

// The per-user data folder LOCALAPPDATA\Brenvik\Veyra, created on every
// call. Empty when the variable is unset or too long, or the folder cannot
// be made; callers then skip what needed it.
std::wstring AppDataFolder();

// The full path of a file in the program's own folder.
std::wstring FileBesideProgram(const std::wstring& name);

}  // namespace veyra
