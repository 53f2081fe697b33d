#include "tray/main_menu.h"

#include <algorithm>
#include <array>

#include "host/base/peer_text.h"
#include "host/base/utf_conversion.h"
#include "tray/settings_store.h"
#include "tray/tray_commands.h"

namespace veyra {
namespace {

constexpr std::array<QualityPreset, 5> kPresets = {{
    {kCmdBitrate6000, kBitrateKbpsSetting, 6000, TextRole::MenuDataSaver},
    {kCmdBitrate12000, kBitrateKbpsSetting, 12000, TextRole::MenuStandard},
    {kCmdBitrate20000, kBitrateKbpsSetting, 20000, TextRole::MenuSharper},
    {kCmdFps60, kFpsSetting, 60, TextRole::MenuSmoothMotion},
    {kCmdFps30, kFpsSetting, 30, TextRole::MenuBatterySaver},
}};

constexpr bool IsHighSurrogate(wchar_t c) {
  return sizeof(wchar_t) == 2 && c >= 0xD800 && c <= 0xDBFF;
}

MenuItem Command(std::uint16_t id, std::wstring label) {
  MenuItem item;
  item.id = id;
  item.label = CutToUnits(std::move(label), kMenuLabelUnits - 1);
  return item;
}

MenuItem Separator() {
  MenuItem item;
  item.kind = MenuItem::Kind::Separator;
  return item;
}

MenuItem GreyedNote(const wchar_t* label) {
  MenuItem item = Command(0, label);
  item.grayed = true;
  return item;
}

// The one item that starts or ends a connection.
MenuItem ConnectionItem(const MainMenuInputs& in) {
  if (in.hostRunning) {
    const std::wstring& remembered = in.name.empty() ? in.address : in.name;
    const std::wstring& shown = in.serving ? in.servedPhone : remembered;
    if (shown.empty()) {
      return Command(kCmdDisconnect, TextFor(TextRole::MenuDisconnect, in.korean));
    }
    return Command(kCmdDisconnect,
                   FillPlaceholder(TextFor(TextRole::MenuDisconnectFrom, in.korean), shown));
  }
  if (in.searching) {
    return GreyedNote(TextFor(TextRole::MenuLookingForPhone, in.korean));
  }
  if (in.name.empty()) {
    return Command(kCmdConnect, TextFor(TextRole::MenuConnectFind, in.korean));
  }
  return Command(kCmdConnect,
                 FillPlaceholder(TextFor(TextRole::MenuConnectTo, in.korean), in.name));
}

// Serves the page to the phone's browser, or shows its code again while it
// is served.
MenuItem BrowserItem(const MainMenuInputs& in) {
  const bool served = in.hostRunning && in.serving;
  return Command(
      kCmdConnectBrowser,
      TextFor(served ? TextRole::MenuShowBrowserCode : TextRole::MenuConnectBrowser, in.korean));
}

MenuItem QualitySubmenu(const MainMenuInputs& in) {
  MenuItem submenu;
  submenu.kind = MenuItem::Kind::Submenu;
  submenu.label = TextFor(TextRole::MenuPictureQuality, in.korean);
  for (const QualityPreset& preset : kPresets) {
    const bool isFps = preset.setting == kFpsSetting;
    if (isFps && preset.command == kCmdFps60) {
      submenu.children.push_back(Separator());
    }
    MenuItem item = Command(preset.command, TextFor(preset.role, in.korean));
    item.checked = preset.value == (isFps ? in.fps : in.bitrateKbps);
    submenu.children.push_back(std::move(item));
  }
  if (in.hostRunningAtQuality) {
    // The presets travel on the host's command line, so a running host
    // keeps its old ones.
    submenu.children.push_back(Separator());
    submenu.children.push_back(GreyedNote(TextFor(TextRole::MenuAppliesNext, in.korean)));
  }
  return submenu;
}

// A name from the network could otherwise push the address out of the
// label or, with bidirectional controls, rearrange how it reads.
std::wstring PickerLabel(const FoundPhone& phone) {
  const std::wstring address = L" (" + phone.address + L")";
  const std::size_t room = kPickerLabelUnits - 1 - std::min(address.size(), kPickerLabelUnits - 1);
  const std::string name = Utf8FromWide(phone.name);
  return CutToUnits(CutToUnits(WideFromUtf8(PeerText(name, name.size())), room) + address,
                    kPickerLabelUnits - 1);
}

}  // namespace

std::wstring CutToUnits(std::wstring text, std::size_t maxUnits) {
  if (text.size() > maxUnits) {
    text.resize(maxUnits);
    if (!text.empty() && IsHighSurrogate(text.back())) {
      text.pop_back();
    }
  }
  return text;
}

std::vector<MenuItem> BuildMainMenu(const MainMenuInputs& in) {
  std::vector<MenuItem> menu;
  menu.push_back(Command(kCmdGuide, TextFor(TextRole::MenuGuide, in.korean)));
  menu.push_back(Separator());
  if (in.browserFirst && !in.hostRunning) {
    menu.push_back(BrowserItem(in));
    menu.push_back(ConnectionItem(in));
  } else {
    menu.push_back(ConnectionItem(in));
    menu.push_back(BrowserItem(in));
  }
  menu.push_back(Command(kCmdEnterAddress, TextFor(TextRole::MenuEnterAddress, in.korean)));
  menu.push_back(QualitySubmenu(in));
  menu.push_back(Separator());
  menu.push_back(Command(kCmdForgetPhones, TextFor(TextRole::MenuForgetPhones, in.korean)));
  MenuItem startup = Command(kCmdStartAtSignIn, TextFor(TextRole::MenuStartAtSignIn, in.korean));
  startup.checked = in.startupEnabled;
  menu.push_back(std::move(startup));
  menu.push_back(Separator());
  menu.push_back(Command(kCmdExit, TextFor(TextRole::MenuExit, in.korean)));
  return menu;
}

std::vector<MenuItem> BuildPhonePicker(std::span<const FoundPhone> phones) {
  std::vector<MenuItem> picker;
  // Identifiers are 16 bits; a flood of answers cannot wrap them round
  // onto the other commands.
  const std::size_t room = 0xFFFFU - kCmdPhoneFirst + 1;
  for (std::size_t i = 0; i < phones.size() && i < room; ++i) {
    MenuItem item;
    item.id = static_cast<std::uint16_t>(kCmdPhoneFirst + i);
    item.label = PickerLabel(phones[i]);
    picker.push_back(std::move(item));
  }
  return picker;
}

std::span<const QualityPreset> QualityPresets() { return kPresets; }

std::optional<std::pair<const wchar_t*, std::wstring>> PresetSettingFor(std::uint16_t command) {
  for (const QualityPreset& preset : kPresets) {
    if (preset.command == command) {
      return std::make_pair(preset.setting, std::to_wstring(preset.value));
    }
  }
  return std::nullopt;
}

std::optional<std::size_t> PickedPhoneIndex(std::uint16_t command, std::size_t phoneCount) {
  if (command < kCmdPhoneFirst) {
    return std::nullopt;
  }
  const std::size_t index = command - kCmdPhoneFirst;
  if (index >= phoneCount) {
    return std::nullopt;
  }
  return index;
}

}  // namespace veyra
