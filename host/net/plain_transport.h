#pragma once

#include <atomic>

#include "host/net/socket.h"
#include "host/net/transport.h"

namespace veyra {

// The stream without TLS: send and recv on the socket as they are.
class PlainTransport final : public Transport {
 public:
  // Reads 64 KiB at a time; stops writing quietly once |keepGoing| is clear.
  static constexpr std::size_t kReadBytes = 65536;

  PlainTransport(SocketHandle socket, const std::atomic<bool>& keepGoing)
      : socket_(socket), keepGoing_(keepGoing) {}

  bool Send(const std::uint8_t* data, std::size_t length, std::string& failure) override;
  long Receive(std::vector<std::uint8_t>& out, std::string& failure) override;

 private:
  SocketHandle socket_;
  const std::atomic<bool>& keepGoing_;
};

}  // namespace veyra
