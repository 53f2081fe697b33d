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
// Bounds and drop rules: at most kVideoCapacity video frames; a video frame
// pushed beyond them is refused, never a queued one dropped, because every
// later frame of the stream may refer to a queued one and the sender must
// know which frame the receiver will miss (it then starts again from a
// keyframe). Video is bounded by the sender's own window long before this;
// the bound only keeps a stalled link from holding seconds of pictures here.
// At most kCapacity frames in all: a push onto a full queue first drops the
// head (the oldest control frame, since at most kVideoCapacity are video).
// Drops are silent.
class SendQueue {
 public:
  static constexpr std::size_t kCapacity = 24;
  // Three frames: 50 ms at 60 frames a second.
  static constexpr std::size_t kVideoCapacity = 3;

  enum class PushResult { kQueued, kDroppedHead, kRefused };

  // Queues |frame|; |isVideo| is true for VIDEO_FRAME only.
  PushResult Push(std::vector<std::uint8_t> frame, bool isVideo);

  // Takes the frame at the head. The queue must not be empty.
  std::vector<std::uint8_t> PopFront();

  bool Empty() const { return entries_.empty(); }
  std::size_t Size() const { return entries_.size(); }
  // Bytes of the video frames queued.
  std::size_t VideoBytes() const { return videoBytes_; }
  void Clear();

 private:
  struct Entry {
    std::vector<std::uint8_t> bytes;
    bool isVideo = false;
  };

  std::deque<Entry> entries_;
  std::size_t videoFrames_ = 0;
  std::size_t videoBytes_ = 0;
};

// A VIDEO_FRAME as the queue recognises one: longer than the 36-byte header,
// with type 16 at bytes 6 and 7 (big-endian).
bool IsVideoFrame(const std::vector<std::uint8_t>& frame);

}  // namespace veyra
