// Child processes for the integration tests: service builds, the client, peers.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace printxpc::test_support {

struct CommandResult {
  int exitCode = -1;  // the exit status, or 128 + signal
  std::string out;
  std::string err;
};

// Runs a command to completion, with optional standard input and extra environment.
CommandResult runCommand(const std::vector<std::string>& argv, const std::string& input = "",
                         const std::vector<std::string>& env = {});

// A child process, killed (SIGKILL) and reaped when the object goes away unless it ended.
// It is also killed when the thread that started it ends, so that a test that crashes
// leaves nothing running.
class ChildProcess {
 public:
  ChildProcess() = default;
  explicit ChildProcess(const std::vector<std::string>& argv,
                        const std::vector<std::string>& env = {});
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  pid_t pid() const { return pid_; }
  bool running();
  void signal(int number) const;
  // Exit status (or 128 + signal) once it ended within the time, else -1.
  int wait(std::chrono::milliseconds timeout);

 private:
  pid_t pid_ = -1;
  int status_ = -1;
};

// Waits until a listener accepts connections at the socket path. (The connection made to
// find out is closed at once; a service sees it as a client that left.)
bool waitForSocket(const std::string& path, std::chrono::milliseconds timeout);

// The connections that a service holds open on the socket path, however its clients left
// them (from /proc/net/unix: the service's ends are named for the path, the listener aside).
int connectionsAt(const std::string& socketPath);

// The number of open descriptors and of threads of a process (from /proc).
int openDescriptors(pid_t pid);
int threadCount(pid_t pid);

// Resident memory of a process in KiB (VmRSS from /proc), or -1.
long residentKiB(pid_t pid);

// What a service holds that a forgotten connection or request would leak.
struct ResourceUse {
  int descriptors = 0;
  int threads = 0;
  bool operator==(const ResourceUse&) const = default;
};
ResourceUse resourceUse(pid_t pid);
std::string describe(const ResourceUse& use);

// Waits until the process holds no more than `idle` again (connection threads end and close
// their sockets a moment after their clients left); returns the last sample.
ResourceUse settleTo(pid_t pid, const ResourceUse& idle, std::chrono::milliseconds timeout);

}  // namespace printxpc::test_support
