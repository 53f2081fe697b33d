#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/net/dns_sd_browse.h"

namespace veyra {

// A DNS-SD browse that answers from its own thread, as the platform's does:
// the scripted answers (after a scripted delay) right after Start; after an
// accepted Cancel (a scripted delay later, and once the final-callback gate
// is open) one more callback with ERROR_CANCELLED, OnFinished, and the
// platform's reference to the state is dropped. A refused Cancel means no
// final callback: the fake keeps its reference, as the platform would.
class FakeServiceBrowser final : public ServiceBrowser {
 public:
  struct Answer {
    std::uint32_t status = status::kErrorSuccess;
    std::vector<DnsAnswerRecord> records;
  };
  struct Script {
    std::uint32_t startStatus = status::kDnsRequestPending;
    std::vector<Answer> answers;
    std::chrono::milliseconds answerDelay{0};
    std::chrono::milliseconds cancelDelay{0};
    bool cancelAccepted = true;
  };

  explicit FakeServiceBrowser(Script script) : script_(std::move(script)) {}

  ~FakeServiceBrowser() override {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      ending_ = true;
      gateOpen_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) {
      thread_.join();
    }
  }

  std::uint32_t Start(const std::string& serviceName,
                      std::shared_ptr<DnsBrowseState> state) override {
    serviceName_ = serviceName;
    weakState_ = state;
    if (script_.startStatus != status::kDnsRequestPending) {
      return script_.startStatus;
    }
    thread_ =
        std::thread([this, state = std::move(state)]() mutable { Platform(std::move(state)); });
    return status::kDnsRequestPending;
  }

  bool Cancel() override {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      ++cancelCalls_;
      cancelled_ = script_.cancelAccepted;
    }
    changed_.notify_all();
    return script_.cancelAccepted;
  }

  // Holds the final callback back until OpenFinalCallbackGate.
  void CloseFinalCallbackGate() {
    const std::lock_guard<std::mutex> lock(mutex_);
    gateOpen_ = false;
  }
  void OpenFinalCallbackGate() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      gateOpen_ = true;
    }
    changed_.notify_all();
  }
  // Opens the gate and waits until the platform thread has ended.
  void JoinPlatformThread() {
    OpenFinalCallbackGate();
    if (thread_.joinable()) {
      thread_.join();
    }
  }

  const std::string& serviceName() const { return serviceName_; }
  int cancelCalls() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return cancelCalls_;
  }
  // Whether anyone (the browse or the "platform") still holds the state.
  bool StateAlive() const { return !weakState_.expired(); }

 private:
  void Platform(std::shared_ptr<DnsBrowseState> state) {
    std::this_thread::sleep_for(script_.answerDelay);
    for (const Answer& answer : script_.answers) {
      state->OnAnswer(answer.status, &answer.records);
    }
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return (cancelled_ && gateOpen_) || ending_; });
    if (!cancelled_) {
      kept_ = std::move(state);  // never called back: the reference stays
      return;
    }
    lock.unlock();
    std::this_thread::sleep_for(script_.cancelDelay);
    state->OnAnswer(status::kErrorCancelled, nullptr);
    state->OnFinished();
    state.reset();
  }

  Script script_;
  std::string serviceName_;
  std::weak_ptr<DnsBrowseState> weakState_;
  std::thread thread_;
  mutable std::mutex mutex_;  // guards the fields below
  std::condition_variable changed_;
  int cancelCalls_ = 0;
  bool cancelled_ = false;
  bool gateOpen_ = true;
  bool ending_ = false;
  std::shared_ptr<DnsBrowseState> kept_;
};

}  // namespace veyra
