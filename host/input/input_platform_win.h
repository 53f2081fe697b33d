#pragma once

#include <memory>

#include "host/input/display_layout.h"
#include "host/input/input_sink.h"

namespace veyra {

// The system's monitors, from EnumDisplayMonitors and GetSystemMetrics.
std::unique_ptr<DisplayLayout> CreateWindowsDisplayLayout();

// The system's input queue, through SendInput.
std::unique_ptr<InputSink> CreateWindowsInputSink();

}  // namespace veyra
