// SNMP peers for the GET tests: a scripted fake agent that answers with exact bytes, and
// a real net-snmp snmpd with a private configuration. Both listen on port 161 of a
// loopback address inside the test's private network namespace.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/unique_fd.h"
#include "support/process.h"

namespace printxpc::test_support {

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

// Sub-identifiers of an OID's content bytes (the first byte stands for the first two).
std::vector<std::uint32_t> oidSubIdentifiers(const Bytes& content);

// Content bytes of an INTEGER in minimal two's-complement form.
Bytes integerContent(std::int32_t value);

// OIDs under 1.3.6.1.4.1.9 whose answer tells which request it belongs to:
// 1.3.6.1.4.1.9.n is answered with the INTEGER n, 1.3.6.1.4.1.9.c.n with c * 100000 + n.
std::string numberedOid(std::uint32_t connection, std::uint32_t n);
std::string numberedOid(std::uint32_t n);
std::int32_t numberedValue(std::uint32_t connection, std::uint32_t n);

// A GET request string for the service: community "public", three retries, the host and
// OID in the argument slots that the GET reads.
std::string snmpGetRequest(const std::string& host, const std::string& oid,
                           const std::string& cancelFile, std::int32_t timeoutMs,
                           std::int32_t iType = 2,
                           std::optional<std::int32_t> cancelFlag = std::nullopt,
                           const std::string& community = "public", std::int32_t rtnCharFlag = 0);

class FakeAgent {
 public:
  using Script = std::function<std::vector<Reply>(const SnmpRequest&)>;
  FakeAgent(const std::string& address, Script script);
  // Answers at once: numbered OIDs with their value (see numberedOid), others with NULL.
  static Script numberedAnswers();
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

}  // namespace printxpc::test_support
