#include "support/process.h"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>
#include <thread>
#include <utility>

#include "shared/wait.h"

namespace printxpc::test_support {
namespace {

std::vector<char*> cStrings(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (auto& s : strings) {
    pointers.push_back(s.data());
  }
  pointers.push_back(nullptr);
  return pointers;
}

[[noreturn]] void execChild(std::vector<std::string> argv, std::vector<std::string> env) {
  for (auto& assignment : env) {
    ::putenv(assignment.data());  // the strings live until exec
  }
  auto args = cStrings(argv);
  ::execvp(args[0], args.data());
  ::_exit(127);
}

int decodeStatus(int status) {
  if (WIFEXITED(status)) {
    return WEXITSTATUS(status);
  }
  if (WIFSIGNALED(status)) {
    return 128 + WTERMSIG(status);
  }
  return -1;
}

void readInto(int fd, std::string& out) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof(buffer));
    if (n <= 0) {
      return;
    }
    out.append(buffer, static_cast<std::size_t>(n));
  }
}

}  // namespace

CommandResult runCommand(const std::vector<std::string>& argv, const std::string& input,
                         const std::vector<std::string>& env) {
  int in[2];
  int out[2];
  int err[2];
  if (::pipe(in) != 0 || ::pipe(out) != 0 || ::pipe(err) != 0) {
    return {};
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    for (const int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
      ::close(fd);
    }
    execChild(argv, env);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  std::thread writer([fd = in[1], &input] {
    std::size_t done = 0;
    while (done < input.size()) {
      const ssize_t n = ::write(fd, input.data() + done, input.size() - done);
      if (n <= 0) {
        break;
      }
      done += static_cast<std::size_t>(n);
    }
    ::close(fd);
  });
  CommandResult result;
  std::thread errReader([fd = err[0], &result] { readInto(fd, result.err); });
  readInto(out[0], result.out);
  errReader.join();
  writer.join();
  ::close(out[0]);
  ::close(err[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.exitCode = decodeStatus(status);
  return result;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::vector<std::string>& env) {
  const pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ == 0) {
    // A child outliving a crashed test would keep the test's output open and stall CTest.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) {
      ::_exit(127);
    }
    execChild(argv, env);
  }
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), status_(other.status_) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    ChildProcess old(std::move(*this));
    pid_ = std::exchange(other.pid_, -1);
    status_ = other.status_;
  }
  return *this;
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && running()) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

bool ChildProcess::running() {
  if (pid_ <= 0 || status_ >= 0) {
    return false;
  }
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    status_ = decodeStatus(status);
    return false;
  }
  return true;
}

void ChildProcess::signal(int number) const {
  if (pid_ > 0) {
    ::kill(pid_, number);
  }
}

int ChildProcess::wait(std::chrono::milliseconds timeout) {
  return waitUntil([this] { return !running(); }, timeout) ? status_ : -1;
}

bool acceptsConnections(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const bool connected =
      fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
  if (fd >= 0) {
    ::close(fd);
  }
  return connected;
}

bool waitForSocket(const std::string& path, std::chrono::milliseconds timeout) {
  return waitUntil([&] { return acceptsConnections(path); }, timeout);
}

int connectionsAt(const std::string& socketPath) {
  constexpr unsigned long kAcceptsConnections = 0x10000;  // __SO_ACCEPTCON: a listener
  std::ifstream table("/proc/net/unix");
  std::string line;
  std::getline(table, line);  // the header
  int count = 0;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, references, protocol, flags, type, state, inode, path;
    fields >> slot >> references >> protocol >> flags >> type >> state >> inode >> path;
    if (path == socketPath && (std::stoul(flags, nullptr, 16) & kAcceptsConnections) == 0) {
      ++count;
    }
  }
  return count;
}

int openDescriptors(pid_t pid) {
  int count = 0;
  std::error_code error;
  for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", error), end;
       !error && it != end; it.increment(error)) {
    ++count;
  }
  return count;
}

namespace {

// A numeric field of /proc/<pid>/status, such as "Threads:" or "VmRSS:" (in KiB).
long statusField(pid_t pid, std::string_view name) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  while (status >> key) {
    if (key == name) {
      long value = -1;
      status >> value;
      return value;
    }
  }
  return -1;
}

}  // namespace

int threadCount(pid_t pid) { return static_cast<int>(statusField(pid, "Threads:")); }

long residentKiB(pid_t pid) { return statusField(pid, "VmRSS:"); }

ResourceUse resourceUse(pid_t pid) { return {openDescriptors(pid), threadCount(pid)}; }

std::string describe(const ResourceUse& use) {
  return std::to_string(use.descriptors) + " descriptors, " + std::to_string(use.threads) +
         " threads";
}

ResourceUse settleTo(pid_t pid, const ResourceUse& idle, std::chrono::milliseconds timeout) {
  ResourceUse now;
  waitUntil(
      [&] {
        now = resourceUse(pid);
        return now.descriptors <= idle.descriptors && now.threads <= idle.threads;
      },
      timeout);
  return now;
}

}  // namespace printxpc::test_support
