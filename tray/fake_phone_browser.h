#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "tray/phone_discovery.h"

namespace veyra {

// A DNS-SD browse scripted by the test. Answers are delivered in order on
// one platform thread; the cancellation's final callback comes on another,
// once the test opens the gate (open from the start unless closed). Keeps a
// weak reference to the context so a test can see when it is released.
class FakePhoneBrowser final : public PhoneServiceBrowser {
 public:
  ~FakePhoneBrowser() override {
    if (answerThread_.joinable()) {
      answerThread_.join();
    }
    JoinPlatformThreads();
  }

  std::uint32_t Start(PhoneBrowseContext& context) override {
    context_ = &context;
    weakContext = context.weak_from_this();
    ++startCalls;
    if (startStatus != kDnsRequestPending) {
      return startStatus;
    }
    answerThread_ = std::thread([this] {
      for (const auto& [status, records] : answers) {
        context_->OnCallback(status, records);
      }
    });
    return startStatus;
  }

  bool Cancel() override {
    ++cancelCalls;
    // Answers already sent are in by the time the cancel is processed.
    if (answerThread_.joinable()) {
      answerThread_.join();
    }
    if (!cancelAccepted) {
      return false;
    }
    threads_.emplace_back([this] {
      {
        std::unique_lock lock(gateMutex_);
        gateChanged_.wait(lock, [this] { return gateOpen_; });
      }
      context_->OnCallback(kBrowseCancelled, {});
    });
    return true;
  }

  void CloseFinalCallbackGate() {
    std::lock_guard lock(gateMutex_);
    gateOpen_ = false;
  }

  void OpenFinalCallbackGate() {
    std::lock_guard lock(gateMutex_);
    gateOpen_ = true;
    gateChanged_.notify_all();
  }

  // Waits until the final callback has been delivered.
  void JoinPlatformThreads() {
    OpenFinalCallbackGate();
    for (std::thread& thread : threads_) {
      thread.join();
    }
    threads_.clear();
  }

  struct Answer {
    std::uint32_t status = 0;
    std::vector<AnswerRecord> records;
  };

  std::uint32_t startStatus = kDnsRequestPending;
  bool cancelAccepted = true;
  std::vector<Answer> answers;
  int startCalls = 0;
  int cancelCalls = 0;
  std::weak_ptr<PhoneBrowseContext> weakContext;

 private:
  PhoneBrowseContext* context_ = nullptr;  // the platform's raw query context
  std::thread answerThread_;
  std::vector<std::thread> threads_;
  std::mutex gateMutex_;
  std::condition_variable gateChanged_;
  bool gateOpen_ = true;
};

}  // namespace veyra
