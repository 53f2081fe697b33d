#pragma once

#include <memory>

#include "host/input/display_layout.h"
#include "host/input/input_sink.h"

namespace veyra {

// This build's monitors and input queue: the system's on Windows, the X
// display named by DISPLAY natively (its RandR monitors, XTest), opened on
// first use.
std::unique_ptr<DisplayLayout> CreateSystemDisplayLayout();
std::unique_ptr<InputSink> CreateSystemInputSink();

}  // namespace veyra
