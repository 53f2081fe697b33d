#include "host/net/socket.h"

#include <algorithm>

namespace veyra {

std::uint32_t SendBufferForBacklog(std::uint64_t idealBytes) {
  if (idealBytes == 0) {
    return kUnknownSendBuffer;
  }
  return static_cast<std::uint32_t>(
      std::clamp<std::uint64_t>(idealBytes, kMinSendBuffer, kMaxSendBuffer));
}

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
