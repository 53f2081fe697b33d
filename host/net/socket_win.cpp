// Winsock before windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <climits>

#include "host/base/log.h"
#include "host/base/utf_conversion.h"
#include "host/net/socket.h"

namespace veyra {
namespace {

SOCKET ToSocket(SocketHandle socket) { return static_cast<SOCKET>(socket); }

SocketHandle FromSocket(SOCKET socket) {
  return socket == INVALID_SOCKET ? kInvalidSocket : static_cast<SocketHandle>(socket);
}

// WSAGetLastError is overwritten by the next call on the thread; keep the
// number of the call that failed.
thread_local int t_lastError = 0;

int CaptureError() {
  t_lastError = WSAGetLastError();
  return t_lastError;
}

bool SetBlocking(SOCKET socket, bool blocking) {
  u_long nonBlocking = blocking ? 0 : 1;
  return ioctlsocket(socket, FIONBIO, &nonBlocking) == 0;
}

// SIO_IDEAL_SEND_BACKLOG_QUERY, which mingw-w64's headers lack; defined as
// the platform SDK defines it.
constexpr DWORD kIdealSendBacklogQuery = _IOR('t', 123, ULONG);

// The connection's ideal send backlog: what it needs queued to keep its
// bandwidth-delay product in flight (WSAIoctl, out: one ULONG of bytes); 0
// with |error| set when the system does not say. Wine 8 answers with 65,536
// bytes whatever the link (veyra-host.exe under Wine against the simulator
// logs "ideal send backlog 65536 bytes"), so there the buffer sits at its
// 64 KiB floor.
std::uint64_t IdealSendBacklog(SOCKET socket, int* error) {
  ULONG ideal = 0;
  DWORD returned = 0;
  if (WSAIoctl(socket, kIdealSendBacklogQuery, nullptr, 0, &ideal, sizeof(ideal), &returned,
               nullptr, nullptr) != 0) {
    *error = WSAGetLastError();
    return 0;
  }
  return ideal;
}

int SetSendBuffer(SOCKET socket, std::uint64_t idealBacklog) {
  const int sendBuffer = static_cast<int>(SendBufferForBacklog(idealBacklog));
  setsockopt(socket, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&sendBuffer),
             sizeof(sendBuffer));
  return sendBuffer;
}

int ClampLength(std::size_t length) {
  return length > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(length);
}

}  // namespace

bool StartSockets() {
  // Once per process; a failure stays a failure for every later caller.
  static const bool started = [] {
    WSADATA data{};
    const int result = WSAStartup(MAKEWORD(2, 2), &data);
    if (result != 0) {
      Log(LogLevel::Error, "WSAStartup failed: %d", result);
      return false;
    }
    return true;
  }();
  return started;
}

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
    // getaddrinfo returns the number WSAGetLastError gives; never let a 0
    // through, it would read as success upstream.
    t_lastError = WSAGetLastError() != 0 ? WSAGetLastError() : result;
    return t_lastError != 0 ? t_lastError : kSocketErrorHostNotFound;
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
  const std::wstring wideHost = WideFromUtf8(host);
  ADDRINFOW hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  ADDRINFOW* list = nullptr;
  if (GetAddrInfoW(wideHost.c_str(), nullptr, &hints, &list) != 0 || list == nullptr) {
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
  FreeAddrInfoW(list);
  return result;
}

SocketHandle OpenSocket(const SocketAddress& address) {
  const SOCKET created = socket(address.family, address.type, address.protocol);
  if (created == INVALID_SOCKET) {
    CaptureError();
  }
  return FromSocket(created);
}

bool ConnectWithin(SocketHandle socket, const SocketAddress& address, std::uint32_t timeoutMs) {
  const SOCKET s = ToSocket(socket);
  if (!SetBlocking(s, false)) {
    CaptureError();
    return false;
  }
  const auto* target = reinterpret_cast<const sockaddr*>(address.bytes.data());
  if (connect(s, target, static_cast<int>(address.bytes.size())) != 0 &&
      WSAGetLastError() != WSAEWOULDBLOCK) {
    CaptureError();
    return false;
  }
  // Only writability is watched: a refused connection lands in the except
  // set and so uses up the whole timeout.
  fd_set writable;
  FD_ZERO(&writable);
  FD_SET(s, &writable);
  timeval timeout{};
  timeout.tv_sec = static_cast<long>(timeoutMs / 1000);
  timeout.tv_usec = static_cast<long>((timeoutMs % 1000) * 1000);
  const int ready = select(0, nullptr, &writable, nullptr, &timeout);
  if (ready <= 0 || !FD_ISSET(s, &writable)) {
    if (ready < 0) {
      CaptureError();
    } else {
      t_lastError = kSocketErrorTimedOut;
    }
    return false;
  }
  int error = 0;
  int size = sizeof(error);
  if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0 ||
      error != 0) {
    t_lastError = error != 0 ? error : WSAGetLastError();
    return false;
  }
  if (!SetBlocking(s, true)) {
    CaptureError();
    return false;
  }
  return true;
}

void TuneStreamSocket(SocketHandle socket) {
  const BOOL noDelay = TRUE;
  setsockopt(ToSocket(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
             sizeof(noDelay));
  int error = 0;
  const std::uint64_t ideal = IdealSendBacklog(ToSocket(socket), &error);
  const int sendBuffer = SetSendBuffer(ToSocket(socket), ideal);
  if (ideal == 0) {
    Log(LogLevel::Debug, "ideal send backlog unknown (error %d); send buffer %d bytes", error,
        sendBuffer);
  } else {
    Log(LogLevel::Debug, "ideal send backlog %llu bytes; send buffer %d bytes",
        static_cast<unsigned long long>(ideal), sendBuffer);
  }
}

void FitSendBuffer(SocketHandle socket) {
  int error = 0;
  SetSendBuffer(ToSocket(socket), IdealSendBacklog(ToSocket(socket), &error));
}

std::int64_t UnsentSocketBytes(SocketHandle /*socket*/) { return -1; }

bool SetReceiveTimeout(SocketHandle socket, std::uint32_t timeoutMs) {
  const DWORD timeout = timeoutMs;
  return setsockopt(ToSocket(socket), SOL_SOCKET, SO_RCVTIMEO,
                    reinterpret_cast<const char*>(&timeout), sizeof(timeout)) == 0;
}

long SendSome(SocketHandle socket, const std::uint8_t* data, std::size_t length) {
  const int sent =
      send(ToSocket(socket), reinterpret_cast<const char*>(data), ClampLength(length), 0);
  if (sent <= 0) {
    if (sent < 0) {
      CaptureError();
    } else {
      t_lastError = 0;
    }
  }
  return sent;
}

long ReceiveSome(SocketHandle socket, std::uint8_t* data, std::size_t capacity) {
  const int received =
      recv(ToSocket(socket), reinterpret_cast<char*>(data), ClampLength(capacity), 0);
  if (received < 0) {
    CaptureError();
  } else {
    t_lastError = 0;
  }
  return received;
}

void ShutdownSocket(SocketHandle socket) { shutdown(ToSocket(socket), SD_BOTH); }

bool InterruptSocket(SocketHandle socket) {
  // A shutdown fails every later call but does not wake a recv already
  // blocked. Blocking Winsock calls are overlapped I/O underneath, so
  // cancelling the handle's pending I/O wakes both directions
  // (WSA_OPERATION_ABORTED). closesocket would wake a blocked recv, but under
  // Wine not a blocked send, and it frees the handle number under the feet
  // of the threads.
  ShutdownSocket(socket);
  // A SOCKET of the base provider is a kernel handle.
  const auto handle = reinterpret_cast<HANDLE>(socket);  // NOLINT(performance-no-int-to-ptr)
  if (CancelIoEx(handle, nullptr) || GetLastError() == ERROR_NOT_FOUND) {
    return false;
  }
  // Not a kernel handle (a layered provider's socket): closing is all that
  // is left.
  closesocket(ToSocket(socket));
  return true;
}

void CloseSocket(SocketHandle socket) { closesocket(ToSocket(socket)); }

namespace {

// A listening IPv4 socket on |hostAddress| and |port| (0: the system
// picks, written back to |port|).
SocketHandle ListenOn(ULONG hostAddress, std::uint16_t& port, bool exclusive, bool blocking) {
  if (!StartSockets()) {
    return kInvalidSocket;
  }
  ScopedSocket listener(FromSocket(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)));
  if (!listener.IsValid()) {
    CaptureError();
    return kInvalidSocket;
  }
  const SOCKET s = ToSocket(listener.Get());
  if (exclusive) {
    const BOOL on = TRUE;
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof(on));
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(hostAddress);
  address.sin_port = htons(port);
  int size = sizeof(address);
  if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(s, 16) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
      !SetBlocking(s, blocking)) {
    CaptureError();
    return kInvalidSocket;
  }
  port = ntohs(address.sin_port);
  return listener.Take();
}

}  // namespace

SocketHandle ListenOnLoopback(std::uint16_t& port) {
  port = 0;
  return ListenOn(INADDR_LOOPBACK, port, false, true);
}

SocketHandle AcceptConnection(SocketHandle listener) { return AcceptPeer(listener).socket; }

// A server's port is its own: no other program may bind it while the host
// listens.
SocketHandle ListenOnAnyAddress(std::uint16_t port) {
  return ListenOn(INADDR_ANY, port, true, false);
}

int WaitReadable(SocketHandle socket, std::uint32_t timeoutMs) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(ToSocket(socket), &readable);
  timeval timeout{};
  timeout.tv_sec = static_cast<long>(timeoutMs / 1000);
  timeout.tv_usec = static_cast<long>((timeoutMs % 1000) * 1000);
  const int ready = select(0, &readable, nullptr, nullptr, &timeout);
  if (ready == SOCKET_ERROR) {
    CaptureError();
    return -1;
  }
  return ready > 0 ? 1 : 0;
}

std::uint32_t Ipv4SourceToward(std::uint32_t hostOrderTarget) {
  // Winsock is started by whoever asks.
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(9);
  target.sin_addr.s_addr = htonl(hostOrderTarget);
  const ScopedSocket probe(FromSocket(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP)));
  sockaddr_in own{};
  int length = sizeof(own);
  if (!probe.IsValid() ||
      connect(ToSocket(probe.Get()), reinterpret_cast<const sockaddr*>(&target), sizeof(target)) !=
          0 ||
      getsockname(ToSocket(probe.Get()), reinterpret_cast<sockaddr*>(&own), &length) != 0) {
    CaptureError();
    return 0;
  }
  return ntohl(own.sin_addr.s_addr);
}

AcceptedPeer AcceptPeer(SocketHandle listener) {
  sockaddr_storage address{};
  int size = sizeof(address);
  const SOCKET accepted = accept(ToSocket(listener), reinterpret_cast<sockaddr*>(&address), &size);
  if (accepted == INVALID_SOCKET) {
    CaptureError();
    return {};
  }
  // An accepted socket inherits the listener's non-blocking mode.
  if (!SetBlocking(accepted, true)) {
    CaptureError();
    closesocket(accepted);
    return {};
  }
  const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
  return Ipv4Peer(FromSocket(accepted),
                  address.ss_family == AF_INET ? ntohl(v4->sin_addr.s_addr) : 0);
}

long PeekSome(SocketHandle socket, std::uint8_t* data, std::size_t capacity) {
  const int received =
      recv(ToSocket(socket), reinterpret_cast<char*>(data), ClampLength(capacity), MSG_PEEK);
  if (received < 0) {
    CaptureError();
  }
  return received;
}

}  // namespace veyra
