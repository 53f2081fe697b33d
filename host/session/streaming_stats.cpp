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
  networkSamples_.clear();
  endToEndSamples_.clear();
  ackRing_.fill(SentFrame{});
  windowStartUs_ = 0;
  windowBytes_ = 0;
  windowFrames_ = 0;
  fps_ = 0;
  bitsPerSecond_ = 0;
  clockOffsetUs_ = 0;
  rttUs_ = 0;
  droppedFrames_ = 0;
}

void StreamingStats::Add(std::deque<std::uint64_t>& samples, std::uint64_t value) {
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
    Add(captureSamples_, timing.captureTimeUs - timing.loopStartUs);
  }
  if (timing.captureTimeUs < timing.convertedUs) {
    Add(convertSamples_, timing.convertedUs - timing.captureTimeUs);
  }
  if (timing.convertedUs < timing.encodedTimeUs) {
    Add(encodeSamples_, timing.encodedTimeUs - timing.convertedUs);
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
  // Unsigned differences read as signed: a receiver time before the send
  // (a poor offset estimate) gives a negative value, which is dropped.
  const auto network = static_cast<std::int64_t>(
      ack.receivedUs - static_cast<std::uint64_t>(clockOffsetUs_) - sent.sentUs);
  if (network > 0) {
    Add(networkSamples_, static_cast<std::uint64_t>(network));
  }
  const std::uint64_t shownUs = ack.presentedUs != 0 ? ack.presentedUs : ack.decodedUs;
  const auto endToEnd = static_cast<std::int64_t>(
      shownUs - static_cast<std::uint64_t>(clockOffsetUs_) - sent.captureTimeUs);
  if (endToEnd > 0) {
    Add(endToEndSamples_, static_cast<std::uint64_t>(endToEnd));
  }
}

void StreamingStats::RecordPong(const PingPayload& pong, std::uint64_t nowUs,
                                std::uint64_t pingSentUs) {
  const auto rtt = static_cast<std::int64_t>(nowUs - pingSentUs);
  const auto sample =
      static_cast<std::int64_t>(pong.replyUs - static_cast<std::uint64_t>(rtt / 2) - pingSentUs);
  const std::lock_guard<std::mutex> lock(lock_);
  rttUs_ = rtt;
  clockOffsetUs_ = clockOffsetUs_ == 0 ? sample : (7 * clockOffsetUs_ + sample) / 8;
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
  stats.networkMs = PercentileMs(networkSamples_, 0.5);
  stats.e2eP50Ms = PercentileMs(endToEndSamples_, 0.5);
  stats.e2eP95Ms = PercentileMs(endToEndSamples_, 0.95);
  stats.encoderQueue = static_cast<std::int32_t>(encoderQueue);
  stats.droppedFrames = droppedFrames_;
  stats.rttMs = static_cast<double>(rttUs_) / 1000.0;
  return stats;
}

std::int64_t StreamingStats::clockOffsetUs() const {
  const std::lock_guard<std::mutex> lock(lock_);
  return clockOffsetUs_;
}

std::int64_t StreamingStats::droppedFrames() const {
  const std::lock_guard<std::mutex> lock(lock_);
  return droppedFrames_;
}

}  // namespace veyra
