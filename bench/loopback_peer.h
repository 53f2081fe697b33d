#pragma once

// The receiver's side of the connection benchmarks: listens on loopback,
// accepts one connection, plaintext or TLS, on a thread of its own (the
// host's TLS handshake needs it running while Connect waits) and reads until
// the stream ends. It counts the video it decodes and notes, for each other
// frame, how long it took since the timestamp in its header.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/tls_loopback_server.h"
#include "host/base/clock.h"
#include "host/net/frame_decoder.h"
#include "host/net/socket.h"
#include "host/wire/frame.h"

namespace veyra::bench {

class LoopbackPeer {
 public:
  explicit LoopbackPeer(bool tls) : tls_(tls) { listener_.Reset(ListenOnLoopback(port_)); }
  ~LoopbackPeer() {
    if (reader_.joinable()) reader_.join();
  }
  LoopbackPeer(const LoopbackPeer&) = delete;
  LoopbackPeer& operator=(const LoopbackPeer&) = delete;

  std::uint16_t port() const { return port_; }
  std::uint64_t videoFrames() const { return videoFrames_.load(); }
  std::uint64_t videoBytes() const { return videoBytes_.load(); }
  // Valid once the handshake is done (Connect has returned).
  std::string cipher() const { return server_.CipherName(); }

  void Start() {
    reader_ = std::thread([this] {
      connection_.Reset(AcceptConnection(listener_.Get()));
      if (!connection_.IsValid() ||
          (tls_ && !server_.Accept(static_cast<int>(connection_.Get())))) {
        return;
      }
      Read();
    });
  }

  // Waits for the next control frame; its Send-to-receipt time.
  std::uint64_t WaitForControl() {
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait(lock, [this] { return !latenciesUs_.empty(); });
    const std::uint64_t latency = latenciesUs_.back();
    latenciesUs_.clear();
    return latency;
  }

 private:
  void Read() {
    FrameDecoder decoder;
    std::vector<std::uint8_t> buffer(1 << 16);
    for (;;) {
      const long n = tls_ ? server_.Read(buffer.data(), buffer.size())
                          : ReceiveSome(connection_.Get(), buffer.data(), buffer.size());
      if (n <= 0) return;
      decoder.Append(buffer.data(), static_cast<std::size_t>(n));
      while (auto packet = decoder.Next()) {
        if (packet->header.type == static_cast<std::uint16_t>(MessageType::kVideoFrame)) {
          videoFrames_.fetch_add(1);
          videoBytes_.fetch_add(kFrameHeaderBytes + packet->payload.size());
          continue;
        }
        const std::uint64_t latency = NowUs() - packet->header.timestampUs;
        {
          const std::lock_guard<std::mutex> lock(mutex_);
          latenciesUs_.push_back(latency);
        }
        arrived_.notify_all();
      }
    }
  }

  const bool tls_;
  ScopedSocket listener_;
  ScopedSocket connection_;
  std::uint16_t port_ = 0;
  TlsServer server_;
  std::thread reader_;
  std::atomic<std::uint64_t> videoFrames_{0};
  std::atomic<std::uint64_t> videoBytes_{0};
  std::mutex mutex_;  // guards latenciesUs_
  std::condition_variable arrived_;
  std::vector<std::uint64_t> latenciesUs_;
};

}  // namespace veyra::bench
