#pragma once

#include <atomic>
#include <cstdint>

#include "host/session/send_gate.h"

namespace veyra {

// A send window the test opens and closes at will, whatever the link does.
//
// Threads: HasRoom on the capture thread, SetOpen from any thread.
class FakeSendGate final : public SendGate {
 public:
  void SetOpen(bool open) { open_ = open; }

  bool HasRoom(std::uint64_t /*windowBytes*/, std::uint64_t /*backlogBytes*/,
               std::uint64_t /*frameBytes*/, std::uint64_t /*nowUs*/) const override {
    return open_;
  }

 private:
  std::atomic<bool> open_{true};
};

}  // namespace veyra
