#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <thread>

#include "host/app/process_scope.h"
#include "host/app/stop_request.h"

namespace veyra {

// SIGINT and SIGTERM are blocked in every thread and taken by one watcher
// thread with sigwait, so the stop request runs as ordinary code (it logs and
// takes locks, which a signal handler may not). SIGUSR2 ends the watcher.
struct ProcessScope::State {
  sigset_t signals{};
  std::thread watcher;
};

ProcessScope::ProcessScope() : state_(std::make_unique<State>()) {
  sigemptyset(&state_->signals);
  sigaddset(&state_->signals, SIGINT);
  sigaddset(&state_->signals, SIGTERM);
  sigaddset(&state_->signals, SIGUSR2);
  pthread_sigmask(SIG_BLOCK, &state_->signals, nullptr);
  state_->watcher = std::thread([signals = state_->signals] {
    for (;;) {
      int signal = 0;
      if (sigwait(&signals, &signal) != 0 || signal == SIGUSR2) {
        return;
      }
      HandleStopRequest();
    }
  });
}

ProcessScope::~ProcessScope() {
  SetRunningSession(nullptr);
  pthread_kill(state_->watcher.native_handle(), SIGUSR2);
  state_->watcher.join();
  pthread_sigmask(SIG_UNBLOCK, &state_->signals, nullptr);
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    args.emplace_back(argv[i]);
  }
  return args;
}

bool ReopenStandardError(const std::string& path) {
  // The stream stays stderr's; nothing new to own or close.
  // NOLINTNEXTLINE(cppcoreguidelines-owning-memory)
  return std::freopen(path.c_str(), "w", stderr) != nullptr;
}

}  // namespace veyra
