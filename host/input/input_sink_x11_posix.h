#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "host/base/x11_display_posix.h"
#include "host/input/display_layout.h"
#include "host/input/input_sink.h"

namespace veyra {

// The X keysym for a Windows virtual key of the HID table (letters as their
// lower-case keysym, the unshifted symbol of each punctuation key, the left
// and right modifiers), or 0 for one without.
std::uint32_t KeysymForVirtualKey(std::uint16_t virtualKey);

// The root-window pixel that a normalised absolute coordinate (0..65535
// across |extent| pixels) names: the inverse of the injector's mapping,
// nearest pixel, kept on the screen.
std::int32_t PixelForAbsolute(std::int32_t absolute, std::int32_t extent);

// A connection to DISPLAY opened on first use and again after it broke, no
// more often than every two seconds, so that a missing display costs one log
// line per attempt rather than one per input.
class LazyX11Display {
 public:
  // The open display, or nullptr while none can be opened.
  X11Display* Get(const char* purpose);
  // Counts the connections opened and the keyboard mapping changes seen, so
  // that a mapping read earlier is not taken for the current one.
  std::uint32_t generation() const { return generation_; }

 private:
  X11Display display_;
  std::uint32_t generation_ = 0;
  std::uint64_t nextTryUs_ = 0;
};

// The X screen's monitors, named as the capture names them, so that input
// lands on the monitor being streamed. Without a display: no monitors and a
// 1920 x 1080 desktop. Threads as DisplayLayout.
class X11DisplayLayout final : public DisplayLayout {
 public:
  std::vector<MonitorDescription> Monitors() override;
  VirtualDesktop ReadVirtualDesktop() override;

 private:
  LazyX11Display display_;
};

// Mouse and keyboard input injected into the X display through XTest:
// absolute moves, the left and right buttons, wheel notches as buttons 4 to
// 7, keys through the server's keyboard mapping (Right Alt as Alt_R, or as
// AltGr where the layout makes it AltGr). Input the display cannot
// take (no display, a key without a keysym or keycode) is dropped with a
// DEBUG line. Threads as InputSink.
class X11InputSink final : public InputSink {
 public:
  // Wheel notches sent for one input at most; the rest of a huge scroll is
  // dropped, as a real wheel never turns that far at once.
  static constexpr std::int32_t kMaxNotches = 50;

  SendOutcome SendMouse(const MouseInput& input) override;
  void SendKey(const KeyboardInput& input) override;
  std::uint16_t ScanCodeForVirtualKey(std::uint16_t /*virtualKey*/) override { return 0; }

 private:
  X11Display* Display();
  void Wheel(std::int32_t units, std::int32_t* remainder, std::uint8_t positiveButton,
             std::uint8_t negativeButton);
  void Button(std::uint8_t button, bool press);
  std::uint8_t KeycodeFor(std::uint32_t keysym);

  LazyX11Display display_;
  X11Display* open_ = nullptr;  // the display of the input being sent
  // The keyboard mapping read when the connection opened.
  std::uint8_t minKeycode_ = 0;
  std::uint8_t keysymsPerKeycode_ = 0;
  std::vector<std::uint32_t> keysyms_;
  std::uint32_t mappedGeneration_ = 0;  // the connection the mapping came from
  // The keycode each held virtual key was pressed with: its release goes to
  // the same key even if the keyboard mapping changed in between.
  std::map<std::uint16_t, std::uint8_t> pressedKeycodes_;
  // Wheel units below a notch, carried to the next scroll of the same axis.
  std::int32_t verticalRemainder_ = 0;
  std::int32_t horizontalRemainder_ = 0;
};

}  // namespace veyra
