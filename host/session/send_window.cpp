#include "host/session/send_window.h"

#include <algorithm>

namespace veyra {

std::uint64_t SendWindow::WindowBytes(std::uint64_t bitsPerSecond, std::uint64_t minRttUs,
                                      std::uint64_t frameIntervalUs) {
  const std::uint64_t spanUs = minRttUs + 3 * frameIntervalUs;
  return std::max(kMinWindowBytes, bitsPerSecond / 8 * spanUs / 1000000);
}

void SendWindow::Reset() {
  const std::lock_guard<std::mutex> lock(lock_);
  inFlight_.clear();
  sentBytes_ = 0;
  ackedBytes_ = 0;
  lastAckUs_ = 0;
}

void SendWindow::OnSent(std::uint64_t frameId, std::uint32_t bytes, std::uint64_t sentUs) {
  const std::lock_guard<std::mutex> lock(lock_);
  if (inFlight_.size() >= kFramesKept) {
    ackedBytes_ = inFlight_.front().endOffset;
    inFlight_.pop_front();
  }
  sentBytes_ += bytes;
  inFlight_.push_back(Sent{frameId, sentUs, sentBytes_});
}

void SendWindow::OnUnsent(std::uint64_t frameId) {
  const std::lock_guard<std::mutex> lock(lock_);
  if (inFlight_.empty() || inFlight_.back().frameId != frameId) {
    return;
  }
  inFlight_.pop_back();
  sentBytes_ = inFlight_.empty() ? ackedBytes_ : inFlight_.back().endOffset;
}

std::optional<SendWindow::Acked> SendWindow::OnAck(std::uint64_t frameId, std::uint64_t nowUs) {
  const std::lock_guard<std::mutex> lock(lock_);
  const auto found = std::find_if(inFlight_.begin(), inFlight_.end(),
                                  [frameId](const Sent& sent) { return sent.frameId == frameId; });
  if (found == inFlight_.end()) {
    return std::nullopt;
  }
  const Acked acked{found->sentUs, found->endOffset - ackedBytes_};
  ackedBytes_ = found->endOffset;
  inFlight_.erase(inFlight_.begin(), std::next(found));
  lastAckUs_ = std::max<std::uint64_t>(nowUs, 1);
  return acked;
}

std::uint64_t SendWindow::InFlightBytes() const {
  const std::lock_guard<std::mutex> lock(lock_);
  return sentBytes_ - ackedBytes_;
}

bool SendWindow::AcksLive(std::uint64_t nowUs) const {
  if (lastAckUs_ == 0) {
    return false;
  }
  if (inFlight_.empty()) {
    return true;
  }
  const std::uint64_t waitingSinceUs = std::max(lastAckUs_, inFlight_.front().sentUs);
  return nowUs < waitingSinceUs || nowUs - waitingSinceUs < kAckSilenceUs;
}

bool SendWindow::HasRoom(std::uint64_t windowBytes, std::uint64_t backlogBytes,
                         std::uint64_t frameBytes, std::uint64_t nowUs) const {
  const std::lock_guard<std::mutex> lock(lock_);
  const std::uint64_t ahead = AcksLive(nowUs) ? sentBytes_ - ackedBytes_ : backlogBytes;
  return ahead == 0 || ahead + frameBytes <= windowBytes;
}

}  // namespace veyra
