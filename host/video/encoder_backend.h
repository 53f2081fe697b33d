#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "host/capture/graphics_context.h"
#include "host/video/encoder_config.h"
#include "host/video/encoder_transform.h"

namespace veyra {

// Finds and activates encoders for the VideoEncoder.
class EncoderBackend {
 public:
  virtual ~EncoderBackend() = default;

  // Media Foundation start-up on Windows; Cleanup undoes a successful one.
  virtual std::int32_t Startup() = 0;
  virtual void Cleanup() = 0;

  // The first encoder of the kind (hardware encoders of the context's
  // adapter, or software ones) from candidate |*next| on that can be
  // activated for |config|; |*next| then names the candidate after it, so
  // that the caller can walk on past one that fails to start.
  // MF_E_TOPO_CODEC_NOT_FOUND, or the last activation's failure, when there
  // is none left.
  virtual std::int32_t SelectEncoder(GraphicsContext& graphics, bool hardware,
                                     const EncoderConfig& config,
                                     std::unique_ptr<EncoderTransform>* transform,
                                     std::size_t* next) = 0;
};

// The back end of this build.
std::unique_ptr<EncoderBackend> CreatePlatformEncoderBackend();

}  // namespace veyra
