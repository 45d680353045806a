#include "support/private_bus.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "protocol/bus_names.h"
#include "shared/wait.h"

namespace printxpc::test_support {

PrivateBus::PrivateBus() {
  char pattern[] = "/tmp/printxpc-bus-XXXXXX";
  dir_ = ::mkdtemp(pattern);
  ::chmod(dir_.c_str(), 0755);  // other users reach the bus socket (the refusal test)
  std::filesystem::create_directory(dir_ + "/services");
  const std::string socket = dir_ + "/bus";
  address_ = "unix:path=" + socket;
  std::ofstream(dir_ + "/bus.conf") << R"(<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>)" << address_ << R"(</listen>
  <servicedir>)" << dir_ << R"(/services</servicedir>
  <policy context="default">
    <allow user="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";
  daemon_ = ChildProcess(
      {"dbus-daemon", "--nofork", "--nopidfile", "--config-file=" + dir_ + "/bus.conf"});
  EXPECT_TRUE(waitForSocket(socket, std::chrono::seconds(10))) << "dbus-daemon did not start";
}

PrivateBus::~PrivateBus() {
  daemon_ = ChildProcess();
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

void PrivateBus::addService(const std::string& name, const std::string& exec) const {
  std::ofstream(dir_ + "/services/" + name + ".service")
      << "[D-BUS Service]\nName=" << name << "\nExec=" << exec << "\n";
  // The daemon rereads its service directory when a name is not found there.
}

CommandResult PrivateBus::busctl(const std::vector<std::string>& args,
                                 const std::vector<std::string>& prefix) const {
  std::vector<std::string> argv = prefix;
  argv.insert(argv.end(), {"busctl", "--address=" + address_});
  argv.insert(argv.end(), args.begin(), args.end());
  return runCommand(argv);
}

CommandResult PrivateBus::call(const std::string& name, const std::string& method,
                               const std::string& request) const {
  return busctl({"--timeout=120", "call", name, std::string(bus::kObjectPath),
                 std::string(bus::kInterface), method, "s", request});
}

bool PrivateBus::hasOwner(const std::string& name) const {
  const auto answer = busctl({"call", "org.freedesktop.DBus", "/org/freedesktop/DBus",
                              "org.freedesktop.DBus", "NameHasOwner", "s", name});
  return answer.out == "b true\n";
}

bool PrivateBus::waitForOwner(const std::string& name, bool owned,
                              std::chrono::milliseconds timeout) const {
  return waitUntil([&] { return hasOwner(name) == owned; }, timeout);
}

}  // namespace printxpc::test_support
