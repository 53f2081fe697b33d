#include "host/net/send_queue.h"

#include <algorithm>
#include <utility>

#include "host/wire/byte_order.h"
#include "host/wire/frame.h"

namespace veyra {

bool IsVideoFrame(const std::vector<std::uint8_t>& frame) {
  return frame.size() > kFrameHeaderBytes &&
         byte_order::LoadBe16(frame.data() + 6) ==
             static_cast<std::uint16_t>(MessageType::kVideoFrame);
}

SendQueue::PushResult SendQueue::Push(std::vector<std::uint8_t> frame, bool isVideo) {
  if (isVideo && videoFrames_ >= kVideoCapacity) {
    return PushResult::kRefused;
  }
  PushResult result = PushResult::kQueued;
  if (entries_.size() >= kCapacity) {
    if (entries_.front().isVideo) {
      videoFrames_ -= 1;
      videoBytes_ -= entries_.front().bytes.size();
    }
    entries_.pop_front();
    result = PushResult::kDroppedHead;
  }
  Entry entry{std::move(frame), isVideo};
  if (isVideo) {
    videoFrames_ += 1;
    videoBytes_ += entry.bytes.size();
    entries_.push_back(std::move(entry));
  } else {
    const auto firstVideo = std::find_if(entries_.begin(), entries_.end(),
                                         [](const Entry& queued) { return queued.isVideo; });
    entries_.insert(firstVideo, std::move(entry));
  }
  return result;
}

std::vector<std::uint8_t> SendQueue::PopFront() {
  Entry& head = entries_.front();
  if (head.isVideo) {
    videoFrames_ -= 1;
    videoBytes_ -= head.bytes.size();
  }
  std::vector<std::uint8_t> frame = std::move(head.bytes);
  entries_.pop_front();
  return frame;
}

void SendQueue::Clear() {
  entries_.clear();
  videoFrames_ = 0;
  videoBytes_ = 0;
}

}  // namespace veyra
