#include "host/net/connection.h"

#include <chrono>
#include <cstdlib>
#include <utility>

#include "host/base/clock.h"
#include "host/base/log.h"
#include "host/base/status_codes.h"
#include "host/net/frame_decoder.h"
#include "host/net/plain_transport.h"

namespace veyra {
namespace {

void JoinUnlessSelf(std::thread& thread) {
  if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) {
    thread.join();
  }
}

}  // namespace

Connection::Connection() : Connection(CreatePlatformTlsChannel) {}

Connection::Connection(TlsFactory tlsFactory) : tlsFactory_(std::move(tlsFactory)) {}

Connection::~Connection() {
  // A callback that destroys its connection would return into a loop whose
  // object is gone; no later step could be made safe, so stop here, loudly,
  // in every build rather than corrupt memory.
  if (OnOwnThread()) {
    Log(LogLevel::Error, "connection destroyed from its own thread; aborting");
    std::abort();
  }
  Disconnect();
}

std::int32_t Connection::Connect(const std::string& host, std::uint16_t port,
                                 std::uint32_t timeoutMs, PacketHandler onPacket,
                                 LostHandler onLost, bool useTls) {
  if (!StartSockets()) {
    return status::kEFail;
  }
  Disconnect();
  lostReported_ = false;
  onPacket_ = std::move(onPacket);
  onLost_ = std::move(onLost);

  std::vector<SocketAddress> addresses;
  const int resolveError = ResolveTcpAddresses(host, port, addresses);
  if (resolveError != 0) {
    Log(LogLevel::Error, "cannot resolve %s:%u", host.c_str(), unsigned{port});
    return HresultFromSocketError(resolveError);
  }
  ScopedSocket connected;
  for (const SocketAddress& address : addresses) {
    ScopedSocket candidate(OpenSocket(address));
    if (candidate.IsValid() && ConnectWithin(candidate.Get(), address, timeoutMs)) {
      TuneStreamSocket(candidate.Get());
      connected = std::move(candidate);
      break;
    }
  }
  if (!connected.IsValid()) {
    Log(LogLevel::Error, "connect to %s:%u failed", host.c_str(), unsigned{port});
    return status::kTimedOutHresult;
  }
  SocketHandle socket = kInvalidSocket;
  {
    const std::lock_guard<std::mutex> lock(socketMutex_);
    socket_ = socket = connected.Take();
  }

  if (useTls) {
    tls_ = tlsFactory_ ? tlsFactory_() : nullptr;
    std::int32_t handshake = status::kENotImpl;
    if (tls_ == nullptr) {
      Log(LogLevel::Error, "TLS is not available in this build; use --no-tls");
    } else {
      handshake = tls_->Handshake(socket, host);
    }
    if (handshake != 0) {
      Log(LogLevel::Error, "TLS handshake with %s:%u failed: 0x%08X", host.c_str(), unsigned{port},
          static_cast<unsigned>(handshake));
      tls_.reset();
      ReleaseSocket();
      return handshake;
    }
    transport_ = tls_.get();
  } else {
    plain_ = std::make_unique<PlainTransport>(socket, running_);
    transport_ = plain_.get();
  }

  StartThreads();
  const std::string suffix = tls_ ? " over " + tls_->ProtocolName() : std::string(" (plaintext)");
  Log(LogLevel::Info, "connected to %s:%u%s", host.c_str(), unsigned{port}, suffix.c_str());
  return 0;
}

void Connection::Adopt(SocketHandle socket, std::unique_ptr<Transport> transport,
                       PeerIdentity identity, PacketHandler onPacket, LostHandler onLost) {
  Disconnect();
  lostReported_ = false;
  onPacket_ = std::move(onPacket);
  onLost_ = std::move(onLost);
  TuneStreamSocket(socket);
  {
    const std::lock_guard<std::mutex> lock(socketMutex_);
    socket_ = socket;
  }
  adopted_ = std::move(transport);
  adoptedIdentity_ = std::move(identity);
  transport_ = adopted_.get();
  StartThreads();
}

void Connection::StartThreads() {
  open_ = true;
  running_ = true;
  receiveEnded_ = false;
  receiveThread_ = std::thread([this] {
    ReceiveLoop();
    receiveEnded_ = true;
  });
  sendEnded_ = false;
  sendThread_ = std::thread([this] {
    SendLoop();
    sendEnded_ = true;
  });
}

bool Connection::Send(std::vector<std::uint8_t> frame, bool isVideo) {
  if (!open_.load()) {
    return false;
  }
  SendQueue::PushResult result = SendQueue::PushResult::kQueued;
  {
    const std::lock_guard<std::mutex> lock(queueMutex_);
    result = sendQueue_.Push(std::move(frame), isVideo);
  }
  queueReady_.notify_one();
  return result != SendQueue::PushResult::kRefused;
}

std::uint64_t Connection::BacklogBytes() const {
  std::uint64_t bytes = writingVideoBytes_.load();
  {
    const std::lock_guard<std::mutex> lock(queueMutex_);
    bytes += sendQueue_.VideoBytes();
  }
  const std::lock_guard<std::mutex> lock(socketMutex_);
  if (socket_ != kInvalidSocket) {
    const std::int64_t unsent = UnsentSocketBytes(socket_);
    bytes += unsent > 0 ? static_cast<std::uint64_t>(unsent) : 0;
  }
  return bytes;
}

void Connection::CloseAfterFlush() {
  draining_ = true;
  WakeAll();
  const std::uint64_t startUs = NowUs();
  while (NowUs() - startUs < std::uint64_t{kFlushTimeoutMs} * 1000) {
    if (!draining_.load() || !running_.load()) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (draining_.load()) {
    Log(LogLevel::Warn, "the last message did not go out within %u ms; closing anyway",
        unsigned{kFlushTimeoutMs});
    draining_ = false;
  }
  running_ = false;
  open_ = false;
  draining_ = false;
  WakeAll();
  InterruptStream();
}

void Connection::Stop() {
  running_ = false;
  open_ = false;
  draining_ = false;
  WakeAll();
  InterruptStream();
}

void Connection::Disconnect() {
  Stop();
  // A thread that entered a blocking call just as the socket was
  // interrupted can miss the wake-up where cancellation reaches only calls
  // already pending (Winsock); interrupt again until both are out.
  for (int waits = 1; !OtherThreadsEnded(); ++waits) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (waits % 20 == 0) {
      InterruptStream();
    }
  }
  JoinUnlessSelf(receiveThread_);
  JoinUnlessSelf(sendThread_);
  transport_ = nullptr;
  if (tls_) {
    tls_->Teardown();
    tls_.reset();
  }
  plain_.reset();
  adopted_.reset();
  adoptedIdentity_ = {};
  ReleaseSocket();
  const std::lock_guard<std::mutex> lock(queueMutex_);
  sendQueue_.Clear();
}

void Connection::SetSentObserver(SentObserver observer) { sentObserver_ = std::move(observer); }

std::string Connection::PeerKeyHash() const {
  return tls_ ? tls_->PeerKeyHash() : adoptedIdentity_.keyHash;
}

std::string Connection::PeerShortCode() const {
  return tls_ ? tls_->PeerShortCode() : adoptedIdentity_.shortCode;
}

void Connection::ReceiveLoop() {
  FrameDecoder decoder;
  std::vector<std::uint8_t> chunk;
  std::string failure;
  while (running_.load()) {
    chunk.clear();
    const long received = transport_->Receive(chunk, failure);
    if (received <= 0) {
      // After Stop the shut-down socket reads as closed or failing: not a
      // loss to report.
      if (running_.load()) {
        ReportLoss(received == 0 ? std::string("receiver closed the connection") : failure);
      }
      return;
    }
    decoder.Append(chunk.data(), chunk.size());
    for (;;) {
      // Nothing behind a Stop or CloseAfterFlush is looked at any more: a
      // malformed header queued behind a refusal would otherwise report a
      // loss after a close that was meant.
      if (!running_.load()) {
        return;
      }
      std::optional<Packet> packet;
      try {
        packet = decoder.Next();
      } catch (const ProtocolError& error) {
        ReportLoss(std::string("protocol error: ") + error.what());
        return;
      }
      if (!packet) {
        break;
      }
      onPacket_(*packet);
    }
  }
}

void Connection::SendLoop() {
  std::string failure;
  std::uint64_t fittedUs = NowUs();
  while (running_.load() || draining_.load()) {
    std::vector<std::uint8_t> frame;
    {
      std::unique_lock<std::mutex> lock(queueMutex_);
      while (sendQueue_.Empty()) {
        // An empty queue is what CloseAfterFlush waits for.
        draining_ = false;
        if (!running_.load()) {
          return;
        }
        queueReady_.wait(lock);
      }
      frame = sendQueue_.PopFront();
      writingVideoBytes_ = IsVideoFrame(frame) ? frame.size() : 0;
    }
    if (NowUs() - fittedUs >= kFitSendBufferUs) {
      fittedUs = NowUs();
      FitSocketSendBuffer();
    }
    const bool sent = transport_->Send(frame.data(), frame.size(), failure);
    writingVideoBytes_ = 0;
    if (!sent) {
      // A receiver that refuses this PC writes its reason and closes: a
      // write racing that close fails, yet the reason is there to be read.
      // The reader gets a moment to take it and to meet the end itself.
      const std::uint64_t failedUs = NowUs();
      // Not when closing after a flush: the reader then stopped by choice.
      while (running_.load() && !draining_.load() && !receiveEnded_.load() &&
             NowUs() - failedUs < kReadAfterSendFailureUs) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      if (running_.load()) {
        ReportLoss(failure);
      }
      return;
    }
    if (sentObserver_) {
      NotifySent(frame);
    }
  }
}

void Connection::NotifySent(const std::vector<std::uint8_t>& frame) const {
  // Whatever a caller queued went out; only a frame with a header is shown.
  try {
    sentObserver_(DecodeHeader(frame.data(), frame.size()));
  } catch (const ProtocolError&) {
    // Raw bytes without a valid header (tests write such): nothing to show.
  }
}

void Connection::ReportLoss(const std::string& reason) {
  if (!lostReported_.exchange(true)) {
    open_ = false;
    Log(LogLevel::Warn, "transport lost: %s", reason.c_str());
    if (onLost_) {
      onLost_(reason);
    }
  }
  running_ = false;
  WakeAll();
}

void Connection::WakeAll() {
  // Taking the mutex orders the flag changes before the waiter's next check,
  // so the wake-up cannot fall between its check and its wait.
  { const std::lock_guard<std::mutex> lock(queueMutex_); }
  queueReady_.notify_all();
}

void Connection::FitSocketSendBuffer() {
  const std::lock_guard<std::mutex> lock(socketMutex_);
  if (socket_ != kInvalidSocket) {
    FitSendBuffer(socket_);
  }
}

void Connection::InterruptStream() {
  const std::lock_guard<std::mutex> lock(socketMutex_);
  if (socket_ != kInvalidSocket && InterruptSocket(socket_)) {
    socket_ = kInvalidSocket;
  }
}

bool Connection::OnOwnThread() const {
  const std::thread::id self = std::this_thread::get_id();
  return (receiveThread_.joinable() && receiveThread_.get_id() == self) ||
         (sendThread_.joinable() && sendThread_.get_id() == self);
}

bool Connection::OtherThreadsEnded() const {
  const std::thread::id self = std::this_thread::get_id();
  const auto ended = [self](const std::thread& thread, const std::atomic<bool>& flag) {
    return !thread.joinable() || thread.get_id() == self || flag.load();
  };
  return ended(receiveThread_, receiveEnded_) && ended(sendThread_, sendEnded_);
}

void Connection::ReleaseSocket() {
  const std::lock_guard<std::mutex> lock(socketMutex_);
  if (socket_ != kInvalidSocket) {
    ShutdownSocket(socket_);
    CloseSocket(socket_);
    socket_ = kInvalidSocket;
  }
}

}  // namespace veyra
