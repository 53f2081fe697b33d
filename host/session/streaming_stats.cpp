#include "host/session/streaming_stats.h"

#include <algorithm>
#include <vector>

namespace veyra {

double PercentileMs(const std::deque<std::uint64_t>& samples, double q) {
  if (samples.empty()) {
    return 0.0;
  }
  std::vector<std::uint64_t> sorted(samples.begin(), samples.end());
  std::sort(sorted.begin(), sorted.end());
  const std::size_t last = sorted.size() - 1;
  const auto index = std::min(last, static_cast<std::size_t>(static_cast<double>(last) * q));
  return static_cast<double>(sorted[index]) / 1000.0;
}

void StreamingStats::Reset() {
  const std::lock_guard<std::mutex> lock(lock_);
  captureSamples_.clear();
  convertSamples_.clear();
  encodeSamples_.clear();
  networkRaw_.clear();
  endToEndRaw_.clear();
  ackRing_.fill(SentFrame{});
  windowStartUs_ = 0;
  windowBytes_ = 0;
  windowFrames_ = 0;
  fps_ = 0;
  bitsPerSecond_ = 0;
  droppedFrames_ = 0;
}

void StreamingStats::ResetConnection() {
  Reset();
  const std::lock_guard<std::mutex> lock(lock_);
  clock_.Reset();
  pings_.fill(Ping{});
}

template <typename T>
void StreamingStats::Add(std::deque<T>& samples, T value) {
  if (samples.size() >= kMaxSamples) {
    samples.pop_front();
  }
  samples.push_back(value);
}

void StreamingStats::CloseWindow(std::uint64_t endUs) {
  const std::uint64_t span = endUs - windowStartUs_;
  fps_ = static_cast<double>(windowFrames_) * 1000000.0 / static_cast<double>(span);
  bitsPerSecond_ = windowBytes_ * 8000000 / span;
  windowStartUs_ = endUs;
  windowBytes_ = 0;
  windowFrames_ = 0;
}

void StreamingStats::RecordFrame(const FrameTiming& timing) {
  const std::lock_guard<std::mutex> lock(lock_);
  // Stages out of order (a record overwritten before its frame was sent)
  // contribute nothing.
  if (timing.loopStartUs < timing.captureTimeUs) {
    Add<std::uint64_t>(captureSamples_, timing.captureTimeUs - timing.loopStartUs);
  }
  if (timing.captureTimeUs < timing.convertedUs) {
    Add<std::uint64_t>(convertSamples_, timing.convertedUs - timing.captureTimeUs);
  }
  if (timing.convertedUs < timing.encodedTimeUs) {
    Add<std::uint64_t>(encodeSamples_, timing.encodedTimeUs - timing.convertedUs);
  }
  ackRing_[timing.frameId % kAckRingSize] = {timing.frameId, timing.captureTimeUs, timing.sentUs};
  if (windowStartUs_ == 0) {
    windowStartUs_ = timing.sentUs;
  }
  windowBytes_ += timing.bytes;
  windowFrames_ += 1;
  if (timing.sentUs >= windowStartUs_ && timing.sentUs - windowStartUs_ >= kRateWindowUs) {
    CloseWindow(timing.sentUs);
  }
}

void StreamingStats::UnrecordFrame(const FrameTiming& timing) {
  const std::lock_guard<std::mutex> lock(lock_);
  SentFrame& entry = ackRing_[timing.frameId % kAckRingSize];
  if (entry.frameId == timing.frameId) {
    entry = SentFrame{};
  }
  // Unless the rate window closed on this very frame.
  if (windowFrames_ > 0 && windowBytes_ >= timing.bytes) {
    windowBytes_ -= timing.bytes;
    windowFrames_ -= 1;
  }
  droppedFrames_ += 1;
}

void StreamingStats::CountDropped() {
  const std::lock_guard<std::mutex> lock(lock_);
  droppedFrames_ += 1;
}

void StreamingStats::RecordAck(const FrameAck& ack) {
  const std::lock_guard<std::mutex> lock(lock_);
  const SentFrame& sent = ackRing_[ack.frameId % kAckRingSize];
  if (sent.frameId != ack.frameId || sent.sentUs == 0) {
    return;
  }
  // Unsigned differences of the two clocks read as signed; corrected when a
  // snapshot is taken.
  Add<std::int64_t>(networkRaw_, static_cast<std::int64_t>(ack.receivedUs - sent.sentUs));
  const std::uint64_t shownUs = ack.presentedUs != 0 ? ack.presentedUs : ack.decodedUs;
  // A frame the receiver acknowledged without showing it (a browser skips
  // pictures its decoder falls behind on) says nothing about latency.
  if (shownUs != 0) {
    Add<std::int64_t>(endToEndRaw_, static_cast<std::int64_t>(shownUs - sent.captureTimeUs));
  }
}

void StreamingStats::RecordPing(std::uint64_t pingId, std::uint64_t sentUs) {
  const std::lock_guard<std::mutex> lock(lock_);
  pings_[pingId % kPingsKept] = Ping{pingId, sentUs, false};
}

void StreamingStats::RecordPong(const PingPayload& pong, std::uint64_t nowUs) {
  const std::lock_guard<std::mutex> lock(lock_);
  Ping& ping = pings_[pong.pingId % kPingsKept];
  if (pong.pingId == 0 || ping.pingId != pong.pingId || ping.answered) {
    return;
  }
  ping.answered = true;
  clock_.Add(ping.sentUs, pong.replyUs, nowUs);
}

std::deque<std::uint64_t> StreamingStats::Corrected(const std::deque<std::int64_t>& raw) const {
  std::deque<std::uint64_t> corrected;
  if (!clock_.HasEstimate()) {
    return corrected;
  }
  const std::int64_t offsetUs = clock_.OffsetUs();
  for (const std::int64_t sample : raw) {
    // A time before the send or the capture (an offset wrong by more than
    // the sample) is dropped rather than counted as 0.
    const std::int64_t onHostClock = sample - offsetUs;
    if (onHostClock > 0) {
      corrected.push_back(static_cast<std::uint64_t>(onHostClock));
    }
  }
  return corrected;
}

std::int64_t StreamingStats::ReportedRttUs(std::uint64_t nowUs) const {
  // PONGs come back in order, so only PINGs newer than the newest answered
  // one are still on their way; the oldest of those bounds the round trip.
  std::uint64_t newestAnswered = 0;
  for (const Ping& ping : pings_) {
    if (ping.answered && ping.pingId > newestAnswered) {
      newestAnswered = ping.pingId;
    }
  }
  std::int64_t rttUs = clock_.LastRttUs();
  for (const Ping& ping : pings_) {
    if (ping.pingId > newestAnswered && !ping.answered && nowUs > ping.sentUs) {
      rttUs = std::max(rttUs, static_cast<std::int64_t>(nowUs - ping.sentUs));
    }
  }
  return rttUs;
}

HostStats StreamingStats::Snapshot(std::uint32_t encoderQueue, std::uint64_t nowUs) {
  const std::lock_guard<std::mutex> lock(lock_);
  // Without frames the window never closes in RecordFrame; closing it here
  // lets the rates fall to 0 instead of keeping their last values.
  if (windowStartUs_ != 0 && nowUs > windowStartUs_ && nowUs - windowStartUs_ >= kRateWindowUs) {
    CloseWindow(nowUs);
  }
  HostStats stats;
  stats.fps = fps_;
  stats.bitrateBps = static_cast<std::int64_t>(bitsPerSecond_);
  stats.captureMs = PercentileMs(captureSamples_, 0.5);
  stats.convertMs = PercentileMs(convertSamples_, 0.5);
  stats.encodeMs = PercentileMs(encodeSamples_, 0.5);
  const std::deque<std::uint64_t> network = Corrected(networkRaw_);
  const std::deque<std::uint64_t> endToEnd = Corrected(endToEndRaw_);
  stats.networkMs = PercentileMs(network, 0.5);
  stats.e2eP50Ms = PercentileMs(endToEnd, 0.5);
  stats.e2eP95Ms = PercentileMs(endToEnd, 0.95);
  stats.encoderQueue = static_cast<std::int32_t>(encoderQueue);
  stats.droppedFrames = droppedFrames_;
  stats.rttMs = static_cast<double>(ReportedRttUs(nowUs)) / 1000.0;
  return stats;
}

bool StreamingStats::hasClockOffset() const {
  const std::lock_guard<std::mutex> lock(lock_);
  return clock_.HasEstimate();
}

std::int64_t StreamingStats::clockOffsetUs() const {
  const std::lock_guard<std::mutex> lock(lock_);
  return clock_.OffsetUs();
}

std::int64_t StreamingStats::minRttUs() const {
  const std::lock_guard<std::mutex> lock(lock_);
  return clock_.MinRttUs();
}

std::int64_t StreamingStats::droppedFrames() const {
  const std::lock_guard<std::mutex> lock(lock_);
  return droppedFrames_;
}

}  // namespace veyra
