// Feeds arbitrary bytes to the frame codec the way the receive thread cuts a
// stream: header after header, each payload handed to its decoder. Checks
// that every malformed input ends in ProtocolError, that decoders fail
// exactly below their minimum, and that what decodes encodes back to the
// same bytes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "host/wire/binary_payloads.h"
#include "host/wire/control_messages.h"
#include "host/wire/frame.h"
#include "host/wire/json_value.h"

namespace {

using veyra::ProtocolError;

void Check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

// Runs |decode| on the payload; returns whether it succeeded and checks that
// it failed only for a payload below |minimum| bytes.
template <typename Decode>
bool DecodeChecked(Decode decode, const std::vector<std::uint8_t>& payload, std::size_t minimum) {
  try {
    decode(payload.data(), payload.size());
  } catch (const ProtocolError&) {
    Check(payload.size() < minimum);
    return false;
  }
  Check(payload.size() >= minimum);
  return true;
}

void CheckPayloadDecoders(std::uint16_t type, const std::vector<std::uint8_t>& payload) {
  // Every decoder on every payload: none may read past the copy's end, which
  // ASan watches since the copy is its own allocation.
  DecodeChecked(veyra::DecodeTouch, payload, veyra::kTouchPayloadBytes);
  DecodeChecked(veyra::DecodeScroll, payload, veyra::kScrollPayloadBytes);
  DecodeChecked(veyra::DecodeKey, payload, veyra::kKeyPayloadBytes);
  DecodeChecked(veyra::DecodeFrameAck, payload, veyra::kFrameAckPayloadBytes);
  if (DecodeChecked(veyra::DecodePing, payload, veyra::kPingPayloadBytes)) {
    const auto again = veyra::EncodePing(veyra::DecodePing(payload.data(), payload.size()));
    Check(std::memcmp(again.data(), payload.data(), again.size()) == 0);
  }

  // Control messages: the text parses or raises ProtocolError; readers never fail.
  switch (static_cast<veyra::MessageType>(type)) {
    case veyra::MessageType::kHello:
    case veyra::MessageType::kDeviceInfo:
    case veyra::MessageType::kPairAccepted:
    case veyra::MessageType::kVisibility:
    case veyra::MessageType::kSetBitrate:
    case veyra::MessageType::kDisplayChanged:
    case veyra::MessageType::kError:
      try {
        const veyra::JsonValue json = veyra::Parse(payload.data(), payload.size());
        veyra::ParseHello(json);
        veyra::ParseDeviceInfo(json);
        veyra::ParsePairToken(json);
        Check(veyra::ParseVisibility(json).atUs >= 0);
        veyra::ParseBitrateRequest(json);
        veyra::ParseDisplayChange(json);
        veyra::ParseError(json);
      } catch (const ProtocolError&) {
      }
      break;
    default:
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  veyra::SequenceCounters counters;
  std::size_t pos = 0;
  while (pos < size) {
    veyra::FrameHeader header;
    try {
      header = veyra::DecodeHeader(data + pos, size - pos);
    } catch (const ProtocolError&) {
      break;  // a header error ends the connection
    }
    Check(size - pos >= veyra::kFrameHeaderBytes);
    Check(header.payloadLength <= veyra::kMaxPayloadBytes);
    const std::size_t available = size - pos - veyra::kFrameHeaderBytes;
    if (available < header.payloadLength) {
      break;  // the receive thread would wait for more bytes
    }
    const std::uint8_t* begin = data + pos + veyra::kFrameHeaderBytes;
    const std::vector<std::uint8_t> payload(begin, begin + header.payloadLength);

    // The frame encodes back to the same bytes; reserved and sequence bytes
    // aside, the sequence being the encoder's own.
    const std::uint32_t sequence = counters.Peek(header.channel);
    const std::vector<std::uint8_t> again = veyra::EncodeFrame(
        counters, static_cast<veyra::MessageType>(header.type), header.channel, header.flags,
        header.frameId, header.timestampUs, payload.data(), payload.size());
    Check(again.size() == veyra::kFrameHeaderBytes + payload.size());
    Check(std::memcmp(again.data(), data + pos, 10) == 0);
    Check(veyra::DecodeHeader(again.data(), again.size()).sequence == sequence);
    Check(std::memcmp(again.data() + 16, data + pos + 16, again.size() - 16) == 0);
    Check(veyra::MessageName(header.type) != nullptr);

    CheckPayloadDecoders(header.type, payload);
    pos += veyra::kFrameHeaderBytes + header.payloadLength;
  }
  return 0;
}
