#include "host/app/receiver_commands.h"

#include "host/base/log.h"

namespace veyra {
namespace {

const std::string& AddressOf(const DiscoveredReceiver& receiver) {
  return receiver.address.empty() ? receiver.targetHost : receiver.address;
}

}  // namespace

std::string ReceiverListing(const std::vector<DiscoveredReceiver>& found) {
  if (found.empty()) {
    return "none found. Use --host <addr>, or check that the receiver app is running\n"
           "and that mDNS is not blocked on this network (SDD 8.1).\n";
  }
  std::string out;
  for (const DiscoveredReceiver& receiver : found) {
    const std::string& address = AddressOf(receiver);
    // "  %-28s %s:%u\n", without a length limit on the name or address.
    std::string name = receiver.instanceName;
    if (name.size() < 28) {
      name.resize(28, ' ');
    }
    out.append("  ").append(name).append(" ").append(address).append(":");
    out.append(std::to_string(receiver.port)).append("\n");
  }
  return out;
}

int ReceiverListingExitCode(const std::vector<DiscoveredReceiver>& found) {
  return found.empty() ? 1 : 0;
}

void UseFirstReceiver(const std::vector<DiscoveredReceiver>& found, Options& options) {
  if (found.empty()) {
    return;
  }
  const DiscoveredReceiver& first = found.front();
  options.host = AddressOf(first);
  options.port = first.port;
  Log(LogLevel::Info, "discovered %s at %s:%u", first.instanceName.c_str(), options.host.c_str(),
      static_cast<unsigned>(options.port));
}

}  // namespace veyra
