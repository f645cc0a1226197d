#pragma once
// Subcommands of zelsim. Each takes the arguments after its name and returns
// the process exit status.
namespace zelsim {

int renderCommand(int argc, char** argv);
int serveCommand(int argc, char** argv);

}  // namespace zelsim
