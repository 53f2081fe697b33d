#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <utility>

#include "host/base/status_codes.h"
#include "host/video/encoder_backend.h"
#include "host/video/fake_encoder_transform.h"

namespace veyra {

// Hands out one FakeEncoderTransform per SelectEncoder, each with the next
// record the test queued: |hardwareEncoders| hardware candidates, then one
// software candidate when it is available.
class FakeEncoderBackend final : public EncoderBackend {
 public:
  explicit FakeEncoderBackend(std::deque<std::shared_ptr<FakeTransformRecord>>* records,
                              std::size_t hardwareEncoders = 1, bool softwareAvailable = true)
      : records_(records),
        hardwareEncoders_(hardwareEncoders),
        softwareAvailable_(softwareAvailable) {}

  std::int32_t Startup() override { return status::kSOk; }
  void Cleanup() override {}
  std::int32_t SelectEncoder(GraphicsContext& /*graphics*/, bool hardware,
                             const EncoderConfig& /*config*/,
                             std::unique_ptr<EncoderTransform>* transform,
                             std::size_t* next) override {
    const std::size_t candidates = hardware ? hardwareEncoders_ : (softwareAvailable_ ? 1 : 0);
    if (*next >= candidates || records_->empty()) return status::kMfETopoCodecNotFound;
    std::string name = hardware ? "Fake Hardware Encoder" : "Fake Software Encoder";
    if (*next > 0) name.append(1, ' ').append(std::to_string(*next + 1));
    *transform = std::make_unique<FakeEncoderTransform>(records_->front(), std::move(name));
    records_->pop_front();
    ++*next;
    return status::kSOk;
  }

 private:
  std::deque<std::shared_ptr<FakeTransformRecord>>* records_;
  std::size_t hardwareEncoders_;
  bool softwareAvailable_;
};

}  // namespace veyra
