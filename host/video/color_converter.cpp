#include "host/video/color_converter.h"

#include <chrono>
#include <thread>
#include <utility>

#include "host/base/clock.h"
#include "host/base/hresult_text.h"
#include "host/base/log.h"
#include "host/base/status_codes.h"

namespace veyra {

ColorConverter::ColorConverter() : ColorConverter(CreatePlatformConversionEngine()) {}

ColorConverter::ColorConverter(std::unique_ptr<ConversionEngine> engine)
    : engine_(std::move(engine)) {}

ColorConverter::~ColorConverter() { Shutdown(); }

std::int32_t ColorConverter::Init(GraphicsContext& graphics, std::uint32_t inputWidth,
                                  std::uint32_t inputHeight, std::uint32_t outputWidth,
                                  std::uint32_t outputHeight, OutputRotation rotation) {
  Shutdown();
  inputWidth_ = inputWidth;
  inputHeight_ = inputHeight;
  outputWidth_ = outputWidth & ~1u;
  outputHeight_ = outputHeight & ~1u;
  std::int32_t status =
      engine_->Init(graphics, inputWidth_, inputHeight_, outputWidth_, outputHeight_);
  if (status != status::kSOk) return status;
  rotation_ = OutputRotation::kIdentity;
  if (rotation == OutputRotation::kUnspecified) rotation = OutputRotation::kIdentity;
  if (engine_->SetRotation(rotation)) {
    rotation_ = rotation;
  } else {
    // Sideways rather than nothing: the input mapping follows the picture.
    Log(LogLevel::Warn, "the video processor cannot rotate; streaming the monitor unrotated");
    if (IsQuarterTurn(rotation)) {
      engine_->Shutdown();
      std::swap(outputWidth_, outputHeight_);
      status = engine_->Init(graphics, inputWidth_, inputHeight_, outputWidth_, outputHeight_);
      if (status != status::kSOk) return status;
    }
  }
  engineReady_ = true;
  status = BuildPool();
  if (status != status::kSOk) {
    Log(LogLevel::Error, "%s failed: %s", "NV12 pool", HresultText(status).c_str());
    return status;
  }
  Log(LogLevel::Info, "color converter %ux%u BGRA -> %ux%u NV12", inputWidth_, inputHeight_,
      outputWidth_, outputHeight_);
  return status::kSOk;
}

std::int32_t ColorConverter::BuildPool() {
  pool_.resize(kNv12PoolSlots);
  for (Nv12Slot& slot : pool_) {
    const std::int32_t status = engine_->CreateSlot(&slot);
    if (status != status::kSOk) return status;
  }
  return status::kSOk;
}

std::int32_t ColorConverter::Convert(const Texture& input, Texture* output,
                                     std::size_t* slotIndex) {
  if (!engineReady_ || pool_.size() != kNv12PoolSlots) return status::kInvalidStateHresult;
  if (!engine_->PrepareInput(input)) return status::kEFail;

  const auto index = static_cast<std::size_t>(nextSlot_);
  nextSlot_ = (nextSlot_ + 1) % kNv12PoolSlots;
  *slotIndex = index;
  Nv12Slot& slot = pool_[index];

  // Anything but S_OK (a time-out, an error) leaves the slot with the
  // encoder; waiting longer would stall capture behind encode. An abandoned
  // mutex means the encoder's device is gone, which no wait mends.
  const std::int32_t acquired = slot.keyedMutex->AcquireSync(0, kSlotWaitMs);
  if (acquired == kKeyedMutexAbandoned) {
    Log(LogLevel::Warn, "NV12 slot %zu was abandoned by the encoder's device", index);
    return acquired;
  }
  if (acquired != status::kSOk) {
    Log(LogLevel::Debug, "NV12 slot %zu still held by the encoder; dropping frame", index);
    return status::kEPending;
  }
  const std::int32_t status = engine_->Blt(input, slot);
  if (status != status::kSOk) {
    slot.keyedMutex->ReleaseSync(0);
    Log(LogLevel::Error, "VideoProcessorBlt failed: 0x%08X", static_cast<unsigned>(status));
    return status;
  }
  if (slot.hasQuery) {
    engine_->EndQuery(slot);
    slot.bltTimeUs = NowUs();
  }
  slot.keyedMutex->ReleaseSync(1);
  engine_->Flush();
  *output = slot.texture;
  return status::kSOk;
}

void ColorConverter::WaitForSlot(std::size_t slotIndex) {
  if (slotIndex >= pool_.size()) return;
  Nv12Slot& slot = pool_[slotIndex];
  if (!slot.hasQuery || slot.bltTimeUs == 0) return;
  // The capture thread shares two cores with the encoder and the desktop's
  // own work: it sleeps on the GPU where the engine can, and otherwise
  // yields, then sleeps in short steps, never spinning a core.
  unsigned retries = 0;
  for (;;) {
    const std::uint64_t elapsedUs = NowUs() - slot.bltTimeUs;
    if (elapsedUs > kGpuWaitLimitUs) {
      Log(LogLevel::Warn, "GPU conversion did not complete within %llu us",
          static_cast<unsigned long long>(kGpuWaitLimitUs));
      break;
    }
    if (engine_->AwaitQuery(slot, kGpuWaitLimitUs - elapsedUs)) break;
    if (++retries <= kYieldRetries) {
      std::this_thread::yield();
    } else {
      std::this_thread::sleep_for(std::chrono::microseconds(kPollSleepUs));
    }
  }
  lastConvertUs_ = NowUs() - slot.bltTimeUs;
  slot.bltTimeUs = 0;
}

std::vector<SharedHandle> ColorConverter::SharedHandles() const {
  std::vector<SharedHandle> handles;
  handles.reserve(pool_.size());
  for (const Nv12Slot& slot : pool_) handles.push_back(slot.sharedHandle);
  return handles;
}

void ColorConverter::Shutdown() {
  for (Nv12Slot& slot : pool_) {
    if (slot.sharedHandle != nullptr) engine_->CloseSlot(&slot);
  }
  pool_.clear();
  nextSlot_ = 0;
  lastConvertUs_ = 0;
  engine_->Shutdown();
  engineReady_ = false;
}

}  // namespace veyra
