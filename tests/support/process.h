// Real child processes for tests: start a program, talk to it through its
// standard input and output, and collect its exit status and its reports
// on standard error.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#ifdef _WIN32
// Kill() ends a Windows process with exit status 128 + this number, so a
// test reads the same status as for a killed POSIX process.
#ifndef SIGKILL
#define SIGKILL 9
#endif
#endif

namespace testing_support {

// How long Wait gives a child by default, and the status of one that
// had to be killed for it (as timeout(1) exits).
inline constexpr std::chrono::milliseconds kDefaultWait = std::chrono::seconds(120);
inline constexpr int kTimedOut = 124;

class Child {
 public:
  // Starts `argv[0]` with the arguments; stdin, stdout and stderr are
  // pipes. A program that cannot be started throws, with the system's
  // reason.
  explicit Child(const std::vector<std::string>& argv);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // The next line of standard output (without the newline), or nullopt
  // at end of output or after the timeout.
  std::optional<std::string> ReadLine(
      std::chrono::milliseconds timeout = std::chrono::seconds(20));
  void WriteLine(const std::string& line);
  void CloseStdin();
  // Waits for the exit; returns the exit status (128 + signal if killed).
  // A child still running at the deadline is killed, named on standard
  // error, and gives kTimedOut, so a hung child fails its test instead of
  // hanging the suite. Output is collected until the child exits, never
  // until end of file: a grandchild that inherited the pipe must not hold
  // the test.
  int Wait(std::chrono::milliseconds timeout = kDefaultWait);
  void Kill(int signal);
  int pid() const { return pid_; }
  // Everything the child wrote to stderr (complete after Wait).
  const std::string& err() const { return err_; }

 private:
  void Pump(int timeout_ms);
  void ReportHung(std::chrono::milliseconds timeout) const;
  std::string program_;
  int pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  int errfd_ = -1;
  std::string out_buf_;
  std::string err_;
  bool out_eof_ = false;
  std::optional<int> status_;
#ifdef _WIN32
  struct WinChild* win_ = nullptr;  // process, pipes and readers (process_win.cpp)
#endif
};

struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
};

#ifdef _WIN32
// The directory of the running program.
std::string ProgramDir();
// True when the Windows services are Wine's (as in CI), which differ from
// Windows in a few measured places.
bool RunningUnderWine();
#endif

// Runs a program to its end (at most `timeout`) and collects its output.
RunResult Run(const std::vector<std::string>& argv, const std::string& input = "",
              std::chrono::milliseconds timeout = kDefaultWait);

}  // namespace testing_support
