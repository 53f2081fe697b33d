// The host's software cost per video frame after encoding: from the
// encoder's callback to the frame's last byte written to the socket, TLS
// included. The callback does what the session's does with a frame (build
// the VIDEO_FRAME, queue it on the connection); the connection's observer
// notes when the send thread has written it. Real parts throughout: the
// libx264 encoder behind VideoEncoder, the connection with OpenSSL, and a
// loopback TLS peer that reads everything.
//
// The picture is a 1920x1200 desktop with a 480-pixel band of fresh noise
// moving across it, converted to 1728x1080 and paced at 60 frames per
// second, so that the encoder works at its rate limit (12 Mbit/s) rather
// than on a still picture. Prints figures; asserts nothing.
//
//   send_overhead_bench [frames]     (default 3600, one minute)

#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/loopback_peer.h"
#include "host/base/clock.h"
#include "host/base/log.h"
#include "host/base/status_codes.h"
#include "host/capture/graphics_context.h"
#include "host/net/connection.h"
#include "host/net/socket.h"
#include "host/video/color_converter.h"
#include "host/video/video_encoder.h"
#include "host/wire/frame.h"

namespace veyra {
namespace {

constexpr std::uint32_t kSourceWidth = 1920;
constexpr std::uint32_t kSourceHeight = 1200;
constexpr std::uint32_t kStreamWidth = 1728;
constexpr std::uint32_t kStreamHeight = 1080;
constexpr std::uint32_t kBitrate = 12000000;
constexpr std::uint32_t kFps = 60;
constexpr std::uint32_t kNoiseWidth = 480;
constexpr std::size_t kRing = 1024;

// CPU time of the calling thread: the work itself, whatever the scheduler
// makes the thread wait on this shared machine.
std::uint64_t ThreadCpuUs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000 +
         static_cast<std::uint64_t>(ts.tv_nsec) / 1000;
}

std::uint64_t Percentile(std::vector<std::uint64_t> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1))];
}

// Per-frame records shared by the encoder's thread (start) and the send
// thread (end); one mutex, taken twice per frame.
class FrameClock {
 public:
  // Before the frame is queued: the send thread may write it at once. Notes
  // how many frames are still ahead of it.
  void Queued(std::uint64_t frameId, std::uint64_t startUs) {
    const std::lock_guard<std::mutex> lock(mutex_);
    ring_[frameId % kRing] = Slot{frameId, startUs, queued_ - written_};
    ++queued_;
  }

  void SendReturned(std::uint64_t startUs, std::uint64_t nowUs, std::uint64_t cpuUs) {
    const std::lock_guard<std::mutex> lock(mutex_);
    enqueueUs_.push_back(nowUs - startUs);
    callbackCpuUs_.push_back(cpuUs);
  }

  // On the send thread; its CPU time since the previous frame it wrote is
  // what writing this one cost (popping, TLS, the socket call).
  void Written(std::uint64_t frameId, std::uint64_t nowUs) {
    const std::uint64_t cpuUs = ThreadCpuUs();
    const std::lock_guard<std::mutex> lock(mutex_);
    if (lastSendCpuUs_ != 0) sendCpuUs_.push_back(cpuUs - lastSendCpuUs_);
    lastSendCpuUs_ = cpuUs;
    ++written_;
    const Slot& slot = ring_[frameId % kRing];
    if (slot.frameId != frameId) return;
    totalUs_.push_back(nowUs - slot.startUs);
    ahead_.push_back(slot.ahead);
  }

  void Print() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::uint64_t behindTwo = 0;
    std::uint64_t behindOne = 0;
    for (const std::uint64_t ahead : ahead_) {
      behindTwo += ahead >= 2 ? 1 : 0;
      behindOne += ahead == 1 ? 1 : 0;
    }
    std::printf("overhead: %zu frames callback -> last byte written (TLS)\n", totalUs_.size());
    std::printf("  total    p50 %6llu us   p99 %6llu us   max %6llu us\n",
                static_cast<unsigned long long>(Percentile(totalUs_, 0.50)),
                static_cast<unsigned long long>(Percentile(totalUs_, 0.99)),
                static_cast<unsigned long long>(Percentile(totalUs_, 1.0)));
    std::printf("  enqueue  p50 %6llu us   p99 %6llu us   (callback -> Send returned)\n",
                static_cast<unsigned long long>(Percentile(enqueueUs_, 0.50)),
                static_cast<unsigned long long>(Percentile(enqueueUs_, 0.99)));
    std::printf(
        "  CPU      callback p50 %4llu us p99 %4llu us; send thread p50 %4llu us p99 %4llu us\n",
        static_cast<unsigned long long>(Percentile(callbackCpuUs_, 0.50)),
        static_cast<unsigned long long>(Percentile(callbackCpuUs_, 0.99)),
        static_cast<unsigned long long>(Percentile(sendCpuUs_, 0.50)),
        static_cast<unsigned long long>(Percentile(sendCpuUs_, 0.99)));
    std::printf("  queue: %llu frames found one frame ahead, %llu two or more\n",
                static_cast<unsigned long long>(behindOne),
                static_cast<unsigned long long>(behindTwo));
    std::printf(
        "RESULT overhead_frames=%zu overhead_p50_us=%llu overhead_p99_us=%llu "
        "overhead_max_us=%llu behind_two=%llu cpu_callback_p50_us=%llu "
        "cpu_callback_p99_us=%llu cpu_send_p50_us=%llu cpu_send_p99_us=%llu "
        "overhead_p95_us=%llu cpu_send_p95_us=%llu\n",
        totalUs_.size(), static_cast<unsigned long long>(Percentile(totalUs_, 0.50)),
        static_cast<unsigned long long>(Percentile(totalUs_, 0.99)),
        static_cast<unsigned long long>(Percentile(totalUs_, 1.0)),
        static_cast<unsigned long long>(behindTwo),
        static_cast<unsigned long long>(Percentile(callbackCpuUs_, 0.50)),
        static_cast<unsigned long long>(Percentile(callbackCpuUs_, 0.99)),
        static_cast<unsigned long long>(Percentile(sendCpuUs_, 0.50)),
        static_cast<unsigned long long>(Percentile(sendCpuUs_, 0.99)),
        static_cast<unsigned long long>(Percentile(totalUs_, 0.95)),
        static_cast<unsigned long long>(Percentile(sendCpuUs_, 0.95)));
  }

 private:
  struct Slot {
    std::uint64_t frameId = 0;
    std::uint64_t startUs = 0;
    std::uint64_t ahead = 0;
  };

  mutable std::mutex mutex_;  // guards everything below
  std::vector<Slot> ring_ = std::vector<Slot>(kRing);
  std::vector<std::uint64_t> totalUs_;
  std::vector<std::uint64_t> enqueueUs_;
  std::vector<std::uint64_t> ahead_;
  std::vector<std::uint64_t> callbackCpuUs_;
  std::vector<std::uint64_t> sendCpuUs_;
  std::uint64_t lastSendCpuUs_ = 0;
  std::uint64_t queued_ = 0;
  std::uint64_t written_ = 0;
};

// A 1920x1200 picture whose noise band moves 61 pixels a frame.
class NoisyDesktop {
 public:
  explicit NoisyDesktop(GraphicsContext& graphics) : graphics_(graphics) {
    std::mt19937 random(7);
    noise_.resize(std::size_t{kNoiseWidth} * kSourceHeight * 2);
    for (std::uint32_t& pixel : noise_) pixel = random() | 0xFF000000u;
  }

  bool Open() {
    return graphics_.CreateTexture(kSourceWidth, kSourceHeight, PixelFormat::kBgra, &texture_) ==
           status::kSOk;
  }

  const Texture& Next() {
    const std::uint32_t left = (counter_ * 61) % (kSourceWidth - kNoiseWidth);
    // A different window of the noise each frame, so no band repeats.
    const std::uint32_t* pixels =
        noise_.data() + (std::size_t{counter_} * 7919) % (noise_.size() / 2);
    graphics_.WritePixels(texture_, left, left + kNoiseWidth, kSourceHeight, pixels,
                          kNoiseWidth * 4);
    ++counter_;
    return texture_;
  }

 private:
  GraphicsContext& graphics_;
  Texture texture_;
  std::vector<std::uint32_t> noise_;
  std::uint32_t counter_ = 0;
};

int Run(int frames) {
  GraphicsContext graphics;
  ColorConverter converter;
  VideoEncoder encoder;
  if (graphics.Init(0) != status::kSOk) return 1;
  NoisyDesktop desktop(graphics);
  if (!desktop.Open() || converter.Init(graphics, kSourceWidth, kSourceHeight, kStreamWidth,
                                        kStreamHeight) != status::kSOk) {
    return 1;
  }

  bench::LoopbackPeer peer(true);
  Connection connection;
  FrameClock clock;
  connection.SetSentObserver([&clock](const FrameHeader& header) {
    if (header.type == static_cast<std::uint16_t>(MessageType::kVideoFrame)) {
      clock.Written(header.frameId, NowUs());
    }
  });
  peer.Start();
  if (connection.Connect(
          "127.0.0.1", peer.port(), 5000, [](const Packet&) {}, [](const std::string&) {}, true) !=
      0) {
    std::printf("cannot connect over TLS on loopback\n");
    return 1;
  }

  SequenceCounters counters;
  bool configSent = false;
  std::atomic<std::uint64_t> bytes{0};
  std::atomic<std::uint64_t> outputs{0};
  const EncoderConfig config{kStreamWidth, kStreamHeight, kFps, kBitrate, 120, true};
  // As the session's callback: the codec configuration once, then each
  // access unit as a VIDEO_FRAME to the back of the queue.
  const auto onFrame = [&](const EncodedFrame& frame) {
    const std::uint64_t startUs = NowUs();
    const std::uint64_t startCpuUs = ThreadCpuUs();
    if (!configSent && !encoder.sequenceHeader().empty()) {
      const std::vector<std::uint8_t>& header = encoder.sequenceHeader();
      connection.Send(
          EncodeFrame(counters, MessageType::kVideoConfigData, Channel::kVideo,
                      FrameFlags::kCodecConfig, 0, startUs, header.data(), header.size()),
          false);
      configSent = true;
    }
    const std::uint8_t flags =
        FrameFlags::kAccessUnit | (frame.keyframe ? FrameFlags::kKeyframe : FrameFlags::kNone);
    std::vector<std::uint8_t> bytesOut =
        EncodeFrame(counters, MessageType::kVideoFrame, Channel::kVideo, flags, frame.frameId,
                    frame.captureTimeUs, frame.data, static_cast<std::size_t>(frame.size));
    clock.Queued(frame.frameId, startUs);
    connection.Send(std::move(bytesOut), true);
    clock.SendReturned(startUs, NowUs(), ThreadCpuUs() - startCpuUs);
    bytes.fetch_add(frame.size);
    outputs.fetch_add(1);
  };
  if (encoder.Open(graphics, config, onFrame) != status::kSOk ||
      encoder.OpenSharedSurfaces(converter.SharedHandles(), kStreamWidth, kStreamHeight) !=
          status::kSOk) {
    return 1;
  }

  const std::uint64_t intervalUs = 1000000 / kFps;
  const std::uint64_t startUs = NowUs();
  std::uint64_t deadlineUs = startUs;
  std::uint64_t replaced = 0;
  for (int i = 1; i <= frames; ++i) {
    const std::uint64_t nowUs = NowUs();
    if (nowUs < deadlineUs) {
      std::this_thread::sleep_for(std::chrono::microseconds(deadlineUs - nowUs));
    }
    deadlineUs = std::max(deadlineUs + intervalUs, NowUs());
    const Texture& picture = desktop.Next();
    const std::uint64_t captureUs = NowUs();
    Texture nv12;
    std::size_t slot = 0;
    if (converter.Convert(picture, &nv12, &slot) != status::kSOk) continue;
    converter.WaitForSlot(slot);
    if (encoder.PostFrame(slot, static_cast<std::uint64_t>(i), captureUs) !=
        PostResult::kAccepted) {
      ++replaced;
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  encoder.Shutdown();
  const double seconds = static_cast<double>(NowUs() - startUs) / 1e6;
  connection.Disconnect();

  std::printf("send overhead (%s, %ux%u, %u kbit/s, %u fps, TLS on loopback):\n",
              encoder.name().c_str(), kStreamWidth, kStreamHeight, kBitrate / 1000, kFps);
  std::printf(
      "  %llu frames encoded of %d captured (%llu replaced or refused in the mailbox), "
      "%.1f fps, %.2f Mbit/s, %.1f KB per frame\n",
      static_cast<unsigned long long>(outputs.load()), frames,
      static_cast<unsigned long long>(replaced), static_cast<double>(outputs.load()) / seconds,
      static_cast<double>(bytes.load()) * 8 / seconds / 1e6,
      outputs.load()
          ? static_cast<double>(bytes.load()) / 1000 / static_cast<double>(outputs.load())
          : 0.0);
  clock.Print();
  std::printf("RESULT overhead_mbps=%.2f overhead_fps=%.1f\n",
              static_cast<double>(bytes.load()) * 8 / seconds / 1e6,
              static_cast<double>(outputs.load()) / seconds);
  return 0;
}

}  // namespace
}  // namespace veyra

int main(int argc, char** argv) {
  // The peer's OpenSSL may write (session tickets, the close) on a socket the
  // host has already closed: an error for the peer, not SIGPIPE for the
  // process, as in tls_bench.
  std::signal(SIGPIPE, SIG_IGN);
  veyra::SetLogThreshold(veyra::LogLevel::Warn);
  const int frames = argc > 1 ? std::atoi(argv[1]) : 3600;
  return veyra::Run(std::max(frames, 1));
}
