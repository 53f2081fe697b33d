// Costs of the wire codec on the paths that run per frame or per second:
// framing a video access unit, cutting a header, and the JSON of HOST_STATS
// (sent once a second) and DEVICE_INFO (received per connection).

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "host/wire/control_messages.h"
#include "host/wire/frame.h"
#include "host/wire/json_value.h"

namespace veyra {
namespace {

void BM_EncodeFrameVideo40KB(benchmark::State& state) {
  SequenceCounters counters;
  const std::vector<std::uint8_t> accessUnit(std::size_t{40} * 1024, 0xA5);
  std::uint64_t frameId = 0;
  for (auto _ : state) {
    std::vector<std::uint8_t> frame =
        EncodeFrame(counters, MessageType::kVideoFrame, Channel::kVideo, FrameFlags::kAccessUnit,
                    ++frameId, 123456789, accessUnit.data(), accessUnit.size());
    benchmark::DoNotOptimize(frame.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(accessUnit.size()));
}
BENCHMARK(BM_EncodeFrameVideo40KB);

// What framing a video access unit is compared with: copying the same bytes
// into a fresh buffer of the same size, header included.
void BM_CopyVideo40KB(benchmark::State& state) {
  const std::vector<std::uint8_t> accessUnit(std::size_t{40} * 1024, 0xA5);
  for (auto _ : state) {
    std::vector<std::uint8_t> frame(kFrameHeaderBytes + accessUnit.size());
    std::memcpy(frame.data() + kFrameHeaderBytes, accessUnit.data(), accessUnit.size());
    benchmark::DoNotOptimize(frame.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(accessUnit.size()));
}
BENCHMARK(BM_CopyVideo40KB);

void BM_DecodeHeader(benchmark::State& state) {
  SequenceCounters counters;
  const std::vector<std::uint8_t> frame = EncodeFrame(
      counters, MessageType::kFrameAck, Channel::kControl, 0, 0, 987654321, std::string(36, 'x'));
  for (auto _ : state) {
    FrameHeader header = DecodeHeader(frame.data(), frame.size());
    benchmark::DoNotOptimize(header);
  }
}
BENCHMARK(BM_DecodeHeader);

HostStats TypicalStats() {
  HostStats stats;
  stats.fps = 59.94;
  stats.bitrateBps = 11873024;
  stats.captureMs = 1.234;
  stats.convertMs = 0.482;
  stats.encodeMs = 4.917;
  stats.networkMs = 6.25;
  stats.e2eP50Ms = 28.5;
  stats.e2eP95Ms = 41.125;
  stats.encoderQueue = 1;
  stats.droppedFrames = 17;
  stats.rttMs = 12.5;
  return stats;
}

const char kDeviceInfoText[] =
    R"({"model":"Pixel 8 Pro","widthPx":1344,"heightPx":2992,"densityDpi":489,)"
    R"("refreshHz":120.0,"h264LowLatency":true,"hevc":true,"maxDecodeWidth":3840,)"
    R"("maxDecodeHeight":2160,"touch":true,"folded":false,"rotation":0})";

void BM_SerializeHostStats(benchmark::State& state) {
  const HostStats stats = TypicalStats();
  for (auto _ : state) {
    std::string text = Serialize(BuildHostStats(stats));
    benchmark::DoNotOptimize(text.data());
  }
}
BENCHMARK(BM_SerializeHostStats);

void BM_ParseHostStats(benchmark::State& state) {
  const std::string text = Serialize(BuildHostStats(TypicalStats()));
  for (auto _ : state) {
    JsonValue value = Parse(text);
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(BM_ParseHostStats);

void BM_ParseDeviceInfo(benchmark::State& state) {
  for (auto _ : state) {
    DeviceInfo info = ParseDeviceInfo(Parse(kDeviceInfoText));
    benchmark::DoNotOptimize(info);
  }
}
BENCHMARK(BM_ParseDeviceInfo);

void BM_SerializeDeviceInfo(benchmark::State& state) {
  const JsonValue value = Parse(kDeviceInfoText);
  for (auto _ : state) {
    std::string text = Serialize(value);
    benchmark::DoNotOptimize(text.data());
  }
}
BENCHMARK(BM_SerializeDeviceInfo);

}  // namespace
}  // namespace veyra
