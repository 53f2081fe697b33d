#include "host/serve/page_server.h"

#include <chrono>
#include <utility>

#include "host/base/log.h"
#include "host/serve/page_exchange.h"

namespace veyra {

PageServer::PageServer(PageServerParts parts) : parts_(std::move(parts)) {}

PageServer::~PageServer() { Stop(); }

bool PageServer::Start(std::uint16_t port) {
  if (!StartSockets()) {
    return false;
  }
  listener_.Reset(ListenOnAnyAddress(port));
  if (!listener_.IsValid()) {
    Log(LogLevel::Error, "cannot listen on port %u (%d); is another program using it?",
        unsigned{port}, LastSocketError());
    return false;
  }
  running_ = true;
  for (int i = 0; i < kThreads; ++i) {
    threads_.emplace_back([this] { Work(); });
  }
  Log(LogLevel::Info, "serving the receiver page on port %u", unsigned{port});
  return true;
}

void PageServer::Stop() {
  running_ = false;
  for (std::thread& thread : threads_) {
    thread.join();
  }
  threads_.clear();
  listener_.Reset();
}

void PageServer::Work() {
  while (running_.load()) {
    parts_.secret->RenewIfExpired();
    const int ready = WaitReadable(listener_.Get(), kPollMs);
    if (ready < 0) {
      // A listener that cannot be waited on is not waited on in a tight loop.
      std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
    if (ready <= 0) {
      continue;
    }
    AcceptedPeer peer = AcceptPeer(listener_.Get());
    if (peer.socket == kInvalidSocket) {
      continue;  // another thread took it
    }
    ServePageConnection(std::move(peer), parts_, kExchangeDeadlineMs);
  }
}

}  // namespace veyra
