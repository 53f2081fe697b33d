#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "host/wire/message_type.h"
#include "host/wire/protocol_error.h"

namespace veyra {

// Every frame on the stream is a 36-byte header and the payload it counts:
//
//    0       4    6    8  9  10   12       16             24             32      36
//   +-------+----+----+--+--+----+--------+--------------+--------------+-------+-------
//   | VYRA  |ver |type|ch|fl|rsvd|sequence|   frameId    | timestampUs  |length | payload
//   +-------+----+----+--+--+----+--------+--------------+--------------+-------+-------
//
// All big-endian; version is always 1; the reserved bytes are written as 0
// and never looked at. No padding, checksum or terminator: the next frame
// starts right after the payload.
inline constexpr std::size_t kFrameHeaderBytes = 36;
// The largest payload either side sends or accepts (16 MiB, included).
inline constexpr std::uint32_t kMaxPayloadBytes = 16u * 1024u * 1024u;
inline constexpr std::uint16_t kFramingVersion = 1;

// Channels of the header's channel byte.
struct Channel {
  static constexpr std::uint8_t kControl = 0;
  static constexpr std::uint8_t kVideo = 1;
};

// Bits of the header's flags byte as the host sets them. A VIDEO_FRAME
// carries kAccessUnit, plus kKeyframe for an IDR picture; VIDEO_CONFIG_DATA
// carries kCodecConfig; every other message none. Received flags are ignored.
struct FrameFlags {
  static constexpr std::uint8_t kNone = 0x00;
  static constexpr std::uint8_t kKeyframe = 0x01;
  static constexpr std::uint8_t kCodecConfig = 0x02;
  static constexpr std::uint8_t kAccessUnit = 0x04;
};

// A decoded header; magic and version are checked, not kept. The type is
// kept as the raw code: unknown codes travel on to whoever dispatches.
struct FrameHeader {
  std::uint16_t type = 0;
  std::uint8_t channel = 0;
  std::uint8_t flags = 0;
  std::uint32_t sequence = 0;
  std::uint64_t frameId = 0;
  std::uint64_t timestampUs = 0;
  std::uint32_t payloadLength = 0;
};

// One received frame: its header and a copy of its payload bytes.
struct Packet {
  FrameHeader header;
  std::vector<std::uint8_t> payload;
};

// The sender's per-channel sequence numbers: three counters, for channels 0,
// 1 and 2; a frame on any other channel draws from channel 0's counter. Each
// counter starts at 0 and wraps at 2^32. Frames are built on several threads
// (run loop, receive, capture, encoder), so a draw is one atomic
// read-and-increment; nothing is promised about order between channels.
class SequenceCounters {
 public:
  static constexpr std::size_t kCount = 3;

  // Takes the next number of |channel|'s counter.
  std::uint32_t Draw(std::uint8_t channel);
  // The number the next frame on |channel| would get.
  std::uint32_t Peek(std::uint8_t channel) const;

 private:
  static std::size_t CounterFor(std::uint8_t channel) { return channel < kCount ? channel : 0; }

  std::array<std::atomic<std::uint32_t>, kCount> counters_{};
};

// Builds a complete frame (header and payload copy) with the next sequence
// number of |channel|. A payload above kMaxPayloadBytes raises ProtocolError
// "payload too large" and uses up no sequence number. Any thread.
std::vector<std::uint8_t> EncodeFrame(SequenceCounters& counters, MessageType type,
                                      std::uint8_t channel, std::uint8_t flags,
                                      std::uint64_t frameId, std::uint64_t timestampUs,
                                      const std::uint8_t* payload, std::size_t length);
// The same with a text payload (the JSON of a control message).
std::vector<std::uint8_t> EncodeFrame(SequenceCounters& counters, MessageType type,
                                      std::uint8_t channel, std::uint8_t flags,
                                      std::uint64_t frameId, std::uint64_t timestampUs,
                                      std::string_view payload);

// Reads and checks the header at the start of |data|. Raises ProtocolError:
// "short header" (fewer than 36 bytes), "bad magic", "bad version" (not 1),
// "payload too large" (above 16 MiB). Neither type nor channel is checked,
// and the payload need not be present: the caller waits until 36 +
// payloadLength bytes are buffered before it allocates or copies anything.
FrameHeader DecodeHeader(const std::uint8_t* data, std::size_t size);

}  // namespace veyra
