#include <span>
#include <string>
#include <vector>

#include "host/app/command_line.h"
#include "host/app/host_commands.h"
#include "host/app/process_scope.h"

int main(int argc, char** argv) {
  const veyra::ProcessScope process;
  const std::vector<std::string> arguments = veyra::ProgramArguments(argc, argv);
  std::vector<const char*> args;
  args.reserve(arguments.size());
  for (const std::string& argument : arguments) {
    args.push_back(argument.c_str());
  }
  veyra::HostCommands commands;
  return veyra::RunCommandLine(args, commands);
}
