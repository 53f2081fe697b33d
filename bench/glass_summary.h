#pragma once
// What the glass-to-glass receiver prints when a run ends: the frames it
// received, decoded and presented, summarised as key=value lines, and one
// CSV line per frame. Times are on the clock host and receiver share.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace veyra::bench {

// One received frame as the summary sees it; times on the shared clock.
struct FrameRecord {
  std::uint64_t frameId = 0;
  std::uint32_t sequence = 0;
  std::uint64_t captureUs = 0;
  std::uint64_t receivedUs = 0;
  std::uint64_t decodedUs = 0;  // 0: no picture came out
  std::uint64_t presentedUs = 0;
  std::uint32_t bytes = 0;
  bool keyframe = false;
  std::size_t decodeBacklog = 0;  // frames waiting for the decoder on arrival
};

// One HOST_STATS report as the host sent it.
struct HostStatsSeen {
  double fps = 0;
  double mbps = 0;
  double networkMs = 0;
  double e2eP50Ms = 0;
  double e2eP95Ms = 0;
  std::int32_t encoderQueue = 0;
  std::int64_t dropped = 0;
  double rttMs = 0;
};

// What the receiver counted beside the frames themselves.
struct ReceiverCounts {
  int width = 0;  // the decoded picture's
  int height = 0;
  int decodeErrors = 0;
  std::uint64_t sequenceGaps = 0;  // video frames the host's queue dropped
  std::uint64_t idrRequests = 0;
  std::uint64_t brokenReferences = 0;
};

// The summary on standard output: a readable line, then RESULT lines for
// the bench scripts.
void PrintSummary(const std::vector<FrameRecord>& records,
                  const std::vector<HostStatsSeen>& hostStats, const ReceiverCounts& counts);

void WriteFrameCsv(const std::string& path, const std::vector<FrameRecord>& records);

}  // namespace veyra::bench
