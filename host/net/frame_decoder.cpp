#include "host/net/frame_decoder.h"

#include <cstring>

namespace veyra {

void FrameDecoder::Append(const std::uint8_t* data, std::size_t length) {
  if (length == 0) {
    return;
  }
  if (buffer_.size() - fill_ < length && read_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + read_, fill_ - read_);
    fill_ -= read_;
    read_ = 0;
  }
  if (buffer_.size() - fill_ < length) {
    std::size_t capacity = buffer_.empty() ? kInitialCapacity : buffer_.size();
    while (capacity - fill_ < length) {
      capacity *= 2;
    }
    buffer_.resize(capacity);
  }
  std::memcpy(buffer_.data() + fill_, data, length);
  fill_ += length;
}

std::optional<Packet> FrameDecoder::Next() {
  const std::size_t buffered = fill_ - read_;
  if (buffered < kFrameHeaderBytes) {
    return std::nullopt;
  }
  const std::uint8_t* frame = buffer_.data() + read_;
  Packet packet;
  packet.header = DecodeHeader(frame, buffered);
  const std::size_t frameBytes = kFrameHeaderBytes + packet.header.payloadLength;
  if (buffered < frameBytes) {
    return std::nullopt;
  }
  packet.payload.assign(frame + kFrameHeaderBytes, frame + frameBytes);
  read_ += frameBytes;
  if (read_ == fill_) {
    read_ = 0;
    fill_ = 0;
  }
  return packet;
}

}  // namespace veyra
