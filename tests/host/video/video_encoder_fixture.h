#pragma once
// The encoder over fake transforms for the encoder's tests: the NV12 slots'
// keyed locks as the converter would hand them over, and the frames the
// encoder gives back, recorded.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/base/log.h"
#include "host/base/recording_log_sink.h"
#include "host/base/status_codes.h"
#include "host/video/fake_encoder_backend.h"
#include "host/video/fake_encoder_transform.h"
#include "host/video/keyed_slot_lock.h"
#include "host/video/video_encoder.h"

namespace veyra::testing_video {

using Bytes = std::vector<std::uint8_t>;

inline const Bytes kIdrAccessUnit = {0, 0,    0,    1, 0x67, 0x42, 0,    0,   0,
                                     1, 0x68, 0xCE, 0, 0,    1,    0x65, 0x88};
inline const Bytes kNonIdrAccessUnit = {0, 0, 0, 1, 0x41, 0x9A};

// Polls |done| until it holds; false after ten seconds. The pump runs on its
// own thread, so tests wait for counts rather than for time.
template <typename Predicate>
bool WaitUntil(Predicate done) {
  for (int i = 0; i < 10000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return done();
}

// A keyed lock whose next few acquisitions with key 1 fail with a time-out,
// as a surface still busy on the GPU would, or all of them as abandoned.
class FlakyLock final : public KeyedMutex {
 public:
  std::int32_t AcquireSync(std::uint64_t key, std::uint32_t timeoutMs) override {
    if (key == 1 && abandon.load()) return kKeyedMutexAbandoned;
    if (key == 1 && failures.load() > 0) {
      --failures;
      return kKeyedMutexTimeout;
    }
    return lock.AcquireSync(key, timeoutMs);
  }
  std::int32_t ReleaseSync(std::uint64_t key) override { return lock.ReleaseSync(key); }

  KeyedSlotLock lock;
  std::atomic<int> failures{0};
  std::atomic<bool> abandon{false};  // key 1 comes back WAIT_ABANDONED
};

class VideoEncoderTest : public testing::Test {
 protected:
  VideoEncoderTest() : savedThreshold_(LogThreshold()) {
    SetLogThreshold(LogLevel::Debug);
    for (std::size_t i = 0; i < kNv12PoolSlots; ++i) {
      auto lock = std::make_shared<FlakyLock>();
      locks_.push_back(lock);
      handles_.push_back(lock.get());
    }
  }
  ~VideoEncoderTest() override {
    encoder_.Shutdown();
    SetLogThreshold(savedThreshold_);
  }

  std::shared_ptr<FakeTransformRecord> AddRecord() {
    auto record = std::make_shared<FakeTransformRecord>();
    record->surfaceLocks.assign(locks_.begin(), locks_.end());
    records_.push_back(record);
    return record;
  }

  void Open(bool preferHardware = true) {
    EncoderConfig config;
    config.width = 64;
    config.height = 64;
    config.fps = 60;
    config.bitrate = 4000000;
    config.gop = 120;
    config.preferHardware = preferHardware;
    ASSERT_EQ(encoder_.Open(graphics_, config,
                            [this](const EncodedFrame& frame) {
                              const std::lock_guard<std::mutex> lock(framesMutex_);
                              frames_.push_back(frame);
                              frameBytes_.emplace_back(frame.data, frame.data + frame.size);
                              headers_.push_back(encoder_.sequenceHeader());
                            }),
              status::kSOk);
    ASSERT_EQ(encoder_.OpenSharedSurfaces(handles_, 64, 64), status::kSOk);
  }

  // What the converter does to a slot: key 0 in, key 1 out.
  void Convert(std::size_t slot) {
    ASSERT_EQ(locks_[slot]->AcquireSync(0, 0), status::kSOk);
    ASSERT_EQ(locks_[slot]->ReleaseSync(1), status::kSOk);
  }

  // True when the slot is back with the converter (and leaves it there).
  bool AtKeyZero(std::size_t slot) {
    if (locks_[slot]->AcquireSync(0, 0) != status::kSOk) return false;
    locks_[slot]->ReleaseSync(0);
    return true;
  }

  std::size_t FrameCount() {
    const std::lock_guard<std::mutex> lock(framesMutex_);
    return frames_.size();
  }

  std::string log_;
  RecordingLogSink sink_{&log_};
  std::vector<std::shared_ptr<FlakyLock>> locks_;
  std::vector<SharedHandle> handles_;
  std::deque<std::shared_ptr<FakeTransformRecord>> records_;
  GraphicsContext graphics_;
  std::mutex framesMutex_;
  std::vector<EncodedFrame> frames_;
  std::vector<Bytes> frameBytes_;
  std::vector<Bytes> headers_;
  VideoEncoder encoder_{std::make_unique<FakeEncoderBackend>(&records_)};

 private:
  LogLevel savedThreshold_;
};

}  // namespace veyra::testing_video
