// The connection over TLS on loopback (OpenSSL on both ends): how much 40 KB
// video the receiver gets when the host queues it at full speed. scripts/bench
// sets it beside the plaintext figure of net_bench and beside `openssl speed`
// for the negotiated cipher, the encryption alone on one core.

#include <benchmark/benchmark.h>

#include <csignal>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "bench/loopback_peer.h"
#include "host/base/clock.h"
#include "host/base/log.h"
#include "host/net/connection.h"
#include "host/net/frame_decoder.h"
#include "host/net/socket.h"

namespace veyra {
namespace {

constexpr std::size_t kVideoBytes = 40000;

// One iteration: one 40 KB video frame queued. Counters as net_bench's
// BM_VideoAtFullSpeed; the label names the negotiated cipher.
void BM_TlsVideoAtFullSpeed(benchmark::State& state) {
  // The peer's OpenSSL writes its session tickets with write(2) on a socket
  // the host may already have closed (the first, one-iteration run): that
  // must be an error for the peer, not SIGPIPE for the process.
  std::signal(SIGPIPE, SIG_IGN);
  bench::LoopbackPeer peer(true);
  Connection connection;
  peer.Start();
  if (connection.Connect(
          "127.0.0.1", peer.port(), 5000, [](const Packet&) {}, [](const std::string&) {}, true) !=
      0) {
    state.SkipWithError("cannot connect over TLS on loopback");
    return;
  }
  SequenceCounters counters;
  const std::vector<std::uint8_t> accessUnit(kVideoBytes - kFrameHeaderBytes, 0x5A);
  std::uint64_t frameId = 0;
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    connection.Send(
        EncodeFrame(counters, MessageType::kVideoFrame, Channel::kVideo, FrameFlags::kAccessUnit,
                    ++frameId, NowUs(), accessUnit.data(), accessUnit.size()),
        true);
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double frames = static_cast<double>(peer.videoFrames());
  state.counters["recv_frames_per_s"] = frames / seconds;
  state.counters["recv_MB_per_s"] = static_cast<double>(peer.videoBytes()) / seconds / 1e6;
  state.counters["dropped_pct"] = 100.0 * (1.0 - frames / static_cast<double>(frameId));
  state.SetLabel(peer.cipher());
  connection.Disconnect();
}
BENCHMARK(BM_TlsVideoAtFullSpeed)->UseRealTime()->MinTime(2.0);

}  // namespace
}  // namespace veyra
