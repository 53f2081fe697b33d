#pragma once

// The receiver's side of a loopback connection, for tests that drive the
// host's networking through real sockets.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "host/net/socket.h"
#include "host/wire/frame.h"

namespace veyra::testing_net {

// |prefix|, |number| in decimal, |suffix|. Built by appending: GCC 12 at -O3
// warns falsely (-Wrestrict) about "literal" + std::string.
inline std::string Cat(std::string_view prefix, std::uint64_t number,
                       std::string_view suffix = {}) {
  std::string text(prefix);
  text += std::to_string(number);
  text += suffix;
  return text;
}

// Connects |client| to 127.0.0.1:|port| within five seconds.
inline bool ConnectToLoopback(std::uint16_t port, ScopedSocket& client) {
  std::vector<SocketAddress> addresses;
  if (ResolveTcpAddresses("127.0.0.1", port, addresses) != 0 || addresses.empty()) {
    return false;
  }
  client.Reset(OpenSocket(addresses.front()));
  return ConnectWithin(client.Get(), addresses.front(), 5000);
}

class LoopbackPeer {
 public:
  LoopbackPeer() { listener_.Reset(ListenOnLoopback(port_)); }

  bool listening() const { return listener_.IsValid(); }
  std::uint16_t port() const { return port_; }

  // Takes the host's connection (it waits in the backlog until then).
  bool Accept() {
    connection_.Reset(AcceptConnection(listener_.Get()));
    return connection_.IsValid();
  }

  SocketHandle socket() const { return connection_.Get(); }

  bool Write(const std::vector<std::uint8_t>& bytes) {
    return SendAll(connection_.Get(), bytes.data(), bytes.size());
  }

  // Exactly |count| bytes, or fewer when the stream ended first.
  std::vector<std::uint8_t> ReadExactly(std::size_t count) {
    std::vector<std::uint8_t> bytes(count);
    std::size_t got = 0;
    while (got < count) {
      const long n = ReceiveSome(connection_.Get(), bytes.data() + got, count - got);
      if (n <= 0) {
        break;
      }
      got += static_cast<std::size_t>(n);
    }
    bytes.resize(got);
    return bytes;
  }

  // The next frame the host sent, or nothing at the end of the stream.
  std::optional<Packet> ReadFrame() {
    const std::vector<std::uint8_t> header = ReadExactly(kFrameHeaderBytes);
    if (header.size() < kFrameHeaderBytes) {
      return std::nullopt;
    }
    Packet packet;
    packet.header = DecodeHeader(header.data(), header.size());
    packet.payload = ReadExactly(packet.header.payloadLength);
    if (packet.payload.size() < packet.header.payloadLength) {
      return std::nullopt;
    }
    return packet;
  }

  // True when the host ended the stream (a read gives 0 or fails).
  bool ReadsEndOfStream() {
    std::uint8_t byte = 0;
    return ReceiveSome(connection_.Get(), &byte, 1) <= 0;
  }

  void Close() { connection_.Reset(); }

 private:
  ScopedSocket listener_;
  ScopedSocket connection_;
  std::uint16_t port_ = 0;
};

// What a connection's callbacks delivered, for waiting on from the test.
class CallbackLog {
 public:
  void OnPacket(const Packet& packet) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      packets_.push_back(packet);
    }
    changed_.notify_all();
  }

  void OnLost(const std::string& reason) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      lost_.push_back(reason);
    }
    changed_.notify_all();
  }

  bool WaitForPackets(std::size_t count, std::chrono::milliseconds timeout = kWait) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return packets_.size() >= count; });
  }

  bool WaitForLosses(std::size_t count, std::chrono::milliseconds timeout = kWait) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return lost_.size() >= count; });
  }
  bool WaitForLoss() { return WaitForLosses(1); }

  std::vector<Packet> packets() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return packets_;
  }

  std::vector<std::string> losses() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return lost_;
  }

  // Generous: a bound for a loopback event on a loaded machine, never a
  // measurement.
  static constexpr std::chrono::milliseconds kWait{10000};

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Packet> packets_;
  std::vector<std::string> lost_;
};

}  // namespace veyra::testing_net
