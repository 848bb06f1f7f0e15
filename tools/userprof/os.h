// The tool's own calls to the operating system, kept in one place: the
// current directory, scratch trees, and running programs. Files of the
// application are reached through the library's platform layer instead.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace userprof {

// The process's current directory, or empty if it cannot be had.
std::string CurrentDirectory();

// The path of this program, for starting another copy of it.
std::string SelfPath(const std::string& argv0);

// A new, empty directory under the system's temporary directory.
std::optional<std::string> MakeScratchDirectory(const std::string& prefix);
// Creates `path` and any missing parents; true if it is a directory now.
bool MakeDirectories(const std::string& path);
bool PathExists(const std::string& path);
void RemoveTree(const std::string& path);
std::optional<std::string> ReadWholeFile(const std::string& path);

struct ProgramRun {
  bool started = false;
  int status = 0;     // the exit status, or 128 + signal number
  std::string error;  // why it could not be started
};

// Runs argv[0] (searched in PATH when it has no separator) with this
// process's environment plus `extra_env` ("NAME=value"), and waits for
// it. With `quiet` its output is discarded. While it runs, this process
// ignores the terminal's interrupt and quit keys, which reach the program
// itself, so that the caller always gets to clean up after it.
ProgramRun RunProgram(const std::vector<std::string>& argv,
                      const std::vector<std::string>& extra_env, bool quiet);

}  // namespace userprof
