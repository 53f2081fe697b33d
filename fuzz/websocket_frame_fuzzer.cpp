// Feeds arbitrary bytes to the WebSocket frame reader in arbitrary pieces and
// checks that the pieces make no difference: the same events in the same
// order, ending the same way. Also checks the bounds each event keeps: a
// message within its bound, control payloads within 125 bytes, a failure
// only with the codes the reader names, nothing after a close or failure.
//
// Input: the first byte seeds the piece sizes (1 to 64 bytes, or one piece
// when it is 0); the second picks the message bound (16 bytes per step, so
// that both sides of it are reached) and the fragment bound (1 to 8); the
// rest is the stream.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "host/serve/websocket_frames.h"

namespace {

using veyra::WebSocketEvent;
using veyra::WebSocketEventKind;
using veyra::WebSocketFrameReader;

void Check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

bool Same(const WebSocketEvent& a, const WebSocketEvent& b) {
  return a.kind == b.kind && a.payload == b.payload && a.closeCode == b.closeCode &&
         a.closeReasonBytes == b.closeReasonBytes && a.failure == b.failure;
}

void CheckEvent(const WebSocketEvent& event, std::size_t maxMessageBytes) {
  switch (event.kind) {
    case WebSocketEventKind::kBinary:
      Check(event.payload.size() <= maxMessageBytes);
      break;
    case WebSocketEventKind::kPing:
    case WebSocketEventKind::kPong:
      Check(event.payload.size() <= veyra::kMaxWebSocketControlBytes);
      break;
    case WebSocketEventKind::kClose:
      Check(event.payload.empty() && event.closeReasonBytes <= 123);
      break;
    case WebSocketEventKind::kFailed:
      Check(event.closeCode == 1002 || event.closeCode == 1003 || event.closeCode == 1008 ||
            event.closeCode == 1009);
      Check(!event.failure.empty());
      break;
  }
}

// Drains the reader's events; checks that the end comes with the last one.
void Drain(WebSocketFrameReader& reader, std::vector<WebSocketEvent>& events,
           std::size_t maxMessageBytes) {
  while (auto event = reader.Next()) {
    Check(events.empty() || (events.back().kind != WebSocketEventKind::kClose &&
                             events.back().kind != WebSocketEventKind::kFailed));
    CheckEvent(*event, maxMessageBytes);
    events.push_back(std::move(*event));
  }
  const bool ended = !events.empty() && (events.back().kind == WebSocketEventKind::kClose ||
                                         events.back().kind == WebSocketEventKind::kFailed);
  Check(reader.Ended() == ended);
  Check(!ended || !reader.HasPartialFrame());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) {
    return 0;
  }
  const std::uint8_t seed = data[0];
  const std::size_t maxMessageBytes = std::size_t{data[1]} * 16;
  const std::size_t maxFragments = 1 + (data[1] & 7);
  const std::uint8_t* stream = data + 2;
  const std::size_t length = size - 2;

  std::vector<WebSocketEvent> whole;
  WebSocketFrameReader wholeReader(maxMessageBytes, maxFragments);
  wholeReader.Feed(stream, length);
  Drain(wholeReader, whole, maxMessageBytes);

  std::vector<WebSocketEvent> pieces;
  WebSocketFrameReader reader(maxMessageBytes, maxFragments);
  std::uint32_t state = seed;
  for (std::size_t offset = 0; offset < length;) {
    state = state * 1103515245u + 12345u;
    const std::size_t piece = seed == 0 ? length : 1 + (state >> 16) % 64;
    const std::size_t take = piece < length - offset ? piece : length - offset;
    reader.Feed(stream + offset, take);
    offset += take;
    Drain(reader, pieces, maxMessageBytes);
  }

  Check(pieces.size() == whole.size());
  for (std::size_t i = 0; i < whole.size(); ++i) {
    Check(Same(pieces[i], whole[i]));
  }
  Check(reader.HasPartialFrame() == wholeReader.HasPartialFrame());
  return 0;
}
