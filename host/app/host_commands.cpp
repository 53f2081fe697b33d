#include "host/app/host_commands.h"

#include <cstdio>

#include "host/app/process_scope.h"

namespace veyra {
namespace {

int NotAvailable(const char* what) {
  std::fprintf(stderr, "%s: not available in this build\n", what);
  std::fflush(stderr);
  return 1;
}

}  // namespace

void HostCommands::Print(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

bool HostCommands::ReopenLog(const std::string& path) { return ReopenStandardError(path); }

int HostCommands::ListReceivers() { return NotAvailable("--list"); }

int HostCommands::Probe() { return NotAvailable("--probe"); }

int HostCommands::ListPairings() { return NotAvailable("--pairings"); }

int HostCommands::Forget(const std::string& /*deviceId*/) { return NotAvailable("--forget"); }

int HostCommands::ForgetAll() { return NotAvailable("--forget-all"); }

void HostCommands::Discover(Options& /*options*/) { NotAvailable("--discover"); }

void HostCommands::StoreHostName(const std::string& /*name*/) { NotAvailable("--name"); }

int HostCommands::RunSession(const Options& /*options*/) {
  NotAvailable("session");
  return -1;
}

}  // namespace veyra
