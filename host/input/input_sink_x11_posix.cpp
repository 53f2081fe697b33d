// Input into an X display through XTest, which makes the server treat fake
// events as the core pointer's and keyboard's own: the window under the
// pointer gets the buttons, the focused one the keys, as on a real desk.

#include "host/input/input_sink_x11_posix.h"

#include <X11/keysym.h>
#include <xcb/randr.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "host/base/clock.h"
#include "host/base/log.h"
#include "host/base/utf_conversion.h"

namespace veyra {
namespace {

constexpr std::uint64_t kReopenPeriodUs = 2000000;
constexpr double kAbsoluteSpan = 65535.0;

// Core pointer buttons: 1 left, 3 right, 4/5 wheel up/down, 6/7 left/right.
constexpr std::uint8_t kLeftButton = 1;
constexpr std::uint8_t kRightButton = 3;
constexpr std::uint8_t kWheelUp = 4;
constexpr std::uint8_t kWheelDown = 5;
constexpr std::uint8_t kWheelLeft = 6;
constexpr std::uint8_t kWheelRight = 7;

struct KeysymEntry {
  std::uint16_t virtualKey;
  std::uint32_t keysym;
};

// Every virtual key of the HID table other than letters and digits.
constexpr KeysymEntry kKeysyms[] = {
    {8, XK_BackSpace},
    {9, XK_Tab},
    {13, XK_Return},
    {19, XK_Pause},
    {20, XK_Caps_Lock},
    {27, XK_Escape},
    {32, XK_space},
    {33, XK_Prior},
    {34, XK_Next},
    {35, XK_End},
    {36, XK_Home},
    {37, XK_Left},
    {38, XK_Up},
    {39, XK_Right},
    {40, XK_Down},
    {44, XK_Print},
    {45, XK_Insert},
    {46, XK_Delete},
    {91, XK_Super_L},
    {92, XK_Super_R},
    {145, XK_Scroll_Lock},
    {160, XK_Shift_L},
    {161, XK_Shift_R},
    {162, XK_Control_L},
    {163, XK_Control_R},
    {164, XK_Alt_L},
    {165, XK_Alt_R},
    {186, XK_semicolon},
    {187, XK_equal},
    {188, XK_comma},
    {189, XK_minus},
    {190, XK_period},
    {191, XK_slash},
    {192, XK_grave},
    {219, XK_bracketleft},
    {220, XK_backslash},
    {221, XK_bracketright},
    {222, XK_apostrophe},
};

}  // namespace

std::uint32_t KeysymForVirtualKey(std::uint16_t virtualKey) {
  if (virtualKey >= 'A' && virtualKey <= 'Z') return XK_a + (virtualKey - 'A');
  if (virtualKey >= '0' && virtualKey <= '9') return XK_0 + (virtualKey - '0');
  if (virtualKey >= 112 && virtualKey <= 123) return XK_F1 + (virtualKey - 112);
  for (const KeysymEntry& entry : kKeysyms) {
    if (entry.virtualKey == virtualKey) return entry.keysym;
  }
  return 0;
}

std::int32_t PixelForAbsolute(std::int32_t absolute, std::int32_t extent) {
  const std::int32_t last = std::max(1, extent) - 1;
  const double pixel = std::floor(absolute * static_cast<double>(last) / kAbsoluteSpan + 0.5);
  return static_cast<std::int32_t>(std::clamp(pixel, 0.0, static_cast<double>(last)));
}

X11Display* LazyX11Display::Get(const char* purpose) {
  if (display_.IsOpen() && !display_.Broken()) {
    // Nothing here selects events, but the server still sends some: the
    // errors of requests sent without a check, dropped so that they do not
    // pile up in xcb's queue, and keyboard mapping changes, after which the
    // mapping is read again as for a new connection.
    while (const XcbReply<xcb_generic_event_t> event{xcb_poll_for_event(display_.connection())}) {
      if ((event->response_type & 0x7F) == XCB_MAPPING_NOTIFY) ++generation_;
    }
    return &display_;
  }
  if (display_.IsOpen()) {
    Log(LogLevel::Warn, "%s: X display %s went away", purpose, display_.name().c_str());
    display_.Close();
  }
  const std::uint64_t nowUs = NowUs();
  if (nowUs < nextTryUs_) return nullptr;
  if (!display_.Open(purpose, {&xcb_test_id})) {
    nextTryUs_ = nowUs + kReopenPeriodUs;
    return nullptr;
  }
  ++generation_;
  return &display_;
}

std::vector<MonitorDescription> X11DisplayLayout::Monitors() {
  std::vector<MonitorDescription> monitors;
  X11Display* display = display_.Get("input");
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  if (display == nullptr || !display->ReadScreenSize(&width, &height)) return monitors;
  std::vector<X11Monitor> found = display->ReadMonitors();
  for (std::uint32_t index = 0;; ++index) {
    X11Monitor monitor;
    if (!ChooseX11Monitor(found, width, height, index, &monitor)) {
      if (index >= found.size()) break;
      continue;
    }
    monitors.push_back(MonitorDescription{
        WideFromUtf8(monitor.name),
        DesktopRect{monitor.x, monitor.y, monitor.x + static_cast<std::int32_t>(monitor.width),
                    monitor.y + static_cast<std::int32_t>(monitor.height)}});
  }
  return monitors;
}

VirtualDesktop X11DisplayLayout::ReadVirtualDesktop() {
  X11Display* display = display_.Get("input");
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  if (display == nullptr || !display->ReadScreenSize(&width, &height)) return {0, 0, 1920, 1080};
  return {0, 0, static_cast<std::int32_t>(width), static_cast<std::int32_t>(height)};
}

X11Display* X11InputSink::Display() {
  X11Display* display = display_.Get("input");
  if (display == nullptr) return nullptr;
  if (!display->HasExtension(&xcb_test_id)) {
    Log(LogLevel::Debug, "input: X display %s has no XTEST; input dropped",
        display->name().c_str());
    return nullptr;
  }
  return display;
}

void X11InputSink::Button(std::uint8_t button, bool press) {
  xcb_test_fake_input(open_->connection(), press ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE, button,
                      XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
}

void X11InputSink::Wheel(std::int32_t units, std::int32_t* remainder, std::uint8_t positiveButton,
                         std::uint8_t negativeButton) {
  const std::int64_t total = std::int64_t{*remainder} + units;
  std::int64_t notches = total / kWheelDelta;
  *remainder = static_cast<std::int32_t>(total % kWheelDelta);
  notches = std::clamp<std::int64_t>(notches, -kMaxNotches, kMaxNotches);
  const std::uint8_t button = notches > 0 ? positiveButton : negativeButton;
  for (std::int64_t i = 0; i < std::abs(notches); ++i) {
    Button(button, true);
    Button(button, false);
  }
}

SendOutcome X11InputSink::SendMouse(const MouseInput& input) {
  open_ = Display();
  if (open_ == nullptr) return {false, 0};
  xcb_connection_t* c = open_->connection();
  if ((input.flags & kMouseEventMove) != 0) {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    if (!open_->ReadScreenSize(&width, &height)) return {false, 0};
    const std::int32_t x = PixelForAbsolute(input.dx, static_cast<std::int32_t>(width));
    const std::int32_t y = PixelForAbsolute(input.dy, static_cast<std::int32_t>(height));
    xcb_test_fake_input(c, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, open_->root(),
                        static_cast<std::int16_t>(x), static_cast<std::int16_t>(y), 0);
  }
  if ((input.flags & kMouseEventLeftDown) != 0) Button(kLeftButton, true);
  if ((input.flags & kMouseEventLeftUp) != 0) Button(kLeftButton, false);
  if ((input.flags & kMouseEventRightDown) != 0) Button(kRightButton, true);
  if ((input.flags & kMouseEventRightUp) != 0) Button(kRightButton, false);
  // Wheel units arrive as the signed value SendInput takes in mouseData.
  const auto units = static_cast<std::int32_t>(input.mouseData);
  if ((input.flags & kMouseEventWheel) != 0) {
    Wheel(units, &verticalRemainder_, kWheelUp, kWheelDown);
  }
  if ((input.flags & kMouseEventHorizontalWheel) != 0) {
    Wheel(units, &horizontalRemainder_, kWheelRight, kWheelLeft);
  }
  xcb_flush(c);
  return {};
}

std::uint8_t X11InputSink::KeycodeFor(std::uint32_t keysym) {
  xcb_connection_t* c = open_->connection();
  if (mappedGeneration_ != display_.generation()) {
    const xcb_setup_t* setup = xcb_get_setup(c);
    const std::uint8_t count =
        static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1);
    const XcbReply<xcb_get_keyboard_mapping_reply_t> reply =
        open_->Await<xcb_get_keyboard_mapping_reply_t>(
            xcb_get_keyboard_mapping(c, setup->min_keycode, count));
    if (!reply) return 0;
    const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(reply.get());
    keysyms_.assign(keysyms, keysyms + xcb_get_keyboard_mapping_keysyms_length(reply.get()));
    minKeycode_ = setup->min_keycode;
    keysymsPerKeycode_ = reply->keysyms_per_keycode;
    mappedGeneration_ = display_.generation();
  }
  if (keysymsPerKeycode_ == 0) return 0;
  // The unshifted position first: a letter's keycode is where its lower case
  // sits, as XKeysymToKeycode finds it.
  for (std::size_t column = 0; column < keysymsPerKeycode_; ++column) {
    for (std::size_t row = 0; (row + 1) * keysymsPerKeycode_ <= keysyms_.size(); ++row) {
      if (keysyms_[row * keysymsPerKeycode_ + column] == keysym) {
        return static_cast<std::uint8_t>(minKeycode_ + row);
      }
    }
  }
  return 0;
}

void X11InputSink::SendKey(const KeyboardInput& input) {
  const bool release = (input.flags & kKeyEventKeyUp) != 0;
  const auto pressed = pressedKeycodes_.find(input.virtualKey);
  std::uint8_t keycode = 0;
  if (release && pressed != pressedKeycodes_.end()) {
    keycode = pressed->second;
    pressedKeycodes_.erase(pressed);
    open_ = Display();
    if (open_ == nullptr) return;
  } else {
    const std::uint32_t keysym = KeysymForVirtualKey(input.virtualKey);
    if (keysym == 0) {
      Log(LogLevel::Debug, "input: virtual key 0x%02X has no X keysym; dropped", input.virtualKey);
      return;
    }
    open_ = Display();
    if (open_ == nullptr) return;
    keycode = KeycodeFor(keysym);
    if (keycode == 0 && keysym == XK_Alt_R) {
      // Layouts with AltGr (de, fr, ...) put ISO_Level3_Shift on Right Alt
      // and keep no Alt_R. ISO_Level3_Shift alone does not tell: pc
      // keymaps put it on an extra key in every layout, us included, where
      // Right Alt has to stay Alt.
      keycode = KeycodeFor(XK_ISO_Level3_Shift);
    }
    if (keycode == 0) {
      Log(LogLevel::Debug, "input: keysym 0x%X is not on the X keyboard; dropped", keysym);
      return;
    }
    if (!release) {
      pressedKeycodes_[input.virtualKey] = keycode;
    }
  }
  xcb_test_fake_input(open_->connection(), release ? XCB_KEY_RELEASE : XCB_KEY_PRESS, keycode,
                      XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
  xcb_flush(open_->connection());
}

}  // namespace veyra
