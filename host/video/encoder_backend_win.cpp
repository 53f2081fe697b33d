// Placeholder for the Media Foundation back end, still to be written:
// start-up reports it as not implemented, so Open fails cleanly and the
// session reports that no usable H.264 encoder exists.

#include <memory>

#include "host/base/status_codes.h"
#include "host/video/encoder_backend.h"
#include "host/video/encoder_transform.h"

namespace veyra {
namespace {

class UnavailableBackend final : public EncoderBackend {
 public:
  std::int32_t Startup() override { return status::kENotImpl; }
  void Cleanup() override {}
  std::int32_t SelectEncoder(GraphicsContext& /*graphics*/, bool /*hardware*/,
                             const EncoderConfig& /*config*/,
                             std::unique_ptr<EncoderTransform>* /*transform*/) override {
    return status::kMfETopoCodecNotFound;
  }
};

}  // namespace

std::unique_ptr<EncoderBackend> CreatePlatformEncoderBackend() {
  return std::make_unique<UnavailableBackend>();
}

}  // namespace veyra
