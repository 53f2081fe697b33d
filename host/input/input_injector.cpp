#include "host/input/input_injector.h"

#include <algorithm>
#include <utility>

#include "host/base/ascii_case.h"
#include "host/base/clock.h"
#include "host/base/log.h"
#include "host/input/hid_keymap.h"
#include "host/input/pointer_mapping.h"

namespace veyra {
namespace {

constexpr std::uint64_t kMicrosPerSecond = 1000000;

}  // namespace

InputInjector::InputInjector(std::unique_ptr<DisplayLayout> layout, std::unique_ptr<InputSink> sink,
                             std::function<std::uint64_t()> nowUs)
    : layout_(std::move(layout)),
      sink_(std::move(sink)),
      nowUs_(nowUs ? std::move(nowUs) : std::function<std::uint64_t()>(NowUs)) {}

bool InputInjector::AdmitLocked() {
  if (suspended_ || !targetKnown_) {
    return false;
  }
  const std::uint64_t now = nowUs_();
  constexpr std::uint64_t kFull = std::uint64_t{kInputBurst} * kMicrosPerSecond;
  if (now > budgetAtUs_) {
    // Microseconds times events per second gives millionths of an event.
    const std::uint64_t elapsed = std::min<std::uint64_t>(now - budgetAtUs_, kMicrosPerSecond);
    budget_ = std::min(kFull, budget_ + elapsed * kInputEventsPerSecond);
  }
  budgetAtUs_ = std::max(budgetAtUs_, now);
  if (budget_ >= kMicrosPerSecond) {
    budget_ -= kMicrosPerSecond;
    return true;
  }
  ++droppedSinceLog_;
  if (now - lastDropLogUs_ >= kMicrosPerSecond) {
    Log(LogLevel::Warn, "input flood: dropped %llu events from the receiver",
        static_cast<unsigned long long>(droppedSinceLog_));
    droppedSinceLog_ = 0;
    lastDropLogUs_ = now;
  }
  return false;
}

bool InputInjector::FindMonitor(std::wstring_view deviceName) {
  const std::lock_guard<std::mutex> guard(lock_);
  DesktopRect found;
  for (const MonitorDescription& monitor : layout_->Monitors()) {
    // Device names are ASCII ("\\.\DISPLAY1"); the system compares them without case.
    if (EqualsIgnoringAsciiCase(monitor.deviceName, deviceName)) {
      found = monitor.rect;
      break;
    }
  }
  if (found.left == found.right || found.top == found.bottom) {
    return false;
  }
  targetArea_ = found;
  targetKnown_ = true;
  Log(LogLevel::Info, "input target rect: (%ld,%ld)-(%ld,%ld)", static_cast<long>(found.left),
      static_cast<long>(found.top), static_cast<long>(found.right),
      static_cast<long>(found.bottom));
  return true;
}

void InputInjector::SendMouse(std::uint32_t flags, std::uint32_t mouseData, float x, float y) {
  const std::lock_guard<std::mutex> guard(lock_);
  SendMouseLocked(flags, mouseData, x, y);
}

void InputInjector::SendMouseLocked(std::uint32_t flags, std::uint32_t mouseData, float x,
                                    float y) {
  // Read for every input: monitors come and go while streaming.
  VirtualDesktop desktop = layout_->ReadVirtualDesktop();
  desktop.width = std::max(1, desktop.width);
  desktop.height = std::max(1, desktop.height);
  TurnFractions(pictureTurns_, &x, &y);
  const PointerPosition p = MapPointer(x, y, targetArea_, desktop);
  Log(LogLevel::Debug,
      "input: norm=(%.4f,%.4f) -> desktop=(%.0f,%.0f) abs=(%ld,%ld) vd=%dx%d@(%d,%d)",
      static_cast<double>(x), static_cast<double>(y), p.desktopX, p.desktopY,
      static_cast<long>(p.absoluteX), static_cast<long>(p.absoluteY), desktop.width, desktop.height,
      desktop.x, desktop.y);

  MouseInput input;
  input.dx = p.absoluteX;
  input.dy = p.absoluteY;
  input.mouseData = mouseData;
  input.flags = flags | kMouseEventAbsolute | kMouseEventVirtualDesk;
  const SendOutcome outcome = sink_->SendMouse(input);
  if (!outcome.accepted) {
    Log(LogLevel::Debug, "SendInput rejected (error %lu)",
        static_cast<unsigned long>(outcome.lastError));
  }
}

void InputInjector::ReleaseHeldLocked(float x, float y) {
  // The flags follow what was asked for, not what the system accepted: a
  // refused release must not be repeated by every later touch.
  if (leftHeld_) {
    SendMouseLocked(kMouseEventLeftUp, 0, x, y);
    leftHeld_ = false;
  }
  if (rightHeld_) {
    SendMouseLocked(kMouseEventRightUp, 0, x, y);
    rightHeld_ = false;
  }
}

void InputInjector::Touch(std::uint8_t action, float x, float y, std::uint32_t buttons) {
  const std::lock_guard<std::mutex> guard(lock_);
  const bool releases = (action == kTouchUp || action == kTouchCancel) && (leftHeld_ || rightHeld_);
  if (!releases && !AdmitLocked()) {
    return;
  }
  switch (action) {
    case kTouchDown:
      SendMouseLocked(kMouseEventMove, 0, x, y);
      // A second down before an up presses again; the next up releases.
      if ((buttons & kSecondaryButton) != 0) {
        SendMouseLocked(kMouseEventRightDown, 0, x, y);
        rightHeld_ = true;
      } else {
        SendMouseLocked(kMouseEventLeftDown, 0, x, y);
        leftHeld_ = true;
      }
      break;
    case kTouchMove:
      SendMouseLocked(kMouseEventMove, 0, x, y);
      break;
    case kTouchUp:
      SendMouseLocked(kMouseEventMove, 0, x, y);
      ReleaseHeldLocked(x, y);
      break;
    case kTouchCancel:
      ReleaseHeldLocked(x, y);
      break;
    default:
      break;
  }
}

void InputInjector::Scroll(float dx, float dy, float x, float y) {
  const std::lock_guard<std::mutex> guard(lock_);
  if (!AdmitLocked()) {
    return;
  }
  const auto bounded = [](std::int32_t units) {
    return std::clamp(units, -kMaxWheelUnitsPerScroll, kMaxWheelUnitsPerScroll);
  };
  TurnMovement(pictureTurns_, &dx, &dy);
  const std::int32_t vertical =
      bounded(WheelUnits(dy, std::int64_t{targetArea_.bottom} - targetArea_.top));
  if (vertical != 0) {
    SendMouseLocked(kMouseEventWheel, static_cast<std::uint32_t>(vertical), x, y);
  }
  // The receiver's horizontal sign is the opposite of the wheel's.
  const std::int32_t horizontal =
      bounded(WheelUnits(-dx, std::int64_t{targetArea_.right} - targetArea_.left));
  if (horizontal != 0) {
    SendMouseLocked(kMouseEventHorizontalWheel, static_cast<std::uint32_t>(horizontal), x, y);
  }
}

void InputInjector::Key(std::uint32_t usage, std::uint8_t action) {
  const std::uint16_t virtualKey = VirtualKeyForHidUsage(usage);
  if (virtualKey == 0) {
    Log(LogLevel::Debug, "unmapped HID usage 0x%02X", static_cast<unsigned>(usage));
    return;
  }
  const std::lock_guard<std::mutex> guard(lock_);
  const bool release = action == kKeyReleased;
  if (release ? heldKeys_.count(virtualKey) == 0 : !AdmitLocked()) {
    // A release of a key the receiver never pressed here changes nothing
    // that it may change.
    return;
  }
  SendKeyLocked(virtualKey, release);
}

void InputInjector::SendKeyLocked(std::uint16_t virtualKey, bool release) {
  KeyboardInput input;
  input.virtualKey = virtualKey;
  input.scanCode = sink_->ScanCodeForVirtualKey(virtualKey);
  input.flags = release ? kKeyEventKeyUp : 0;
  if (IsExtendedVirtualKey(virtualKey)) {
    input.flags |= kKeyEventExtendedKey;
  }
  sink_->SendKey(input);
  if (release) {
    heldKeys_.erase(virtualKey);
  } else {
    heldKeys_.insert(virtualKey);
  }
}

void InputInjector::SetPictureTurns(std::uint8_t quarterTurns) {
  const std::lock_guard<std::mutex> guard(lock_);
  pictureTurns_ = static_cast<std::uint8_t>(quarterTurns % 4);
}

void InputInjector::ReleaseAll() {
  const std::lock_guard<std::mutex> guard(lock_);
  ReleaseAllLocked();
}

void InputInjector::ReleaseAllLocked() {
  // Without a move flag the system ignores the position, so the release
  // happens where the pointer already is.
  ReleaseHeldLocked(0.0F, 0.0F);
  while (!heldKeys_.empty()) {
    SendKeyLocked(*heldKeys_.begin(), true);
  }
}

void InputInjector::Suspend() {
  const std::lock_guard<std::mutex> guard(lock_);
  suspended_ = true;
  ReleaseAllLocked();
}

void InputInjector::Resume() {
  const std::lock_guard<std::mutex> guard(lock_);
  suspended_ = false;
}

DesktopRect InputInjector::TargetArea() const {
  const std::lock_guard<std::mutex> guard(lock_);
  return targetArea_;
}

}  // namespace veyra
