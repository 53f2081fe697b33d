#include "host/net/plain_transport.h"

namespace veyra {

bool PlainTransport::Send(const std::uint8_t* data, std::size_t length, std::string& failure) {
  while (length > 0) {
    if (!keepGoing_.load()) {
      failure.clear();
      return false;
    }
    const long sent = SendSome(socket_, data, length);
    if (sent <= 0) {
      failure = "send failed: ";
      failure += std::to_string(LastSocketError());
      return false;
    }
    data += sent;
    length -= static_cast<std::size_t>(sent);
  }
  return true;
}

long PlainTransport::Receive(std::vector<std::uint8_t>& out, std::string& failure) {
  const std::size_t start = out.size();
  out.resize(start + kReadBytes);
  const long received = ReceiveSome(socket_, out.data() + start, kReadBytes);
  out.resize(start + static_cast<std::size_t>(received > 0 ? received : 0));
  if (received < 0) {
    failure = "recv failed: ";
    failure += std::to_string(LastSocketError());
    return -1;
  }
  return received;
}

}  // namespace veyra
