#include "host/video/input_view_cache.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "host/base/recording_log_sink.h"

namespace veyra {
namespace {

class InputViewCacheTest : public testing::Test {
 protected:
  InputViewCacheTest() : saved_(LogThreshold()) { SetLogThreshold(LogLevel::Debug); }
  ~InputViewCacheTest() override { SetLogThreshold(saved_); }

  // Views are numbered in the order they were made.
  int* Find(const void* identity) {
    return cache_.Find(identity, [&](int* view) {
      *view = ++made_;
      return true;
    });
  }

  std::string log_;
  RecordingLogSink sink_{&log_};
  InputViewCache<int> cache_;
  int made_ = 0;
  std::array<int, 20> textures_{};

 private:
  LogLevel saved_;
};

TEST_F(InputViewCacheTest, SameTextureTwiceUsesOneView) {
  EXPECT_EQ(*Find(&textures_[0]), 1);
  EXPECT_EQ(*Find(&textures_[0]), 1);
  EXPECT_EQ(made_, 1);
  EXPECT_EQ(cache_.size(), 1u);
}

TEST_F(InputViewCacheTest, SeventeenthTextureEmptiesTheCache) {
  for (int i = 0; i < 16; ++i) Find(&textures_[i]);
  EXPECT_EQ(cache_.size(), 16u);
  EXPECT_EQ(*Find(&textures_[16]), 17);
  EXPECT_EQ(cache_.size(), 1u);
  EXPECT_NE(sink_.Text().find("input view cache full (16); resetting"), std::string::npos);
  EXPECT_NE(sink_.Text().find("(1 cached)"), std::string::npos);
  EXPECT_EQ(*Find(&textures_[0]), 18);  // forgotten, made again
}

TEST_F(InputViewCacheTest, FailedCreationCachesNothing) {
  EXPECT_EQ(cache_.Find(&textures_[0], [](int*) { return false; }), nullptr);
  EXPECT_EQ(cache_.size(), 0u);
  EXPECT_EQ(sink_.Text(), "");
}

}  // namespace
}  // namespace veyra
