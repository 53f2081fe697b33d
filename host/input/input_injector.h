#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string_view>

#include "host/input/display_layout.h"
#include "host/input/input_sink.h"

namespace veyra {

// Turns the receiver's touches, scrolls and key presses into mouse and
// keyboard input on the monitor being streamed. Positions arrive as fractions
// of that monitor (the target area); touches press the left or the right
// button, scroll distances become wheel units, HID usages virtual keys.
//
// Threads: Touch, Scroll and Key run on the connection's receive thread;
// FindMonitor and ReleaseAll run under the session's pipeline lock, on
// the receive thread or the run thread. Every public operation takes the
// injector's own lock, a leaf lock held while the input is sent, so the
// target area and the held buttons stay consistent with what was injected.
//
// Safety: every key and button pressed through the injector is remembered
// and released by ReleaseAll, so nothing stays held on the PC when the
// receiver goes; one scroll moves the wheel at most kMaxWheelUnitsPerScroll;
// presses, moves and scrolls pass a rate limit (kInputBurst at once, then
// kInputEventsPerSecond), releases always pass.
class InputInjector {
 public:
  // Touch actions as they arrive from the receiver.
  static constexpr std::uint8_t kTouchDown = 0;
  static constexpr std::uint8_t kTouchMove = 1;
  static constexpr std::uint8_t kTouchUp = 2;
  static constexpr std::uint8_t kTouchCancel = 3;
  // Touch button bit that selects the secondary (right) button.
  static constexpr std::uint32_t kSecondaryButton = 0x2;
  // Key action that means released; any other value means pressed.
  static constexpr std::uint8_t kKeyReleased = 1;
  // Ten notches: a long fling on the phone, not a runaway.
  static constexpr std::int32_t kMaxWheelUnitsPerScroll = 10 * kWheelDelta;
  // A phone reports touches at up to a few hundred a second; a flood
  // beyond that is dropped.
  static constexpr std::uint32_t kInputEventsPerSecond = 1000;
  static constexpr std::uint32_t kInputBurst = 250;

  // |nowUs| is the clock of the rate limit; empty: NowUs.
  InputInjector(std::unique_ptr<DisplayLayout> layout, std::unique_ptr<InputSink> sink,
                std::function<std::uint64_t()> nowUs = {});

  InputInjector(const InputInjector&) = delete;
  InputInjector& operator=(const InputInjector&) = delete;

  // Aims input at the monitor whose device name ("\\.\DISPLAY2") matches
  // |deviceName| ignoring case. Returns false, keeping the previous area,
  // when there is no such monitor or its rectangle is empty.
  bool FindMonitor(std::wstring_view deviceName);

  // Sends one absolute mouse input at fractions |x|, |y| of the target area.
  void SendMouse(std::uint32_t flags, std::uint32_t mouseData, float x, float y);

  // A TOUCH: |action| is down, move, up or cancel; other values are ignored.
  void Touch(std::uint8_t action, float x, float y, std::uint32_t buttons);

  // A SCROLL: |dx| and |dy| are fractions of the target's width and height;
  // |x| and |y| where the pointer is.
  void Scroll(float dx, float dy, float x, float y);

  // A KEY: |usage| a USB HID keyboard usage; |action| kKeyReleased or press.
  void Key(std::uint32_t usage, std::uint8_t action);

  // Releases every button and key the receiver left pressed: when the
  // pipeline stops, the connection drops or input stops being allowed.
  void ReleaseAll();

  // ReleaseAll, and from then on only releases pass until Resume: a press
  // that was let through just before input stopped being allowed cannot
  // land after the release and stay held.
  void Suspend();
  void Resume();

  DesktopRect TargetArea() const;

  // How the streamed picture is turned against the target area: positions
  // are fractions of the picture, turned into the area's (TurnFractions).
  // 0 while the picture stands upright.
  void SetPictureTurns(std::uint8_t quarterTurns);

 private:
  void SendMouseLocked(std::uint32_t flags, std::uint32_t mouseData, float x, float y);
  void ReleaseHeldLocked(float x, float y);
  void ReleaseAllLocked();
  void SendKeyLocked(std::uint16_t virtualKey, bool release);
  // Whether a press, move or scroll may go out: never while suspended,
  // otherwise one event from the rate limit. False drops it.
  bool AdmitLocked();

  const std::unique_ptr<DisplayLayout> layout_;
  const std::unique_ptr<InputSink> sink_;
  const std::function<std::uint64_t()> nowUs_;

  mutable std::mutex lock_;
  // Until the streamed monitor is found, presses, moves and scrolls are
  // dropped: they would land wherever a default area put them.
  DesktopRect targetArea_{0, 0, 1920, 1080};
  bool targetKnown_ = false;
  std::uint8_t pictureTurns_ = 0;
  bool leftHeld_ = false;
  bool rightHeld_ = false;
  bool suspended_ = false;
  std::set<std::uint16_t> heldKeys_;  // virtual keys pressed and not released
  // The rate limit: a token bucket in millionths of an event.
  std::uint64_t budget_ = std::uint64_t{kInputBurst} * 1000000;
  std::uint64_t budgetAtUs_ = 0;
  std::uint64_t droppedSinceLog_ = 0;
  std::uint64_t lastDropLogUs_ = 0;
};

}  // namespace veyra
