#include "host/app/serve_command.h"

#include <atomic>
#include <exception>
#include <memory>
#include <mutex>

#include "host/app/stop_request.h"
#include "host/app/terminal_qr.h"
#include "host/base/clock.h"
#include "host/base/log.h"
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
  const std::string address = PreferredLanAddress(LocalIpv4Addresses());
  std::mutex printLock;
  std::atomic<bool> announce{false};
  const auto show = [&](const std::string& secret) {
    if (!announce.load() || secret.empty()) {
      return;
    }
    const std::string page = PageAddress(address, options.port, secret);
    const std::lock_guard<std::mutex> lock(printLock);
    print("Open this address on the phone: " + page + "\n" + TerminalQrCode(page));
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
  if (!server.Start(options.port)) {
    return 1;
  }
  if (identity) {
    Log(LogLevel::Info, "this PC's certificate: %s", identity->Fingerprint().c_str());
  }
  announce = true;
  show(secret.Current());

  std::unique_ptr<ServedSession> running;
  try {
    SessionParts sessionParts;
    sessionParts.browsers = &links;
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
