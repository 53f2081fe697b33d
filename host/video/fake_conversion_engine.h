#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "host/base/status_codes.h"
#include "host/video/conversion_engine.h"
#include "host/video/keyed_slot_lock.h"

namespace veyra {

// What a FakeConversionEngine is scripted with and records; owned by the
// test. Used on one thread.
struct FakeConversionRecord {
  // Script.
  std::int32_t initResult = status::kSOk;
  std::int32_t bltResult = status::kSOk;
  bool inputReadable = true;
  bool withQuery = false;
  bool queryDone = true;

  // Records.
  int inits = 0;
  int shutdowns = 0;
  int closedSlots = 0;
  int blts = 0;
  int flushes = 0;
  std::vector<std::shared_ptr<KeyedSlotLock>> locks;  // one per created slot, in order
};

// A conversion engine that converts nothing: its slots have in-memory keyed
// locks the test can inspect and non-null handles.
class FakeConversionEngine final : public ConversionEngine {
 public:
  explicit FakeConversionEngine(FakeConversionRecord* record) : record_(record) {}

  std::int32_t Init(GraphicsContext& /*graphics*/, std::uint32_t /*inputWidth*/,
                    std::uint32_t /*inputHeight*/, std::uint32_t /*outputWidth*/,
                    std::uint32_t /*outputHeight*/) override {
    ++record_->inits;
    return record_->initResult;
  }
  std::int32_t CreateSlot(Nv12Slot* slot) override {
    auto lock = std::make_shared<KeyedSlotLock>();
    record_->locks.push_back(lock);
    slot->keyedMutex = lock;
    slot->sharedHandle = lock.get();
    slot->hasQuery = record_->withQuery;
    return status::kSOk;
  }
  void CloseSlot(Nv12Slot* slot) override {
    ++record_->closedSlots;
    slot->sharedHandle = nullptr;
  }
  bool PrepareInput(const Texture& /*input*/) override { return record_->inputReadable; }
  std::int32_t Blt(const Texture& /*input*/, const Nv12Slot& /*slot*/) override {
    ++record_->blts;
    return record_->bltResult;
  }
  void EndQuery(const Nv12Slot& /*slot*/) override {}
  bool QueryDone(const Nv12Slot& /*slot*/) override { return record_->queryDone; }
  void Flush() override { ++record_->flushes; }
  void Shutdown() override { ++record_->shutdowns; }

 private:
  FakeConversionRecord* record_;
};

}  // namespace veyra
