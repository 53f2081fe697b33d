#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

#include "host/session/frame_timing.h"
#include "host/wire/binary_payloads.h"
#include "host/wire/control_messages.h"

namespace veyra {

// The q-quantile (0.5, 0.95) of |samples| in milliseconds: the element at
// min(n - 1, trunc((n - 1) * q)) of a sorted copy; 0 when there are none.
double PercentileMs(const std::deque<std::uint64_t>& samples, double q);

// What the host measures while it streams: per-frame stage times, the rates
// actually sent, and, through the receiver's FRAME_ACKs and PONGs, network
// and end-to-end latency put on the host's clock.
//
// Threads: every operation takes the record's lock, a leaf lock except that
// Reset runs under the session's pipeline lock. RecordFrame from the encoder
// thread, CountDropped from the capture thread, RecordAck and RecordPong from
// the receive thread, Snapshot from the run thread.
class StreamingStats {
 public:
  static constexpr std::size_t kMaxSamples = 300;
  static constexpr std::size_t kAckRingSize = 256;
  static constexpr std::uint64_t kRateWindowUs = 1000000;

  void Reset();
  void RecordFrame(const FrameTiming& timing);
  void CountDropped();
  void RecordAck(const FrameAck& ack);
  // |pingSentUs| is when the PING this PONG answers went out.
  void RecordPong(const PingPayload& pong, std::uint64_t nowUs, std::uint64_t pingSentUs);
  HostStats Snapshot(std::uint32_t encoderQueue, std::uint64_t nowUs);

  std::int64_t clockOffsetUs() const;
  std::int64_t droppedFrames() const;

 private:
  struct SentFrame {
    std::uint64_t frameId = 0;
    std::uint64_t captureTimeUs = 0;
    std::uint64_t sentUs = 0;
  };

  static void Add(std::deque<std::uint64_t>& samples, std::uint64_t value);
  void CloseWindow(std::uint64_t endUs);

  // Guards every field below.
  mutable std::mutex lock_;
  std::deque<std::uint64_t> captureSamples_;
  std::deque<std::uint64_t> convertSamples_;
  std::deque<std::uint64_t> encodeSamples_;
  std::deque<std::uint64_t> networkSamples_;
  std::deque<std::uint64_t> endToEndSamples_;
  std::array<SentFrame, kAckRingSize> ackRing_{};
  std::uint64_t windowStartUs_ = 0;
  std::uint64_t windowBytes_ = 0;
  std::uint32_t windowFrames_ = 0;
  double fps_ = 0;
  std::uint64_t bitsPerSecond_ = 0;
  std::int64_t clockOffsetUs_ = 0;  // receiver clock minus host clock; 0: no estimate
  std::int64_t rttUs_ = 0;
  std::int64_t droppedFrames_ = 0;
};

}  // namespace veyra
