#include "tray/phone_discovery.h"

#include <algorithm>
#include <new>
#include <thread>

#include "host/base/ascii_case.h"

namespace veyra {

std::wstring InstanceLabel(const std::wstring& ownerName) {
  return ownerName.substr(0, ownerName.find(L'.'));
}

std::vector<FoundPhone> PhonesInAnswer(std::span<const AnswerRecord> records) {
  std::vector<FoundPhone> phones;
  for (const AnswerRecord& srv : records) {
    if (srv.type != kDnsTypeSrv || !srv.ownerName || srv.srvTarget.empty()) {
      continue;
    }
    const auto address = std::find_if(records.begin(), records.end(), [&](const AnswerRecord& a) {
      return a.type == kDnsTypeA && a.ownerName &&
             EqualsIgnoringAsciiCase(*a.ownerName, srv.srvTarget);
    });
    // Only the first matching A record counts, even when its address could
    // not be converted.
    if (address == records.end() || address->ipv4Text.empty()) {
      continue;
    }
    phones.push_back({InstanceLabel(*srv.ownerName), address->ipv4Text, srv.srvPort});
  }
  return phones;
}

void PhoneBrowseContext::HoldForCallbacks() {
  std::lock_guard lock(mutex_);
  self_ = shared_from_this();
}

void PhoneBrowseContext::ReleaseHold() {
  std::shared_ptr<PhoneBrowseContext> hold;  // released after the lock
  std::lock_guard lock(mutex_);
  hold = std::move(self_);
}

void PhoneBrowseContext::MarkCancelRequested() {
  std::lock_guard lock(mutex_);
  cancelRequested_ = true;
}

void PhoneBrowseContext::OnCallback(std::uint32_t status, std::span<const AnswerRecord> records) {
  // Released after the lock, as the very last step: it may be the last
  // reference to this context.
  std::shared_ptr<PhoneBrowseContext> lastHold;
  {
    std::lock_guard lock(mutex_);
    if (status == 0) {
      try {
        AddPhones(PhonesInAnswer(records));
      } catch (const std::bad_alloc&) {
        // This answer is lost; the flags below must still be set, and no
        // exception may leave a platform callback.
      }
    }
    calledBack_ = true;
    if (status == kBrowseCancelled && cancelRequested_) {
      finished_ = true;
      lastHold = std::move(self_);
    }
    // Notified under the lock: once it is free the waiter may return, and
    // for any callback but the final one the context may then be gone.
    changed_.notify_all();
  }
}

void PhoneBrowseContext::AddPhones(std::vector<FoundPhone> phones) {
  for (FoundPhone& phone : phones) {
    const bool listed = std::any_of(phones_.begin(), phones_.end(), [&](const FoundPhone& p) {
      return p.address == phone.address;
    });
    if (!listed) {
      phones_.push_back(std::move(phone));
    }
  }
}

bool PhoneBrowseContext::WaitForCallback(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [this] { return calledBack_; });
}

bool PhoneBrowseContext::WaitForFinalCallback(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [this] { return finished_; });
}

std::vector<FoundPhone> PhoneBrowseContext::Phones() const {
  std::lock_guard lock(mutex_);
  return phones_;
}

std::vector<FoundPhone> RunPhoneBrowse(PhoneServiceBrowser& browser,
                                       const PhoneBrowseTimings& timings) {
  const auto context = std::make_shared<PhoneBrowseContext>();
  context->HoldForCallbacks();
  if (browser.Start(*context) != kDnsRequestPending) {
    context->ReleaseHold();
    return {};
  }
  context->WaitForCallback(timings.firstAnswer);
  std::this_thread::sleep_for(timings.settle);
  context->MarkCancelRequested();
  if (browser.Cancel()) {
    // Answers already on their way are still collected; the context itself
    // outlives this call if the final callback is late.
    context->WaitForFinalCallback(timings.cancelGrace);
  }
  return context->Phones();
}

}  // namespace veyra
