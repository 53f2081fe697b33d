#pragma once

// A stand-in TLS for tests of the TLS channel and the connection without a
// real TLS library. Records look like TLS records but protect nothing:
//
//   +------+-----------+---------+----------------------+---------+
//   | type | 0x03 0x03 | length  | payload (XOR 0x5A)   | "TRLR"  |
//   +------+-----------+---------+----------------------+---------+
//     1        2          2 (BE)    length bytes           4
//
// type 0x16 is a handshake message (not XORed), 0x17 application data,
// 0x15 the peer's close. The handshake: the client sends "CLIENT_HELLO";
// the server answers with one "SERVER_HELLO" record per round; after the
// last round the client sends "CLIENT_FINISHED" and is done. After the
// handshake a 0x16 record is a post-handshake message (a session ticket):
// decryption reports it as a renegotiation and a further step consumes it.
// Step plays the client, AcceptStep the server: each server step consumes
// one record, answers "CLIENT_HELLO" with all its rounds at once, and is
// done at "CLIENT_FINISHED"; any other handshake record is one more of the
// client's flight.

#include <atomic>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "host/net/tls_provider.h"

namespace veyra {
namespace fake_tls {

inline constexpr std::uint8_t kHandshake = 0x16;
inline constexpr std::uint8_t kApplicationData = 0x17;
inline constexpr std::uint8_t kClose = 0x15;
inline constexpr std::size_t kHeaderBytes = 5;
inline constexpr std::size_t kTrailerBytes = 4;
inline constexpr std::uint8_t kMask = 0x5A;

inline std::vector<std::uint8_t> Record(std::uint8_t type, const std::uint8_t* payload,
                                        std::size_t length) {
  std::vector<std::uint8_t> record(kHeaderBytes + length + kTrailerBytes);
  record[0] = type;
  record[1] = 0x03;
  record[2] = 0x03;
  record[3] = static_cast<std::uint8_t>(length >> 8);
  record[4] = static_cast<std::uint8_t>(length);
  for (std::size_t i = 0; i < length; ++i) {
    record[kHeaderBytes + i] = type == kApplicationData ? payload[i] ^ kMask : payload[i];
  }
  std::memcpy(record.data() + kHeaderBytes + length, "TRLR", kTrailerBytes);
  return record;
}

inline std::vector<std::uint8_t> Record(std::uint8_t type, const std::string& payload) {
  return Record(type, reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size());
}

// The size of the complete record at the start of |data|, or nothing when
// it is not complete yet.
inline std::optional<std::size_t> CompleteRecordBytes(const std::uint8_t* data,
                                                      std::size_t length) {
  if (length < kHeaderBytes) {
    return std::nullopt;
  }
  const std::size_t total = kHeaderBytes + ((std::size_t{data[3]} << 8) | data[4]) + kTrailerBytes;
  if (length < total) {
    return std::nullopt;
  }
  return total;
}

// One record cut from a stream: its type and its clear payload.
struct ParsedRecord {
  std::uint8_t type = 0;
  std::vector<std::uint8_t> payload;
};

// Cuts the complete records off the front of |stream|.
inline std::vector<ParsedRecord> TakeRecords(std::vector<std::uint8_t>& stream) {
  std::vector<ParsedRecord> records;
  std::size_t offset = 0;
  while (auto bytes = CompleteRecordBytes(stream.data() + offset, stream.size() - offset)) {
    ParsedRecord record;
    record.type = stream[offset];
    const std::size_t length = *bytes - kHeaderBytes - kTrailerBytes;
    const std::uint8_t* payload = stream.data() + offset + kHeaderBytes;
    for (std::size_t i = 0; i < length; ++i) {
      record.payload.push_back(record.type == kApplicationData ? payload[i] ^ kMask : payload[i]);
    }
    records.push_back(std::move(record));
    offset += *bytes;
  }
  stream.erase(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(offset));
  return records;
}

}  // namespace fake_tls

class FakeTlsProvider final : public TlsProvider {
 public:
  // Scripted behaviour; set before the handshake.
  struct Script {
    std::int32_t credentialsStatus = status::kSecEOk;
    int serverRounds = 1;
    // When set, the handshake step that reads the peer's first message
    // returns this status.
    std::optional<std::int32_t> failHandshakeWith;
    std::uint32_t maxMessageSize = 16384;
    std::uint32_t protocol = kProtocolTls12Client;
    std::string keyHash = "Zm9vYmFyZm9vYmFyZm9vYmFyZm9vYmFyZm9vYmFyMDA=";
    std::array<std::uint8_t, 32> digest{0xAB, 0xCD, 0x01, 0x23, 0x45, 0x67, 0x89, 0xEF};
  };

  FakeTlsProvider() = default;
  explicit FakeTlsProvider(Script script) : script_(std::move(script)) {}

  std::int32_t AcquireCredentials() override { return script_.credentialsStatus; }

  TlsStepResult Step(const std::uint8_t* input, std::size_t length,
                     const std::string* targetName) override {
    steps_.fetch_add(1);
    TlsStepResult result;
    if (targetName != nullptr) {
      hasContext_ = true;
      targetName_ = *targetName;
      result.status = status::kSecIContinueNeeded;
      result.token = fake_tls::Record(fake_tls::kHandshake, "CLIENT_HELLO");
      return result;
    }
    const auto bytes = fake_tls::CompleteRecordBytes(input, length);
    if (!bytes) {
      result.status = status::kSecEIncompleteMessage;
      return result;
    }
    if (input[0] != fake_tls::kHandshake) {
      result.status = status::kEFail;
      return result;
    }
    result.extraBytes = length - *bytes;
    if (established_) {
      // A message marked "FRAG" continues in the next record, as a TLS 1.3
      // session ticket may: the step needs both.
      const std::size_t first = *bytes;
      if (first >= fake_tls::kHeaderBytes + 4 + fake_tls::kTrailerBytes &&
          std::memcmp(input + fake_tls::kHeaderBytes, "FRAG", 4) == 0) {
        const auto next = fake_tls::CompleteRecordBytes(input + first, length - first);
        if (!next) {
          result.status = status::kSecEIncompleteMessage;
          result.extraBytes = 0;
          return result;
        }
        result.extraBytes = length - first - *next;
      }
      postHandshakeSteps_.fetch_add(1);
      result.status = status::kSecEOk;
      return result;
    }
    if (script_.failHandshakeWith) {
      result.status = *script_.failHandshakeWith;
      return result;
    }
    if (++roundsSeen_ < script_.serverRounds) {
      result.status = status::kSecIContinueNeeded;
      return result;
    }
    established_ = true;
    result.status = status::kSecEOk;
    result.token = fake_tls::Record(fake_tls::kHandshake, "CLIENT_FINISHED");
    return result;
  }

  TlsStepResult AcceptStep(const std::uint8_t* input, std::size_t length) override {
    steps_.fetch_add(1);
    TlsStepResult result;
    if (length == 0) {
      // A server step always has the client's bytes to work on.
      result.status = status::kSecEInternalError;
      return result;
    }
    const auto bytes = fake_tls::CompleteRecordBytes(input, length);
    if (!bytes) {
      result.status = status::kSecEIncompleteMessage;
      return result;
    }
    if (input[0] != fake_tls::kHandshake) {
      result.status = status::kSecEIllegalMessage;
      return result;
    }
    hasContext_ = true;
    result.extraBytes = length - *bytes;
    if (established_) {
      postHandshakeSteps_.fetch_add(1);
      result.status = status::kSecEOk;
      return result;
    }
    if (script_.failHandshakeWith) {
      result.status = *script_.failHandshakeWith;
      return result;
    }
    const std::string message(input + fake_tls::kHeaderBytes,
                              input + *bytes - fake_tls::kTrailerBytes);
    result.status = status::kSecIContinueNeeded;
    if (message == "CLIENT_HELLO") {
      for (int i = 0; i < script_.serverRounds; ++i) {
        const auto hello = fake_tls::Record(fake_tls::kHandshake, "SERVER_HELLO");
        result.token.insert(result.token.end(), hello.begin(), hello.end());
      }
    } else if (message == "CLIENT_FINISHED") {
      established_ = true;
      result.status = status::kSecEOk;
    }
    return result;
  }

  bool HasContext() const override { return hasContext_; }

  std::int32_t QueryStreamSizes(TlsStreamSizes& sizes) override {
    sizes.headerSize = fake_tls::kHeaderBytes;
    sizes.trailerSize = fake_tls::kTrailerBytes;
    sizes.maxMessageSize = script_.maxMessageSize;
    return status::kSecEOk;
  }

  std::int32_t PeerKey(std::string& keyHash, std::array<std::uint8_t, 32>& digest) override {
    keyHash = script_.keyHash;
    digest = script_.digest;
    return status::kSecEOk;
  }

  std::uint32_t ConnectionProtocol() override { return script_.protocol; }

  std::int32_t Encrypt(std::uint8_t* record, const TlsStreamSizes& sizes, std::size_t dataLength,
                       std::size_t& recordLength) override {
    const auto sealed =
        fake_tls::Record(fake_tls::kApplicationData, record + sizes.headerSize, dataLength);
    std::memcpy(record, sealed.data(), sealed.size());
    recordLength = sealed.size();
    recordsEncrypted_.fetch_add(1);
    return status::kSecEOk;
  }

  TlsDecryptResult Decrypt(std::uint8_t* input, std::size_t length) override {
    TlsDecryptResult result;
    const auto bytes = fake_tls::CompleteRecordBytes(input, length);
    if (!bytes) {
      result.status = status::kSecEIncompleteMessage;
      return result;
    }
    if (length > *bytes) {
      result.extra = ByteRange{*bytes, length - *bytes};
    }
    switch (input[0]) {
      case fake_tls::kApplicationData: {
        const std::size_t payload = *bytes - fake_tls::kHeaderBytes - fake_tls::kTrailerBytes;
        for (std::size_t i = 0; i < payload; ++i) {
          input[fake_tls::kHeaderBytes + i] ^= fake_tls::kMask;
        }
        if (payload > 0) {
          result.data.push_back(ByteRange{fake_tls::kHeaderBytes, payload});
        }
        result.status = status::kSecEOk;
        break;
      }
      case fake_tls::kHandshake:
        // As Schannel hands a post-handshake message back: in the extra
        // buffer, for the next InitializeSecurityContext call.
        result.extra = ByteRange{0, length};
        result.status = status::kSecIRenegotiate;
        break;
      case fake_tls::kClose:
        result.extra.reset();
        result.status = status::kSecIContextExpired;
        break;
      default:
        result.extra.reset();
        result.status = status::kSecEIllegalMessage;
        break;
    }
    return result;
  }

  void Release() override {
    hasContext_ = false;
    releases_.fetch_add(1);
  }

  const std::string& targetName() const { return targetName_; }
  int recordsEncrypted() const { return recordsEncrypted_.load(); }
  int postHandshakeSteps() const { return postHandshakeSteps_.load(); }
  int releases() const { return releases_.load(); }
  // Step calls of every kind: handshake and post-handshake.
  int steps() const { return steps_.load(); }

 private:
  Script script_;
  bool hasContext_ = false;
  bool established_ = false;
  int roundsSeen_ = 0;
  std::string targetName_;
  std::atomic<int> recordsEncrypted_{0};
  std::atomic<int> postHandshakeSteps_{0};
  std::atomic<int> releases_{0};
  std::atomic<int> steps_{0};
};

}  // namespace veyra
