// Fitting the stream to the link: the window of video in flight, the
// acknowledgements that open it, and the bit rate.

#include <algorithm>

#include "host/base/clock.h"
#include "host/base/log.h"
#include "host/session/session.h"

namespace veyra {

void Session::OnFrameAck(const FrameAck& ack) {
  stats_.RecordAck(ack);
  const std::uint64_t nowUs = NowUs();
  const std::optional<SendWindow::Acked> acked = sendWindow_.OnAck(ack.frameId, nowUs);
  if (acked) {
    // The controller's base delay cancels the offset between the receiver's
    // clock and ours.
    rate_.OnAck(RateController::Ack{acked->sentUs, ack.receivedUs, acked->newlyAckedBytes, nowUs});
  }
}

std::uint64_t Session::WindowBytes() const {
  const std::uint64_t intervalUs =
      options_.fps > 0 ? 1000000 / static_cast<std::uint64_t>(options_.fps) : 0;
  const std::int64_t minRttUs = stats_.minRttUs();
  return SendWindow::WindowBytes(
      rate_.rateBps(), minRttUs > 0 ? static_cast<std::uint64_t>(minRttUs) : 0, intervalUs);
}

bool Session::RefreshDue(std::uint64_t nowUs) {
  const auto gop = static_cast<std::uint64_t>(std::max(options_.gop, 0));
  if (gop == 0 || framesSinceKeyframe_.load(std::memory_order_relaxed) < gop) {
    return false;
  }
  const std::uint64_t keyframeBytes = keyframeBytes_.load(std::memory_order_relaxed);
  const std::uint64_t windowBytes = WindowBytes();
  return keyframeBytes <= windowBytes &&
         sendGate_->HasRoom(windowBytes, connection_.BacklogBytes(), keyframeBytes, nowUs);
}

bool Session::VideoWindowOpen(std::uint64_t nowUs) {
  const std::uint64_t windowBytes = WindowBytes();
  // A keyframe is due when asked for or when the chain is broken; it is
  // about as large as the last one was.
  const bool keyframeDue = keyframeRequested_.load() || keyframes_.broken();
  const std::uint64_t frameBytes = keyframeDue ? keyframeBytes_.load(std::memory_order_relaxed)
                                               : frameBytes_.load(std::memory_order_relaxed);
  const bool room = sendGate_->HasRoom(windowBytes, connection_.BacklogBytes(), frameBytes, nowUs);
  if (!room) {
    rate_.OnHeldBack(nowUs);
  }
  return room;
}

void Session::AdaptBitrate(std::uint64_t nowUs) {
  if (!streaming_) {
    return;
  }
  const std::optional<RateController::Change> change =
      rate_.Update(connection_.BacklogBytes(), nowUs);
  if (!change) {
    return;
  }
  Log(LogLevel::Info, "bit rate %.2f -> %.2f Mbit/s: %s",
      static_cast<double>(change->fromBps) / 1e6, static_cast<double>(change->toBps) / 1e6,
      change->reason.c_str());
  // Under the pipeline lock, as SET_BITRATE: the encoder may be being
  // rebuilt. The controller's rate as it is now, which a SET_BITRATE that
  // came in meanwhile may have lowered below this change.
  const std::lock_guard<std::mutex> lock(pipelineLock_);
  encoder_.SetBitrate(rate_.rateBps());
}

void Session::RememberDelivery(const std::string& deviceId) {
  const std::uint32_t deliveredBps = rate_.deliveredBps();
  if (deviceId.empty() || deliveredBps == 0) {
    return;
  }
  const std::lock_guard<std::mutex> lock(deliveredLock_);
  std::erase_if(delivered_, [&](const auto& entry) { return entry.first == deviceId; });
  // A handful of receivers is all a PC sees; a stream of made-up ids must
  // not grow this without end.
  if (delivered_.size() >= kDeliveriesKept) {
    delivered_.erase(delivered_.begin());
  }
  delivered_.emplace_back(deviceId, deliveredBps);
}

void Session::ResumeDelivery(const std::string& deviceId) {
  if (requestedBps_.load() != 0) {
    return;  // the receiver chose its rate itself
  }
  const std::lock_guard<std::mutex> lock(deliveredLock_);
  const auto found = std::find_if(delivered_.begin(), delivered_.end(),
                                  [&](const auto& entry) { return entry.first == deviceId; });
  if (found != delivered_.end()) {
    rate_.ResumeFrom(found->second);
  }
}

void Session::LogLinkState() {
  Log(LogLevel::Debug,
      "link: rate=%.2f Mbit/s in flight=%llu KB backlog=%llu KB min rtt=%.1f ms forced "
      "keyframes=%llu",
      static_cast<double>(rate_.rateBps()) / 1e6,
      static_cast<unsigned long long>(sendWindow_.InFlightBytes() / 1024),
      static_cast<unsigned long long>(connection_.BacklogBytes() / 1024),
      static_cast<double>(stats_.minRttUs()) / 1000.0,
      static_cast<unsigned long long>(keyframes_.forcedKeyframes()));
}

}  // namespace veyra
