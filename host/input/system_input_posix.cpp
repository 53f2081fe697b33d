#include "host/base/log.h"
#include "host/input/system_input.h"

namespace veyra {
namespace {

class SingleMonitorLayout final : public DisplayLayout {
 public:
  std::vector<MonitorDescription> Monitors() override {
    return {{L"\\\\.\\DISPLAY1", DesktopRect{0, 0, 1920, 1080}}};
  }
  VirtualDesktop ReadVirtualDesktop() override { return {0, 0, 1920, 1080}; }
};

class LoggedInputSink final : public InputSink {
 public:
  SendOutcome SendMouse(const MouseInput& input) override {
    Log(LogLevel::Debug, "input: mouse flags=0x%04X dx=%d dy=%d data=%d", input.flags, input.dx,
        input.dy, static_cast<int>(input.mouseData));
    return {};
  }
  void SendKey(const KeyboardInput& input) override {
    Log(LogLevel::Debug, "input: key vk=0x%02X scan=0x%02X flags=0x%X", input.virtualKey,
        input.scanCode, input.flags);
  }
  std::uint16_t ScanCodeForVirtualKey(std::uint16_t /*virtualKey*/) override { return 0; }
};

}  // namespace

std::unique_ptr<DisplayLayout> CreateSystemDisplayLayout() {
  return std::make_unique<SingleMonitorLayout>();
}

std::unique_ptr<InputSink> CreateSystemInputSink() { return std::make_unique<LoggedInputSink>(); }

}  // namespace veyra
