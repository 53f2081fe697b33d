#pragma once

#include "host/app/command_line.h"

namespace veyra {

// The host's real commands: standard output, the log file, the one-shot
// commands and the session.
class HostCommands final : public HostEnvironment {
 public:
  void Print(const std::string& text) override;
  bool ReopenLog(const std::string& path) override;
  int ListReceivers() override;
  int Probe() override;
  int ListPairings() override;
  int Forget(const std::string& deviceId) override;
  int ForgetAll() override;
  void Discover(Options& options) override;
  void StoreHostName(const std::string& name) override;
  int RunSession(const Options& options) override;
  int ServeBrowsers(const Options& options) override;
};

}  // namespace veyra
