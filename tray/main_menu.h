#pragma once

// What the tray's menus hold: items, identifiers, flags and labels, decided
// apart from the Win32 calls that show them.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "tray/localized_text.h"
#include "tray/phone_discovery.h"

namespace veyra {

struct MenuItem {
  enum class Kind { Command, Separator, Submenu };

  Kind kind = Kind::Command;
  std::uint16_t id = 0;  // 0 for separators, submenus and greyed notes
  std::wstring label;
  bool checked = false;
  bool grayed = false;
  std::vector<MenuItem> children;  // a submenu's items

  bool operator==(const MenuItem&) const = default;
};

// Labels are formatted into fixed buffers (terminator included) and cut to
// fit, as the menu always showed them.
inline constexpr std::size_t kMenuLabelUnits = 160;
inline constexpr std::size_t kPickerLabelUnits = 192;

// The text cut to at most maxUnits UTF-16 units, never inside a surrogate
// pair.
std::wstring CutToUnits(std::wstring text, std::size_t maxUnits);

// Everything the main menu depends on, read just before it is built.
struct MainMenuInputs {
  bool hostRunning = false;
  // Asked again when the quality submenu is filled, as a host may have
  // appeared or gone in between.
  bool hostRunningAtQuality = false;
  bool searching = false;
  std::wstring address;  // "ReceiverAddress"
  std::wstring name;     // "ReceiverName"
  // The running host serves the phone's browser; servedPhone names the
  // phone it shows this PC on, if any.
  bool serving = false;
  std::wstring servedPhone;
  // The user last connected through the browser: that item comes first.
  bool browserFirst = false;
  std::int32_t bitrateKbps = 0;
  std::int32_t fps = 0;
  bool startupEnabled = false;
  bool korean = false;
};

std::vector<MenuItem> BuildMainMenu(const MainMenuInputs& inputs);

// One plain item per phone, "name (address)" so that phones of one name are
// told apart, identifiers from kCmdPhoneFirst on. The name is cut and made
// safe to show (see PeerText), never the address.
std::vector<MenuItem> BuildPhonePicker(std::span<const FoundPhone> phones);

// One quality preset of the submenu.
struct QualityPreset {
  std::uint16_t command;
  const wchar_t* setting;
  std::int32_t value;
  TextRole role;
};

std::span<const QualityPreset> QualityPresets();

// The setting a quality command writes and its decimal text; nothing for
// any other command.
std::optional<std::pair<const wchar_t*, std::wstring>> PresetSettingFor(std::uint16_t command);

// The index into the last search's phones that a picker command names.
std::optional<std::size_t> PickedPhoneIndex(std::uint16_t command, std::size_t phoneCount);

}  // namespace veyra
