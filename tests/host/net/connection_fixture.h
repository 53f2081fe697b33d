#pragma once
// The host's side of a loopback connection for the connection tests: a
// Connection to a LoopbackPeer, with frame builders and a recorded log of
// its callbacks.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/net/connection.h"
#include "tests/host/net/loopback_peer.h"

namespace veyra::testing_net {

class ConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(peer_.listening()); }

  std::int32_t ConnectPlain() {
    return connection_->Connect(
        "127.0.0.1", peer_.port(), 5000, [this](const Packet& p) { log_.OnPacket(p); },
        [this](const std::string& reason) { log_.OnLost(reason); }, false);
  }

  void ConnectAndAccept() {
    ASSERT_EQ(ConnectPlain(), 0);
    ASSERT_TRUE(peer_.Accept());
  }

  std::vector<std::uint8_t> Video(std::uint64_t frameId, std::size_t payloadBytes = 100) {
    const std::vector<std::uint8_t> payload(payloadBytes, 0x65);
    return EncodeFrame(counters_, MessageType::kVideoFrame, Channel::kVideo,
                       FrameFlags::kAccessUnit, frameId, 0, payload.data(), payload.size());
  }

  std::vector<std::uint8_t> Control(std::uint64_t number,
                                    MessageType type = MessageType::kStreamKeepalive) {
    return EncodeFrame(counters_, type, Channel::kControl, FrameFlags::kNone, 0, number, nullptr,
                       0);
  }

  static std::string NameOf(const Packet& packet) {
    if (packet.header.type == static_cast<std::uint16_t>(MessageType::kVideoFrame)) {
      return Cat("V", packet.header.frameId);
    }
    return Cat("C", packet.header.timestampUs);
  }

  // Queues a video frame far larger than the socket buffers and waits until
  // the send thread is inside its write: the peer has its first byte.
  void BlockTheSender() {
    connection_->Send(Video(0, kMaxPayloadBytes), true);
    ASSERT_EQ(peer_.ReadExactly(1).size(), 1u);
  }

  LoopbackPeer peer_;
  CallbackLog log_;
  SequenceCounters counters_;
  // Last, so that it goes first: its threads call into log_.
  std::unique_ptr<Connection> connection_ = std::make_unique<Connection>();
};

}  // namespace veyra::testing_net
