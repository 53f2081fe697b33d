// The connection over the TLS channel with the scripted provider: records
// both ways, a handshake stopped while it waits, a failed handshake.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/base/hex_text.h"
#include "host/base/recording_log_sink.h"
#include "host/base/status_codes.h"
#include "host/net/connection.h"
#include "host/net/fake_tls_provider.h"
#include "host/net/tls_channel.h"
#include "tests/host/net/connection_fixture.h"

namespace veyra {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using testing_net::Cat;
using testing_net::ConnectionTest;

// The connection over the TLS channel, with the scripted provider.
class ConnectionOverTlsTest : public ConnectionTest {
 protected:
  void SetUp() override {
    ConnectionTest::SetUp();
    connection_ = std::make_unique<Connection>([this] {
      auto provider = std::make_unique<FakeTlsProvider>(script_);
      return std::make_unique<TlsChannel>(std::move(provider));
    });
  }

  std::int32_t ConnectTls() {
    return connection_->Connect(
        "127.0.0.1", peer_.port(), 5000, [this](const Packet& p) { log_.OnPacket(p); },
        [this](const std::string& reason) { log_.OnLost(reason); }, true);
  }

  // Accepts and plays the server's handshake.
  void ServeHandshake() {
    ASSERT_TRUE(peer_.Accept());
    ReadRecords(1);
    peer_.Write(fake_tls::Record(fake_tls::kHandshake, "SERVER_HELLO"));
    ReadRecords(1);
  }

  std::vector<fake_tls::ParsedRecord> ReadRecords(std::size_t count) {
    std::vector<fake_tls::ParsedRecord> records;
    while (records.size() < count) {
      auto more = fake_tls::TakeRecords(stream_);
      records.insert(records.end(), more.begin(), more.end());
      if (records.size() >= count) {
        break;
      }
      std::uint8_t buffer[65536];
      const long n = ReceiveSome(peer_.socket(), buffer, sizeof(buffer));
      if (n <= 0) {
        break;
      }
      stream_.insert(stream_.end(), buffer, buffer + n);
    }
    return records;
  }

  FakeTlsProvider::Script script_;
  std::vector<std::uint8_t> stream_;
};

TEST_F(ConnectionOverTlsTest, FramesTravelAsRecordsBothWays) {
  std::string lines;
  RecordingLogSink sink(&lines);
  std::thread server([this] { ServeHandshake(); });
  ASSERT_EQ(ConnectTls(), 0);
  server.join();
  EXPECT_EQ(connection_->PeerShortCode(), "ABCD-0123-4567-89EF");
  EXPECT_EQ(connection_->PeerKeyHash().size(), 44u);

  // A 100,000-byte frame leaves as seven records.
  const std::vector<std::uint8_t> frame = Video(5, 100000 - kFrameHeaderBytes);
  connection_->Send(frame, true);
  const auto records = ReadRecords(7);
  ASSERT_EQ(records.size(), 7u);
  std::vector<std::uint8_t> joined;
  for (const auto& record : records) {
    joined.insert(joined.end(), record.payload.begin(), record.payload.end());
  }
  EXPECT_EQ(joined, frame);

  const auto ping = Control(3, MessageType::kPing);
  peer_.Write(fake_tls::Record(fake_tls::kApplicationData, ping.data(), ping.size()));
  ASSERT_TRUE(log_.WaitForPackets(1));
  EXPECT_EQ(log_.packets()[0].header.type, static_cast<std::uint16_t>(MessageType::kPing));

  peer_.Write(fake_tls::Record(0x42, "junk"));
  ASSERT_TRUE(log_.WaitForLoss());
  connection_->Disconnect();
  EXPECT_EQ(connection_->PeerKeyHash(), "");
  EXPECT_EQ(log_.losses(), std::vector<std::string>{"TLS receive failed"});
  const std::string log = sink.Text();
  EXPECT_THAT(log, HasSubstr(Cat("INFO  connected to 127.0.0.1:", peer_.port(), " over TLS1.2\n")));
}

TEST_F(ConnectionOverTlsTest, StopEndsAHandshakeThatWaitsForThePeer) {
  std::string lines;
  RecordingLogSink sink(&lines);
  std::thread server([this] {
    ASSERT_TRUE(peer_.Accept());
    ReadRecords(1);
    // The peer says nothing more; the stop request comes instead.
    connection_->Stop();
  });
  EXPECT_NE(ConnectTls(), 0);
  server.join();
  EXPECT_FALSE(connection_->IsOpen());
  EXPECT_THAT(sink.Text(), HasSubstr("ERROR TLS handshake: peer closed or read failed ("));
  EXPECT_THAT(sink.Text(), Not(HasSubstr("took longer than")));
}

TEST_F(ConnectionOverTlsTest, FailedHandshakeClosesAndReturnsItsStatus) {
  script_.failHandshakeWith = status::kSecEAlgorithmMismatch;
  std::string lines;
  RecordingLogSink sink(&lines);
  std::thread server([this] {
    ASSERT_TRUE(peer_.Accept());
    ReadRecords(1);
    peer_.Write(fake_tls::Record(fake_tls::kHandshake, "SERVER_HELLO"));
    // The host closes without a byte of application data.
    std::uint8_t byte = 0;
    EXPECT_LE(ReceiveSome(peer_.socket(), &byte, 1), 0);
  });
  EXPECT_EQ(ConnectTls(), status::kSecEAlgorithmMismatch);
  server.join();
  EXPECT_FALSE(connection_->IsOpen());
  EXPECT_THAT(sink.Text(),
              HasSubstr(Cat("ERROR TLS handshake with 127.0.0.1:", peer_.port(), " failed: ") +
                        StatusHex(status::kSecEAlgorithmMismatch) + "\n"));
}

}  // namespace
}  // namespace veyra
