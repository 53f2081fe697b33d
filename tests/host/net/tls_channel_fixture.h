#pragma once

// The TLS channel against a loopback peer, with a scripted provider: the
// fixture the client's and the server's tests share.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "host/net/fake_tls_provider.h"
#include "host/net/socket.h"
#include "host/net/tls_channel.h"
#include "tests/host/net/loopback_peer.h"

namespace veyra::testing_net {

// A client socket connected to a loopback peer, and the TLS channel under
// test with a scripted provider.
class TlsChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(StartSockets());
    ASSERT_TRUE(peer_.listening());
    ASSERT_TRUE(ConnectToLoopback(peer_.port(), client_));
    ASSERT_TRUE(peer_.Accept());
  }

  void MakeChannel(FakeTlsProvider::Script script = {}) {
    auto provider = std::make_unique<FakeTlsProvider>(std::move(script));
    provider_ = provider.get();
    channel_ = std::make_unique<TlsChannel>(std::move(provider));
  }

  // The server's half of the handshake on the peer's thread: |rounds|
  // SERVER_HELLO records, then |afterLast| in the same write as the last.
  std::thread ServeHandshake(int rounds = 1, const std::vector<std::uint8_t>& afterLast = {}) {
    return std::thread([this, rounds, afterLast] {
      std::vector<std::uint8_t> stream;
      ReadRecords(stream, 1);  // CLIENT_HELLO
      for (int i = 0; i < rounds; ++i) {
        std::vector<std::uint8_t> hello = fake_tls::Record(fake_tls::kHandshake, "SERVER_HELLO");
        if (i + 1 == rounds) {
          hello.insert(hello.end(), afterLast.begin(), afterLast.end());
        }
        peer_.Write(hello);
      }
      ReadRecords(stream, 1);  // CLIENT_FINISHED
    });
  }

  std::vector<fake_tls::ParsedRecord> ReadRecords(std::vector<std::uint8_t>& stream,
                                                  std::size_t count) {
    std::vector<fake_tls::ParsedRecord> records;
    while (records.size() < count) {
      auto more = fake_tls::TakeRecords(stream);
      records.insert(records.end(), more.begin(), more.end());
      if (records.size() >= count) {
        break;
      }
      std::uint8_t buffer[4096];
      const long n = ReceiveSome(peer_.socket(), buffer, sizeof(buffer));
      if (n <= 0) {
        break;
      }
      stream.insert(stream.end(), buffer, buffer + n);
    }
    return records;
  }

  void Handshaken(FakeTlsProvider::Script script = {},
                  const std::vector<std::uint8_t>& afterLast = {}) {
    MakeChannel(std::move(script));
    std::thread server = ServeHandshake(1, afterLast);
    ASSERT_EQ(channel_->Handshake(client_.Get(), "127.0.0.1"), 0);
    server.join();
  }

  // A channel whose clock moves one second each time it is read; |reads|
  // counts the readings.
  void MakeChannelOnSecondsClock(std::uint64_t& nowUs, int& reads) {
    auto provider = std::make_unique<FakeTlsProvider>();
    provider_ = provider.get();
    channel_ = std::make_unique<TlsChannel>(std::move(provider), [&nowUs, &reads] {
      ++reads;
      return (nowUs += 1000000);
    });
  }

  // The peer keeps a handshake message incomplete: a header announcing
  // 30,000 bytes, then a byte now and then until |done|; first it reads the
  // client's hello when it plays the server.
  std::thread TrickleIncompleteMessage(const std::atomic<bool>& done, bool readHelloFirst) {
    return std::thread([this, &done, readHelloFirst] {
      if (readHelloFirst) {
        std::vector<std::uint8_t> stream;
        ReadRecords(stream, 1);
      }
      peer_.Write({fake_tls::kHandshake, 3, 3, 0x75, 0x30});
      while (!done.load() && peer_.Write({0x11})) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
  }

  // A handshake message header announcing 60,000 bytes, then more than
  // 32 KiB of them.
  static std::vector<std::uint8_t> EndlessHandshakeMessage() {
    std::vector<std::uint8_t> message{fake_tls::kHandshake, 3, 3, 0xEA, 0x60};
    message.resize(5 + 40000, 0x11);
    return message;
  }

  static std::vector<std::uint8_t> Bytes(std::size_t count) {
    std::vector<std::uint8_t> bytes(count);
    for (std::size_t i = 0; i < count; ++i) {
      bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    }
    return bytes;
  }

  LoopbackPeer peer_;
  ScopedSocket client_;
  FakeTlsProvider* provider_ = nullptr;
  std::unique_ptr<TlsChannel> channel_;
};

}  // namespace veyra::testing_net
