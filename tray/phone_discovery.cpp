#include "tray/phone_discovery.h"

#include <algorithm>
#include <memory>
#include <thread>

#include "host/base/utf_conversion.h"

namespace veyra {
std::wstring InstanceLabel(const std::wstring& ownerName) {
  return ownerName.substr(0, ownerName.find(L'.'));
}

std::vector<FoundPhone> PhonesFromServices(std::span<const DnsServiceEntry> services) {
  std::vector<FoundPhone> phones;
  for (const DnsServiceEntry& service : services) {
    if (!service.instanceName || service.targetHost.empty() || !service.ipv4) {
      continue;
    }
    FoundPhone phone{InstanceLabel(WideFromUtf8(*service.instanceName)),
                     WideFromUtf8(DottedIpv4(*service.ipv4)), service.port};
    const bool listed = std::any_of(phones.begin(), phones.end(), [&](const FoundPhone& p) {
      return p.address == phone.address;
    });
    if (!listed) {
      phones.push_back(std::move(phone));
    }
  }
  return phones;
}

std::vector<FoundPhone> PhonesInAnswer(std::span<const DnsAnswerRecord> records) {
  return PhonesFromServices(ServicesInAnswer(records));
}

std::vector<FoundPhone> RunPhoneBrowse(ServiceBrowser& browser, const PhoneBrowseTimings& timings) {
  auto state = std::make_shared<DnsBrowseState>();
  if (browser.Start(kVeyraServiceName, state) != status::kDnsRequestPending) {
    return {};
  }
  state->WaitForAnswer(timings.firstAnswer);
  std::this_thread::sleep_for(timings.settle);
  if (browser.Cancel()) {
    // Answers already on their way are still collected; the state itself
    // outlives this call if the final callback is late.
    state->WaitFinished(timings.cancelGrace);
  }
  return PhonesFromServices(state->Services());
}

}  // namespace veyra
