#include "host/app/host_commands.h"

#include <cstdio>

#include <exception>
#include <memory>

#include "host/app/pairing_commands.h"
#include "host/app/probe_command.h"
#include "host/app/process_scope.h"
#include "host/app/receiver_commands.h"
#include "host/app/serve_command.h"
#include "host/app/stop_request.h"
#include "host/base/log.h"
#include "host/pairing/pairing_store.h"
#include "host/session/session.h"

namespace veyra {
namespace {

// The session as the console control handler sees it.
class StoppableSession final : public StopTarget {
 public:
  void Stop() override { session.Stop(); }
  Session session;
};

// The store on its default path; nothing when it cannot be created (the
// random source for a new identity failed), which is logged.
std::unique_ptr<PairingStore> OpenStore() {
  try {
    return std::make_unique<PairingStore>(std::string());
  } catch (const std::exception& error) {
    Log(LogLevel::Error, "pairing store: %s", error.what());
    return nullptr;
  }
}

static_assert(Session::kRefusedOnThisPc == kExitRefusedOnThisPc);

}  // namespace

void HostCommands::Print(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

bool HostCommands::ReopenLog(const std::string& path) { return ReopenStandardError(path); }

int HostCommands::ListReceivers() {
  Print(kBrowseHeading);
  const std::vector<DiscoveredReceiver> found = BrowseReceivers();
  Print(ReceiverListing(found));
  return ReceiverListingExitCode(found);
}

int HostCommands::Probe() {
  return ProbeMedia([this](const std::string& text) { Print(text); });
}

int HostCommands::ListPairings() {
  const auto store = OpenStore();
  if (!store) return 1;
  Print(veyra::ListPairings(*store));
  return 0;
}

int HostCommands::Forget(const std::string& deviceId) {
  const auto store = OpenStore();
  if (!store) return 1;
  const CommandOutcome outcome = ForgetDevice(*store, deviceId);
  Print(outcome.text);
  return outcome.exitCode;
}

int HostCommands::ForgetAll() {
  const auto store = OpenStore();
  if (!store) return 1;
  const CommandOutcome outcome = ForgetAllDevices(*store);
  Print(outcome.text);
  return outcome.exitCode;
}

void HostCommands::Discover(Options& options) { UseFirstReceiver(BrowseReceivers(), options); }

void HostCommands::StoreHostName(const std::string& name) {
  if (const auto store = OpenStore()) {
    RenameHost(*store, name);
  }
}

int HostCommands::RunSession(const Options& options) {
  std::unique_ptr<StoppableSession> running;
  try {
    running = std::make_unique<StoppableSession>();
  } catch (const std::exception& error) {
    Log(LogLevel::Error, "session: %s", error.what());
    return -1;
  }
  SetRunningSession(running.get());
  const std::int32_t status = running->session.Run(options);
  SetRunningSession(nullptr);
  return status;
}

int HostCommands::ServeBrowsers(const Options& options) {
  return veyra::ServeBrowsers(options, [this](const std::string& text) { Print(text); });
}

}  // namespace veyra
