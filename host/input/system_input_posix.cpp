#include "host/input/input_sink_x11_posix.h"
#include "host/input/system_input.h"

namespace veyra {

std::unique_ptr<DisplayLayout> CreateSystemDisplayLayout() {
  return std::make_unique<X11DisplayLayout>();
}

std::unique_ptr<InputSink> CreateSystemInputSink() { return std::make_unique<X11InputSink>(); }

}  // namespace veyra
