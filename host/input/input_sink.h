#pragma once

#include <cstdint>

namespace veyra {

// Flag values of the Windows mouse and keyboard input records, kept as plain
// numbers so that the injector's decisions build and run anywhere.
inline constexpr std::uint32_t kMouseEventMove = 0x0001;
inline constexpr std::uint32_t kMouseEventLeftDown = 0x0002;
inline constexpr std::uint32_t kMouseEventLeftUp = 0x0004;
inline constexpr std::uint32_t kMouseEventRightDown = 0x0008;
inline constexpr std::uint32_t kMouseEventRightUp = 0x0010;
inline constexpr std::uint32_t kMouseEventWheel = 0x0800;
inline constexpr std::uint32_t kMouseEventHorizontalWheel = 0x1000;
inline constexpr std::uint32_t kMouseEventVirtualDesk = 0x4000;
inline constexpr std::uint32_t kMouseEventAbsolute = 0x8000;

inline constexpr std::uint32_t kKeyEventExtendedKey = 0x0001;
inline constexpr std::uint32_t kKeyEventKeyUp = 0x0002;

// One wheel notch.
inline constexpr std::int32_t kWheelDelta = 120;

// One mouse input, field for field what SendInput receives.
struct MouseInput {
  std::int32_t dx = 0;
  std::int32_t dy = 0;
  std::uint32_t mouseData = 0;
  std::uint32_t flags = 0;
};

// One keyboard input, field for field what SendInput receives.
struct KeyboardInput {
  std::uint16_t virtualKey = 0;
  std::uint16_t scanCode = 0;
  std::uint32_t flags = 0;
};

// What became of one injected input; |lastError| is the system's error number
// taken right after a refusal (0 when accepted).
struct SendOutcome {
  bool accepted = true;
  std::uint32_t lastError = 0;
};

// Where injected input goes: the system's input queue in the host, a recorder
// in tests. Called only with the injector's lock held, so an implementation
// needs no lock of its own.
class InputSink {
 public:
  virtual ~InputSink() = default;

  virtual SendOutcome SendMouse(const MouseInput& input) = 0;
  virtual void SendKey(const KeyboardInput& input) = 0;
  // The hardware scan code of a virtual key under the current keyboard
  // layout; 0 when it has none.
  virtual std::uint16_t ScanCodeForVirtualKey(std::uint16_t virtualKey) = 0;
};

}  // namespace veyra
