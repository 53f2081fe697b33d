#include "host/net/receiver_browse.h"

#include "host/base/log.h"

namespace veyra {

DiscoveredReceiver ReceiverFromService(const DnsServiceEntry& service) {
  DiscoveredReceiver receiver;
  receiver.instanceName = service.instanceName.value_or(std::string());
  receiver.targetHost = service.targetHost;
  receiver.port = service.port;
  if (service.ipv4) {
    receiver.address = DottedIpv4(*service.ipv4);
  }
  return receiver;
}

std::vector<DiscoveredReceiver> ReceiversFromAnswer(std::span<const DnsAnswerRecord> records) {
  std::vector<DiscoveredReceiver> receivers;
  for (const DnsServiceEntry& service : ServicesInAnswer(records)) {
    receivers.push_back(ReceiverFromService(service));
  }
  return receivers;
}

std::vector<DiscoveredReceiver> BrowseWith(ServiceBrowser& browser, const AddressResolver& resolve,
                                           const BrowseTiming& timing) {
  auto state = std::make_shared<DnsBrowseState>();
  const std::uint32_t status = browser.Start(kVeyraServiceName, state);
  if (status != status::kDnsRequestPending) {
    Log(LogLevel::Warn, "DnsServiceBrowse unavailable (%lu); use --host to connect manually",
        static_cast<unsigned long>(status));
    return {};
  }
  state->WaitForAnswer(timing.answerWait);
  browser.Cancel();
  if (!state->WaitFinished(timing.finishWait)) {
    Log(LogLevel::Debug, "DNS-SD browse not confirmed cancelled after %lld ms",
        static_cast<long long>(timing.finishWait.count()));
  }
  std::vector<DiscoveredReceiver> receivers;
  for (const DnsServiceEntry& service : state->Services()) {
    DiscoveredReceiver receiver = ReceiverFromService(service);
    if (receiver.address.empty()) {
      receiver.address = resolve(receiver.targetHost);
    }
    receivers.push_back(std::move(receiver));
  }
  return receivers;
}

}  // namespace veyra
