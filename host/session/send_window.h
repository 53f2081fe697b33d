#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

#include "host/session/send_gate.h"

namespace veyra {

// How much video the host lets loose at once, so that a link slower than
// the stream queues a few frames and not seconds of them. The bytes in
// flight are those sent minus those the latest FRAME_ACK covers: the stream
// is in order, so an acknowledgement covers every earlier frame as well.
// A receiver that acknowledges nothing (FRAME_ACK is optional), or stops
// doing so, is bounded by the backlog the connection and its socket report
// instead.
//
// Threads: OnSent on the encoder thread, OnAck on the receive thread,
// HasRoom on the capture thread, Reset under the pipeline lock; every call
// takes the window's own lock, a leaf lock.
class SendWindow final : public SendGate {
 public:
  // The window follows the rate down to a few frames' worth: a fixed floor
  // would be a standing queue of its own on a slow link (64 KB is a quarter
  // of a second at 2 Mbit/s). A frame larger than the window still goes
  // once nothing is in flight.
  static constexpr std::uint64_t kMinWindowBytes = 8 * 1024;
  // Frames remembered until acknowledged; older ones count as delivered.
  static constexpr std::size_t kFramesKept = 512;
  // Acknowledgements silent this long while frames wait for them no longer
  // bound the window; the backlog does.
  static constexpr std::uint64_t kAckSilenceUs = 2000000;

  // max(8 KB, |bitsPerSecond| x (|minRttUs| + 3 frame intervals)): enough
  // to keep the link busy for a round trip, a few frames more at most.
  static std::uint64_t WindowBytes(std::uint64_t bitsPerSecond, std::uint64_t minRttUs,
                                   std::uint64_t frameIntervalUs);

  // What an acknowledgement told.
  struct Acked {
    std::uint64_t sentUs = 0;           // when the acknowledged frame was sent
    std::uint64_t newlyAckedBytes = 0;  // bytes it covered that no earlier one did
  };

  void Reset();
  void OnSent(std::uint64_t frameId, std::uint32_t bytes, std::uint64_t sentUs);
  // Takes back the latest OnSent when it was |frameId|: the connection did
  // not queue that frame after all.
  void OnUnsent(std::uint64_t frameId);
  // Nothing for a frame not in flight (acknowledged already, or unknown).
  std::optional<Acked> OnAck(std::uint64_t frameId, std::uint64_t nowUs);
  std::uint64_t InFlightBytes() const;
  // Whether another frame may be encoded: nothing is ahead of it, or the
  // bytes in flight (without live acknowledgements |backlogBytes|) and the
  // frame's |frameBytes| together fit in |windowBytes|. A keyframe on a slow
  // link thus waits for the window to drain instead of piling onto it.
  bool HasRoom(std::uint64_t windowBytes, std::uint64_t backlogBytes, std::uint64_t frameBytes,
               std::uint64_t nowUs) const override;

 private:
  struct Sent {
    std::uint64_t frameId = 0;
    std::uint64_t sentUs = 0;
    std::uint64_t endOffset = 0;  // bytes sent up to and including this frame
  };

  bool AcksLive(std::uint64_t nowUs) const;

  // Guards every field below.
  mutable std::mutex lock_;
  std::deque<Sent> inFlight_;  // oldest first
  std::uint64_t sentBytes_ = 0;
  std::uint64_t ackedBytes_ = 0;
  std::uint64_t lastAckUs_ = 0;  // 0: no acknowledgement yet
};

}  // namespace veyra
