#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "host/net/connection.h"
#include "host/net/socket.h"
#include "host/net/transport.h"

namespace veyra {

// A browser's WebSocket, upgraded and admitted, on its way to the session.
struct BrowserLink {
  ScopedSocket socket;
  std::unique_ptr<Transport> transport;
  PeerIdentity identity;
  std::string peerAddress;  // numeric
};

// Where the page server hands browsers to the session: one browser at a
// time. A server thread reserves the place before it answers the upgrade,
// so a second browser is told at once that the screen is taken; the session
// takes the link and gives the place back when that browser has gone.
// Thread-safe.
class BrowserLinks {
 public:
  // Takes the place for a browser being admitted; false when another
  // browser holds it or is being admitted, or the links are closed.
  bool Reserve();
  // Gives up a reservation whose upgrade failed.
  void CancelReservation();
  // Hands the reserved place's link over.
  void Deliver(BrowserLink link);

  // The session's side: waits up to |timeoutUs| for a browser; the place
  // stays taken until Release.
  std::optional<BrowserLink> Next(std::uint64_t timeoutUs);
  // The session's browser has gone.
  void Release();

  // No browser is taken any more, and a waiting Next returns.
  void Close();

 private:
  enum class Place : std::uint8_t { kFree, kReserved, kWaiting, kTaken };

  std::mutex lock_;
  std::condition_variable changed_;
  Place place_ = Place::kFree;
  bool closed_ = false;
  std::optional<BrowserLink> waiting_;
};

}  // namespace veyra
