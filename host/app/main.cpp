#include <span>

#include "host/app/command_line.h"
#include "host/app/host_commands.h"
#include "host/app/process_scope.h"

int main(int argc, char** argv) {
  const veyra::ProcessScope process;
  veyra::HostCommands commands;
  const std::span<const char* const> args(argv + 1,
                                          static_cast<std::size_t>(argc > 0 ? argc - 1 : 0));
  return veyra::RunCommandLine(args, commands);
}
