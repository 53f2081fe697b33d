#pragma once

#include <functional>
#include <string>

namespace veyra {

// The --probe command: what this PC can capture and encode, printed through
// |print|. 0, or 1 when the graphics devices cannot be created (then nothing
// is printed; the log says why).
int ProbeMedia(const std::function<void(const std::string&)>& print);

}  // namespace veyra
