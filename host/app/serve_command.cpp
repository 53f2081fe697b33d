#include "host/app/serve_command.h"

#include <atomic>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/app/stop_request.h"
#include "host/app/terminal_qr.h"
#include "host/base/clock.h"
#include "host/base/log.h"
#include "host/base/serve_report.h"
#include "host/net/local_addresses.h"
#include "host/net/tls_server_identity.h"
#include "host/pairing/pairing_store.h"
#include "host/serve/browser_links.h"
#include "host/serve/page_secret.h"
#include "host/serve/page_server.h"
#include "host/session/session.h"

namespace veyra {
namespace {

class ServedSession final : public StopTarget {
 public:
  explicit ServedSession(SessionParts parts) : session(std::move(parts)) {}
  void Stop() override { session.Stop(); }
  Session session;
};

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// Whether a browser key's pin is one this PC's user approved: read afresh
// each time, so that a browser forgotten since (--forget, the tray) needs
// the one-time link again.
class ApprovedKeys {
 public:
  bool Contains(const std::string& keyHash) {
    const std::lock_guard<std::mutex> lock(lock_);
    if (!store_) {
      return false;
    }
    store_->Reload();
    for (const auto& [deviceId, pin] : store_->pins()) {
      if (pin == keyHash && !store_->TokenFor(deviceId).empty()) {
        return true;
      }
    }
    return false;
  }

  void Open() {
    try {
      store_ = std::make_unique<PairingStore>(std::string());
    } catch (const std::exception& error) {
      Log(LogLevel::Error, "pairing store: %s", error.what());
    }
  }

 private:
  std::mutex lock_;
  std::unique_ptr<PairingStore> store_;
};

// Which of the session's reports are news: a repeat (a pipeline rebuilt for
// a new size) is not, nor a phone going away that was never asked about or
// shown anything (a refused one, or one that left before saying who it was).
class PhaseFilter {
 public:
  bool Admit(ServePhase phase, const std::string& phone) {
    if (told_ && phase == last_ && phone == lastPhone_) {
      return false;
    }
    if (phase == ServePhase::kLeft && last_ != ServePhase::kAsking &&
        last_ != ServePhase::kStreaming) {
      return false;
    }
    told_ = true;
    last_ = phase;
    lastPhone_ = phone;
    return true;
  }

 private:
  bool told_ = false;
  ServePhase last_ = ServePhase::kWaiting;
  std::string lastPhone_;
};

}  // namespace

std::string PageAddress(const std::string& address, std::uint16_t port, const std::string& secret) {
  return "https://" + address + ":" + std::to_string(port) + "/#" + secret;
}

int ServeBrowsers(const Options& options, const std::function<void(const std::string&)>& print) {
  std::unique_ptr<TlsServerIdentity> identity;
  try {
    identity = LoadOrCreateTlsServerIdentity(FolderOf(PairingStore::DefaultPath()));
  } catch (const std::exception& error) {
    Log(LogLevel::Error, "TLS key and certificate: %s", error.what());
  }
  if (!identity) {
    // A phone on a USB cable needs no certificate; everyone else is told
    // why in the log when the handshake is refused.
    Log(LogLevel::Error,
        "without this PC's TLS key and certificate the page is served only to this PC itself "
        "(plain HTTP, a phone on a USB cable); HTTPS connections are refused");
  }
  // Filled once the server listens (Winsock is started by then); the
  // first is the one most likely on the phone's network.
  std::vector<std::string> addresses;
  std::mutex printLock;
  std::atomic<bool> announce{false};
  const auto show = [&](const std::string& secret) {
    if (!announce.load() || secret.empty()) {
      return;
    }
    const std::string page = PageAddress(addresses.front(), options.port, secret);
    std::string text = AddressLine(ServeLineKind::kAddress, page) + "\n";
    for (std::size_t i = 1; i < addresses.size(); ++i) {
      text += AddressLine(ServeLineKind::kOtherAddress,
                          PageAddress(addresses[i], options.port, secret)) +
              "\n";
    }
    text += UsbAddressLine(options.port,
                           "http://localhost:" + std::to_string(options.port) + "/#" + secret) +
            "\n";
    const std::lock_guard<std::mutex> lock(printLock);
    print(text + TerminalQrCode(page));
  };
  PageSecret secret(SystemRandomBytes, NowUs, show);
  BrowserLinks links;
  ApprovedKeys approved;
  approved.Open();
  PageServerParts parts;
  parts.acceptTls = [&identity](SocketHandle socket) -> std::unique_ptr<Transport> {
    if (!identity) {
      Log(LogLevel::Warn,
          "page: a TLS connection is refused: this PC has no TLS key and "
          "certificate to answer it with");
      return nullptr;
    }
    std::unique_ptr<TlsChannel> channel = CreatePlatformTlsServerChannel(*identity);
    if (!channel || channel->Accept(socket, PageServer::kExchangeDeadlineMs) != 0) {
      return nullptr;
    }
    return channel;
  };
  parts.knownKey = [&approved](const std::string& keyHash) { return approved.Contains(keyHash); };
  parts.links = &links;
  parts.secret = &secret;
  PageServer server(parts);
  PhaseFilter phases;
  if (!server.Start(options.port)) {
    return 1;
  }
  if (identity) {
    Log(LogLevel::Info, "this PC's certificate: %s", identity->Fingerprint().c_str());
  }
  addresses = PageAddresses(LocalIpv4Addresses(), DefaultRouteAddress());
  announce = true;
  show(secret.Current());

  std::unique_ptr<ServedSession> running;
  try {
    SessionParts sessionParts;
    sessionParts.browsers = &links;
    sessionParts.onPhase = [&](ServePhase phase, const std::string& phone) {
      const std::lock_guard<std::mutex> lock(printLock);
      if (phases.Admit(phase, phone)) {
        print(PhaseLine(phase, phone) + "\n");
      }
    };
    running = std::make_unique<ServedSession>(std::move(sessionParts));
  } catch (const std::exception& error) {
    Log(LogLevel::Error, "session: %s", error.what());
    return 1;
  }
  SetRunningSession(running.get());
  const std::int32_t status = running->session.Run(options);
  SetRunningSession(nullptr);
  links.Close();
  server.Stop();
  return status < 0 ? 1 : 0;
}

}  // namespace veyra
