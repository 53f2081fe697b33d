#include "host/app/command_line.h"

namespace veyra {

CommandLineExtras BuildExtras() { return CommandLineExtras{.noiseSource = true}; }

}  // namespace veyra
