#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/net/secure_channel.h"
#include "host/net/send_queue.h"
#include "host/net/socket.h"
#include "host/wire/frame.h"

namespace veyra {

// What a peer proved about itself, in the shape of a TLS peer key: the
// Base64 SHA-256 of its key and the code the user compares.
struct PeerIdentity {
  std::string keyHash;
  std::string shortCode;
};

// The host's one TCP connection to the receiver, optionally under TLS. After
// Connect it runs two threads: the receive thread cuts the stream into
// frames and hands each to onPacket; the send thread writes queued frames.
// The owner reuses one Connection for every reconnection.
//
// Threads: Connect, Disconnect and the destructor from the owner's thread
// only, never from onPacket or onLost (the destructor aborts the process
// when it finds itself on one of the connection's threads); Send, IsOpen and Stop from any thread;
// CloseAfterFlush from any thread, typically the receive thread right after
// queuing a fatal ERROR. onPacket runs on the receive thread, in stream
// order, one frame at a time; onLost at most once per connection, on
// whichever thread notices the loss first.
//
// Shutdown: Stop and CloseAfterFlush interrupt the socket, which makes a
// thread blocked in a send or receive return (see InterruptSocket). The
// handle stays open until Disconnect has joined both threads, so that no
// thread can use a handle number the system has handed out again.
class Connection {
 public:
  using PacketHandler = std::function<void(const Packet&)>;
  using LostHandler = std::function<void(const std::string&)>;
  using TlsFactory = std::function<std::unique_ptr<SecureChannel>()>;
  // Sees each frame's header on the send thread right after the frame's
  // last byte went to the socket (through TLS when on): when a frame really
  // left, for measurements. Must return quickly; the next write waits.
  using SentObserver = std::function<void(const FrameHeader&)>;

  // Frames queued at most; see SendQueue for the order and drop rule.
  static constexpr std::size_t kQueueCapacity = SendQueue::kCapacity;
  // How long CloseAfterFlush lets the queue drain.
  static constexpr std::uint32_t kFlushTimeoutMs = 500;
  // How long a failed write leaves the reader to take what the peer wrote
  // before it closed.
  static constexpr std::uint64_t kReadAfterSendFailureUs = 250000;
  // How often the send thread fits the socket's send buffer to the link.
  static constexpr std::uint64_t kFitSendBufferUs = 1000000;

  // TLS through the platform's channel.
  Connection();
  // TLS through channels made by |tlsFactory| (tests; later back ends).
  explicit Connection(TlsFactory tlsFactory);
  ~Connection();

  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Disconnects whatever was there, resolves |host|, tries its addresses in
  // order (each for up to |timeoutMs|), runs the TLS handshake when |useTls|
  // and starts both threads. 0 when connected; otherwise a failure code
  // (status::kTimedOutHresult when no address accepted). A failure to start a thread
  // raises std::system_error.
  std::int32_t Connect(const std::string& host, std::uint16_t port, std::uint32_t timeoutMs,
                       PacketHandler onPacket, LostHandler onLost, bool useTls);

  // Takes over |socket|, connected by someone else (a browser that came to
  // the host), with |transport| already set up over it, and starts both
  // threads as Connect does. |identity| is what the peer proved on the way
  // in. The connection closes the socket when it disconnects.
  void Adopt(SocketHandle socket, std::unique_ptr<Transport> transport, PeerIdentity identity,
             PacketHandler onPacket, LostHandler onLost);

  // Queues one complete frame; |isVideo| for VIDEO_FRAME only. Discarded at
  // once when the connection is not open. False when the frame was discarded
  // or refused (the queue holds its most video frames; see SendQueue): a
  // video sender must then restart its stream from a keyframe.
  bool Send(std::vector<std::uint8_t> frame, bool isVideo);

  // Video bytes queued here or being written, plus what the socket holds
  // unsent (where the system says): the backlog ahead of a new frame.
  std::uint64_t BacklogBytes() const;

  bool IsOpen() const { return open_.load(); }

  // Lets the queue drain for up to 500 ms, then closes. Does not join.
  void CloseAfterFlush();

  // Closes at once without waiting for the threads.
  void Stop();

  // Closes, joins both threads, drops the TLS channel and empties the queue.
  void Disconnect();

  // Installs |observer| (empty removes it). Only before Connect or after
  // Disconnect, so that no send thread sees it change; without one the send
  // thread does nothing extra.
  void SetSentObserver(SentObserver observer);

  // The TLS channel's fingerprint and verification code, or what an adopted
  // peer proved; empty for a plaintext connection.
  std::string PeerKeyHash() const;
  std::string PeerShortCode() const;

 private:
  void StartThreads();
  void ReceiveLoop();
  void SendLoop();
  void NotifySent(const std::vector<std::uint8_t>& frame) const;
  void ReportLoss(const std::string& reason);
  void WakeAll();
  void InterruptStream();
  void FitSocketSendBuffer();
  bool OnOwnThread() const;
  bool OtherThreadsEnded() const;
  void ReleaseSocket();

  TlsFactory tlsFactory_;

  // Guards the handle against a Stop racing Connect or Disconnect; held
  // only for the store, shutdown and close calls, which do not block.
  mutable std::mutex socketMutex_;
  SocketHandle socket_ = kInvalidSocket;

  std::unique_ptr<SecureChannel> tls_;
  std::unique_ptr<Transport> plain_;
  std::unique_ptr<Transport> adopted_;
  PeerIdentity adoptedIdentity_;
  Transport* transport_ = nullptr;

  PacketHandler onPacket_;
  LostHandler onLost_;
  SentObserver sentObserver_;
  std::atomic<bool> open_{false};
  std::atomic<bool> running_{false};
  std::atomic<bool> draining_{false};
  std::thread receiveThread_;
  std::thread sendThread_;
  std::atomic<bool> receiveEnded_{true};
  std::atomic<bool> sendEnded_{true};
  // Guards sendQueue_; a leaf lock.
  mutable std::mutex queueMutex_;
  std::condition_variable queueReady_;
  SendQueue sendQueue_;
  // Size of the video frame the send thread is writing; 0 when none.
  std::atomic<std::size_t> writingVideoBytes_{0};
  std::atomic<bool> lostReported_{false};
};

}  // namespace veyra
