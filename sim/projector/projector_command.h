#pragma once
// "zelsim projector": runs the virtual projector until SIGINT or SIGTERM.
// argv[0] is the subcommand's name, the options follow it.

namespace sim {

// The help text of the subcommand.
const char* projectorHelp();

// Exit status: 0 after a signal, 2 on a usage error, 1 when serving cannot start.
int runProjectorCommand(int argc, char** argv);

}  // namespace sim
