#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/base/clock.h"
#include "host/net/secure_channel.h"
#include "host/net/tls_provider.h"

namespace veyra {

// TLS over a connected socket, on a TlsProvider made for one side: a client
// runs Handshake, a server Accept; both share one handshake loop and one
// record layer. The handshake runs before the owner's threads exist; then
// Send runs on the send thread and Receive on the receive thread, at the
// same time. tlsMutex_ keeps each record's encryption and its socket write
// together, and keeps records out of a post-handshake exchange; decryption
// and reads belong to the receive thread and take no lock.
class TlsChannel final : public SecureChannel {
 public:
  static constexpr std::size_t kReadBytes = 16384;
  // A peer that keeps sending handshake bytes that do not complete a step
  // is cut off here.
  static constexpr std::size_t kMaxPendingHandshakeBytes = 32768;
  static constexpr std::uint32_t kHandshakeReceiveTimeoutMs = 10000;
  // The whole handshake, however the peer paces its bytes. A real one on a
  // local network or through a USB forward takes well under a second; 10 s
  // is what one silent read could already take, so a peer that trickles
  // bytes gains nothing over one that says nothing. Stop ends it sooner by
  // shutting the socket down.
  static constexpr std::uint32_t kHandshakeDeadlineMs = 10000;

  // Microseconds of a monotonic clock; tests pass their own.
  using Clock = std::function<std::uint64_t()>;

  explicit TlsChannel(std::unique_ptr<TlsProvider> provider, Clock nowUs = NowUs);
  ~TlsChannel() override;

  TlsChannel(const TlsChannel&) = delete;
  TlsChannel& operator=(const TlsChannel&) = delete;

  std::int32_t Handshake(SocketHandle socket, const std::string& targetHost) override;
  // The server's handshake, on a channel whose provider was made for a
  // server: reads the client's first flight, answers it, and so on until
  // done. |received| holds the client's first bytes when the caller has
  // already taken them from |socket| (to tell TLS from plain HTTP);
  // |deadlineMs| bounds the whole handshake. 0 on success; otherwise a
  // failure code, everything released. A client presents no key, so
  // PeerKeyHash and PeerShortCode stay empty.
  std::int32_t Accept(SocketHandle socket, std::uint32_t deadlineMs = kHandshakeDeadlineMs,
                      std::vector<std::uint8_t> received = {});
  // Splits |data| into records of at most maxMessageSize plaintext bytes.
  bool Send(const std::uint8_t* data, std::size_t length, std::string& failure) override;
  long Receive(std::vector<std::uint8_t>& out, std::string& failure) override;
  std::string PeerKeyHash() const override { return keyHash_; }
  std::string PeerShortCode() const override { return shortCode_; }
  std::string ProtocolName() const override { return protocolName_; }
  void Teardown() override;

  const TlsStreamSizes& StreamSizes() const { return sizes_; }

 private:
  // The handshake loop of both sides: a client's when |targetHost| is set,
  // else a server's.
  std::int32_t RunHandshake(const std::string* targetHost, std::uint32_t deadlineMs);
  std::int32_t Fail(std::int32_t code);
  std::int32_t HandshakeTimedOut(std::uint32_t deadlineMs);
  long ReadMore();
  // A step of the channel's side on all the pending input.
  TlsStepResult StepOnInput();
  std::int32_t PostHandshakeStep();

  SocketHandle socket_ = kInvalidSocket;
  std::unique_ptr<TlsProvider> provider_;
  Clock nowUs_;
  bool server_ = false;  // set by the handshake, before any other thread runs
  std::mutex tlsMutex_;
  bool postHandshakePending_ = false;
  TlsStreamSizes sizes_;
  std::vector<std::uint8_t> encryptedInput_;
  std::vector<std::uint8_t> sendBuffer_;
  std::string keyHash_;
  std::string shortCode_;
  std::string protocolName_;
};

// The verification code the user compares with the phone's: the first 8
// digest bytes in upper-case hexadecimal, a "-" after every second byte
// ("ABCD-0123-4567-89EF").
std::string ShortCodeFromDigest(const std::array<std::uint8_t, 32>& digest);

// "TLS1.2", "TLS1.3" (of either side), or "TLS" for anything else.
const char* TlsProtocolName(std::uint32_t protocol);

// What a failing status of a server's credentials or handshake step most
// likely means, for its log line; empty when it says nothing more than its
// number.
std::string TlsServerFailureMeaning(std::int32_t status);

// Keeps the last |count| bytes of |buffer|, moved to its front; clears it
// for 0. A count beyond the size keeps everything.
void KeepTrailingBytes(std::vector<std::uint8_t>& buffer, std::size_t count);

}  // namespace veyra
