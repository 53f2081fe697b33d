// Drives the host's Connection over the platform's TLS channel (OpenSSL natively,
// Schannel under Wine) for the TLS integration tests.
//
//   tls_probe HOST PORT identity        connect, print the key hash and code
//   tls_probe HOST PORT send BYTES      send one frame of BYTES bytes, flush, close
//   tls_probe HOST PORT receive COUNT   print the first COUNT frames received
//   tls_probe HOST PORT bench SECONDS   40 KB video at full speed for SECONDS,
//                                       then a STREAM_STOP marker; then PINGs
//                                       behind a full video queue, each
//                                       waiting for the peer's PONG
//
// Output lines on standard output: "hash=...", "code=...",
// "packet type=T sequence=S length=L sum=X" (X: the payload bytes added up
// modulo 2^32), or "status=0x%08X" when the connection fails (exit 1). Exit
// 3 when frames do not arrive within 15 s. bench prints "sent_video=N" and
// "rtt_us p50=A p99=B max=C". The connection's log goes to standard error.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/base/clock.h"
#include "host/net/connection.h"

namespace {

using veyra::Connection;
using veyra::Packet;

struct Received {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Packet> packets;
  bool lost = false;
};

std::vector<std::uint8_t> Frame(veyra::SequenceCounters& counters, veyra::MessageType type,
                                std::size_t payloadBytes, std::uint64_t timestampUs) {
  const bool video = type == veyra::MessageType::kVideoFrame;
  const std::vector<std::uint8_t> payload(payloadBytes, 0x5A);
  return veyra::EncodeFrame(counters, type,
                            video ? veyra::Channel::kVideo : veyra::Channel::kControl,
                            video ? veyra::FrameFlags::kAccessUnit : veyra::FrameFlags::kNone, 0,
                            timestampUs, payload.data(), payload.size());
}

// Throughput, then round trips of PINGs queued behind a full video queue.
void Bench(Connection& connection, Received& received, unsigned long seconds) {
  veyra::SequenceCounters counters;
  const std::vector<std::uint8_t> video =
      Frame(counters, veyra::MessageType::kVideoFrame, 40000 - veyra::kFrameHeaderBytes, 0);
  std::uint64_t sent = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < end) {
    connection.Send(video, true);
    ++sent;
  }
  connection.Send(Frame(counters, veyra::MessageType::kStreamStop, 0, sent), false);
  std::printf("sent_video=%llu\n", static_cast<unsigned long long>(sent));

  std::atomic<bool> producing{true};
  std::thread producer([&] {
    while (producing.load()) {
      connection.Send(video, true);
    }
  });
  std::vector<std::uint64_t> rtts;
  for (int i = 0; i < 300; ++i) {
    const std::uint64_t startUs = veyra::NowUs();
    connection.Send(Frame(counters, veyra::MessageType::kPing, 24, startUs), false);
    std::unique_lock<std::mutex> lock(received.mutex);
    const bool answered = received.changed.wait_for(lock, std::chrono::seconds(5), [&] {
      return std::any_of(received.packets.begin(), received.packets.end(),
                         [&](const Packet& p) { return p.header.timestampUs == startUs; });
    });
    received.packets.clear();
    if (!answered) {
      break;
    }
    rtts.push_back(veyra::NowUs() - startUs);
  }
  producing = false;
  producer.join();
  if (!rtts.empty()) {
    std::sort(rtts.begin(), rtts.end());
    std::printf("rtt_us p50=%llu p99=%llu max=%llu\n",
                static_cast<unsigned long long>(rtts[rtts.size() / 2]),
                static_cast<unsigned long long>(rtts[rtts.size() * 99 / 100]),
                static_cast<unsigned long long>(rtts.back()));
  }
}

int Run(const std::string& host, std::uint16_t port, const std::string& command,
        unsigned long argument) {
  Received received;
  Connection connection;
  const std::int32_t status = connection.Connect(
      host, port, 5000,
      [&received](const Packet& packet) {
        {
          const std::lock_guard<std::mutex> lock(received.mutex);
          received.packets.push_back(packet);
        }
        received.changed.notify_all();
      },
      [&received](const std::string&) {
        {
          const std::lock_guard<std::mutex> lock(received.mutex);
          received.lost = true;
        }
        received.changed.notify_all();
      },
      true);
  if (status != 0) {
    std::printf("status=0x%08X\n", static_cast<unsigned>(status));
    return 1;
  }
  std::printf("hash=%s\ncode=%s\n", connection.PeerKeyHash().c_str(),
              connection.PeerShortCode().c_str());
  int result = 0;
  if (command == "send") {
    std::vector<std::uint8_t> frame;
    veyra::SequenceCounters counters;
    std::vector<std::uint8_t> payload(argument - veyra::kFrameHeaderBytes);
    for (std::size_t i = 0; i < payload.size(); ++i) {
      payload[i] = static_cast<std::uint8_t>(i * 7);
    }
    connection.Send(
        veyra::EncodeFrame(counters, veyra::MessageType::kVideoFrame, veyra::Channel::kVideo,
                           veyra::FrameFlags::kAccessUnit, 1, 0, payload.data(), payload.size()),
        true);
    connection.CloseAfterFlush();
  } else if (command == "bench") {
    Bench(connection, received, argument);
  } else if (command == "receive") {
    std::unique_lock<std::mutex> lock(received.mutex);
    const bool complete = received.changed.wait_for(
        lock, std::chrono::seconds(15), [&] { return received.packets.size() >= argument; });
    for (const Packet& packet : received.packets) {
      std::uint32_t sum = 0;
      for (const std::uint8_t byte : packet.payload) {
        sum += byte;
      }
      std::printf("packet type=%u sequence=%u length=%zu sum=%u\n", unsigned{packet.header.type},
                  packet.header.sequence, packet.payload.size(), sum);
    }
    result = complete ? 0 : 3;
  }
  std::fflush(stdout);
  connection.Disconnect();
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr,
                 "usage: tls_probe HOST PORT identity|send BYTES|receive COUNT|bench SECONDS\n");
    return 2;
  }
  const std::string command = argv[3];
  const unsigned long argument = argc > 4 ? std::strtoul(argv[4], nullptr, 10) : 0;
  if ((command == "send" && argument < veyra::kFrameHeaderBytes) ||
      (command != "identity" && command != "send" && command != "receive" && command != "bench")) {
    std::fprintf(stderr, "tls_probe: bad command\n");
    return 2;
  }
  return Run(argv[1], static_cast<std::uint16_t>(std::strtoul(argv[2], nullptr, 10)), command,
             argument);
}
