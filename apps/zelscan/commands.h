#pragma once
#include <string>
// zelscan's subcommands; each takes the arguments after its name and returns
// the exit status (0 success, 1 failure, 2 usage error).
namespace zelscan {

int decodeCommand(int argc, char** argv);
int demoCommand(int argc, char** argv);
int shotCommand(int argc, char** argv);

// Writes a cloud as a point file; the format follows the extension (".ply"
// binary PLY, ".3d", ".csv"/".txt" text rows).
struct Cloud;
bool writeCloud(const Cloud& cloud, const std::string& path, std::string* error);

}  // namespace zelscan
