#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace veyra {

// Complete frames waiting for the connection's send thread. Not locked
// itself: the connection touches it only under its queue mutex.
//
// Order: a video frame goes to the tail. Any other frame goes after the
// non-video frames already queued and before the first queued video frame,
// so control messages overtake queued video but keep their own order
// (VIDEO_CONFIG before STREAM_START, HELLO_ACK before PONG).
//
// Bound and drop rule: at most kCapacity frames. A push onto a full queue
// first drops the oldest queued VIDEO_FRAME, or the head when none is
// queued. Video is replaceable (the next keyframe repairs it); a stalled
// receiver must not make the host buffer without limit. Drops are silent.
class SendQueue {
 public:
  static constexpr std::size_t kCapacity = 24;

  // Queues |frame|; |isVideo| is true for VIDEO_FRAME only. Returns true when
  // a queued frame was dropped to make room.
  bool Push(std::vector<std::uint8_t> frame, bool isVideo);

  // Takes the frame at the head. The queue must not be empty.
  std::vector<std::uint8_t> PopFront();

  bool Empty() const { return entries_.empty(); }
  std::size_t Size() const { return entries_.size(); }
  void Clear() { entries_.clear(); }

 private:
  struct Entry {
    std::vector<std::uint8_t> bytes;
    bool isVideo = false;
  };

  std::deque<Entry> entries_;
};

// A VIDEO_FRAME as the queue recognises one: longer than the 36-byte header,
// with type 16 at bytes 6 and 7 (big-endian).
bool IsVideoFrame(const std::vector<std::uint8_t>& frame);

}  // namespace veyra
