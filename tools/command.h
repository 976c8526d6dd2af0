// Subcommands of the `tarn` tool. Each lives in its own tools/cmd_*.cc and
// registers itself with a static TarnCommand object.
#pragma once

#include <string>
#include <vector>

namespace tarn::tools {

struct TarnCommand {
  using Run = int (*)(const std::vector<std::string>& args);  // args after the name
  TarnCommand(const char* name, const char* usage, Run run);
  const char* name;
  const char* usage;  // one line: "info MOVIE [--json]"
  Run run;
};

const std::vector<const TarnCommand*>& TarnCommands();

// Prints "tarn: what" to standard error and returns exit code 1.
int Fail(const std::string& what);

}  // namespace tarn::tools
