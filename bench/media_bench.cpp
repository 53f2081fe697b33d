// The native media pipeline at the host's default sizes: 1920x1200 synthetic
// frames converted to 1728x1080 NV12 and encoded at 12 Mbit/s, with the
// per-stage times and CPU times per frame, next to what it is built on:
//   - libswscale alone, called directly with the converter's settings on
//     the same BGRA bytes (what the converter adds around it);
//   - the ffmpeg command line on the same frames with the same scaling and
//     encoder settings: convert only, encode only (NV12 in), and both.
// Prints figures and one RESULT line of key=value figures; asserts nothing.
//
//   media_bench [frames]     (default 240)

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
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

// CPU time of the calling thread, apart from the encoder's threads.
std::uint64_t ThreadCpuUs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000 +
         static_cast<std::uint64_t>(ts.tv_nsec) / 1000;
}

std::uint64_t Percentile(std::vector<std::uint64_t> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
  return values[index];
}

// Prints one stage and appends its key=value figures to |result|.
void PrintStage(const char* stage, const std::vector<std::uint64_t>& us, std::string& result) {
  const auto p50 = static_cast<unsigned long long>(Percentile(us, 0.50));
  const auto p95 = static_cast<unsigned long long>(Percentile(us, 0.95));
  const auto p99 = static_cast<unsigned long long>(Percentile(us, 0.99));
  std::printf("  %-8s p50 %6llu us   p95 %6llu us   p99 %6llu us\n", stage, p50, p95, p99);
  char text[160];
  std::snprintf(text, sizeof text, " %s_p50_us=%llu %s_p95_us=%llu %s_p99_us=%llu", stage, p50,
                stage, p95, stage, p99);
  result += text;
}

// The pipeline run frame by frame: each frame is encoded before the next is
// captured, so the stage times are those of one frame alone. The main
// thread captures and converts; everything else the process spends is the
// encoder's.
bool RunPipeline(int frames, std::string& result) {
  GraphicsContext graphics;
  if (graphics.Init(0) != status::kSOk) return false;
  JumpingClock clock;
  SyntheticSource source(graphics, kSourceWidth, kSourceHeight, kFps, &clock);
  ColorConverter converter;
  VideoEncoder encoder;
  if (source.Open() != status::kSOk ||
      converter.Init(graphics, kSourceWidth, kSourceHeight, kStreamWidth, kStreamHeight) !=
          status::kSOk) {
    return false;
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
    return false;
  }
  std::vector<std::uint64_t> captureUs, convertUs, encodeUs;
  std::uint64_t convertCpuUs = 0;
  const double cpuStart = CpuSeconds(RUSAGE_SELF);
  const std::uint64_t mainCpuStart = ThreadCpuUs();
  const std::uint64_t wallStart = NowUs();
  for (int i = 0; i < frames; ++i) {
    const std::uint64_t startUs = NowUs();
    CapturedFrame frame;
    if (source.AcquireFrame(&frame, 100) != status::kSOk) return false;
    const std::uint64_t capturedUs = NowUs();
    const std::uint64_t convertCpuStart = ThreadCpuUs();
    Texture nv12;
    std::size_t slot = 0;
    if (converter.Convert(frame.texture, &nv12, &slot) != status::kSOk) return false;
    converter.WaitForSlot(slot);
    convertCpuUs += ThreadCpuUs() - convertCpuStart;
    const std::uint64_t convertedUs = NowUs();
    encoder.PostFrame(slot, static_cast<std::uint64_t>(i) + 1, frame.captureTimeUs);
    std::unique_lock<std::mutex> lock(mutex);
    if (!encoded.wait_for(lock, std::chrono::seconds(5),
                          [&] { return outputs == static_cast<std::uint64_t>(i) + 1; })) {
      std::printf("encoder stalled at frame %d\n", i);
      return false;
    }
    captureUs.push_back(capturedUs - startUs);
    convertUs.push_back(convertedUs - capturedUs);
    encodeUs.push_back(lastEncodedUs - convertedUs);
  }
  const double wallSeconds = static_cast<double>(NowUs() - wallStart) / 1e6;
  const double cpuMs = (CpuSeconds(RUSAGE_SELF) - cpuStart) * 1000 / frames;
  const double mainCpuMs = static_cast<double>(ThreadCpuUs() - mainCpuStart) / 1000 / frames;
  const double convertCpuMs = static_cast<double>(convertCpuUs) / 1000 / frames;
  const double kbps = static_cast<double>(bytes) * 8 * kFps / frames / 1000;
  std::printf("pipeline (%s, %ux%u -> %ux%u, %u kbit/s, %d frames):\n", encoder.name().c_str(),
              kSourceWidth, kSourceHeight, kStreamWidth, kStreamHeight, kBitrate / 1000, frames);
  PrintStage("capture", captureUs, result);
  PrintStage("convert", convertUs, result);
  PrintStage("encode", encodeUs, result);
  std::printf(
      "  %.1f fps one frame at a time, %.0f kbit/s produced; CPU per frame %.2f ms "
      "(convert %.2f ms, encoder %.2f ms)\n",
      frames / wallSeconds, kbps, cpuMs, convertCpuMs, cpuMs - mainCpuMs);
  char text[200];
  std::snprintf(text, sizeof text,
                " pipeline_fps=%.1f pipeline_kbps=%.0f pipeline_cpu_ms=%.3f convert_cpu_ms=%.3f "
                "encode_cpu_ms=%.3f",
                frames / wallSeconds, kbps, cpuMs, convertCpuMs, cpuMs - mainCpuMs);
  result += text;
  encoder.Shutdown();
  return true;
}

struct SwsContextFree {
  void operator()(SwsContext* context) const { sws_freeContext(context); }
};

// libswscale with the converter's settings: bilinear, full-range BGRA to
// BT.709 limited-range NV12, into a tightly packed buffer.
class Scaler {
 public:
  bool Open() {
    context_.reset(sws_getContext(kSourceWidth, kSourceHeight, AV_PIX_FMT_BGRA, kStreamWidth,
                                  kStreamHeight, AV_PIX_FMT_NV12, SWS_BILINEAR, nullptr, nullptr,
                                  nullptr));
    const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
    return context_ &&
           sws_setColorspaceDetails(context_.get(), bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16) >= 0;
  }

  void Scale(const TextureStorage& bgra, std::vector<std::uint8_t>& nv12) {
    const std::uint8_t* input[] = {bgra.bytes.data()};
    const int inputPitch[] = {static_cast<int>(bgra.pitch)};
    std::uint8_t* planes[] = {nv12.data(), nv12.data() + std::size_t{kStreamWidth} * kStreamHeight};
    const int pitches[] = {static_cast<int>(kStreamWidth), static_cast<int>(kStreamWidth)};
    sws_scale(context_.get(), input, inputPitch, 0, kSourceHeight, planes, pitches);
  }

 private:
  std::unique_ptr<SwsContext, SwsContextFree> context_;
};

// The Scaler on the same frames, nothing around it.
bool RunSwscaleAlone(int frames, std::string& result) {
  GraphicsContext graphics;
  if (graphics.Init(0) != status::kSOk) return false;
  JumpingClock clock;
  SyntheticSource source(graphics, kSourceWidth, kSourceHeight, kFps, &clock);
  Scaler scaler;
  if (source.Open() != status::kSOk || !scaler.Open()) return false;
  std::vector<std::uint8_t> nv12(std::size_t{kStreamWidth} * kStreamHeight * 3 / 2);
  std::vector<std::uint64_t> scaleUs;
  std::uint64_t cpuUs = 0;
  for (int i = 0; i < frames; ++i) {
    CapturedFrame frame;
    if (source.AcquireFrame(&frame, 100) != status::kSOk) return false;
    const std::uint64_t startUs = NowUs();
    const std::uint64_t startCpuUs = ThreadCpuUs();
    scaler.Scale(StorageOf(frame.texture), nv12);
    cpuUs += ThreadCpuUs() - startCpuUs;
    scaleUs.push_back(NowUs() - startUs);
  }
  std::printf("libswscale alone, same settings and frames:\n");
  PrintStage("swscale", scaleUs, result);
  const double cpuMs = static_cast<double>(cpuUs) / 1000 / frames;
  std::printf("  CPU %.2f ms per frame\n", cpuMs);
  char text[64];
  std::snprintf(text, sizeof text, " swscale_cpu_ms=%.3f", cpuMs);
  result += text;
  return true;
}

// Encoder settings of the host's software encoder, as ffmpeg options: one
// thread, as the host's libavcodec context has by default.
constexpr const char* kX264Options =
    "-c:v libx264 -threads 1 -preset ultrafast -tune zerolatency -profile:v high -bf 0 -refs 1 "
    "-g 120 -b:v %u -maxrate %u -bufsize %u -rc-lookahead 0 -f null -";
constexpr const char* kScaleFilter =
    "-vf scale=%u:%u:flags=bilinear:out_color_matrix=bt709:out_range=tv,format=nv12";

enum class CliWork { kConvert, kEncode, kBoth };

// Frames into the ffmpeg command line to nowhere: BGRA for kConvert and
// kBoth; for kEncode, NV12 made in-process by the Scaler (the converter's
// own slots stay held for an encoder until one takes them). Returns its CPU
// ms per frame written.
double RunFfmpeg(CliWork work, int frames) {
  GraphicsContext graphics;
  if (graphics.Init(0) != status::kSOk) return 0;
  JumpingClock clock;
  SyntheticSource source(graphics, kSourceWidth, kSourceHeight, kFps, &clock);
  Scaler scaler;
  if (source.Open() != status::kSOk || !scaler.Open()) return 0;
  char scale[200];
  std::snprintf(scale, sizeof scale, kScaleFilter, kStreamWidth, kStreamHeight);
  char encode[300];
  std::snprintf(encode, sizeof encode, kX264Options, kBitrate, kBitrate, kBitrate / 2);
  char input[160];
  const bool nv12In = work == CliWork::kEncode;
  std::snprintf(input, sizeof input, "-f rawvideo -pix_fmt %s -s %ux%u -r %u -i -",
                nv12In ? "nv12" : "bgra", nv12In ? kStreamWidth : kSourceWidth,
                nv12In ? kStreamHeight : kSourceHeight, kFps);
  const std::string command = std::string("ffmpeg -hide_banner -loglevel error ") + input + " " +
                              (work == CliWork::kConvert  ? std::string(scale) + " -f null -"
                               : work == CliWork::kEncode ? std::string(encode)
                                                          : std::string(scale) + " " + encode);
  const char* name = work == CliWork::kConvert  ? "convert"
                     : work == CliWork::kEncode ? "encode"
                                                : "both";
  std::printf("ffmpeg command line, %s: %s\n", name, command.c_str());
  const double childStart = CpuSeconds(RUSAGE_CHILDREN);
  std::FILE* pipe = popen(command.c_str(), "w");
  if (pipe == nullptr) return 0;
  std::vector<std::uint8_t> nv12(std::size_t{kStreamWidth} * kStreamHeight * 3 / 2);
  int written = 0;
  for (; written < frames; ++written) {
    CapturedFrame frame;
    if (source.AcquireFrame(&frame, 100) != status::kSOk) break;
    const std::vector<std::uint8_t>* bytes = &StorageOf(frame.texture).bytes;
    if (nv12In) {
      scaler.Scale(StorageOf(frame.texture), nv12);
      bytes = &nv12;
    }
    if (std::fwrite(bytes->data(), 1, bytes->size(), pipe) != bytes->size()) break;
  }
  if (pclose(pipe) != 0 || written < frames) {
    std::printf("ffmpeg failed after %d frames\n", written);
    return 0;
  }
  const double cpuMs = (CpuSeconds(RUSAGE_CHILDREN) - childStart) * 1000 / written;
  std::printf("  CPU %.2f ms per frame\n", cpuMs);
  return cpuMs;
}

}  // namespace
}  // namespace veyra

int main(int argc, char** argv) {
  veyra::SetLogThreshold(veyra::LogLevel::Warn);
  const int frames = std::max(argc > 1 ? std::atoi(argv[1]) : 240, 10);
  std::string result;
  if (!veyra::RunPipeline(frames, result) || !veyra::RunSwscaleAlone(frames, result)) {
    std::printf("pipeline failed\n");
    return 1;
  }
  const double convert = veyra::RunFfmpeg(veyra::CliWork::kConvert, frames);
  const double encode = veyra::RunFfmpeg(veyra::CliWork::kEncode, frames);
  const double both = veyra::RunFfmpeg(veyra::CliWork::kBoth, frames);
  std::printf(
      "RESULT frames=%d%s ffmpeg_convert_cpu_ms=%.3f ffmpeg_encode_cpu_ms=%.3f "
      "ffmpeg_both_cpu_ms=%.3f\n",
      frames, result.c_str(), convert, encode, both);
  return 0;
}
