#pragma once

#include <cstdint>

namespace veyra {

// The send window as the capture loop sees it: may another picture be
// encoded now? The session's SendWindow answers in the host; tests stand in
// for it to close and open the window at will.
//
// Threads: HasRoom on the capture thread only.
class SendGate {
 public:
  virtual ~SendGate() = default;

  // Whether another frame, of about |frameBytes|, may be encoded, given the
  // bytes the link's rate and round trip allow ahead (|windowBytes|) and
  // those the connection still holds unsent (|backlogBytes|).
  virtual bool HasRoom(std::uint64_t windowBytes, std::uint64_t backlogBytes,
                       std::uint64_t frameBytes, std::uint64_t nowUs) const = 0;
};

}  // namespace veyra
