#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

#include "host/session/clock_offset_filter.h"
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
// Acknowledgements are kept as raw differences of the two clocks and put on
// the host's clock when a snapshot is taken, with the best offset known
// then: frames acknowledged before the first PONG count as truly as later
// ones, and no figure is reported until there is an offset at all.
//
// Threads: every operation takes the record's lock, a leaf lock except that
// Reset runs under the session's pipeline lock. RecordFrame from the encoder
// thread, CountDropped from the capture thread, RecordAck and RecordPong from
// the receive thread, RecordPing, ResetConnection and Snapshot from the run
// thread.
class StreamingStats {
 public:
  static constexpr std::size_t kMaxSamples = 300;
  static constexpr std::size_t kAckRingSize = 256;
  static constexpr std::uint64_t kRateWindowUs = 1000000;
  // PINGs whose PONG still counts: a PONG held up behind a queue answers an
  // older PING than the last one sent, and is all the more telling.
  static constexpr std::size_t kPingsKept = 8;

  // A new pipeline: samples, rates and drops start over; the clock offset,
  // a property of the connection, is kept.
  void Reset();
  // A new connection: Reset, and the clock offset and PINGs start over too.
  void ResetConnection();
  void RecordFrame(const FrameTiming& timing);
  void CountDropped();
  // A frame recorded just before the connection refused to queue it: it
  // counts as dropped, not sent, and no acknowledgement can match it.
  void UnrecordFrame(const FrameTiming& timing);
  void RecordAck(const FrameAck& ack);
  void RecordPing(std::uint64_t pingId, std::uint64_t sentUs);
  // A PONG for none of the last kPingsKept PINGs is ignored.
  void RecordPong(const PingPayload& pong, std::uint64_t nowUs);
  // The round trip reported is at least the age of the oldest PING still
  // unanswered at |nowUs|, so a link seconds behind does not show the round
  // trip it had before it fell behind.
  HostStats Snapshot(std::uint32_t encoderQueue, std::uint64_t nowUs);

  bool hasClockOffset() const;
  std::int64_t clockOffsetUs() const;
  // The smallest recent round trip; 0 until a PONG came.
  std::int64_t minRttUs() const;
  std::int64_t droppedFrames() const;

 private:
  struct SentFrame {
    std::uint64_t frameId = 0;
    std::uint64_t captureTimeUs = 0;
    std::uint64_t sentUs = 0;
  };
  struct Ping {
    std::uint64_t pingId = 0;  // 0: none
    std::uint64_t sentUs = 0;
    bool answered = false;
  };

  template <typename T>
  static void Add(std::deque<T>& samples, T value);
  // |raw| on the host's clock, the samples that come out positive.
  std::deque<std::uint64_t> Corrected(const std::deque<std::int64_t>& raw) const;
  std::int64_t ReportedRttUs(std::uint64_t nowUs) const;
  void CloseWindow(std::uint64_t endUs);

  // Guards every field below.
  mutable std::mutex lock_;
  std::deque<std::uint64_t> captureSamples_;
  std::deque<std::uint64_t> convertSamples_;
  std::deque<std::uint64_t> encodeSamples_;
  // Receiver clock minus host clock, uncorrected: arrival - sent and
  // presented (or decoded) - captured.
  std::deque<std::int64_t> networkRaw_;
  std::deque<std::int64_t> endToEndRaw_;
  std::array<SentFrame, kAckRingSize> ackRing_{};
  std::uint64_t windowStartUs_ = 0;
  std::uint64_t windowBytes_ = 0;
  std::uint32_t windowFrames_ = 0;
  double fps_ = 0;
  std::uint64_t bitsPerSecond_ = 0;
  ClockOffsetFilter clock_;
  std::array<Ping, kPingsKept> pings_{};  // by id modulo kPingsKept
  std::int64_t droppedFrames_ = 0;
};

}  // namespace veyra
