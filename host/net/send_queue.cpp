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

bool SendQueue::Push(std::vector<std::uint8_t> frame, bool isVideo) {
  bool dropped = false;
  if (entries_.size() >= kCapacity) {
    auto victim = std::find_if(entries_.begin(), entries_.end(),
                               [](const Entry& entry) { return IsVideoFrame(entry.bytes); });
    if (victim == entries_.end()) {
      victim = entries_.begin();
    }
    entries_.erase(victim);
    dropped = true;
  }
  Entry entry{std::move(frame), isVideo};
  if (isVideo) {
    entries_.push_back(std::move(entry));
  } else {
    const auto firstVideo = std::find_if(entries_.begin(), entries_.end(),
                                         [](const Entry& queued) { return queued.isVideo; });
    entries_.insert(firstVideo, std::move(entry));
  }
  return dropped;
}

std::vector<std::uint8_t> SendQueue::PopFront() {
  std::vector<std::uint8_t> frame = std::move(entries_.front().bytes);
  entries_.pop_front();
  return frame;
}

}  // namespace veyra
