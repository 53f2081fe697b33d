#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "host/wire/frame.h"

namespace veyra {

// Cuts an incoming byte stream into frames, apart from any I/O: feed it the
// bytes as they arrive, then take complete frames out until it has none.
//
// The bytes wait in one accumulation buffer with a read and a fill
// position. Appending first moves unconsumed bytes to the front when the
// new ones do not fit behind them, then grows the buffer by doubling from
// 64 KiB until they fit. It never shrinks, so after one large frame the
// following ones reuse the room.
class FrameDecoder {
 public:
  static constexpr std::size_t kInitialCapacity = 65536;

  void Append(const std::uint8_t* data, std::size_t length);

  // The next complete frame, or nothing until more bytes arrive. Raises
  // ProtocolError when the buffered header is malformed; the stream cannot
  // be resynchronised after that.
  std::optional<Packet> Next();

  // Bytes of the accumulation buffer, and how many of them wait unconsumed.
  std::size_t Capacity() const { return buffer_.size(); }
  std::size_t Buffered() const { return fill_ - read_; }

 private:
  std::vector<std::uint8_t> buffer_;
  std::size_t read_ = 0;
  std::size_t fill_ = 0;
};

}  // namespace veyra
