#include <qrencode.h>

#include <memory>

#include "host/app/terminal_qr.h"

namespace veyra {
namespace {

struct QrCodeFree {
  void operator()(QRcode* code) const { QRcode_free(code); }
};

// Modules of light border around the code; scanners want some.
constexpr int kQuietZone = 2;

}  // namespace

std::string TerminalQrCode(const std::string& text) {
  const std::unique_ptr<QRcode, QrCodeFree> code(
      QRcode_encodeString(text.c_str(), 0, QR_ECLEVEL_L, QR_MODE_8, 1));
  if (!code) {
    return {};
  }
  const int size = code->width;
  const auto light = [&](int x, int y) {
    if (x < 0 || y < 0 || x >= size || y >= size) {
      return true;
    }
    return (code->data[static_cast<std::size_t>(y) * static_cast<std::size_t>(size) +
                       static_cast<std::size_t>(x)] &
            1) == 0;
  };
  // Two rows of modules per line of text: upper and lower half blocks.
  std::string out;
  for (int y = -kQuietZone; y < size + kQuietZone; y += 2) {
    for (int x = -kQuietZone; x < size + kQuietZone; ++x) {
      const bool top = light(x, y);
      const bool bottom = light(x, y + 1);
      out += top && bottom ? "\u2588" : top ? "\u2580" : bottom ? "\u2584" : " ";
    }
    out += '\n';
  }
  return out;
}

}  // namespace veyra
