#include <windows.h>

#include "host/input/input_platform_win.h"

namespace veyra {
namespace {

class WindowsInputSink final : public InputSink {
 public:
  SendOutcome SendMouse(const MouseInput& mouse) override {
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dx = mouse.dx;
    input.mi.dy = mouse.dy;
    input.mi.mouseData = mouse.mouseData;
    input.mi.dwFlags = mouse.flags;
    if (SendInput(1, &input, sizeof(INPUT)) == 1) {
      return SendOutcome{};
    }
    return SendOutcome{false, GetLastError()};
  }

  void SendKey(const KeyboardInput& key) override {
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = key.virtualKey;
    input.ki.wScan = key.scanCode;
    input.ki.dwFlags = key.flags;
    // A refused key is not reported: there is nothing to undo or retry.
    SendInput(1, &input, sizeof(INPUT));
  }

  std::uint16_t ScanCodeForVirtualKey(std::uint16_t virtualKey) override {
    return static_cast<std::uint16_t>(MapVirtualKeyW(virtualKey, MAPVK_VK_TO_VSC));
  }
};

}  // namespace

std::unique_ptr<InputSink> CreateWindowsInputSink() { return std::make_unique<WindowsInputSink>(); }

}  // namespace veyra
