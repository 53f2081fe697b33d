#pragma once

// A private Xvfb for tests of the X11 back end: started with -displayfd, so
// it takes a free display number of its own and never meets the Xvfb that
// Wine or another checkout runs; stopped (and reaped) by the destructor.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace veyra {

class XvfbServer {
 public:
  // |extraArgs| after the screen, e.g. {"-extension", "RANDR"}.
  explicit XvfbServer(const std::string& screen = "800x600x24",
                      const std::vector<std::string>& extraArgs = {}) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    std::vector<std::string> args = {"Xvfb", "-displayfd", "3",   "-screen", "0",
                                     screen, "-nolisten",  "tcp", "-noreset"};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (posix_spawnp(&pid_, "Xvfb", &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    // The server writes its number once it accepts connections; a bounded
    // wait, so that a broken Xvfb fails the test instead of hanging it.
    std::string number;
    pollfd ready{fds[0], POLLIN, 0};
    while (pid_ > 0 && poll(&ready, 1, 10000) > 0) {
      char c = 0;
      if (read(fds[0], &c, 1) != 1 || c == '\n') break;
      number += c;
    }
    close(fds[0]);
    if (!number.empty()) display_ = ":" + number;
  }

  ~XvfbServer() { Stop(); }
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  // ":N", or empty when the server did not start.
  const std::string& display() const { return display_; }

  // Stops the server as a debugger or SIGSTOP does: it keeps its sockets
  // and takes connections but answers nothing. Returns once it has stopped.
  bool Freeze() {
    if (pid_ <= 0 || kill(pid_, SIGSTOP) != 0) return false;
    int status = 0;
    return waitpid(pid_, &status, WUNTRACED) == pid_ && WIFSTOPPED(status);
  }
  void Thaw() {
    if (pid_ > 0) kill(pid_, SIGCONT);
  }

  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    // A frozen server takes the signal only once it runs again.
    Thaw();
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

// Points DISPLAY at |display| for as long as it lives, then puts it back.
class ScopedDisplayVariable {
 public:
  explicit ScopedDisplayVariable(const std::string& display) {
    const char* old = std::getenv("DISPLAY");
    if (old != nullptr) saved_ = old;
    hadValue_ = old != nullptr;
    if (display.empty()) {
      unsetenv("DISPLAY");
    } else {
      setenv("DISPLAY", display.c_str(), 1);
    }
  }
  ~ScopedDisplayVariable() {
    if (hadValue_) {
      setenv("DISPLAY", saved_.c_str(), 1);
    } else {
      unsetenv("DISPLAY");
    }
  }
  ScopedDisplayVariable(const ScopedDisplayVariable&) = delete;
  ScopedDisplayVariable& operator=(const ScopedDisplayVariable&) = delete;

 private:
  std::string saved_;
  bool hadValue_ = false;
};

}  // namespace veyra
