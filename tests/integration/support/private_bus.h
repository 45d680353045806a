// A private D-Bus session bus for one test: its own dbus-daemon, configuration and service
// directory, so that no test ever reaches the machine's buses.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "support/process.h"

namespace printxpc::test_support {

class PrivateBus {
 public:
  // The bus admits every user, so that the service's own check is what refuses others.
  PrivateBus();
  ~PrivateBus();
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  const std::string& dir() const { return dir_; }
  const std::string& address() const { return address_; }
  // "DBUS_SESSION_BUS_ADDRESS=..." for a process that should use this bus.
  std::string environment() const { return "DBUS_SESSION_BUS_ADDRESS=" + address_; }

  // Installs an activation file: the bus starts `exec` when the name is first called.
  void addService(const std::string& name, const std::string& exec) const;

  // busctl on this bus, e.g. busctl({"call", ...}); `prefix` runs it through setpriv and such.
  CommandResult busctl(const std::vector<std::string>& args,
                       const std::vector<std::string>& prefix = {}) const;
  // A method call with one string argument, as busctl prints the answer: s "REPLY".
  CommandResult call(const std::string& name, const std::string& method,
                     const std::string& request) const;

  bool hasOwner(const std::string& name) const;
  // Waits until the name has an owner (or has none); false at the deadline.
  bool waitForOwner(const std::string& name, bool owned, std::chrono::milliseconds timeout) const;

 private:
  std::string dir_;
  std::string address_;
  ChildProcess daemon_;
};

}  // namespace printxpc::test_support
