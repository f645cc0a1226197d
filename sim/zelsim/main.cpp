// zelsim: the virtual 3-D head. `zelsim render ...` renders scenes to files;
// further subcommands are registered in kCommands.
#include <cstdio>
#include <cstring>

#include "sim/projector/projector_command.h"
#include "sim/zelsim/commands.h"

namespace {

struct Command {
  const char* name;
  int (*run)(int argc, char** argv);
  const char* summary;
};

// The projector command takes its own name as argv[0].
int projectorCommand(int argc, char** argv) { return sim::runProjectorCommand(argc + 1, argv - 1); }

constexpr Command kCommands[] = {
    {"render", zelsim::renderCommand, "render a scene to pattern images, board images and ground truth"},
    {"projector", projectorCommand, "serve the projector protocol (TCP 127.0.0.1:5073, pseudo-terminal)"},
    {"serve", zelsim::serveCommand, "serve a live head: projector and GigE Vision cameras or stereo head"},
};

void usage(const char* prog) {
  std::fprintf(stderr, "Usage: %s COMMAND [ARGS]\n\nCommands:\n", prog);
  for (const Command& c : kCommands) std::fprintf(stderr, "  %-10s %s\n", c.name, c.summary);
  std::fprintf(stderr, "\n'%s COMMAND --help' describes a command.\n", prog);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    usage(argv[0]);
    return argc < 2 ? 2 : 0;
  }
  for (const Command& c : kCommands)
    if (std::strcmp(argv[1], c.name) == 0) return c.run(argc - 2, argv + 2);
  std::fprintf(stderr, "zelsim: unknown command '%s'\n", argv[1]);
  usage(argv[0]);
  return 2;
}
