#include "host/app/probe_command.h"

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <string>

#include "host/base/log.h"
#include "host/base/status_codes.h"
#include "host/capture/desktop_duplication_source.h"
#include "host/capture/graphics_context.h"
#include "host/video/video_encoder.h"

namespace veyra {
namespace {

std::string Format(const char* format, ...) VEYRA_PRINTF_FORMAT(1, 2);

std::string Format(const char* format, ...) {
  char line[512];
  std::va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  return line;
}

}  // namespace

int ProbeMedia(const std::function<void(const std::string&)>& print) {
  GraphicsContext graphics;
  if (graphics.Init(0) != status::kSOk) return 1;
  // Opened before the adapter is named: opening may move the devices to
  // the adapter that can duplicate the monitor.
  std::string capture = "capture: unavailable\n";
  {
    DesktopDuplicationSource source(graphics, 0);
    if (graphics.OpenSource(source) == status::kSOk) {
      capture = Format("capture: %s %ux%u\n", source.Name(), source.Width(), source.Height());
      source.Close();
    }
  }
  print(Format("adapter: %s\n", graphics.adapterName().c_str()));
  print(capture);

  // The encoder is released before the graphics devices it was opened on.
  auto encoder = std::make_unique<VideoEncoder>();
  EncoderConfig config;
  config.width = 1920;
  config.height = 1080;
  config.fps = 60;
  config.bitrate = 12000000;
  config.gop = 120;
  config.preferHardware = true;
  if (encoder->Open(graphics, config, [](const EncodedFrame&) {}) != status::kSOk) {
    print("encoder: none usable\n");
  } else {
    print(Format("encoder: %s (%s)\n", encoder->name().c_str(),
                 encoder->hardware() ? "hardware" : "software"));
    encoder->Shutdown();
  }
  encoder.reset();
  return 0;
}

}  // namespace veyra
