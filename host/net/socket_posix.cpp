#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "host/net/socket.h"

namespace veyra {
namespace {

int ToFd(SocketHandle socket) { return static_cast<int>(socket); }

SocketHandle FromFd(int fd) { return fd < 0 ? kInvalidSocket : static_cast<SocketHandle>(fd); }

// The resolver's EAI_ codes are not errno values; map them onto the Winsock
// numbers so that callers see the same codes on every platform.
int ResolverError(int eaiCode) {
  switch (eaiCode) {
    case EAI_AGAIN:
      return kSocketErrorTryAgain;
    case EAI_SYSTEM:
      return errno != 0 ? errno : kSocketErrorHostNotFound;
    default:
      return kSocketErrorHostNotFound;
  }
}

bool SetBlocking(int fd, bool blocking) {
  const int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0) {
    return false;
  }
  const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  return fcntl(fd, F_SETFL, wanted) == 0;
}

thread_local int t_lastError = 0;

}  // namespace

bool StartSockets() { return true; }

int LastSocketError() { return t_lastError; }

int ResolveTcpAddresses(const std::string& host, std::uint16_t port,
                        std::vector<SocketAddress>& addresses) {
  addresses.clear();
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* list = nullptr;
  const std::string service = std::to_string(port);
  const int result = getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
  if (result != 0) {
    t_lastError = ResolverError(result);
    return t_lastError;
  }
  for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
    SocketAddress address;
    address.family = entry->ai_family;
    address.type = entry->ai_socktype;
    address.protocol = entry->ai_protocol;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(entry->ai_addr);
    address.bytes.assign(bytes, bytes + entry->ai_addrlen);
    addresses.push_back(std::move(address));
  }
  freeaddrinfo(list);
  if (addresses.empty()) {
    t_lastError = kSocketErrorHostNotFound;
    return t_lastError;
  }
  return 0;
}

std::string ResolveAddressText(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0 || list == nullptr) {
    return {};
  }
  char text[INET6_ADDRSTRLEN] = {};
  const void* raw = nullptr;
  if (list->ai_family == AF_INET) {
    raw = &reinterpret_cast<const sockaddr_in*>(list->ai_addr)->sin_addr;
  } else if (list->ai_family == AF_INET6) {
    raw = &reinterpret_cast<const sockaddr_in6*>(list->ai_addr)->sin6_addr;
  }
  std::string result;
  if (raw != nullptr && inet_ntop(list->ai_family, raw, text, sizeof(text)) != nullptr) {
    result = text;
  }
  freeaddrinfo(list);
  return result;
}

SocketHandle OpenSocket(const SocketAddress& address) {
  const int fd = socket(address.family, address.type | SOCK_CLOEXEC, address.protocol);
  if (fd < 0) {
    t_lastError = errno;
  }
  return FromFd(fd);
}

bool ConnectWithin(SocketHandle socket, const SocketAddress& address, std::uint32_t timeoutMs) {
  const int fd = ToFd(socket);
  if (!SetBlocking(fd, false)) {
    t_lastError = errno;
    return false;
  }
  const auto* target = reinterpret_cast<const sockaddr*>(address.bytes.data());
  if (connect(fd, target, static_cast<socklen_t>(address.bytes.size())) != 0 &&
      errno != EINPROGRESS) {
    t_lastError = errno;
    return false;
  }
  // poll rather than select: select cannot watch descriptors above
  // FD_SETSIZE.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd entry{fd, POLLOUT, 0};
    const int ready = poll(&entry, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready <= 0) {
      t_lastError = ready == 0 ? kSocketErrorTimedOut : errno;
      return false;
    }
    break;
  }
  int error = 0;
  socklen_t size = sizeof(error);
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
    t_lastError = error != 0 ? error : errno;
    return false;
  }
  return SetBlocking(fd, true);
}

void TuneStreamSocket(SocketHandle socket) {
  const int noDelay = 1;
  setsockopt(ToFd(socket), IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof(noDelay));
  // The buffer keeps its automatic size, which the bytes in flight need on
  // a long path; what waits unsent is what delays every new frame, and
  // TCP_NOTSENT_LOWAT makes a blocking send wait once that passes 64 KiB
  // (with a fixed 2 MiB buffer, 1.4 s of 12 Mbit/s video queued here).
  const int notSentLowWater = static_cast<int>(kMinSendBuffer);
  setsockopt(ToFd(socket), IPPROTO_TCP, TCP_NOTSENT_LOWAT, &notSentLowWater,
             sizeof(notSentLowWater));
}

void FitSendBuffer(SocketHandle /*socket*/) {}

std::int64_t UnsentSocketBytes(SocketHandle socket) {
  int unsent = 0;
  if (ioctl(ToFd(socket), SIOCOUTQNSD, &unsent) != 0) {
    return -1;
  }
  return unsent;
}

bool SetReceiveTimeout(SocketHandle socket, std::uint32_t timeoutMs) {
  timeval timeout{};
  timeout.tv_sec = static_cast<time_t>(timeoutMs / 1000);
  timeout.tv_usec = static_cast<suseconds_t>((timeoutMs % 1000) * 1000);
  return setsockopt(ToFd(socket), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) == 0;
}

long SendSome(SocketHandle socket, const std::uint8_t* data, std::size_t length) {
  for (;;) {
    // MSG_NOSIGNAL: a peer that went away must give an error, not SIGPIPE.
    const ssize_t sent = send(ToFd(socket), data, length, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) {
      continue;
    }
    if (sent <= 0) {
      t_lastError = sent < 0 ? errno : 0;
    }
    return static_cast<long>(sent);
  }
}

long ReceiveSome(SocketHandle socket, std::uint8_t* data, std::size_t capacity) {
  for (;;) {
    const ssize_t received = recv(ToFd(socket), data, capacity, 0);
    if (received < 0 && errno == EINTR) {
      continue;
    }
    t_lastError = received < 0 ? errno : 0;
    return static_cast<long>(received);
  }
}

void ShutdownSocket(SocketHandle socket) { shutdown(ToFd(socket), SHUT_RDWR); }

bool InterruptSocket(SocketHandle socket) {
  ShutdownSocket(socket);
  return false;
}

void CloseSocket(SocketHandle socket) { close(ToFd(socket)); }

namespace {

// A listening IPv4 socket on |hostAddress| and |port| (0: the system
// picks, written back to |port|).
SocketHandle ListenOn(std::uint32_t hostAddress, std::uint16_t& port, int typeFlags) {
  ScopedSocket listener(
      FromFd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | typeFlags, IPPROTO_TCP)));
  if (!listener.IsValid()) {
    t_lastError = errno;
    return kInvalidSocket;
  }
  const int reuse = 1;
  setsockopt(ToFd(listener.Get()), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(hostAddress);
  address.sin_port = htons(port);
  socklen_t size = sizeof(address);
  if (bind(ToFd(listener.Get()), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(ToFd(listener.Get()), 16) != 0 ||
      getsockname(ToFd(listener.Get()), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    t_lastError = errno;
    return kInvalidSocket;
  }
  port = ntohs(address.sin_port);
  return listener.Take();
}

}  // namespace

SocketHandle ListenOnLoopback(std::uint16_t& port) {
  port = 0;
  return ListenOn(INADDR_LOOPBACK, port, 0);
}

SocketHandle AcceptConnection(SocketHandle listener) { return AcceptPeer(listener).socket; }

SocketHandle ListenOnAnyAddress(std::uint16_t port) {
  return ListenOn(INADDR_ANY, port, SOCK_NONBLOCK);
}

int WaitReadable(SocketHandle socket, std::uint32_t timeoutMs) {
  pollfd entry{};
  entry.fd = ToFd(socket);
  entry.events = POLLIN;
  const int ready = poll(&entry, 1, static_cast<int>(timeoutMs));
  if (ready < 0) {
    t_lastError = errno;
    return errno == EINTR ? 0 : -1;
  }
  return ready > 0 ? 1 : 0;
}

std::uint32_t Ipv4SourceToward(std::uint32_t hostOrderTarget) {
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(9);
  target.sin_addr.s_addr = htonl(hostOrderTarget);
  const ScopedSocket probe(FromFd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)));
  sockaddr_in own{};
  socklen_t length = sizeof(own);
  if (!probe.IsValid() ||
      connect(ToFd(probe.Get()), reinterpret_cast<const sockaddr*>(&target), sizeof(target)) != 0 ||
      getsockname(ToFd(probe.Get()), reinterpret_cast<sockaddr*>(&own), &length) != 0) {
    t_lastError = errno;
    return 0;
  }
  return ntohl(own.sin_addr.s_addr);
}

AcceptedPeer AcceptPeer(SocketHandle listener) {
  for (;;) {
    sockaddr_storage address{};
    socklen_t size = sizeof(address);
    const int fd =
        accept4(ToFd(listener), reinterpret_cast<sockaddr*>(&address), &size, SOCK_CLOEXEC);
    if (fd < 0 && errno == EINTR) {
      continue;
    }
    if (fd < 0) {
      t_lastError = errno;
      return {};
    }
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
    return Ipv4Peer(FromFd(fd), address.ss_family == AF_INET ? ntohl(v4->sin_addr.s_addr) : 0);
  }
}

long PeekSome(SocketHandle socket, std::uint8_t* data, std::size_t capacity) {
  for (;;) {
    const ssize_t received = recv(ToFd(socket), data, capacity, MSG_PEEK);
    if (received < 0 && errno == EINTR) {
      continue;
    }
    if (received < 0) {
      t_lastError = errno;
    }
    return static_cast<long>(received);
  }
}

}  // namespace veyra
