#pragma once
// Running the project's other programs as a user would: by path, with an
// argument list, in a working directory, their output kept in a log file.
#include <string>
#include <vector>

namespace zelscan {

struct ProcessResult {
  bool started = false;  // false: the program could not be run at all
  int exitStatus = -1;   // exit status, or 128 + signal number
  std::string error;     // why it could not be started
};

// Runs program with args (argv[0] is the program path) in workDir (empty:
// the current directory); standard output and standard error go to logPath
// (empty: inherited). Waits for it to end.
ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args, const std::string& workDir,
                         const std::string& logPath);

// The folder holding this executable (from /proc/self/exe).
std::string executableDir();

// The last `lines` lines of a text file, for error reports.
std::string tailOfFile(const std::string& path, int lines);

}  // namespace zelscan
