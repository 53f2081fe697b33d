#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace veyra {

// What reading the store file gave. Only a file that is not there is a
// first run; any other failure, to open or part way through, leaves the
// file's contents unknown.
struct StoreRead {
  enum class Outcome { kRead, kNotFound, kFailed };
  Outcome outcome = Outcome::kNotFound;
  std::string bytes;    // the whole file, for kRead
  std::string failure;  // the failing call and its error, for kFailed
};

// Held while a store file is re-read, merged and replaced, so that two
// programs saving at once (the running host, a --forget) never write over
// each other's changes. Released when destroyed.
class StoreLock {
 public:
  virtual ~StoreLock() = default;
};

// The file operations of the pairing store, apart so that tests can make a
// read or a write fail at any step. Paths are UTF-8.
class StoreFiles {
 public:
  virtual ~StoreFiles() = default;

  // The store file's standard location (PairingStore::DefaultPath); empty
  // when there is no data folder.
  virtual std::string DefaultPath();

  // The whole file as raw bytes, or why not.
  virtual StoreRead ReadAll(const std::string& path) = 0;

  // Writes |bytes| to a new file at |path|, flushed to the disk, after
  // removing whatever stood there: a link planted at |path| is removed, never
  // written through. False when any step (open, write, flush, close)
  // failed.
  virtual bool WriteAll(const std::string& path, const std::string& bytes) = 0;

  // Moves |from| onto |to|, replacing it; 0 or the platform's error number.
  virtual std::uint32_t Replace(const std::string& from, const std::string& to) = 0;

  virtual void Remove(const std::string& path) = 0;

  // The lock of the store file at |path| (a file beside it), waited for a
  // few seconds at most; nullptr when it could not be taken.
  virtual std::unique_ptr<StoreLock> Lock(const std::string& path) = 0;
};

// The real files of this platform.
StoreFiles& PlatformStoreFiles();

}  // namespace veyra
