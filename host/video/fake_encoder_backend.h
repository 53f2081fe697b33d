#pragma once

#include <cstdint>
#include <deque>
#include <memory>

#include "host/base/status_codes.h"
#include "host/video/encoder_backend.h"
#include "host/video/fake_encoder_transform.h"

namespace veyra {

// Hands out one FakeEncoderTransform per SelectEncoder, each with the next
// record the test queued; hardware selection fails when told to.
class FakeEncoderBackend final : public EncoderBackend {
 public:
  explicit FakeEncoderBackend(std::deque<std::shared_ptr<FakeTransformRecord>>* records,
                              bool hardwareAvailable = true, bool softwareAvailable = true)
      : records_(records),
        hardwareAvailable_(hardwareAvailable),
        softwareAvailable_(softwareAvailable) {}

  std::int32_t Startup() override { return status::kSOk; }
  void Cleanup() override {}
  std::int32_t SelectEncoder(GraphicsContext& /*graphics*/, bool hardware,
                             const EncoderConfig& /*config*/,
                             std::unique_ptr<EncoderTransform>* transform) override {
    if ((hardware && !hardwareAvailable_) || (!hardware && !softwareAvailable_) ||
        records_->empty()) {
      return status::kMfETopoCodecNotFound;
    }
    *transform = std::make_unique<FakeEncoderTransform>(
        records_->front(), hardware ? "Fake Hardware Encoder" : "Fake Software Encoder");
    records_->pop_front();
    return status::kSOk;
  }

 private:
  std::deque<std::shared_ptr<FakeTransformRecord>>* records_;
  bool hardwareAvailable_;
  bool softwareAvailable_;
};

}  // namespace veyra
