#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

#include "host/base/log.h"
#include "host/pairing/pairing_store.h"

namespace veyra {
namespace {

// How long Save waits for another program's save to finish: a save takes
// milliseconds, so this is only reached when something hangs.
constexpr int kLockAttempts = 300;
constexpr std::chrono::milliseconds kLockRetry{10};

class PosixStoreLock final : public StoreLock {
 public:
  explicit PosixStoreLock(int fd) : fd_(fd) {}
  ~PosixStoreLock() override { ::close(fd_); }  // releases the flock
  PosixStoreLock(const PosixStoreLock&) = delete;
  PosixStoreLock& operator=(const PosixStoreLock&) = delete;

 private:
  int fd_;
};

StoreRead Failed(const char* call, int error) {
  return {StoreRead::Outcome::kFailed,
          {},
          std::string(call) + " failed: " + std::generic_category().message(error)};
}

// POSIX counterparts of the Windows file calls, for the native build.
class PosixStoreFiles final : public StoreFiles {
 public:
  StoreRead ReadAll(const std::string& path) override {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      const int error = errno;
      if (error == ENOENT) {
        return {};
      }
      return Failed("open", error);
    }
    StoreRead read{StoreRead::Outcome::kRead, {}, {}};
    char buffer[4096];
    for (;;) {
      const ssize_t n = ::read(fd, buffer, sizeof(buffer));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        // What came so far is not the whole file.
        const int error = errno;
        ::close(fd);
        return Failed("read", error);
      }
      if (n == 0) break;
      read.bytes.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return read;
  }

  bool WriteAll(const std::string& path, const std::string& bytes) override {
    // A new file, never an old one opened again: a link planted where the
    // temporary file goes is removed, and O_EXCL with O_NOFOLLOW refuses
    // one planted in between.
    ::unlink(path.c_str());
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      return false;
    }
    bool ok = true;
    std::size_t done = 0;
    while (ok && done < bytes.size()) {
      const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      ok = n > 0;
      if (ok) done += static_cast<std::size_t>(n);
    }
    // fsync fails on character devices such as /dev/full with EINVAL; the
    // failed write has already decided then.
    if (ok && ::fsync(fd) != 0 && errno != EINVAL) {
      ok = false;
    }
    if (::close(fd) != 0) {
      ok = false;
    }
    return ok;
  }

  std::uint32_t Replace(const std::string& from, const std::string& to) override {
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : static_cast<std::uint32_t>(errno);
  }

  void Remove(const std::string& path) override { ::unlink(path.c_str()); }

  std::unique_ptr<StoreLock> Lock(const std::string& path) override {
    const std::string lockPath = path + ".lock";
    const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      return nullptr;
    }
    for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
      if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        return std::make_unique<PosixStoreLock>(fd);
      }
      if (errno != EWOULDBLOCK && errno != EINTR) {
        break;
      }
      std::this_thread::sleep_for(kLockRetry);
    }
    Log(LogLevel::Warn, "another program held %s for too long", lockPath.c_str());
    ::close(fd);
    return nullptr;
  }
};

// Creates each missing folder of |path|, private to the user, as Windows'
// local data folder always exists; a folder that exists already is left as
// it is.
void MakeFolders(const std::string& path) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    ::mkdir(path.substr(0, slash).c_str(), 0700);
  }
  ::mkdir(path.c_str(), 0700);
}

}  // namespace

StoreFiles& PlatformStoreFiles() {
  static PosixStoreFiles files;
  return files;
}

std::string PairingStore::DefaultPath() {
  // The local data folder of a Linux user: $XDG_DATA_HOME, else
  // ~/.local/share.
  std::string base;
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && xdg[0] == '/') {
    base = xdg;
  } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') {
    base = std::string(home) + "/.local/share";
  } else {
    return {};
  }
  const std::string folder = base + "/veyra";
  MakeFolders(folder);
  return folder + "/pairing.json";
}

std::string PairingStore::DefaultHostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof(name) - 1) != 0 || name[0] == '\0') {
    return "Windows PC";
  }
  return name;
}

std::vector<std::uint8_t> SystemRandomBytes(std::size_t count) {
  std::vector<std::uint8_t> bytes(count);
  std::size_t done = 0;
  while (done < count) {
    const ssize_t n = ::getrandom(bytes.data() + done, count - done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("getrandom failed");
    done += static_cast<std::size_t>(n);
  }
  return bytes;
}

}  // namespace veyra
