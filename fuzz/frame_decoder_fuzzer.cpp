// Feeds arbitrary bytes to the receive thread's frame decoder in arbitrary
// pieces and checks that the pieces make no difference: the same frames, in
// the same order, and the same error at the same point as when the whole
// stream arrives at once. Also checks the buffer's bookkeeping: it only
// grows, by doubling from 64 KiB.
//
// Input: the first byte seeds the piece sizes (1 to 64 bytes, or one piece
// when it is 0); the rest is the stream.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/net/frame_decoder.h"

namespace {

using veyra::FrameDecoder;
using veyra::Packet;
using veyra::ProtocolError;

void Check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

struct Outcome {
  std::vector<Packet> packets;
  std::string error;
};

bool SamePackets(const Packet& a, const Packet& b) {
  return a.header.type == b.header.type && a.header.channel == b.header.channel &&
         a.header.flags == b.header.flags && a.header.sequence == b.header.sequence &&
         a.header.frameId == b.header.frameId && a.header.timestampUs == b.header.timestampUs &&
         a.header.payloadLength == b.header.payloadLength && a.payload == b.payload;
}

// Drains every complete frame; false after an error (the stream is lost).
bool Drain(FrameDecoder& decoder, Outcome& outcome) {
  try {
    while (auto packet = decoder.Next()) {
      Check(packet->payload.size() == packet->header.payloadLength);
      outcome.packets.push_back(std::move(*packet));
    }
  } catch (const ProtocolError& error) {
    outcome.error = error.what();
    return false;
  }
  return true;
}

void CheckCapacity(const FrameDecoder& decoder, std::size_t& lastCapacity) {
  const std::size_t capacity = decoder.Capacity();
  Check(capacity >= lastCapacity);
  Check(decoder.Buffered() <= capacity);
  if (capacity != 0) {
    std::size_t size = FrameDecoder::kInitialCapacity;
    while (size < capacity) {
      size *= 2;
    }
    Check(size == capacity);
  }
  lastCapacity = capacity;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  const std::uint8_t seed = data[0];
  const std::uint8_t* stream = data + 1;
  const std::size_t length = size - 1;

  Outcome whole;
  {
    FrameDecoder decoder;
    decoder.Append(stream, length);
    Drain(decoder, whole);
  }

  Outcome pieces;
  FrameDecoder decoder;
  std::size_t lastCapacity = 0;
  std::uint32_t state = seed;
  for (std::size_t offset = 0; offset < length;) {
    state = state * 1103515245u + 12345u;
    const std::size_t piece = seed == 0 ? length : 1 + (state >> 16) % 64;
    const std::size_t take = piece < length - offset ? piece : length - offset;
    decoder.Append(stream + offset, take);
    offset += take;
    CheckCapacity(decoder, lastCapacity);
    if (!Drain(decoder, pieces)) {
      break;
    }
  }

  Check(pieces.error == whole.error);
  Check(pieces.packets.size() == whole.packets.size());
  for (std::size_t i = 0; i < whole.packets.size(); ++i) {
    Check(SamePackets(pieces.packets[i], whole.packets[i]));
  }
  return 0;
}
