#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

// A program started by a test, with its standard error kept in a file. The destructor
// kills and reaps a child that is still running, so no test leaves a process behind.
class ChildProcess {
 public:
  using Environment = std::vector<std::pair<std::string, std::string>>;

  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts `program` with `arguments`, the test's environment plus `extra`, standard output
  // and standard error appended to `outputPath`. False when the program could not start.
  bool Start(const std::string& program, const std::vector<std::string>& arguments,
             const Environment& extra, const std::string& outputPath);

  // Sends the signal; false when the child is not running.
  bool Signal(int signal);

  // Waits up to `timeout` for the child to end. Returns its exit status (128 + signal
  // number when a signal ended it), or -1 when it is still running.
  int Wait(std::chrono::milliseconds timeout);

  bool Running();
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
};

// True once a TCP connection to 127.0.0.1:port succeeds, polling until `timeout`.
bool WaitForLoopbackPort(int port, std::chrono::milliseconds timeout);
