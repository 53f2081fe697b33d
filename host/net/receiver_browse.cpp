#include "host/net/receiver_browse.h"

#include <cstdio>

#include "host/base/log.h"

namespace veyra {
namespace {

bool EqualIgnoringAsciiCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) {
      return false;
    }
  }
  return true;
}

std::string DottedIpv4(const std::array<std::uint8_t, 4>& bytes) {
  char text[16];
  std::snprintf(text, sizeof(text), "%u.%u.%u.%u", unsigned{bytes[0]}, unsigned{bytes[1]},
                unsigned{bytes[2]}, unsigned{bytes[3]});
  return text;
}

}  // namespace

std::vector<DiscoveredReceiver> ReceiversFromAnswer(const std::vector<DnsAnswerRecord>& records) {
  std::vector<DiscoveredReceiver> receivers;
  for (const DnsAnswerRecord& record : records) {
    if (record.type != DnsAnswerRecord::kTypeSrv) {
      continue;
    }
    DiscoveredReceiver receiver;
    receiver.instanceName = record.name;
    receiver.targetHost = record.srvTarget;
    receiver.port = record.srvPort;
    for (const DnsAnswerRecord& candidate : records) {
      if (candidate.type == DnsAnswerRecord::kTypeA &&
          EqualIgnoringAsciiCase(candidate.name, record.srvTarget)) {
        receiver.address = DottedIpv4(candidate.ipv4);
        break;
      }
    }
    receivers.push_back(std::move(receiver));
  }
  return receivers;
}

void BrowseResults::OnAnswer(std::uint32_t status, const std::vector<DnsAnswerRecord>* records) {
  std::vector<DiscoveredReceiver> found;
  if (status == 0 && records != nullptr) {
    found = ReceiversFromAnswer(*records);
  }
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    receivers_.insert(receivers_.end(), found.begin(), found.end());
    answered_ = true;
  }
  changed_.notify_all();
}

void BrowseResults::OnFinished() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    finished_ = true;
  }
  changed_.notify_all();
}

bool BrowseResults::WaitForAnswer(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [this] { return answered_; });
}

bool BrowseResults::WaitFinished(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [this] { return finished_; });
}

void BrowseResults::ResolveMissingAddresses(const AddressResolver& resolve) {
  const std::lock_guard<std::mutex> lock(mutex_);
  for (DiscoveredReceiver& receiver : receivers_) {
    if (receiver.address.empty()) {
      receiver.address = resolve(receiver.targetHost);
    }
  }
}

std::vector<DiscoveredReceiver> BrowseResults::List() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return receivers_;
}

std::vector<DiscoveredReceiver> BrowseWith(ServiceBrowser& browser, const AddressResolver& resolve,
                                           const BrowseTiming& timing) {
  auto results = std::make_shared<BrowseResults>();
  const std::uint32_t status = browser.Start(kReceiverServiceName, results);
  if (status != kDnsRequestPending) {
    Log(LogLevel::Warn, "DnsServiceBrowse unavailable (%lu); use --host to connect manually",
        static_cast<unsigned long>(status));
    return {};
  }
  results->WaitForAnswer(timing.answerWait);
  browser.Cancel();
  if (!results->WaitFinished(timing.finishWait)) {
    Log(LogLevel::Debug, "DNS-SD browse not confirmed cancelled after %lld ms",
        static_cast<long long>(timing.finishWait.count()));
  }
  results->ResolveMissingAddresses(resolve);
  return results->List();
}

}  // namespace veyra
