// Runs a program under a system-call filter like the one the user units set: an allow list
// of system calls (read from a file, one name per line), sockets of AF_UNIX and AF_INET only,
// the native architecture only; anything else fails with EPERM.
//   seccomp_run ALLOW_FILE PROGRAM [ARG...]
//   seccomp_run ALLOW_FILE --self-test    checks that the filter refuses what it must
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

#if defined(__x86_64__)
constexpr unsigned kNativeArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr unsigned kNativeArch = AUDIT_ARCH_AARCH64;
#else
constexpr unsigned kNativeArch = 0;  // unknown here: the test skips
#endif
// x32 calls share the x86-64 architecture value and carry this bit in their number.
constexpr unsigned kX32Bit = 0x40000000U;

const std::map<std::string, long>& syscallNumbers() {
  static const std::map<std::string, long> numbers = {
#include "syscall_table.inc"
  };
  return numbers;
}

sock_filter statement(unsigned short code, unsigned k) { return BPF_STMT(code, k); }
sock_filter jump(unsigned short code, unsigned k, unsigned char ifTrue, unsigned char ifFalse) {
  return BPF_JUMP(code, k, ifTrue, ifFalse);
}

std::vector<sock_filter> buildFilter(const std::vector<long>& allowed) {
  constexpr unsigned kAllow = SECCOMP_RET_ALLOW;
  constexpr unsigned kDeny = SECCOMP_RET_ERRNO | EPERM;
  std::vector<sock_filter> program{
      statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      jump(BPF_JMP | BPF_JEQ | BPF_K, kNativeArch, 1, 0),
      statement(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
      statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      jump(BPF_JMP | BPF_JGE | BPF_K, kX32Bit, 0, 1),
      statement(BPF_RET | BPF_K, kDeny),
      // socket(): the address family is the first argument.
      jump(BPF_JMP | BPF_JEQ | BPF_K, SYS_socket, 0, 5),
      statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
      jump(BPF_JMP | BPF_JEQ | BPF_K, AF_UNIX, 2, 0),
      jump(BPF_JMP | BPF_JEQ | BPF_K, AF_INET, 1, 0),
      statement(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EAFNOSUPPORT),
      statement(BPF_RET | BPF_K, kAllow),
  };
  for (const long number : allowed) {
    program.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(number), 0, 1));
    program.push_back(statement(BPF_RET | BPF_K, kAllow));
  }
  program.push_back(statement(BPF_RET | BPF_K, kDeny));
  return program;
}

bool install(const std::vector<sock_filter>& filter) {
  sock_fprog program{static_cast<unsigned short>(filter.size()),
                     const_cast<sock_filter*>(filter.data())};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// What the units forbid must fail: an IPv6 socket, and a priority change (@resources).
int selfTest() {
  errno = 0;
  const int ipv6 = ::socket(AF_INET6, SOCK_DGRAM, 0);
  const bool familyRefused = ipv6 < 0 && errno == EAFNOSUPPORT;
  errno = 0;
  const bool priorityRefused = ::setpriority(PRIO_PROCESS, 0, 1) != 0 && errno == EPERM;
  const int unix = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (!familyRefused || !priorityRefused || unix < 0) {
    std::fprintf(stderr, "seccomp_run: the filter lets through what it must refuse\n");
    return 1;
  }
  std::printf("seccomp_run: filter refuses AF_INET6 and setpriority, allows AF_UNIX\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (kNativeArch == 0) {
    std::fprintf(stderr, "seccomp_run: no audit architecture known for this machine; skipped\n");
    return 77;
  }
  if (argc < 3) {
    std::fprintf(stderr, "usage: seccomp_run ALLOW_FILE PROGRAM [ARG...] | --self-test\n");
    return 2;
  }
  std::ifstream names(argv[1]);
  std::vector<long> allowed;
  for (std::string name; names >> name;) {
    if (const auto known = syscallNumbers().find(name); known != syscallNumbers().end()) {
      allowed.push_back(known->second);
    }
  }
  if (allowed.empty() || !install(buildFilter(allowed))) {
    std::perror("seccomp_run: cannot install the filter");
    return 1;
  }
  if (std::string(argv[2]) == "--self-test") {
    return selfTest();
  }
  ::execvp(argv[2], argv + 2);
  std::perror("seccomp_run: exec");
  return 127;
}
