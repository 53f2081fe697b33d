#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "host/base/status_codes.h"
#include "host/video/encoder_transform.h"

namespace veyra {

// What a FakeEncoderTransform is scripted with and what it records. Owned by
// the test (shared with the fake, so it outlives the encoder's release of
// the transform); every field is read and written under |mutex|.
struct FakeTransformRecord {
  struct Call {
    std::string name;
    std::thread::id thread;
  };

  mutable std::mutex mutex;

  // Script.
  bool hasEvents = true;
  bool watchEvents = false;  // WatchEvents takes the callback and Post calls it
  bool hasCodecApi = true;
  bool acceptsInput = true;
  std::int32_t bindResult = status::kSOk;
  std::int32_t configureResult = status::kSOk;
  std::int32_t startOfStreamResult = status::kSOk;  // of ProcessMessage(kStartOfStream)
  std::int32_t copyResult = status::kSOk;
  std::int32_t processInputResult = status::kSOk;
  int streamChanges = 0;                   // ProcessOutput reports this many stream changes first
  std::deque<std::uint32_t> events;        // handed out by GetEvent in order
  std::deque<std::int32_t> eventStatuses;  // their statuses; S_OK when run out
  std::int32_t getEventFailure = status::kSOk;    // returned once |events| ran out
  std::deque<std::vector<std::uint8_t>> outputs;  // handed out by ProcessOutput
  std::deque<std::uint64_t> outputIds;            // the frame ids of outputs made by outputPerInput
  std::optional<std::uint64_t> lastOutputId;
  std::vector<std::uint8_t> outputPerInput;               // when set, each input makes this output
  std::vector<std::shared_ptr<KeyedMutex>> surfaceLocks;  // by slot, for OpenSurface

  // Records.
  std::function<void()> onEvent;  // what WatchEvents was given
  std::vector<Call> calls;
  std::vector<std::uint64_t> inputs;  // frame ids fed through ProcessInput
  std::vector<CodecSetting> settings;
  int getInputStatusCalls = 0;
  int shutdowns = 0;
  bool overlapped = false;  // two calls ran at the same time
  std::uint64_t sampleFrameId = 0;

  // Queues an event, and tells a watching pump (under |mutex|).
  void Post(std::uint32_t event) {
    events.push_back(event);
    if (onEvent) onEvent();
  }

  template <typename F>
  auto Read(F read) const {
    const std::lock_guard<std::mutex> lock(mutex);
    return read(*this);
  }

  template <typename F>
  void Write(F write) {
    const std::lock_guard<std::mutex> lock(mutex);
    write(*this);
  }
};

// A transform that returns scripted results and records every call.
class FakeEncoderTransform final : public EncoderTransform {
 public:
  FakeEncoderTransform(std::shared_ptr<FakeTransformRecord> record, std::string name)
      : record_(std::move(record)), name_(std::move(name)) {}

  const std::string& name() const override { return name_; }
  bool async() const override { return Locked("async")->hasEvents; }
  bool HasEvents() const override { return Locked("HasEvents")->hasEvents; }
  std::int32_t BindDevice() override { return Locked("BindDevice")->bindResult; }
  std::int32_t Configure(const EncoderConfig& /*config*/, const char** failedStep) override {
    auto r = Locked("Configure");
    *failedStep = "media types";
    return r->configureResult;
  }
  std::vector<std::uint8_t> SequenceHeaderOfType() override {
    Locked("SequenceHeaderOfType");
    return {};
  }
  bool HasCodecApi() const override { return Locked("HasCodecApi")->hasCodecApi; }
  std::int32_t ApplySetting(const CodecSetting& setting) override {
    Locked("ApplySetting")->settings.push_back(setting);
    return status::kSOk;
  }
  std::int32_t ProcessMessage(TransformMessage message) override {
    static constexpr const char* kNames[] = {"BeginStreaming", "StartOfStream", "CommandFlush",
                                             "EndOfStream", "EndStreaming"};
    auto r = Locked(std::string("ProcessMessage:") + kNames[static_cast<int>(message)]);
    if (message != TransformMessage::kStartOfStream) return status::kSOk;
    // As an asynchronous transform does, it asks for input once streaming
    // starts, and again after each input it took.
    if (r->startOfStreamResult == status::kSOk && r->hasEvents && r->acceptsInput) {
      r->Post(kEventNeedInput);
    }
    return r->startOfStreamResult;
  }
  std::int32_t OpenSurface(std::size_t slot, SharedHandle /*handle*/, std::uint32_t /*width*/,
                           std::uint32_t /*height*/,
                           std::shared_ptr<KeyedMutex>* keyedMutex) override {
    auto r = Locked("OpenSurface");
    if (slot >= r->surfaceLocks.size()) return status::kEInvalidArg;
    *keyedMutex = r->surfaceLocks[slot];
    return status::kSOk;
  }
  bool WatchEvents(std::function<void()> onEvent) override {
    auto r = Locked("WatchEvents");
    if (r->watchEvents) r->onEvent = std::move(onEvent);
    return r->watchEvents;
  }
  std::int32_t GetEvent(std::uint32_t* type, bool* typeKnown, std::int32_t* eventStatus) override {
    auto r = Locked("GetEvent");
    if (r->events.empty()) {
      return r->getEventFailure != status::kSOk ? r->getEventFailure
                                                : status::kMfENoEventsAvailable;
    }
    *type = r->events.front();
    *typeKnown = true;
    r->events.pop_front();
    *eventStatus = status::kSOk;
    if (!r->eventStatuses.empty()) {
      *eventStatus = r->eventStatuses.front();
      r->eventStatuses.pop_front();
    }
    return status::kSOk;
  }
  std::int32_t GetInputStatus(bool* acceptsData) override {
    auto r = Locked("GetInputStatus");
    ++r->getInputStatusCalls;
    *acceptsData = r->acceptsInput;
    return status::kSOk;
  }
  std::int32_t CopySurface(std::size_t /*slot*/) override {
    return Locked("CopySurface")->copyResult;
  }
  std::int32_t MakeSample(std::size_t /*slot*/, std::uint64_t frameId) override {
    Locked("MakeSample")->sampleFrameId = frameId;
    return status::kSOk;
  }
  std::int32_t ProcessInput() override {
    auto r = Locked("ProcessInput");
    if (r->processInputResult != status::kSOk) return r->processInputResult;
    r->inputs.push_back(r->sampleFrameId);
    if (!r->outputPerInput.empty()) {
      r->outputs.push_back(r->outputPerInput);
      r->outputIds.push_back(r->sampleFrameId);
      if (r->hasEvents) r->Post(kEventHaveOutput);
    }
    if (r->hasEvents && r->acceptsInput) r->Post(kEventNeedInput);
    return status::kSOk;
  }
  std::int32_t ProcessOutput(std::vector<std::uint8_t>* accessUnit, OutputKind* kind) override {
    auto r = Locked("ProcessOutput");
    if (r->streamChanges > 0) {
      --r->streamChanges;
      return status::kMfETransformStreamChange;
    }
    if (r->outputs.empty()) return status::kMfETransformNeedMoreInput;
    *accessUnit = r->outputs.front();
    r->outputs.pop_front();
    r->lastOutputId.reset();
    if (r->outputs.size() < r->outputIds.size()) {
      r->lastOutputId = r->outputIds.front();
      r->outputIds.pop_front();
    }
    *kind = OutputKind::kSample;
    return status::kSOk;
  }
  std::optional<std::uint64_t> OutputFrameId() const override {
    return record_->Read([](const auto& r) { return r.lastOutputId; });
  }
  std::int32_t RenegotiateOutput() override {
    Locked("RenegotiateOutput");
    return status::kSOk;
  }
  void Shutdown() override {
    auto r = Locked("Shutdown");
    ++r->shutdowns;
    r->onEvent = nullptr;  // as the platform's: nothing is told after it
  }

 private:
  // Holds the record's lock for one call, and notes a call that overlaps
  // another one.
  class Guard {
   public:
    Guard(FakeTransformRecord& record, std::atomic<int>& active, std::string call)
        : record_(record),
          overlapping_(active.fetch_add(1) != 0),
          lock_(record.mutex),
          active_(active) {
      record_.calls.push_back({std::move(call), std::this_thread::get_id()});
      if (overlapping_) record_.overlapped = true;
    }
    ~Guard() { --active_; }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    FakeTransformRecord* operator->() { return &record_; }

   private:
    FakeTransformRecord& record_;
    bool overlapping_;
    std::unique_lock<std::mutex> lock_;
    std::atomic<int>& active_;
  };

  Guard Locked(std::string call) const { return Guard(*record_, active_, std::move(call)); }

  std::shared_ptr<FakeTransformRecord> record_;
  std::string name_;
  mutable std::atomic<int> active_{0};
};

}  // namespace veyra
