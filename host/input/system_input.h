#pragma once

#include <memory>

#include "host/input/display_layout.h"
#include "host/input/input_sink.h"

namespace veyra {

// This build's monitors and input queue: the system's on Windows. Natively
// there is no Windows desktop to inject into: one 1920 x 1080 monitor
// "\\.\DISPLAY1" at the origin, and a sink that writes every input to the
// log at DEBUG, so a session's input can still be followed.
std::unique_ptr<DisplayLayout> CreateSystemDisplayLayout();
std::unique_ptr<InputSink> CreateSystemInputSink();

}  // namespace veyra
