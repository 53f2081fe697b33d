#pragma once

#include <cstdint>

namespace veyra {

// The Windows virtual key for a USB HID keyboard usage (usage page 0x07), or
// 0 for a usage without one (the keypad among them).
std::uint16_t VirtualKeyForHidUsage(std::uint32_t usage);

// Whether a virtual key is sent with KEYEVENTF_EXTENDEDKEY: the navigation
// block, Print Screen, the Windows and menu keys, keypad divide, Num Lock and
// the right-hand Control and Alt.
bool IsExtendedVirtualKey(std::uint16_t virtualKey);

}  // namespace veyra
