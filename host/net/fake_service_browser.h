#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/net/receiver_browse.h"

namespace veyra {

// A DNS-SD browse that answers from its own thread, as the platform's does:
// the scripted answers right after Start, and after Cancel (and a scripted
// delay) one more callback with ERROR_CANCELLED, then nothing.
class FakeServiceBrowser final : public ServiceBrowser {
 public:
  static constexpr std::uint32_t kCancelled = 1223;  // ERROR_CANCELLED

  struct Script {
    std::uint32_t startStatus = kDnsRequestPending;
    std::vector<std::vector<DnsAnswerRecord>> answers;
    std::chrono::milliseconds answerDelay{0};
    std::chrono::milliseconds cancelDelay{0};
  };

  explicit FakeServiceBrowser(Script script) : script_(std::move(script)) {}

  ~FakeServiceBrowser() override {
    Cancel();
    if (thread_.joinable()) {
      thread_.join();
    }
  }

  std::uint32_t Start(const std::string& serviceName,
                      std::shared_ptr<BrowseResults> results) override {
    serviceName_ = serviceName;
    if (script_.startStatus != kDnsRequestPending) {
      return script_.startStatus;
    }
    // The "platform" keeps its own reference until its final callback.
    thread_ = std::thread([this, results = std::move(results)]() mutable {
      std::this_thread::sleep_for(script_.answerDelay);
      for (const auto& answer : script_.answers) {
        results->OnAnswer(0, &answer);
      }
      {
        std::unique_lock<std::mutex> lock(mutex_);
        cancelSeen_.wait(lock, [this] { return cancelled_; });
      }
      std::this_thread::sleep_for(script_.cancelDelay);
      results->OnAnswer(kCancelled, nullptr);
      results->OnFinished();
      results.reset();
    });
    return kDnsRequestPending;
  }

  void Cancel() override {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      cancelled_ = true;
    }
    cancelSeen_.notify_all();
  }

  const std::string& serviceName() const { return serviceName_; }

 private:
  Script script_;
  std::string serviceName_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable cancelSeen_;
  bool cancelled_ = false;
};

}  // namespace veyra
