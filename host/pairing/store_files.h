#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace veyra {

// The file operations of the pairing store, apart so that tests can make a
// write fail at any step. Paths are UTF-8.
class StoreFiles {
 public:
  virtual ~StoreFiles() = default;

  // The whole file as raw bytes; nothing when it cannot be opened.
  virtual std::optional<std::string> ReadAll(const std::string& path) = 0;

  // Creates or truncates |path| and writes |bytes| to it, flushed to the
  // disk; false when any step (open, write, flush, close) failed.
  virtual bool WriteAll(const std::string& path, const std::string& bytes) = 0;

  // Moves |from| onto |to|, replacing it; 0 or the platform's error number.
  virtual std::uint32_t Replace(const std::string& from, const std::string& to) = 0;

  virtual void Remove(const std::string& path) = 0;
};

// The real files of this platform.
StoreFiles& PlatformStoreFiles();

}  // namespace veyra
