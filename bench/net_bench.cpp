// The connection on loopback, plaintext: how much 40 KB video the receiver
// gets when the host queues it at full speed (the queue drops the oldest
// video when full), next to a bare socket writing the same frames from the
// calling thread; and how long a control frame takes from Send to the
// receiver when it has to overtake a full video queue, next to the same on
// an idle connection.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "bench/loopback_peer.h"
#include "host/base/clock.h"
#include "host/net/connection.h"
#include "host/net/frame_decoder.h"
#include "host/net/socket.h"

namespace veyra {
namespace {

constexpr std::size_t kVideoBytes = 40000;

std::vector<std::uint8_t> VideoFrame(SequenceCounters& counters, std::uint64_t frameId) {
  static const std::vector<std::uint8_t> accessUnit(kVideoBytes - kFrameHeaderBytes, 0x5A);
  return EncodeFrame(counters, MessageType::kVideoFrame, Channel::kVideo, FrameFlags::kAccessUnit,
                     frameId, NowUs(), accessUnit.data(), accessUnit.size());
}

bool ConnectTo(Connection& connection, bench::LoopbackPeer& peer) {
  const bool connected = connection.Connect(
                             "127.0.0.1", peer.port(), 5000, [](const Packet&) {},
                             [](const std::string&) {}, false) == 0;
  if (connected) {
    peer.Start();
  }
  return connected;
}

// One iteration: one 40 KB video frame queued. Counters: what the receiver
// got per second of the run, and the share of queued frames the full queue
// dropped.
void BM_VideoAtFullSpeed(benchmark::State& state) {
  bench::LoopbackPeer peer(false);
  Connection connection;
  if (!ConnectTo(connection, peer)) {
    state.SkipWithError("cannot connect on loopback");
    return;
  }
  SequenceCounters counters;
  std::uint64_t frameId = 0;
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    connection.Send(VideoFrame(counters, ++frameId), true);
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double frames = static_cast<double>(peer.videoFrames());
  state.counters["recv_frames_per_s"] = frames / seconds;
  state.counters["recv_MB_per_s"] = static_cast<double>(peer.videoBytes()) / seconds / 1e6;
  state.counters["dropped_pct"] = 100.0 * (1.0 - frames / static_cast<double>(frameId));
  connection.Disconnect();
}
BENCHMARK(BM_VideoAtFullSpeed)->UseRealTime()->MinTime(2.0);

// The baseline of BM_VideoAtFullSpeed: the same frames written with one
// blocking send each on a socket tuned as the connection's, no queue and no
// send thread. Nothing is dropped, so what arrives is what was written.
void BM_BareSocketAtFullSpeed(benchmark::State& state) {
  bench::LoopbackPeer peer(false);
  ScopedSocket client(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(peer.port());
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(static_cast<int>(client.Get()), reinterpret_cast<sockaddr*>(&address),
                sizeof address) != 0) {
    state.SkipWithError("cannot connect on loopback");
    return;
  }
  TuneStreamSocket(client.Get());
  peer.Start();
  SequenceCounters counters;
  std::uint64_t frameId = 0;
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    const std::vector<std::uint8_t> frame = VideoFrame(counters, ++frameId);
    if (!SendAll(client.Get(), frame.data(), frame.size())) {
      state.SkipWithError("send failed");
      break;
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  state.counters["recv_frames_per_s"] = static_cast<double>(peer.videoFrames()) / seconds;
  state.counters["recv_MB_per_s"] = static_cast<double>(peer.videoBytes()) / seconds / 1e6;
  ShutdownSocket(client.Get());
}
BENCHMARK(BM_BareSocketAtFullSpeed)->UseRealTime()->MinTime(2.0);

// One iteration: one control frame queued behind a queue that a producer
// thread keeps full of 40 KB video, until the receiver has it. Counters:
// Send-to-receipt percentiles.
// With state.range(0) == 0 no producer runs: the same control frame on an
// idle connection, the figure the full queue is compared with.
void BM_ControlBehindFullVideoQueue(benchmark::State& state) {
  bench::LoopbackPeer peer(false);
  Connection connection;
  if (!ConnectTo(connection, peer)) {
    state.SkipWithError("cannot connect on loopback");
    return;
  }
  SequenceCounters counters;
  std::atomic<bool> producing{state.range(0) != 0};
  std::thread producer([&] {
    std::uint64_t frameId = 0;
    while (producing.load()) {
      connection.Send(VideoFrame(counters, ++frameId), true);
    }
  });
  std::vector<std::uint64_t> latencies;
  for (auto _ : state) {
    connection.Send(
        EncodeFrame(counters, MessageType::kPing, Channel::kControl, 0, 0, NowUs(), nullptr, 0),
        false);
    latencies.push_back(peer.WaitForControl());
  }
  producing = false;
  producer.join();
  std::sort(latencies.begin(), latencies.end());
  const auto at = [&](double q) {
    return static_cast<double>(latencies[static_cast<std::size_t>(q * (latencies.size() - 1))]);
  };
  state.counters["p50_us"] = at(0.50);
  state.counters["p95_us"] = at(0.95);
  state.counters["p99_us"] = at(0.99);
  state.counters["max_us"] = static_cast<double>(latencies.back());
  connection.Disconnect();
}
BENCHMARK(BM_ControlBehindFullVideoQueue)->Arg(1)->Arg(0)->UseRealTime()->Iterations(2000);

}  // namespace
}  // namespace veyra
