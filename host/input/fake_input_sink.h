#pragma once

#include <cstdint>
#include <vector>

#include "host/input/input_sink.h"

namespace veyra {

// Records every input it is given into the test's containers. Mouse inputs
// can be refused with a chosen error number; scan codes are the virtual key
// plus kScanCodeOffset, so a test can tell that the injector asked for them.
class FakeInputSink final : public InputSink {
 public:
  static constexpr std::uint16_t kScanCodeOffset = 0x100;

  FakeInputSink(std::vector<MouseInput>* mouse, std::vector<KeyboardInput>* keys)
      : mouse_(mouse), keys_(keys) {}

  SendOutcome SendMouse(const MouseInput& input) override {
    mouse_->push_back(input);
    return mouseOutcome_;
  }

  void SendKey(const KeyboardInput& input) override { keys_->push_back(input); }

  std::uint16_t ScanCodeForVirtualKey(std::uint16_t virtualKey) override {
    return static_cast<std::uint16_t>(virtualKey + kScanCodeOffset);
  }

  // Later mouse inputs are refused with |lastError|.
  void RefuseMouse(std::uint32_t lastError) { mouseOutcome_ = SendOutcome{false, lastError}; }

 private:
  std::vector<MouseInput>* mouse_;
  std::vector<KeyboardInput>* keys_;
  SendOutcome mouseOutcome_;
};

}  // namespace veyra
