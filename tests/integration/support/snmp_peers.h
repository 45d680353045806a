// SNMP peers for the GET tests: a scripted fake agent that answers with exact bytes, and
// a real net-snmp snmpd with a private configuration. Both listen on port 161 of a
// loopback address inside the test's private network namespace.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/unique_fd.h"
#include "support/process.h"

namespace printxpc::testing {

using Bytes = std::vector<std::uint8_t>;

// BER element: tag, definite length (short or long form), content.
Bytes tlv(std::uint8_t tag, const Bytes& content);
Bytes concat(std::initializer_list<Bytes> parts);

struct SnmpRequest {
  Bytes datagram;
  std::string community;
  Bytes requestIdContent;  // the request-id INTEGER's content bytes as sent
  Bytes oidContent;
  sockaddr_in from{};
};

// Parses a GetRequest; false when the bytes are not one.
bool parseGetRequest(const Bytes& datagram, SnmpRequest& request);

// A GetResponse (PDU tag 0xA2) with one varbind: the OID and the given value element.
Bytes getResponse(const std::string& community, const Bytes& requestIdContent,
                  const Bytes& oidContent, const Bytes& valueElement);

struct Reply {
  Bytes datagram;
  // Sent from this address and port (another socket) instead of the agent's own.
  std::string fromAddress;
  std::uint16_t fromPort = 0;
  int delayMs = 0;
};

class FakeAgent {
 public:
  using Script = std::function<std::vector<Reply>(const SnmpRequest&)>;
  FakeAgent(const std::string& address, Script script);
  ~FakeAgent();
  FakeAgent(const FakeAgent&) = delete;
  FakeAgent& operator=(const FakeAgent&) = delete;

  int requestsSeen() const { return requests_; }
  bool listening() const { return socket_.valid(); }

 private:
  void run();
  void send(const Reply& reply, const sockaddr_in& to) const;

  UniqueFd socket_;
  UniqueFd stop_;
  Script script_;
  std::atomic<int> requests_{0};
  std::thread thread_;
};

// net-snmp's snmpd on address:161 with a private configuration, stopped by pid.
class Snmpd {
 public:
  Snmpd(const std::string& address, const std::string& sysDescr, const std::string& sysContact);
  ~Snmpd();
  Snmpd(const Snmpd&) = delete;
  Snmpd& operator=(const Snmpd&) = delete;

  bool ready() const { return ready_; }
  void stop();
  bool start();

 private:
  std::string address_;
  std::string dir_;
  ChildProcess process_;
  bool ready_ = false;
};

bool snmpdAvailable();

}  // namespace printxpc::testing
