#include "host/serve/websocket_frames.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace veyra {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kFinBinary = 0x82;
constexpr std::uint8_t kBinaryStart = 0x02;
constexpr std::uint8_t kContinue = 0x00;
constexpr std::uint8_t kFinContinue = 0x80;
constexpr std::uint8_t kFinPing = 0x89;
constexpr std::uint8_t kFinPong = 0x8A;
constexpr std::uint8_t kFinClose = 0x88;

// A client frame: |first| byte, |payload| masked with a fixed key, its
// length in the shortest form.
Bytes ClientFrame(std::uint8_t first, const Bytes& payload) {
  const std::uint8_t mask[4] = {0x37, 0xFA, 0x21, 0x3D};
  Bytes frame{first};
  if (payload.size() < 126) {
    frame.push_back(static_cast<std::uint8_t>(0x80 | payload.size()));
  } else if (payload.size() <= 0xFFFF) {
    frame.insert(frame.end(), {0xFE, static_cast<std::uint8_t>(payload.size() >> 8),
                               static_cast<std::uint8_t>(payload.size())});
  } else {
    frame.push_back(0xFF);
    for (int shift = 56; shift >= 0; shift -= 8) {
      frame.push_back(static_cast<std::uint8_t>(payload.size() >> shift));
    }
  }
  frame.insert(frame.end(), mask, mask + 4);
  for (std::size_t i = 0; i < payload.size(); ++i) {
    frame.push_back(payload[i] ^ mask[i % 4]);
  }
  return frame;
}

Bytes Text(std::string_view text) { return {text.begin(), text.end()}; }

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) {
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

// Events in a compact form: "binary:hello", "ping:p", "close:1000+4",
// "failed:1002".
std::string Describe(const WebSocketEvent& event) {
  const std::string payload(event.payload.begin(), event.payload.end());
  switch (event.kind) {
    case WebSocketEventKind::kBinary:
      return "binary:" + payload;
    case WebSocketEventKind::kPing:
      return "ping:" + payload;
    case WebSocketEventKind::kPong:
      return "pong:" + payload;
    case WebSocketEventKind::kClose:
      return "close:" + std::to_string(event.closeCode) + "+" +
             std::to_string(event.closeReasonBytes);
    case WebSocketEventKind::kFailed:
      return "failed:" + std::to_string(event.closeCode);
  }
  return "?";
}

// Feeds |stream| in pieces of |piece| bytes (all at once when 0), draining
// the events after each.
std::vector<std::string> Read(const Bytes& stream, std::size_t piece = 0,
                              std::size_t maxMessageBytes = 1 << 20,
                              std::size_t maxFragments = 64) {
  WebSocketFrameReader reader(maxMessageBytes, maxFragments);
  std::vector<std::string> events;
  for (std::size_t at = 0; at < stream.size();) {
    const std::size_t take = piece == 0 ? stream.size() : std::min(piece, stream.size() - at);
    reader.Feed(stream.data() + at, take);
    at += take;
    while (const auto event = reader.Next()) {
      events.push_back(Describe(*event));
    }
  }
  return events;
}

TEST(WebSocketHandshakeTest, AcceptsOnlyAKeyOfSixteenBytesAndAnswersIt) {
  EXPECT_EQ(WebSocketAcceptKey("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
  EXPECT_TRUE(IsValidWebSocketKey("dGhlIHNhbXBsZSBub25jZQ=="));
  EXPECT_FALSE(IsValidWebSocketKey("dGhlIHNhbXBsZSBub25jZQ"));       // unpadded
  EXPECT_FALSE(IsValidWebSocketKey("dGhlIHNhbXBsZSBub25j"));         // 15 bytes
  EXPECT_FALSE(IsValidWebSocketKey("dGhlIHNhbXBsZSBub25jZQ==, a"));  // a repeated field
  EXPECT_FALSE(IsValidWebSocketKey(""));
}

TEST(WebSocketEncodeTest, WritesTheShortestLengthAndNoMask) {
  struct Case {
    std::uint64_t length;
    Bytes head;
  };
  const Case cases[] = {
      {0, {0x82, 0x00}},
      {125, {0x82, 0x7D}},
      {126, {0x82, 0x7E, 0x00, 0x7E}},
      {65535, {0x82, 0x7E, 0xFF, 0xFF}},
      {65536, {0x82, 0x7F, 0, 0, 0, 0, 0, 1, 0, 0}},
      {16u << 20, {0x82, 0x7F, 0, 0, 0, 0, 1, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    const WebSocketFrameHead head = EncodeWebSocketFrameHead(WebSocketOpcode::kBinary, c.length);
    EXPECT_EQ(Bytes(head.View().begin(), head.View().end()), c.head) << c.length;
  }
  EXPECT_EQ(EncodeWebSocketFrame(WebSocketOpcode::kPong, Text("ab")),
            (Bytes{0x8A, 0x02, 'a', 'b'}));
  EXPECT_EQ(EncodeWebSocketClose(websocket_close::kMessageTooBig), (Bytes{0x88, 0x02, 0x03, 0xF1}));
  EXPECT_THROW(EncodeWebSocketFrameHead(WebSocketOpcode::kPing, 126), std::invalid_argument);
}

TEST(WebSocketFrameReaderTest, JoinsFragmentsAroundControlFramesWhereverTheStreamIsCut) {
  const Bytes big(70000, 'x');
  const Bytes stream = Join({
      ClientFrame(kBinaryStart, Text("he")),
      ClientFrame(kFinPing, Text("p1")),
      ClientFrame(kContinue, Text("ll")),
      ClientFrame(kFinPong, Text("")),
      ClientFrame(kFinContinue, Text("o")),
      ClientFrame(kFinBinary, Text("")),
      ClientFrame(kFinBinary, Bytes(300, 'y')),  // 16-bit length
      ClientFrame(kFinBinary, big),              // 64-bit length
      ClientFrame(kFinClose, Join({{0x03, 0xE8}, Text("bye")})),
      ClientFrame(kFinBinary, Text("after the close")),
  });
  const std::vector<std::string> expected = {
      "ping:p1",
      "pong:",
      "binary:hello",
      "binary:",
      "binary:" + std::string(300, 'y'),
      "binary:" + std::string(big.begin(), big.end()),
      "close:1000+3",
  };
  for (const std::size_t piece :
       {std::size_t{0}, std::size_t{1}, std::size_t{7}, std::size_t{4096}}) {
    EXPECT_EQ(Read(stream, piece), expected) << "pieces of " << piece;
  }
  EXPECT_EQ(Read(ClientFrame(kFinClose, {})), std::vector<std::string>{"close:1005+0"});
}

TEST(WebSocketFrameReaderTest, FailsEachForbiddenFrameAsSoonAsItsHeadShowsIt) {
  constexpr std::size_t kBound = 100;
  struct Case {
    const char* what;
    Bytes stream;
    std::uint16_t code;
  };
  const Bytes mask = {1, 2, 3, 4};
  const Case cases[] = {
      {"unmasked", {0x82, 0x05}, 1002},
      {"RSV1", {0xC2, 0x80}, 1002},
      {"opcode 3", {0x83, 0x80}, 1002},
      {"opcode 0xB", {0x8B, 0x80}, 1002},
      {"fragmented ping", {0x09, 0x80}, 1002},
      {"ping of 126", {0x89, 0xFE}, 1002},
      {"continuation first", {0x80, 0x80}, 1002},
      {"new message in a fragmented one",
       Join({ClientFrame(kBinaryStart, Text("a")), {0x82, 0x80}}), 1002},
      {"16-bit length of 125", Join({{0x82, 0xFE, 0x00, 0x7D}, mask}), 1002},
      {"64-bit length of 65535", Join({{0x82, 0xFF, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF}, mask}), 1002},
      {"64-bit length, top bit set", Join({{0x82, 0xFF, 0x80, 0, 0, 0, 0, 1, 0, 0}, mask}), 1002},
      {"close of one byte", ClientFrame(kFinClose, {0x03}), 1002},
      {"close code 1005", ClientFrame(kFinClose, {0x03, 0xED}), 1002},
      {"close code 999", ClientFrame(kFinClose, {0x03, 0xE7}), 1002},
      {"text", {0x81, 0x80}, 1003},
      {"text fragment", {0x01, 0x80}, 1003},
      {"one frame over the bound", Join({{0x82, 0x80 | (kBound + 1)}, mask}), 1009},
      {"fragments over the bound",
       Join({ClientFrame(kBinaryStart, Bytes(60, 'a')), {0x80, 0x80 | 41}, mask}), 1009},
      {"fourth fragment",
       Join({ClientFrame(kBinaryStart, {}),
             ClientFrame(kContinue, {}),
             ClientFrame(kContinue, {}),
             {0x80, 0x80},
             mask}),
       1008},
  };
  for (const Case& c : cases) {
    for (const std::size_t piece : {std::size_t{0}, std::size_t{1}}) {
      EXPECT_EQ(Read(c.stream, piece, kBound, 3),
                std::vector<std::string>{"failed:" + std::to_string(c.code)})
          << c.what << " in pieces of " << piece;
    }
  }
  // A message of exactly the bound in exactly the allowed fragments passes.
  const Bytes atBound =
      Join({ClientFrame(kBinaryStart, Bytes(50, 'a')), ClientFrame(kContinue, Bytes(25, 'a')),
            ClientFrame(kFinContinue, Bytes(25, 'a'))});
  EXPECT_EQ(Read(atBound, 0, kBound, 3),
            std::vector<std::string>{"binary:" + std::string(kBound, 'a')});
}

TEST(WebSocketFrameReaderTest, TellsWhetherTheTransportEndedInsideAFrame) {
  const Bytes frame = ClientFrame(kFinBinary, Text("hello"));
  WebSocketFrameReader reader(1 << 20);
  EXPECT_FALSE(reader.HasPartialFrame());
  for (std::size_t i = 0; i + 1 < frame.size(); ++i) {
    reader.Feed(&frame[i], 1);
    EXPECT_FALSE(reader.Next().has_value());
    EXPECT_TRUE(reader.HasPartialFrame()) << "after byte " << i;
  }
  reader.Feed(&frame.back(), 1);
  ASSERT_TRUE(reader.Next().has_value());
  EXPECT_FALSE(reader.HasPartialFrame());
  // Between the fragments of a message no frame is partial.
  const Bytes first = ClientFrame(kBinaryStart, Text("he"));
  reader.Feed(first.data(), first.size());
  EXPECT_FALSE(reader.Next().has_value());
  EXPECT_FALSE(reader.HasPartialFrame());
}

}  // namespace
}  // namespace veyra
