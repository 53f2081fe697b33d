#include "host/net/socket.h"

#include <algorithm>
#include <string>

namespace veyra {

std::uint32_t SendBufferForBacklog(std::uint64_t idealBytes) {
  if (idealBytes == 0) {
    return kUnknownSendBuffer;
  }
  return static_cast<std::uint32_t>(
      std::clamp<std::uint64_t>(idealBytes, kMinSendBuffer, kMaxSendBuffer));
}

std::string Ipv4Text(std::uint32_t hostOrderAddress) {
  return std::to_string(hostOrderAddress >> 24) + "." +
         std::to_string((hostOrderAddress >> 16) & 0xFF) + "." +
         std::to_string((hostOrderAddress >> 8) & 0xFF) + "." +
         std::to_string(hostOrderAddress & 0xFF);
}

AcceptedPeer Ipv4Peer(SocketHandle socket, std::uint32_t hostOrderAddress) {
  AcceptedPeer peer;
  peer.socket = socket;
  if (hostOrderAddress != 0) {
    peer.address = Ipv4Text(hostOrderAddress);
    peer.loopback = (hostOrderAddress >> 24) == 127;
  }
  return peer;
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
