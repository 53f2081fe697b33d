#include "host/app/terminal_qr.h"

namespace veyra {

std::string TerminalQrCode(const std::string& /*text*/) { return {}; }

}  // namespace veyra
