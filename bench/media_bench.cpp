// The native media pipeline at the host's default sizes: 1920x1200 synthetic
// frames converted to 1728x1080 NV12 and encoded at 12 Mbit/s, with the
// per-stage times and the CPU time per frame, next to the same frames pushed
// through the ffmpeg command line with the same scaling and encoder settings.
// Prints figures; asserts nothing.

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "host/base/clock.h"
#include "host/base/log.h"
#include "host/base/status_codes.h"
#include "host/capture/synthetic_source.h"
#include "host/capture/texture_storage_posix.h"
#include "host/video/color_converter.h"
#include "host/video/video_encoder.h"

namespace veyra {
namespace {

constexpr std::uint32_t kSourceWidth = 1920;
constexpr std::uint32_t kSourceHeight = 1200;
constexpr std::uint32_t kStreamWidth = 1728;
constexpr std::uint32_t kStreamHeight = 1080;
constexpr std::uint32_t kBitrate = 12000000;
constexpr std::uint32_t kFps = 60;
constexpr int kFrames = 240;

// Jumps to each deadline: the bench measures work, not pacing.
class JumpingClock final : public PacingClock {
 public:
  std::uint64_t NowUs() override { return nowUs; }
  void SleepUs(std::uint64_t us) override { nowUs += us; }
  std::uint64_t nowUs = 0;
};

double CpuSeconds(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::uint64_t Percentile(std::vector<std::uint64_t> values, double fraction) {
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
  return values[index];
}

void PrintStage(const char* stage, const std::vector<std::uint64_t>& us) {
  std::printf("  %-8s p50 %6llu us   p99 %6llu us\n", stage,
              static_cast<unsigned long long>(Percentile(us, 0.50)),
              static_cast<unsigned long long>(Percentile(us, 0.99)));
}

// The pipeline run frame by frame: each frame is encoded before the next is
// captured, so the stage times are those of one frame alone.
double RunPipeline() {
  GraphicsContext graphics;
  if (graphics.Init(0) != status::kSOk) return 0;
  JumpingClock clock;
  SyntheticSource source(graphics, kSourceWidth, kSourceHeight, kFps, &clock);
  ColorConverter converter;
  VideoEncoder encoder;
  if (source.Open() != status::kSOk ||
      converter.Init(graphics, kSourceWidth, kSourceHeight, kStreamWidth, kStreamHeight) !=
          status::kSOk) {
    return 0;
  }
  std::mutex mutex;
  std::condition_variable encoded;
  std::uint64_t lastEncodedUs = 0;
  std::uint64_t outputs = 0;
  std::uint64_t bytes = 0;
  EncoderConfig config{kStreamWidth, kStreamHeight, kFps, kBitrate, 120, true};
  if (encoder.Open(graphics, config,
                   [&](const EncodedFrame& frame) {
                     const std::lock_guard<std::mutex> lock(mutex);
                     lastEncodedUs = frame.encodedTimeUs;
                     bytes += frame.size;
                     ++outputs;
                     encoded.notify_all();
                   }) != status::kSOk ||
      encoder.OpenSharedSurfaces(converter.SharedHandles(), kStreamWidth, kStreamHeight) !=
          status::kSOk) {
    return 0;
  }
  std::vector<std::uint64_t> captureUs, convertUs, encodeUs;
  const double cpuStart = CpuSeconds(RUSAGE_SELF);
  const std::uint64_t wallStart = NowUs();
  for (int i = 0; i < kFrames; ++i) {
    const std::uint64_t startUs = NowUs();
    CapturedFrame frame;
    if (source.AcquireFrame(&frame, 100) != status::kSOk) return 0;
    const std::uint64_t capturedUs = NowUs();
    Texture nv12;
    std::size_t slot = 0;
    if (converter.Convert(frame.texture, &nv12, &slot) != status::kSOk) return 0;
    converter.WaitForSlot(slot);
    const std::uint64_t convertedUs = NowUs();
    encoder.PostFrame(slot, static_cast<std::uint64_t>(i) + 1, frame.captureTimeUs);
    std::unique_lock<std::mutex> lock(mutex);
    if (!encoded.wait_for(lock, std::chrono::seconds(5),
                          [&] { return outputs == static_cast<std::uint64_t>(i) + 1; })) {
      std::printf("encoder stalled at frame %d\n", i);
      return 0;
    }
    captureUs.push_back(capturedUs - startUs);
    convertUs.push_back(convertedUs - capturedUs);
    encodeUs.push_back(lastEncodedUs - convertedUs);
  }
  const double wallSeconds = static_cast<double>(NowUs() - wallStart) / 1e6;
  const double cpuPerFrame = (CpuSeconds(RUSAGE_SELF) - cpuStart) / kFrames;
  std::printf("pipeline (%s, %ux%u -> %ux%u, %u kbit/s, %d frames):\n", encoder.name().c_str(),
              kSourceWidth, kSourceHeight, kStreamWidth, kStreamHeight, kBitrate / 1000, kFrames);
  PrintStage("capture", captureUs);
  PrintStage("convert", convertUs);
  PrintStage("encode", encodeUs);
  std::printf("  %.1f fps one frame at a time, %.0f kbit/s produced, CPU %.2f ms per frame\n",
              kFrames / wallSeconds, static_cast<double>(bytes) * 8 * kFps / kFrames / 1000,
              cpuPerFrame * 1000);
  encoder.Shutdown();
  return cpuPerFrame;
}

// The same frames as raw BGRA into the ffmpeg command line, with the same
// scaling, colour conversion and encoder settings, encoding to nowhere.
double RunFfmpeg() {
  GraphicsContext graphics;
  if (graphics.Init(0) != status::kSOk) return 0;
  JumpingClock clock;
  SyntheticSource source(graphics, kSourceWidth, kSourceHeight, kFps, &clock);
  if (source.Open() != status::kSOk) return 0;
  char command[1024];
  std::snprintf(command, sizeof command,
                "ffmpeg -hide_banner -loglevel error -f rawvideo -pix_fmt bgra -s %ux%u -r %u "
                "-i - -vf scale=%u:%u:flags=bilinear:out_color_matrix=bt709:out_range=tv,"
                "format=nv12 -c:v libx264 -preset ultrafast -tune zerolatency -profile:v high "
                "-bf 0 -refs 1 -g 120 -b:v %u -maxrate %u -bufsize %u -rc-lookahead 0 -f null -",
                kSourceWidth, kSourceHeight, kFps, kStreamWidth, kStreamHeight, kBitrate, kBitrate,
                kBitrate / 2);
  const double childStart = CpuSeconds(RUSAGE_CHILDREN);
  std::FILE* pipe = popen(command, "w");
  if (pipe == nullptr) return 0;
  for (int i = 0; i < kFrames; ++i) {
    CapturedFrame frame;
    if (source.AcquireFrame(&frame, 100) != status::kSOk) break;
    const std::vector<std::uint8_t>& bytes = StorageOf(frame.texture).bytes;
    if (std::fwrite(bytes.data(), 1, bytes.size(), pipe) != bytes.size()) break;
  }
  if (pclose(pipe) != 0) {
    std::printf("ffmpeg failed\n");
    return 0;
  }
  const double cpuPerFrame = (CpuSeconds(RUSAGE_CHILDREN) - childStart) / kFrames;
  std::printf("ffmpeg command line, same frames and settings: CPU %.2f ms per frame\n",
              cpuPerFrame * 1000);
  return cpuPerFrame;
}

}  // namespace
}  // namespace veyra

int main() {
  veyra::SetLogThreshold(veyra::LogLevel::Warn);
  const double ours = veyra::RunPipeline();
  const double theirs = veyra::RunFfmpeg();
  if (ours > 0 && theirs > 0) {
    std::printf("CPU time per frame, ours / ffmpeg's: %.2f\n", ours / theirs);
  }
  return 0;
}
