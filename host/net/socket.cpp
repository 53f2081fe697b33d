#include "host/net/socket.h"

namespace veyra {

bool SendAll(SocketHandle socket, const std::uint8_t* data, std::size_t length) {
  while (length > 0) {
    const long sent = SendSome(socket, data, length);
    if (sent <= 0) {
      return false;
    }
    data += sent;
    length -= static_cast<std::size_t>(sent);
  }
  return true;
}

}  // namespace veyra
