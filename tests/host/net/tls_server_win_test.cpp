// The TLS server's Windows code for real, as far as Wine 8 takes it: its
// key store keeps no named keys (NCryptOpenKey answers NTE_NOT_SUPPORTED)
// and its Schannel has no server side (AcceptSecurityContext answers
// SEC_E_UNSUPPORTED_FUNCTION). There each must fail in one error line that
// names the status; on Windows the same tests see the identity made once
// and a handshake.
#define SECURITY_WIN32
#include <winsock2.h>

#include <windows.h>

#include <wincrypt.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "host/base/hex_text.h"
#include "host/base/recording_log_sink.h"
#include "host/base/status_codes.h"
#include "host/base/utf_conversion.h"
#include "host/net/schannel_provider_win.h"
#include "host/net/tls_server_identity.h"
#include "tests/host/net/loopback_peer.h"

namespace veyra {
namespace {

using ::testing::HasSubstr;

std::size_t ErrorLines(const std::string& log) {
  std::size_t count = 0;
  for (std::size_t at = log.find("ERROR"); at != std::string::npos;
       at = log.find("ERROR", at + 1)) {
    ++count;
  }
  return count;
}

TEST(TlsServerWinTest, IdentityIsMadeOnceOrUnderWineRefusedInOneLine) {
  wchar_t temporary[MAX_PATH + 1] = {};
  ASSERT_GT(GetTempPathW(MAX_PATH + 1, temporary), 0u);
  // One fixed folder, so that a key store that keeps keys keeps one for
  // these tests rather than one per run.
  const std::string folder = Utf8FromWide(temporary) + "veyra-tls-server-test";
  std::string lines;
  RecordingLogSink sink(&lines);
  const auto identity = LoadOrCreateTlsServerIdentity(folder);
  if (identity == nullptr) {
    const std::string log = sink.Text();
    EXPECT_EQ(ErrorLines(log), 1u) << log;
    EXPECT_THAT(log, HasSubstr("ERROR TLS server key in " + folder + " cannot be read (" +
                               "NCryptOpenKey failed: " + StatusHex(status::kNteNotSupported)));
    return;
  }
  EXPECT_EQ(identity->Fingerprint().size(), 95u);
  const auto again = LoadOrCreateTlsServerIdentity(folder);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->Fingerprint(), identity->Fingerprint());
}

// A certificate on a CryptoAPI key, which Wine's Schannel takes for a
// server's credentials, and Schannel's client on the other end.
TEST(TlsServerWinTest, ServerHandshakeSucceedsOrUnderWineFailsInOneLine) {
  ASSERT_TRUE(StartSockets());
  BYTE subject[128];
  DWORD subjectSize = sizeof(subject);
  ASSERT_TRUE(CertStrToNameW(X509_ASN_ENCODING, L"CN=Veyra test", CERT_X500_NAME_STR, nullptr,
                             subject, &subjectSize, nullptr));
  CERT_NAME_BLOB name{subjectSize, subject};
  const CertificateContextPtr certificate(
      CertCreateSelfSignCertificate(0, &name, 0, nullptr, nullptr, nullptr, nullptr, nullptr));
  ASSERT_NE(certificate, nullptr);

  testing_net::LoopbackPeer peer;
  ScopedSocket clientSocket;
  ASSERT_TRUE(testing_net::ConnectToLoopback(peer.port(), clientSocket));
  ASSERT_TRUE(peer.Accept());
  TlsChannel server(CreateSchannelServerProvider(certificate.get()));
  const std::unique_ptr<SecureChannel> client = CreatePlatformTlsChannel();
  std::string lines;
  RecordingLogSink sink(&lines);
  std::int32_t connected = -1;
  std::thread connecting([&] { connected = client->Handshake(clientSocket.Get(), "127.0.0.1"); });
  const std::int32_t accepted = server.Accept(peer.socket(), 5000);
  // Before the client gives up, and logs that.
  const std::string log = sink.Text();
  if (accepted != status::kSecEOk) {
    ShutdownSocket(peer.socket());  // the client waits for an answer that will not come
  }
  connecting.join();
  if (accepted == status::kSecEOk) {
    EXPECT_EQ(connected, status::kSecEOk);
    EXPECT_EQ(server.PeerKeyHash(), "");
    return;
  }
  EXPECT_EQ(accepted, status::kSecEUnsupportedFunction);
  EXPECT_THAT(log, HasSubstr("ERROR AcceptSecurityContext failed: " +
                             StatusHex(status::kSecEUnsupportedFunction) +
                             " (this system's TLS cannot act as a server)\n"));
  EXPECT_EQ(ErrorLines(log), 1u) << log;
}

}  // namespace
}  // namespace veyra
