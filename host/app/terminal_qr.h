#pragma once

#include <string>

namespace veyra {

// |text| as a QR code drawn with block characters for a terminal (light
// modules as blocks, for the usual dark background), ending in a newline;
// empty where this build has no QR encoder (Windows, where the tray shows
// the code).
std::string TerminalQrCode(const std::string& text);

}  // namespace veyra
