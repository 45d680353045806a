#include "support/snmp_peers.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "protocol/requests.h"

namespace printxpc::test_support {
namespace {

sockaddr_in loopbackAddress(const std::string& address, std::uint16_t port) {
  sockaddr_in out{};
  out.sin_family = AF_INET;
  out.sin_port = htons(port);
  ::inet_pton(AF_INET, address.c_str(), &out.sin_addr);
  return out;
}

UniqueFd boundUdp(const std::string& address, std::uint16_t port) {
  UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  const int one = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  const auto bound = loopbackAddress(address, port);
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&bound), sizeof(bound)) != 0) {
    fd.reset();
  }
  return fd;
}

// Reads one element at `at`; false when it runs past the end.
bool readElement(const Bytes& bytes, std::size_t& at, std::uint8_t& tag, Bytes& content) {
  if (at + 2 > bytes.size()) {
    return false;
  }
  tag = bytes[at++];
  std::size_t length = bytes[at++];
  if (length & 0x80U) {
    const std::size_t count = length & 0x7FU;
    if (count == 0 || count > 2 || at + count > bytes.size()) {
      return false;
    }
    length = 0;
    for (std::size_t i = 0; i < count; ++i) {
      length = (length << 8) | bytes[at++];
    }
  }
  if (at + length > bytes.size()) {
    return false;
  }
  content.assign(bytes.begin() + static_cast<long>(at),
                 bytes.begin() + static_cast<long>(at + length));
  at += length;
  return true;
}

}  // namespace

Bytes tlv(std::uint8_t tag, const Bytes& content) {
  Bytes out{tag};
  const std::size_t n = content.size();
  if (n < 128) {
    out.push_back(static_cast<std::uint8_t>(n));
  } else if (n < 256) {
    out.push_back(0x81);
    out.push_back(static_cast<std::uint8_t>(n));
  } else {
    out.push_back(0x82);
    out.push_back(static_cast<std::uint8_t>(n >> 8));
    out.push_back(static_cast<std::uint8_t>(n & 0xFF));
  }
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& part : parts) {
    out.insert(out.end(), part.begin(), part.end());
  }
  return out;
}

bool parseGetRequest(const Bytes& datagram, SnmpRequest& request) {
  std::size_t at = 0;
  std::uint8_t tag = 0;
  Bytes message;
  if (!readElement(datagram, at, tag, message) || tag != 0x30) {
    return false;
  }
  Bytes version, community, pdu;
  at = 0;
  if (!readElement(message, at, tag, version) || tag != 0x02 ||
      !readElement(message, at, tag, community) || tag != 0x04 ||
      !readElement(message, at, tag, pdu) || tag != 0xA0) {
    return false;
  }
  Bytes requestId, error, errorIndex, varbinds;
  at = 0;
  if (!readElement(pdu, at, tag, requestId) || tag != 0x02 || !readElement(pdu, at, tag, error) ||
      !readElement(pdu, at, tag, errorIndex) || !readElement(pdu, at, tag, varbinds)) {
    return false;
  }
  Bytes varbind, oid;
  at = 0;
  if (!readElement(varbinds, at, tag, varbind)) {
    return false;
  }
  at = 0;
  if (!readElement(varbind, at, tag, oid) || tag != 0x06) {
    return false;
  }
  request.datagram = datagram;
  request.community.assign(community.begin(), community.end());
  request.requestIdContent = requestId;
  request.oidContent = oid;
  return true;
}

Bytes getResponse(const std::string& community, const Bytes& requestIdContent,
                  const Bytes& oidContent, const Bytes& valueElement) {
  const Bytes varbind = tlv(0x30, concat({tlv(0x06, oidContent), valueElement}));
  const Bytes pdu = tlv(0xA2, concat({tlv(0x02, requestIdContent), tlv(0x02, {0}), tlv(0x02, {0}),
                                      tlv(0x30, varbind)}));
  return tlv(0x30,
             concat({tlv(0x02, {0}), tlv(0x04, Bytes(community.begin(), community.end())), pdu}));
}

std::vector<std::uint32_t> oidSubIdentifiers(const Bytes& content) {
  std::vector<std::uint32_t> ids;
  if (content.empty()) {
    return ids;
  }
  ids = {content[0] / 40U, content[0] % 40U};
  std::uint32_t value = 0;
  for (std::size_t i = 1; i < content.size(); ++i) {
    value = (value << 7) | (content[i] & 0x7FU);
    if ((content[i] & 0x80U) == 0) {
      ids.push_back(value);
      value = 0;
    }
  }
  return ids;
}

Bytes integerContent(std::int32_t value) {
  Bytes bytes;
  auto rest = static_cast<std::uint32_t>(value);
  for (int i = 0; i < 4; ++i) {
    bytes.insert(bytes.begin(), static_cast<std::uint8_t>(rest & 0xFFU));
    rest >>= 8;
  }
  // Leading bytes that only repeat the sign of the next one are dropped.
  while (bytes.size() > 1 &&
         ((bytes[0] == 0x00 && bytes[1] < 0x80) || (bytes[0] == 0xFF && bytes[1] >= 0x80))) {
    bytes.erase(bytes.begin());
  }
  return bytes;
}

namespace {

constexpr char kNumberedPrefix[] = "1.3.6.1.4.1.9";
constexpr std::uint32_t kNumberedPrefixIds[] = {1, 3, 6, 1, 4, 1, 9};
constexpr std::size_t kNumberedPrefixLength = std::size(kNumberedPrefixIds);
constexpr std::uint32_t kNumberedBase = 100000;

bool numbered(const std::vector<std::uint32_t>& ids) {
  return ids.size() > kNumberedPrefixLength &&
         std::equal(std::begin(kNumberedPrefixIds), std::end(kNumberedPrefixIds), ids.begin());
}

}  // namespace

std::string numberedOid(std::uint32_t connection, std::uint32_t n) {
  return std::string(kNumberedPrefix) + "." + std::to_string(connection) + "." + std::to_string(n);
}

std::string numberedOid(std::uint32_t n) {
  return std::string(kNumberedPrefix) + "." + std::to_string(n);
}

std::int32_t numberedValue(std::uint32_t connection, std::uint32_t n) {
  return static_cast<std::int32_t>(connection * kNumberedBase + n);
}

std::string snmpGetRequest(const std::string& host, const std::string& oid,
                           const std::string& cancelFile, std::int32_t timeoutMs,
                           std::int32_t iType, std::optional<std::int32_t> cancelFlag,
                           const std::string& community, std::int32_t rtnCharFlag) {
  requests::SnmpGetFields fields;
  fields.iType = iType;
  fields.cancelFlag = cancelFlag;
  fields.cancelFileName = cancelFile;
  fields.timeoutMs = timeoutMs;
  fields.retries = 3;
  fields.rtnCharFlag = rtnCharFlag;
  fields.args = requests::snmpGetArgs(community, host, oid);
  return requests::buildSnmpGet(fields);
}

FakeAgent::Script FakeAgent::numberedAnswers() {
  return [](const SnmpRequest& request) {
    const auto ids = oidSubIdentifiers(request.oidContent);
    Bytes value = tlv(0x05, {});
    if (numbered(ids) && ids.size() == kNumberedPrefixLength + 1) {
      value = tlv(0x02, integerContent(static_cast<std::int32_t>(ids.back())));
    } else if (numbered(ids) && ids.size() == kNumberedPrefixLength + 2) {
      value = tlv(0x02, integerContent(numberedValue(ids[kNumberedPrefixLength], ids.back())));
    }
    return std::vector<Reply>{
        {getResponse(request.community, request.requestIdContent, request.oidContent, value)}};
  };
}

FakeAgent::FakeAgent(const std::string& address, Script script)
    : socket_(boundUdp(address, 161)),
      stop_(::eventfd(0, EFD_CLOEXEC)),
      script_(std::move(script)),
      thread_([this] { run(); }) {}

FakeAgent::~FakeAgent() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t ignored = ::write(stop_.get(), &one, sizeof(one));
  thread_.join();
}

void FakeAgent::send(const Reply& reply, const sockaddr_in& to) const {
  // The agent's own latency; an agent being stopped sends at once.
  if (reply.delayMs > 0) {
    pollfd stop{stop_.get(), POLLIN, 0};
    (void)::poll(&stop, 1, reply.delayMs);
  }
  UniqueFd other;
  int fd = socket_.get();
  if (!reply.fromAddress.empty()) {
    other = boundUdp(reply.fromAddress, reply.fromPort);
    fd = other.get();
  }
  ::sendto(fd, reply.datagram.data(), reply.datagram.size(), 0,
           reinterpret_cast<const sockaddr*>(&to), sizeof(to));
}

void FakeAgent::run() {
  Bytes buffer(65536);  // any datagram
  for (;;) {
    pollfd fds[2] = {{socket_.get(), POLLIN, 0}, {stop_.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN) != 0 || !socket_) {
      return;
    }
    sockaddr_in from{};
    socklen_t fromLength = sizeof(from);
    const ssize_t got = ::recvfrom(socket_.get(), buffer.data(), buffer.size(), 0,
                                   reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (got <= 0) {
      continue;
    }
    SnmpRequest request;
    if (!parseGetRequest(Bytes(buffer.begin(), buffer.begin() + got), request)) {
      continue;
    }
    request.from = from;
    ++requests_;
    for (const auto& reply : script_(request)) {
      send(reply, from);
    }
  }
}

bool snmpdAvailable() { return std::filesystem::exists("/usr/sbin/snmpd"); }

Snmpd::Snmpd(const std::string& address, const std::string& sysDescr, const std::string& sysContact)
    : address_(address) {
  char pattern[] = "/tmp/printxpc-snmpd-XXXXXX";
  dir_ = ::mkdtemp(pattern);
  std::ofstream(dir_ + "/snmpd.conf") << "rocommunity public 127.0.0.0/8\n"
                                      << "sysDescr " << sysDescr << "\n"
                                      << "sysContact " << sysContact << "\n"
                                      << "sysLocation Room 42\n";
  start();
}

bool Snmpd::start() {
  // The address is given on the command line only, not in the configuration.
  process_ =
      ChildProcess({"/usr/sbin/snmpd", "-f", "-Lf", "/dev/null", "-C", "-c", dir_ + "/snmpd.conf",
                    "-p", dir_ + "/snmpd.pid", "udp:" + address_ + ":161"},
                   {"SNMP_PERSISTENT_DIR=" + dir_ + "/persist", "MIBS="});
  // Ready once it answers a GET of sysUpTime.
  ready_ = false;
  for (int attempt = 0; attempt < 100 && !ready_; ++attempt) {
    const auto probe = runCommand({"/usr/bin/snmpget", "-v1", "-c", "public", "-t", "0.1", "-r",
                                   "0", address_, "1.3.6.1.2.1.1.3.0"});
    ready_ = probe.exitCode == 0;
  }
  return ready_;
}

void Snmpd::stop() {
  process_.signal(SIGTERM);
  process_.wait(std::chrono::seconds(5));
  process_ = ChildProcess();
  ready_ = false;
}

Snmpd::~Snmpd() {
  stop();
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

}  // namespace printxpc::test_support
