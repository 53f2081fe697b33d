// The TLS channel on the OpenSSL provider against an OpenSSL server in the
// test process, over loopback TCP. The server runs on memory BIOs so that
// the test decides how its bytes are cut up on the wire; it also sees every
// message the client sends.
#include "host/net/openssl_tls_provider.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/base/hex_text.h"
#include "host/base/recording_log_sink.h"
#include "host/base/status_codes.h"
#include "host/net/openssl_handles_posix.h"
#include "host/net/tls_channel.h"
#include "tests/host/net/loopback_peer.h"

namespace veyra {
namespace {

using ::testing::HasSubstr;
using testing_net::LoopbackPeer;

std::vector<std::uint8_t> Bytes(std::size_t count, unsigned seed = 7) {
  std::vector<std::uint8_t> bytes(count);
  for (std::size_t i = 0; i < count; ++i) {
    bytes[i] = static_cast<std::uint8_t>(i * seed + i / 251);
  }
  return bytes;
}

// A self-signed P-256 identity and the key hash the host must compute for
// it, from the key rather than from the certificate.
struct Identity {
  Identity() {
    key.reset(EVP_EC_gen("P-256"));
    cert.reset(X509_new());
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
    X509_set_pubkey(cert.get(), key.get());
    X509_sign(cert.get(), key.get(), EVP_sha256());
    // SubjectPublicKeyInfo DER straight from the key, not from the
    // certificate the client parses.
    unsigned char* der = nullptr;
    const int derLength = i2d_PUBKEY(key.get(), &der);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(der, static_cast<std::size_t>(derLength), digest, &length, EVP_sha256(), nullptr);
    OPENSSL_free(der);
    char text[64] = {};
    EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text), digest, static_cast<int>(length));
    keyHash = text;
  }
  EvpPkeyPtr key;
  X509Ptr cert;
  std::string keyHash;
};

// The receiver's side: an OpenSSL server on the peer's socket.
class Server {
 public:
  Server(const Identity& identity, int version, SocketHandle socket) : socket_(socket) {
    context_.reset(SSL_CTX_new(TLS_server_method()));
    SSL_CTX_use_certificate(context_.get(), identity.cert.get());
    SSL_CTX_use_PrivateKey(context_.get(), identity.key.get());
    SSL_CTX_set_min_proto_version(context_.get(), version);
    SSL_CTX_set_max_proto_version(context_.get(), version);
    ssl_.reset(SSL_new(context_.get()));
    in_ = BIO_new(BIO_s_mem());
    out_ = BIO_new(BIO_s_mem());
    BIO_set_mem_eof_return(in_, -1);
    SSL_set_bio(ssl_.get(), in_, out_);
    SSL_set_accept_state(ssl_.get());
    SSL_set_msg_callback(ssl_.get(), &Server::OnMessage);
    SSL_set_msg_callback_arg(ssl_.get(), this);
  }

  // Until the handshake is done; the last flight stays queued for Flush.
  bool Handshake() {
    for (int result = SSL_do_handshake(ssl_.get()); result != 1;
         result = SSL_do_handshake(ssl_.get())) {
      if (SSL_get_error(ssl_.get(), result) != SSL_ERROR_WANT_READ || !Flush() || !ReadSome()) {
        return false;
      }
    }
    return true;
  }

  void Write(const std::vector<std::uint8_t>& plain) {
    SSL_write(ssl_.get(), plain.data(), static_cast<int>(plain.size()));
  }

  // Sends everything queued, |piece| bytes per socket write.
  bool Flush(std::size_t piece = 65536) {
    std::vector<std::uint8_t> bytes(BIO_ctrl_pending(out_));
    if (!bytes.empty()) {
      BIO_read(out_, bytes.data(), static_cast<int>(bytes.size()));
    }
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
      const std::size_t length = std::min(piece, bytes.size() - at);
      if (!SendAll(socket_, bytes.data() + at, length)) {
        return false;
      }
    }
    return true;
  }

  std::vector<std::uint8_t> Read(std::size_t count) {
    std::vector<std::uint8_t> plain(count);
    std::size_t got = 0;
    while (got < count) {
      const int n = SSL_read(ssl_.get(), plain.data() + got, static_cast<int>(count - got));
      if (n > 0) {
        got += static_cast<std::size_t>(n);
      } else if (SSL_get_error(ssl_.get(), n) != SSL_ERROR_WANT_READ || !ReadSome()) {
        break;
      }
    }
    plain.resize(got);
    return plain;
  }

  SSL* ssl() { return ssl_.get(); }
  int keyUpdatesReceived() const { return keyUpdatesReceived_; }

 private:
  bool ReadSome() {
    std::uint8_t buffer[16384];
    const long n = ReceiveSome(socket_, buffer, sizeof(buffer));
    if (n > 0) {
      BIO_write(in_, buffer, static_cast<int>(n));
    }
    return n > 0;
  }

  static void OnMessage(int writing, int, int type, const void* bytes, std::size_t length, SSL*,
                        void* self) {
    auto* server = static_cast<Server*>(self);
    if (writing != 0) {
      return;
    }
    if (type == SSL3_RT_HANDSHAKE && length > 0 &&
        static_cast<const std::uint8_t*>(bytes)[0] == SSL3_MT_KEY_UPDATE) {
      ++server->keyUpdatesReceived_;
    }
  }

  SocketHandle socket_;
  SslCtxPtr context_;
  SslPtr ssl_;
  BIO* in_ = nullptr;   // owned by ssl_
  BIO* out_ = nullptr;  // owned by ssl_
  int keyUpdatesReceived_ = 0;
};

class OpenSslChannelTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(StartSockets());
    ASSERT_TRUE(peer_.listening());
    ASSERT_TRUE(testing_net::ConnectToLoopback(peer_.port(), client_));
    ASSERT_TRUE(peer_.Accept());
    server_ = std::make_unique<Server>(identity_, GetParam(), peer_.socket());
  }

  // The handshake, with |serve| run on the server's thread once the
  // server's side is done (its last flight still unsent).
  template <typename Serve>
  std::int32_t Handshake(Serve serve) {
    std::thread server([this, serve] {
      if (server_->Handshake()) {
        serve(*server_);
      }
    });
    const std::int32_t status = channel_.Handshake(client_.Get(), "receiver.test");
    server.join();
    return status;
  }

  std::int32_t Handshake() {
    return Handshake([](Server& server) { server.Flush(); });
  }

  // Appends plaintext until |count| bytes came or Receive stops giving any.
  std::vector<std::uint8_t> ReceiveAtLeast(std::size_t count) {
    std::vector<std::uint8_t> plain;
    std::string failure;
    while (plain.size() < count && channel_.Receive(plain, failure) > 0) {
    }
    return plain;
  }

  const char* ProtocolName() const { return GetParam() == TLS1_3_VERSION ? "TLS1.3" : "TLS1.2"; }

  std::string log_;
  RecordingLogSink sink_{&log_};
  Identity identity_;
  LoopbackPeer peer_;
  ScopedSocket client_;
  std::unique_ptr<Server> server_;
  TlsChannel channel_{CreateOpenSslTlsProvider()};
};

INSTANTIATE_TEST_SUITE_P(Versions, OpenSslChannelTest,
                         ::testing::Values(TLS1_2_VERSION, TLS1_3_VERSION),
                         [](const ::testing::TestParamInfo<int>& param) {
                           return param.param == TLS1_3_VERSION ? "Tls13" : "Tls12";
                         });

TEST_P(OpenSslChannelTest, HandshakeGivesTheServerKeyHashProtocolAndRecordSize) {
  ASSERT_EQ(Handshake(), status::kSecEOk);
  EXPECT_EQ(channel_.PeerKeyHash(), identity_.keyHash);
  EXPECT_EQ(channel_.PeerKeyHash().size(), 44u);
  EXPECT_EQ(channel_.ProtocolName(), ProtocolName());
  EXPECT_EQ(channel_.StreamSizes().maxMessageSize, 16384u);
  EXPECT_THAT(log_, HasSubstr(std::string("INFO  TLS established (") + ProtocolName() +
                              "), peer key " + identity_.keyHash + "\n"));
}

// Everything in one-byte pieces, with application data (and under TLS 1.3
// the session tickets) in the same flight as the server's last handshake
// message: nothing may be lost between the handshake and the first Receive.
TEST_P(OpenSslChannelTest, OneBytePiecesAndDataBehindTheLastHandshakeMessage) {
  const std::vector<std::uint8_t> first = Bytes(300);
  const std::vector<std::uint8_t> second = Bytes(20000, 13);
  ASSERT_EQ(Handshake([&](Server& server) {
              server.Write(first);
              server.Write(second);
              server.Flush(1);
            }),
            status::kSecEOk);
  std::vector<std::uint8_t> expected = first;
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_EQ(ReceiveAtLeast(expected.size()), expected);
}

// The send and the receive thread share one SSL object.
TEST_P(OpenSslChannelTest, SendAndReceiveRunAtTheSameTime) {
  ASSERT_EQ(Handshake(), status::kSecEOk);
  const std::vector<std::uint8_t> up = Bytes(300000, 3);
  const std::vector<std::uint8_t> down = Bytes(300000, 5);
  std::thread server([&] {
    server_->Write(down);
    server_->Flush();
    EXPECT_EQ(server_->Read(up.size()), up);
  });
  std::thread sender([&] {
    std::string failure;
    for (std::size_t at = 0; at < up.size(); at += 1000) {
      ASSERT_TRUE(channel_.Send(up.data() + at, 1000, failure));
    }
  });
  EXPECT_EQ(ReceiveAtLeast(down.size()), down);
  sender.join();
  server.join();
}

TEST_P(OpenSslChannelTest, PeerCloseNotifyEndsReceiveWithZero) {
  ASSERT_EQ(Handshake(), status::kSecEOk);
  std::thread server([&] {
    server_->Write(Bytes(10));
    SSL_shutdown(server_->ssl());
    server_->Flush();
  });
  std::vector<std::uint8_t> plain;
  std::string failure;
  EXPECT_EQ(channel_.Receive(plain, failure), 10);
  EXPECT_EQ(channel_.Receive(plain, failure), 0);
  server.join();
  EXPECT_THAT(log_, HasSubstr("INFO  TLS: peer closed the session\n"));
}

// A peer that speaks plaintext (here a frame header) fails the handshake at
// once rather than after the read timeout.
TEST_P(OpenSslChannelTest, PlaintextPeerFailsTheHandshakeWithoutWaiting) {
  std::thread peer([&] {
    std::uint8_t hello[4096];
    ReceiveSome(peer_.socket(), hello, sizeof(hello));
    const std::vector<std::uint8_t> frame = {'V', 'Y', 'R', 'A', 0, 1, 0, 1, 0, 0, 0, 0,
                                             0,   0,   0,   0,   0, 0, 0, 0, 0, 0, 0, 0};
    peer_.Write(frame);
  });
  const std::int32_t result = channel_.Handshake(client_.Get(), "127.0.0.1");
  peer.join();
  EXPECT_EQ(result, status::kSecEIllegalMessage);
  EXPECT_THAT(log_, HasSubstr("ERROR InitializeSecurityContext failed: " +
                              StatusHex(status::kSecEIllegalMessage) + "\n"));
}

class OpenSslChannelTls13Test : public OpenSslChannelTest {};
INSTANTIATE_TEST_SUITE_P(Tls13, OpenSslChannelTls13Test, ::testing::Values(TLS1_3_VERSION));

// OpenSSL queues the answer to a KeyUpdate while reading; it must reach the
// server ahead of the client's next record.
TEST_P(OpenSslChannelTls13Test, ServerKeyUpdateIsAnsweredWithTheNextRecord) {
  ASSERT_EQ(Handshake(), status::kSecEOk);
  std::thread server([&] {
    SSL_key_update(server_->ssl(), SSL_KEY_UPDATE_REQUESTED);
    server_->Write(Bytes(50));
    server_->Flush();
  });
  EXPECT_EQ(ReceiveAtLeast(50), Bytes(50));
  server.join();
  const std::vector<std::uint8_t> reply = Bytes(70, 11);
  std::string failure;
  ASSERT_TRUE(channel_.Send(reply.data(), reply.size(), failure));
  EXPECT_EQ(server_->Read(reply.size()), reply);
  EXPECT_EQ(server_->keyUpdatesReceived(), 1);
}

}  // namespace
}  // namespace veyra
