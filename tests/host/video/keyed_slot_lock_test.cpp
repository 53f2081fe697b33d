#include "host/video/keyed_slot_lock.h"

#include <gtest/gtest.h>

#include <thread>

#include "host/base/status_codes.h"

namespace veyra {
namespace {

TEST(KeyedSlotLockTest, OnlyTheReleasedKeyAcquires) {
  KeyedSlotLock lock;
  EXPECT_EQ(lock.AcquireSync(1, 0), kKeyedMutexTimeout);  // starts at key 0
  ASSERT_EQ(lock.AcquireSync(0, 0), status::kSOk);
  EXPECT_EQ(lock.AcquireSync(0, 0), kKeyedMutexTimeout);  // held
  ASSERT_EQ(lock.ReleaseSync(1), status::kSOk);
  EXPECT_EQ(lock.AcquireSync(0, 0), kKeyedMutexTimeout);
  EXPECT_EQ(lock.AcquireSync(1, 0), status::kSOk);
}

TEST(KeyedSlotLockTest, ReleaseWithoutHoldingIsAnInvalidCall) {
  KeyedSlotLock lock;
  EXPECT_EQ(lock.ReleaseSync(1), status::kDxgiErrorInvalidCall);
  EXPECT_EQ(lock.AcquireSync(0, 0), status::kSOk);  // the failed release changed nothing
}

TEST(KeyedSlotLockTest, AbandonedLockIsReportedAndNeverHeld) {
  KeyedSlotLock lock;
  ASSERT_EQ(lock.AcquireSync(0, 0), status::kSOk);
  lock.Abandon();
  EXPECT_EQ(lock.AcquireSync(0, 0), kKeyedMutexAbandoned);
  EXPECT_EQ(lock.AcquireSync(1, 0), kKeyedMutexAbandoned);
  EXPECT_GT(kKeyedMutexAbandoned, 0);
  EXPECT_GT(kKeyedMutexTimeout, 0);
  EXPECT_EQ(lock.ReleaseSync(0), status::kDxgiErrorInvalidCall);
}

TEST(KeyedSlotLockTest, WaiterGetsTheKeyWhenReleasedFromAnotherThread) {
  KeyedSlotLock lock;
  ASSERT_EQ(lock.AcquireSync(0, 0), status::kSOk);
  std::int32_t result = -1;
  std::thread waiter([&] { result = lock.AcquireSync(1, 10000); });
  lock.ReleaseSync(1);
  waiter.join();
  EXPECT_EQ(result, status::kSOk);
}

}  // namespace
}  // namespace veyra
