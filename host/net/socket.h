#pragma once

// The thin socket layer under the connection, the TLS channel and discovery:
// Winsock on Windows (socket_win.cpp), BSD sockets elsewhere
// (socket_posix.cpp). Everything above it is portable.
//
// Error numbers are the platform's own (WSAGetLastError, errno), taken right
// at the failing call and returned or kept for LastSocketError().

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "host/base/status_codes.h"

namespace veyra {

// SOCKET under Winsock, a file descriptor elsewhere. Both platforms' "no
// socket" values (INVALID_SOCKET, -1) map to kInvalidSocket.
using SocketHandle = std::uintptr_t;
inline constexpr SocketHandle kInvalidSocket = ~SocketHandle{0};

// HRESULT_FROM_WIN32 of a platform error number: 0 and negative values as
// they are, others in the Win32 facility.
constexpr std::int32_t HresultFromSocketError(int error) {
  return status::HresultFromWin32(static_cast<std::uint32_t>(error));
}

// Winsock numbers that the portable code names (the POSIX layer maps its
// resolver failures onto the first two).
inline constexpr int kSocketErrorHostNotFound = status::kWsaHostNotFound;
inline constexpr int kSocketErrorTryAgain = status::kWsaTryAgain;
inline constexpr int kSocketErrorTimedOut = status::kWsaETimedOut;

// Starts the platform's socket library once per process (WSAStartup 2.2).
// A failure is logged once, as ERROR "WSAStartup failed: %d"; this and every
// later call then return false.
bool StartSockets();

// The error number of the last failing socket call on this thread.
int LastSocketError();

// One address getaddrinfo gave, kept after the list is freed.
struct SocketAddress {
  int family = 0;
  int type = 0;
  int protocol = 0;
  std::vector<std::uint8_t> bytes;  // the sockaddr
};

// Resolves |host| (a name or a numeric address) and |port| for TCP over any
// address family, in the order the resolver gives. Returns 0 and fills
// |addresses|, or the platform error number (never 0) when it fails or
// yields nothing.
int ResolveTcpAddresses(const std::string& host, std::uint16_t port,
                        std::vector<SocketAddress>& addresses);

// The numeric address text (dotted IPv4 or IPv6) of the first address that
// resolving |host| gives, or empty when it does not resolve or the first
// address is of another family.
std::string ResolveAddressText(const std::string& host);

// Creates a socket for |address|; kInvalidSocket on failure.
SocketHandle OpenSocket(const SocketAddress& address);

// Connects |socket| to |address| without blocking for longer than
// |timeoutMs|: non-blocking connect, then a wait for writability alone, then
// SO_ERROR; the socket is back in blocking mode when this returns true.
// Under Winsock a refused connection never makes the socket writable, so it
// uses up the whole timeout; BSD sockets report it at once.
bool ConnectWithin(SocketHandle socket, const SocketAddress& address, std::uint32_t timeoutMs);

// TCP_NODELAY on, and a send buffer that holds little more than the link
// needs: natively TCP_NOTSENT_LOWAT keeps what waits unsent in the socket
// small; under Winsock the buffer is sized from the ideal send backlog
// (FitSendBuffer). For a connected stream socket.
void TuneStreamSocket(SocketHandle socket);

// Winsock: sets the send buffer to SendBufferForBacklog of the connection's
// current ideal send backlog; elsewhere nothing (TCP_NOTSENT_LOWAT follows
// the link by itself). Cheap; the connection calls it now and then, since
// the backlog follows the link's rate and round trip.
void FitSendBuffer(SocketHandle socket);

// The send buffer for an ideal send backlog of |idealBytes| (0: unknown):
// the backlog clamped to [kMinSendBuffer, kMaxSendBuffer], kUnknownSendBuffer
// when unknown.
inline constexpr std::uint32_t kMinSendBuffer = 64 * 1024;
inline constexpr std::uint32_t kMaxSendBuffer = 1024 * 1024;
inline constexpr std::uint32_t kUnknownSendBuffer = 256 * 1024;
std::uint32_t SendBufferForBacklog(std::uint64_t idealBytes);

// Bytes written to |socket| that the system has not sent yet (SIOCOUTQNSD),
// or -1 where the system does not say (Winsock).
std::int64_t UnsentSocketBytes(SocketHandle socket);

// SO_RCVTIMEO in milliseconds (0: none).
bool SetReceiveTimeout(SocketHandle socket, std::uint32_t timeoutMs);

// One send call: the count written (> 0), or 0 or less on failure.
long SendSome(SocketHandle socket, const std::uint8_t* data, std::size_t length);

// Sends every byte, calling SendSome until done; false when a call returns 0
// or less.
bool SendAll(SocketHandle socket, const std::uint8_t* data, std::size_t length);

// One receive call: the count read (> 0), 0 when the peer ended the stream,
// negative on failure.
long ReceiveSome(SocketHandle socket, std::uint8_t* data, std::size_t capacity);

// Shuts both directions down. The handle stays valid.
void ShutdownSocket(SocketHandle socket);

// Makes threads blocked in a send or receive on |socket| return, and every
// later send or receive fail. The handle normally stays open, to be closed
// once those threads are done, so that none of them can ever use a handle
// number the system has handed out again; returns true when it had to be
// closed here instead. May be called again on the same handle.
bool InterruptSocket(SocketHandle socket);

// Releases the handle.
void CloseSocket(SocketHandle socket);

// A listening TCP socket on 127.0.0.1 at a port the system picks (written to
// |port|), for loopback peers in tests and benchmarks.
SocketHandle ListenOnLoopback(std::uint16_t& port);

// Accepts one connection; kInvalidSocket on failure.
SocketHandle AcceptConnection(SocketHandle listener);

// A listening TCP socket on every IPv4 address at |port|, not blocking
// (wait with WaitReadable, then AcceptPeer); kInvalidSocket when it cannot
// be made, typically because another program holds the port.
SocketHandle ListenOnAnyAddress(std::uint16_t port);

// Waits up to |timeoutMs| for |socket| to have something to read (for a
// listener: a connection to accept). 1 when it has, 0 on timeout, -1 on
// failure.
int WaitReadable(SocketHandle socket, std::uint32_t timeoutMs);

// One connection taken from a listener, in blocking mode, with its peer's
// numeric address and whether that is a loopback address.
struct AcceptedPeer {
  SocketHandle socket = kInvalidSocket;
  std::string address;
  bool loopback = false;
};

// Dotted text of the IPv4 address |hostOrderAddress|.
std::string Ipv4Text(std::uint32_t hostOrderAddress);

// The IPv4 address (host order) this machine sends from toward
// |hostOrderTarget|: a datagram socket connected there is asked its own
// name, so no packet is sent. 0 without a route there, or when a call fails.
std::uint32_t Ipv4SourceToward(std::uint32_t hostOrderTarget);

// |socket| accepted from the IPv4 address |hostOrderAddress| (0 when the
// peer was of another family: no address text, not loopback).
AcceptedPeer Ipv4Peer(SocketHandle socket, std::uint32_t hostOrderAddress);

// Accepts one waiting connection from a listener made by
// ListenOnAnyAddress; socket kInvalidSocket when none was waiting (another
// thread took it) or accepting failed.
AcceptedPeer AcceptPeer(SocketHandle listener);

// Reads up to |capacity| bytes without taking them from the stream; as
// ReceiveSome otherwise.
long PeekSome(SocketHandle socket, std::uint8_t* data, std::size_t capacity);

// Owns one socket handle and closes it. Move-only.
class ScopedSocket {
 public:
  ScopedSocket() = default;
  explicit ScopedSocket(SocketHandle socket) : socket_(socket) {}
  ~ScopedSocket() { Reset(); }

  ScopedSocket(ScopedSocket&& other) noexcept : socket_(other.Take()) {}
  ScopedSocket& operator=(ScopedSocket&& other) noexcept {
    if (this != &other) {
      Reset(other.Take());
    }
    return *this;
  }
  ScopedSocket(const ScopedSocket&) = delete;
  ScopedSocket& operator=(const ScopedSocket&) = delete;

  bool IsValid() const { return socket_ != kInvalidSocket; }
  SocketHandle Get() const { return socket_; }

  void Reset(SocketHandle socket = kInvalidSocket) {
    if (IsValid()) {
      CloseSocket(socket_);
    }
    socket_ = socket;
  }

  [[nodiscard]] SocketHandle Take() { return std::exchange(socket_, kInvalidSocket); }

 private:
  SocketHandle socket_ = kInvalidSocket;
};

}  // namespace veyra
