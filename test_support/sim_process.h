// A simulator run as a child process for the tests: started with its arguments, its first
// line of standard output read within a bound, commands written to its standard input,
// and killed and reaped when the object goes away, so no test leaves it behind.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace tarn::test {

class SimProcess {
 public:
  // Starts argv[0] with the rest as arguments and waits at most `start_timeout` for the
  // child's first output line (the simulator's "where to find me" line). Throws
  // std::runtime_error when the child cannot be started or says nothing in time.
  explicit SimProcess(std::vector<std::string> argv,
                      std::chrono::milliseconds start_timeout = std::chrono::seconds(15));
  ~SimProcess();
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  const std::string& first_line() const { return first_line_; }
  int pid() const { return pid_; }

  // Writes one line (a newline is added) to the child's standard input.
  bool WriteLine(const std::string& line);
  // The child's next output line, or nullopt-like empty result with ok=false on timeout/EOF.
  bool ReadLine(std::string& line, std::chrono::milliseconds timeout);
  // True while the child has not exited.
  bool Running();
  // SIGTERM, then SIGKILL after a short grace; reaps the child. Safe to call twice.
  void Terminate();

 private:
  int pid_ = -1;
  int stdin_fd_ = -1;
  int stdout_fd_ = -1;
  std::string pending_;
  std::string first_line_;
};

// The interpreter that runs the simulators (Debian's python3, which has their packages).
std::string PythonPath();
// The source tree's root, for finding the simulators' scripts.
std::string SourceDir();

}  // namespace tarn::test
