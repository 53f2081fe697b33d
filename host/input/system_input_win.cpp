#include "host/input/input_platform_win.h"
#include "host/input/system_input.h"

namespace veyra {

std::unique_ptr<DisplayLayout> CreateSystemDisplayLayout() { return CreateWindowsDisplayLayout(); }

std::unique_ptr<InputSink> CreateSystemInputSink() { return CreateWindowsInputSink(); }

}  // namespace veyra
