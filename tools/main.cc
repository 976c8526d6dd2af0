// The `tarn` tool: inspect, dump, encode and bundle Tarn movies.
#include <cstdio>
#include <cstring>

#include "tools/command.h"

namespace tarn::tools {

namespace {
std::vector<const TarnCommand*>& Registry() {
  static std::vector<const TarnCommand*> commands;
  return commands;
}
}  // namespace

TarnCommand::TarnCommand(const char* n, const char* u, Run r) : name(n), usage(u), run(r) {
  Registry().push_back(this);
}

const std::vector<const TarnCommand*>& TarnCommands() { return Registry(); }

int Fail(const std::string& what) {
  std::fprintf(stderr, "tarn: %s\n", what.c_str());
  return 1;
}

}  // namespace tarn::tools

#ifndef TARN_VERSION
#define TARN_VERSION "unknown"
#endif

static void Usage(FILE* out) {
  std::fprintf(out, "usage: tarn COMMAND [ARGS]\n\ncommands:\n");
  for (const auto* c : tarn::tools::TarnCommands()) std::fprintf(out, "  tarn %s\n", c->usage);
  std::fprintf(out, "  tarn --version\n");
}

int main(int argc, char** argv) {
  if (argc < 2) {
    Usage(stderr);
    return 1;
  }
  if (!std::strcmp(argv[1], "--version")) {
    std::printf("tarn %s\n", TARN_VERSION);
    return 0;
  }
  if (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "help")) {
    Usage(stdout);
    return 0;
  }
  for (const auto* c : tarn::tools::TarnCommands()) {
    if (!std::strcmp(argv[1], c->name)) return c->run(std::vector<std::string>(argv + 2, argv + argc));
  }
  std::fprintf(stderr, "tarn: unknown command '%s'\n", argv[1]);
  Usage(stderr);
  return 1;
}
