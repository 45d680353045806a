#include "probes/icmp_echo.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "common/log.h"
#include "common/unique_fd.h"
#include "probes/ipv4_address.h"

namespace printxpc {
namespace {

constexpr std::uint8_t kEchoRequestType = 8;
constexpr std::uint8_t kEchoReplyType = 0;
constexpr std::size_t kChecksumOffset = 2;
constexpr std::size_t kReceiveBufferSize = 2000;

std::chrono::milliseconds boundedTimeout(std::int64_t timeoutMs) {
  return std::chrono::milliseconds(std::clamp<std::int64_t>(timeoutMs, 0, kMaxEchoTimeoutMs));
}

bool sendEchoRequest(int socket, std::uint32_t destinationAddress) {
  sockaddr_in destination{};
  destination.sin_family = AF_INET;
  destination.sin_addr.s_addr = destinationAddress;
  const EchoRequestBytes request = buildEchoRequest();
  const ssize_t sent =
      ::sendto(socket, request.data(), request.size(), 0,
               reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
  return sent > 0;
}

// One readiness wait of the timeout, then one datagram read.
bool receiveEchoReply(int socket, std::chrono::milliseconds timeout) {
  pollfd ready{socket, POLLIN, 0};
  if (::poll(&ready, 1, static_cast<int>(timeout.count())) <= 0) {
    return false;
  }
  std::array<std::uint8_t, kReceiveBufferSize> datagram{};
  // Readiness may also report a pending error; never block after the wait.
  const ssize_t received = ::recv(socket, datagram.data(), datagram.size(), MSG_DONTWAIT);
  if (received <= 0) {
    return false;  // no datagram, or one without a type byte
  }
  // The ICMP datagram socket of this platform delivers the ICMP message without the IPv4
  // header: the type is the first byte.
  return datagram[0] == kEchoReplyType;
}

}  // namespace

std::uint16_t icmpChecksum(std::span<const std::uint8_t> bytes) {
  std::uint64_t sum = 0;
  std::size_t at = 0;
  for (; at + 1 < bytes.size(); at += 2) {
    std::uint16_t word = 0;
    std::memcpy(&word, &bytes[at], sizeof word);
    sum += word;
  }
  if (at < bytes.size()) {
    sum += bytes[at];  // the odd byte, completed with a zero byte after it
  }
  while ((sum >> 16) != 0) {
    sum = (sum >> 16) + (sum & 0xFFFF);
  }
  return static_cast<std::uint16_t>(~sum & 0xFFFF);
}

EchoRequestBytes buildEchoRequest() {
  EchoRequestBytes request{};
  request[0] = kEchoRequestType;
  const std::uint16_t checksum = icmpChecksum(request);
  std::memcpy(&request[kChecksumOffset], &checksum, sizeof checksum);
  return request;
}

std::optional<std::uint32_t> echoDestination(std::optional<std::string_view> address) {
  if (!address || address->empty()) {
    return std::nullopt;
  }
  // A typo or a host name would otherwise probe the whole local network, and any host that
  // answers broadcast pings would make an unreachable printer look reachable.
  const std::uint32_t converted = dottedQuadAddress(*address);
  if (converted == INADDR_NONE) {
    return std::nullopt;
  }
  return converted;
}

bool sendEchoAndRecvReply(std::optional<std::string_view> address, std::int64_t timeoutMs) {
  const auto destination = echoDestination(address);
  if (!destination) {
    return false;
  }
  const auto timeout = boundedTimeout(timeoutMs);
  const UniqueFd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP));
  if (!socket) {
    log::icmpUnavailable(errno);
  }
  if (!socket || !sendEchoRequest(socket.get(), *destination)) {
    std::this_thread::sleep_for(timeout);
    return false;
  }
  return receiveEchoReply(socket.get(), timeout);
}

}  // namespace printxpc
