#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "host/pairing/store_files.h"

namespace veyra {

// In-memory files for the pairing store's tests, with scripted failures.
class FakeStoreFiles final : public StoreFiles {
 public:
  // No data folder unless a test gives one, so that nothing reaches the
  // real profile.
  std::string DefaultPath() override { return defaultPath; }

  StoreRead ReadAll(const std::string& path) override {
    const std::lock_guard<std::mutex> guard(mutex_);
    if (readFailure) {
      return {StoreRead::Outcome::kFailed, {}, *readFailure};
    }
    const auto it = files.find(path);
    if (it == files.end()) return {};
    return {StoreRead::Outcome::kRead, it->second, {}};
  }

  bool WriteAll(const std::string& path, const std::string& bytes) override {
    const std::lock_guard<std::mutex> guard(mutex_);
    ++writes;
    // A failed write leaves a partial file behind, as a full disk would.
    files[path] = failWrites ? bytes.substr(0, bytes.size() / 2) : bytes;
    return !failWrites;
  }

  std::uint32_t Replace(const std::string& from, const std::string& to) override {
    const std::lock_guard<std::mutex> guard(mutex_);
    if (replaceError != 0) return replaceError;
    files[to] = files[from];
    files.erase(from);
    return 0;
  }

  void Remove(const std::string& path) override {
    const std::lock_guard<std::mutex> guard(mutex_);
    files.erase(path);
  }

  // Another program's write while a session may be reading (a --forget
  // while the host runs).
  void Put(const std::string& path, const std::string& bytes) {
    const std::lock_guard<std::mutex> guard(mutex_);
    files[path] = bytes;
  }

  std::unique_ptr<StoreLock> Lock(const std::string& /*path*/) override {
    return failLock ? nullptr : std::make_unique<StoreLock>();
  }

  std::string defaultPath;
  std::map<std::string, std::string> files;
  // When set, every read fails with this text.
  std::optional<std::string> readFailure;
  int writes = 0;
  bool failWrites = false;
  bool failLock = false;
  std::uint32_t replaceError = 0;

 private:
  // Orders a test's Put against the session's reads; the public fields are
  // read by tests only while no session runs.
  std::mutex mutex_;
};

}  // namespace veyra
