#include "host/net/tls_channel.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "host/base/clock.h"
#include "host/base/hresult_text.h"
#include "host/base/log.h"
#include "host/base/status_codes.h"

namespace veyra {

std::string ShortCodeFromDigest(const std::array<std::uint8_t, 32>& digest) {
  std::string code;
  for (std::size_t i = 0; i < 8; ++i) {
    char pair[3];
    std::snprintf(pair, sizeof(pair), "%02X", static_cast<unsigned>(digest[i]));
    code += pair;
    if (i % 2 == 1 && i != 7) {
      code += '-';
    }
  }
  return code;
}

const char* TlsProtocolName(std::uint32_t protocol) {
  switch (protocol) {
    case kProtocolTls12Client:
    case kProtocolTls12Server:
      return "TLS1.2";
    case kProtocolTls13Client:
    case kProtocolTls13Server:
      return "TLS1.3";
    default:
      return "TLS";
  }
}

std::string TlsServerFailureMeaning(std::int32_t status) {
  switch (status) {
    case status::kSecEUnsupportedFunction:
      // Wine's Schannel, for one, has no server side at all.
      return "this system's TLS cannot act as a server";
    case status::kSecENoCredentials:
      return "the certificate's private key cannot be used";
    case status::kSecEAlgorithmMismatch:
      return "no TLS version or cipher in common with the client";
    case status::kSecEIllegalMessage:
      return "the client's bytes are not a TLS handshake";
    default:
      return {};
  }
}

void KeepTrailingBytes(std::vector<std::uint8_t>& buffer, std::size_t count) {
  if (count >= buffer.size()) {
    return;
  }
  std::memmove(buffer.data(), buffer.data() + (buffer.size() - count), count);
  buffer.resize(count);
}

namespace {

// " (what it means)" behind a server's failing status, where that says
// more than the number; nothing for a client's, whose lines stay as they
// always were.
std::string MeaningSuffix(bool server, std::int32_t status) {
  const std::string meaning = server ? TlsServerFailureMeaning(status) : std::string();
  if (meaning.empty()) {
    return {};
  }
  std::string suffix = " (";
  suffix += meaning;
  suffix += ')';
  return suffix;
}

}  // namespace

TlsChannel::TlsChannel(std::unique_ptr<TlsProvider> provider, Clock nowUs)
    : provider_(std::move(provider)), nowUs_(std::move(nowUs)) {}

TlsChannel::~TlsChannel() { Teardown(); }

std::int32_t TlsChannel::Fail(std::int32_t code) {
  Teardown();
  return code;
}

std::int32_t TlsChannel::HandshakeTimedOut(std::uint32_t deadlineMs) {
  Log(LogLevel::Error, "TLS handshake took longer than %u ms; aborting", unsigned{deadlineMs});
  return Fail(status::kTimedOutHresult);
}

long TlsChannel::ReadMore() {
  const std::size_t start = encryptedInput_.size();
  encryptedInput_.resize(start + kReadBytes);
  const long received = ReceiveSome(socket_, encryptedInput_.data() + start, kReadBytes);
  encryptedInput_.resize(start + static_cast<std::size_t>(received > 0 ? received : 0));
  return received;
}

std::int32_t TlsChannel::Handshake(SocketHandle socket, const std::string& targetHost) {
  socket_ = socket;
  encryptedInput_.clear();
  return RunHandshake(&targetHost, kHandshakeDeadlineMs);
}

std::int32_t TlsChannel::Accept(SocketHandle socket, std::uint32_t deadlineMs,
                                std::vector<std::uint8_t> received) {
  socket_ = socket;
  encryptedInput_ = std::move(received);
  return RunHandshake(nullptr, deadlineMs);
}

std::int32_t TlsChannel::RunHandshake(const std::string* targetHost, std::uint32_t deadlineMs) {
  server_ = targetHost == nullptr;
  const std::int32_t credentials = provider_->AcquireCredentials();
  if (credentials != status::kSecEOk) {
    Log(LogLevel::Error, "AcquireCredentialsHandle failed: 0x%08X%s",
        static_cast<unsigned>(credentials), MeaningSuffix(server_, credentials).c_str());
    if (credentials < 0) {
      Log(LogLevel::Error, "%s failed: %s", "TLS credentials", HresultText(credentials).c_str());
    }
    return Fail(credentials);
  }
  const std::uint64_t deadlineUs = nowUs_() + std::uint64_t{deadlineMs} * 1000;

  // A client's first step has no input; a server's reads the client's
  // first flight before its first step. After that a step reads first
  // unless the step before it left bytes over (SECBUFFER_EXTRA): then the
  // rest of the peer's flight is already here and may be all it sends
  // before waiting for our answer.
  for (bool first = true, readFirst = server_ && encryptedInput_.empty();; first = false) {
    if (readFirst) {
      const std::uint64_t nowUs = nowUs_();
      if (nowUs >= deadlineUs) {
        return HandshakeTimedOut(deadlineMs);
      }
      // The socket waits no longer than what is left of the whole
      // handshake, so a silent peer meets the same deadline.
      const std::uint64_t leftMs = (deadlineUs - nowUs + 999) / 1000;
      SetReceiveTimeout(socket_, static_cast<std::uint32_t>(
                                     std::min<std::uint64_t>(leftMs, kHandshakeReceiveTimeoutMs)));
      const bool nothingYet = encryptedInput_.empty() && first;
      if (ReadMore() <= 0) {
        const int error = LastSocketError();
        if (nowUs_() >= deadlineUs) {
          return HandshakeTimedOut(deadlineMs);
        }
        if (nothingYet) {
          // Browsers open connections ahead of need and may close them
          // unused: not worth an error line.
          Log(LogLevel::Info, "TLS handshake: the client left before its first message (%d)",
              error);
        } else {
          Log(LogLevel::Error, "TLS handshake: peer closed or read failed (%d)", error);
        }
        return Fail(status::kEFail);
      }
      if (encryptedInput_.size() > kMaxPendingHandshakeBytes) {
        Log(LogLevel::Error, "TLS handshake token exceeded %zu bytes; aborting",
            kMaxPendingHandshakeBytes);
        return Fail(status::kEFail);
      }
    }
    const bool opening = first && !server_;
    const std::size_t inputBytes = opening ? 0 : encryptedInput_.size();
    const TlsStepResult step = opening ? provider_->Step(nullptr, 0, targetHost) : StepOnInput();
    Log(LogLevel::Debug, "TLS handshake step: status=0x%08X in=%zu out=%lu",
        static_cast<unsigned>(step.status), inputBytes,
        static_cast<unsigned long>(step.token.size()));
    // A failing step's token may hold an alert for the peer.
    if (!step.token.empty() && !SendAll(socket_, step.token.data(), step.token.size())) {
      Log(LogLevel::Error, "TLS handshake: failed to send token");
      return Fail(status::kEFail);
    }
    if (step.status == status::kSecEIncompleteMessage) {
      readFirst = true;
      continue;
    }
    if (step.status != status::kSecIContinueNeeded && step.status != status::kSecEOk) {
      Log(LogLevel::Error, "%s failed: 0x%08X%s",
          server_ ? "AcceptSecurityContext" : "InitializeSecurityContext",
          static_cast<unsigned>(step.status), MeaningSuffix(server_, step.status).c_str());
      return Fail(step.status < 0 ? step.status : status::kEFail);
    }
    // A step that consumed nothing would see the same bytes again: wait for
    // more instead of spinning.
    const bool consumed = step.extraBytes < inputBytes;
    KeepTrailingBytes(encryptedInput_, step.extraBytes);
    if (step.status == status::kSecEOk) {
      break;
    }
    readFirst = encryptedInput_.empty() || !consumed;
  }

  // A context whose records hold no plaintext could never send anything.
  if (provider_->QueryStreamSizes(sizes_) != status::kSecEOk || sizes_.maxMessageSize == 0) {
    Log(LogLevel::Error, "TLS: cannot read stream sizes");
    return Fail(status::kEFail);
  }
  if (!server_) {
    std::array<std::uint8_t, 32> digest{};
    const std::int32_t keyStatus = provider_->PeerKey(keyHash_, digest);
    if (keyStatus != status::kSecEOk) {
      return Fail(keyStatus);
    }
    shortCode_ = ShortCodeFromDigest(digest);
  }
  protocolName_ = TlsProtocolName(provider_->ConnectionProtocol());
  SetReceiveTimeout(socket_, 0);
  // Records the peer sent right behind its last handshake message stay in
  // encryptedInput_ for the first Receive.
  if (server_) {
    // Debug: a browser opens several connections for one page.
    Log(LogLevel::Debug, "TLS accepted (%s)", protocolName_.c_str());
  } else {
    Log(LogLevel::Info, "TLS established (%s), peer key %s", protocolName_.c_str(),
        keyHash_.c_str());
  }
  return status::kSecEOk;
}

bool TlsChannel::Send(const std::uint8_t* data, std::size_t length, std::string& failure) {
  failure = "TLS send failed";
  if (socket_ == kInvalidSocket || !provider_->HasContext()) {
    return false;
  }
  const std::size_t recordRoom =
      std::size_t{sizes_.headerSize} + sizes_.maxMessageSize + sizes_.trailerSize;
  if (sendBuffer_.size() < recordRoom) {
    sendBuffer_.resize(recordRoom);
  }
  while (length > 0) {
    const std::size_t chunk = std::min<std::size_t>(length, sizes_.maxMessageSize);
    std::memcpy(sendBuffer_.data() + sizes_.headerSize, data, chunk);
    const std::lock_guard<std::mutex> lock(tlsMutex_);
    std::size_t recordLength = 0;
    const std::int32_t encrypted =
        provider_->Encrypt(sendBuffer_.data(), sizes_, chunk, recordLength);
    if (encrypted != status::kSecEOk) {
      Log(LogLevel::Warn, "EncryptMessage failed: 0x%08X", static_cast<unsigned>(encrypted));
      return false;
    }
    if (!SendAll(socket_, sendBuffer_.data(), recordLength)) {
      return false;
    }
    data += chunk;
    length -= chunk;
  }
  return true;
}

long TlsChannel::Receive(std::vector<std::uint8_t>& out, std::string& failure) {
  failure = "TLS receive failed";
  if (socket_ == kInvalidSocket || !provider_->HasContext()) {
    return -1;
  }
  const std::size_t start = out.size();
  for (;;) {
    if (postHandshakePending_ && !encryptedInput_.empty()) {
      const std::int32_t stepped = PostHandshakeStep();
      if (stepped == status::kSecEOk) {
        postHandshakePending_ = false;
      } else if (stepped != status::kSecEIncompleteMessage) {
        Log(LogLevel::Warn, "TLS: post-handshake message failed: 0x%08X",
            static_cast<unsigned>(stepped));
        return -1;
      }
    }
    if (!encryptedInput_.empty() && !postHandshakePending_) {
      const std::size_t before = encryptedInput_.size();
      const TlsDecryptResult result = provider_->Decrypt(encryptedInput_.data(), before);
      if (result.status == status::kSecEOk || result.status == status::kSecIRenegotiate) {
        for (const ByteRange& range : result.data) {
          const std::uint8_t* plain = encryptedInput_.data() + range.offset;
          out.insert(out.end(), plain, plain + range.length);
        }
        if (result.extra && result.extra->length > 0) {
          std::memmove(encryptedInput_.data(), encryptedInput_.data() + result.extra->offset,
                       result.extra->length);
          encryptedInput_.resize(result.extra->length);
        } else {
          encryptedInput_.clear();
        }
        if (result.status == status::kSecIRenegotiate) {
          if (encryptedInput_.empty()) {
            Log(LogLevel::Debug, "TLS: post-handshake signal with no payload; ignoring");
          } else {
            const std::int32_t stepped = PostHandshakeStep();
            if (stepped == status::kSecEIncompleteMessage) {
              postHandshakePending_ = true;
            } else if (stepped != status::kSecEOk) {
              Log(LogLevel::Warn, "TLS: post-handshake message failed: 0x%08X",
                  static_cast<unsigned>(stepped));
              return -1;
            }
          }
        }
        if (out.size() > start) {
          return static_cast<long>(out.size() - start);
        }
        // A record that yields nothing and consumes nothing (an empty
        // close_notify as some providers report it) needs more bytes, or
        // the loop would spin.
        if (encryptedInput_.size() != before) {
          continue;
        }
      } else if (result.status == status::kSecIContextExpired) {
        Log(LogLevel::Info, "TLS: peer closed the session");
        return 0;
      } else if (result.status != status::kSecEIncompleteMessage) {
        Log(LogLevel::Warn, "DecryptMessage failed: 0x%08X", static_cast<unsigned>(result.status));
        return -1;
      }
    }
    const long received = ReadMore();
    if (received == 0) {
      return 0;
    }
    if (received < 0) {
      return -1;
    }
  }
}

TlsStepResult TlsChannel::StepOnInput() {
  return server_ ? provider_->AcceptStep(encryptedInput_.data(), encryptedInput_.size())
                 : provider_->Step(encryptedInput_.data(), encryptedInput_.size(), nullptr);
}

std::int32_t TlsChannel::PostHandshakeStep() {
  const std::lock_guard<std::mutex> lock(tlsMutex_);
  const TlsStepResult step = StepOnInput();
  Log(LogLevel::Debug, "TLS post-handshake step: status=0x%08X in=%zu out=%lu",
      static_cast<unsigned>(step.status), encryptedInput_.size(),
      static_cast<unsigned long>(step.token.size()));
  const bool sent = step.token.empty() || SendAll(socket_, step.token.data(), step.token.size());
  if (step.status != status::kSecEOk && step.status != status::kSecIContinueNeeded) {
    return step.status;
  }
  if (!sent) {
    return status::kSecEInternalError;
  }
  KeepTrailingBytes(encryptedInput_, step.extraBytes);
  return status::kSecEOk;
}

void TlsChannel::Teardown() {
  if (provider_) {
    provider_->Release();
  }
  socket_ = kInvalidSocket;
  encryptedInput_.clear();
  postHandshakePending_ = false;
}

}  // namespace veyra
