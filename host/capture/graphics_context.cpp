#include "host/capture/graphics_context.h"

#include "host/base/hresult_text.h"
#include "host/base/log.h"
#include "host/base/status_codes.h"

namespace veyra {

void GraphicsContext::KeepLastFrame(const Texture& frame, Texture* lastFrame) {
  if (*lastFrame && lastFrame->width == frame.width && lastFrame->height == frame.height &&
      lastFrame->format == frame.format) {
    const std::int32_t status = CopyTexture(frame, *lastFrame);
    if (status != status::kSOk) {
      Log(LogLevel::Warn, "cannot keep a copy of the last frame: %s", HresultText(status).c_str());
      *lastFrame = Texture{};
    }
    return;
  }
  *lastFrame = Texture{};
  Texture copy;
  std::int32_t status = CreateTexture(frame.width, frame.height, frame.format, &copy);
  if (status == status::kSOk) {
    status = CopyTexture(frame, copy);
  }
  if (status != status::kSOk) {
    Log(LogLevel::Warn, "cannot keep a copy of the last frame: %s", HresultText(status).c_str());
    return;
  }
  *lastFrame = copy;
}

}  // namespace veyra
