#include "host/input/hid_keymap.h"

#include <array>

namespace veyra {
namespace {

// Usages 40 to 82 in order: Enter through the arrow keys. 0 marks usage 50
// (the non-US hash key), which has no fixed virtual key.
constexpr std::array<std::uint16_t, 43> kEnterToUpArrow = {
    13,                                                          // 40 Enter
    27,                                                          // 41 Escape
    8,                                                           // 42 Backspace
    9,                                                           // 43 Tab
    32,                                                          // 44 Space
    189,                                                         // 45 -
    187,                                                         // 46 =
    219,                                                         // 47 [
    221,                                                         // 48 ]
    220,                                                         // 49 backslash
    0,                                                           // 50 non-US hash
    186,                                                         // 51 ;
    222,                                                         // 52 '
    192,                                                         // 53 grave accent
    188,                                                         // 54 ,
    190,                                                         // 55 .
    191,                                                         // 56 /
    20,                                                          // 57 Caps Lock
    112, 113, 114, 115, 116, 117, 118, 119, 120, 121, 122, 123,  // 58-69 F1-F12
    44,                                                          // 70 Print Screen
    145,                                                         // 71 Scroll Lock
    19,                                                          // 72 Pause
    45,                                                          // 73 Insert
    36,                                                          // 74 Home
    33,                                                          // 75 Page Up
    46,                                                          // 76 Delete
    35,                                                          // 77 End
    34,                                                          // 78 Page Down
    39,                                                          // 79 Right arrow
    37,                                                          // 80 Left arrow
    40,                                                          // 81 Down arrow
    38,                                                          // 82 Up arrow
};

// Usages 224 to 231: the modifiers, left then right.
constexpr std::array<std::uint16_t, 8> kModifiers = {
    162,  // 224 Left Control
    160,  // 225 Left Shift
    164,  // 226 Left Alt
    91,   // 227 Left GUI
    163,  // 228 Right Control
    161,  // 229 Right Shift
    165,  // 230 Right Alt
    92,   // 231 Right GUI
};

}  // namespace

std::uint16_t VirtualKeyForHidUsage(std::uint32_t usage) {
  if (usage >= 4 && usage <= 29) {  // A to Z
    return static_cast<std::uint16_t>(usage + 61);
  }
  if (usage >= 30 && usage <= 38) {  // 1 to 9
    return static_cast<std::uint16_t>(usage + 19);
  }
  if (usage == 39) {  // 0
    return 48;
  }
  if (usage >= 40 && usage <= 82) {
    return kEnterToUpArrow[usage - 40];
  }
  if (usage >= 224 && usage <= 231) {
    return kModifiers[usage - 224];
  }
  return 0;
}

bool IsExtendedVirtualKey(std::uint16_t virtualKey) {
  switch (virtualKey) {
    case 33:   // Page Up
    case 34:   // Page Down
    case 35:   // End
    case 36:   // Home
    case 37:   // Left
    case 38:   // Up
    case 39:   // Right
    case 40:   // Down
    case 44:   // Print Screen
    case 45:   // Insert
    case 46:   // Delete
    case 91:   // Left Windows
    case 92:   // Right Windows
    case 93:   // Menu
    case 111:  // keypad divide
    case 144:  // Num Lock
    case 163:  // Right Control
    case 165:  // Right Alt
      return true;
    default:
      return false;
  }
}

}  // namespace veyra
