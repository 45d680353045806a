// Helpers of the probe tests: links, captures and settings inside the test's own private
// network namespace. Nothing here is meant to run anywhere else.
#pragma once

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/unique_fd.h"

namespace printxpc::test_support {

inline bool runCommand(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// A veth pair whose near end pxv0 (10.9.0.1/24) routes the limited broadcast address; its
// peer pxv1 has no address and answers nothing. Deleted with the object, so tests that
// share one namespace start afresh.
class VethPair {
 public:
  static constexpr const char* kNear = "pxv0";
  static constexpr const char* kPeer = "pxv1";
  static constexpr const char* kNearAddress = "10.9.0.1";
  // On the pair's subnet, never answering; a fixed neighbour entry sends frames to it at once.
  static constexpr const char* kSilentAddress = "10.9.0.2";

  VethPair() {
    runCommand("ip link del pxv0");
    ok_ = runCommand("ip link add pxv0 type veth peer name pxv1") &&
          runCommand("ip addr add 10.9.0.1/24 dev pxv0") && runCommand("ip link set pxv0 up") &&
          runCommand("ip link set pxv1 up") &&
          runCommand("ip route add 255.255.255.255 dev pxv0") &&
          runCommand("ip neigh replace 10.9.0.2 lladdr 02:00:00:00:00:02 dev pxv0");
  }
  VethPair(const VethPair&) = delete;
  VethPair& operator=(const VethPair&) = delete;
  ~VethPair() { runCommand("ip link del pxv0"); }

  bool ok() const { return ok_; }

 private:
  bool ok_ = false;
};

// One IPv4 packet seen by a capture.
struct Ipv4Packet {
  std::vector<std::uint8_t> bytes;

  std::size_t headerLength() const { return bytes.empty() ? 0 : (bytes[0] & 0x0Fu) * 4u; }
  std::uint8_t protocol() const { return bytes.size() > 9 ? bytes[9] : 0; }
  std::string destination() const {
    if (bytes.size() < 20) return {};
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &bytes[16], text, sizeof text);
    return text;
  }
  std::span<const std::uint8_t> payload() const {
    const std::size_t header = headerLength();
    if (header < 20 || bytes.size() < header) return {};
    return std::span(bytes).subspan(header);
  }
};

// Captures the IPv4 packets on one interface, or on every interface when none is named, as
// a packet socket sees them: IPv4 header first, without the link header.
class Ipv4Capture {
 public:
  explicit Ipv4Capture(const char* interface = nullptr)
      : socket_(::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_IP))) {
    if (!socket_) return;
    if (interface == nullptr) {
      ok_ = true;
      return;
    }
    sockaddr_ll where{};
    where.sll_family = AF_PACKET;
    where.sll_protocol = htons(ETH_P_IP);
    where.sll_ifindex = static_cast<int>(::if_nametoindex(interface));
    ok_ = where.sll_ifindex != 0 &&
          ::bind(socket_.get(), reinterpret_cast<const sockaddr*>(&where), sizeof where) == 0;
  }

  bool ok() const { return ok_; }

  // Every packet of the protocol seen until the wait passes without a new one.
  std::vector<Ipv4Packet> collect(std::uint8_t protocol, std::chrono::milliseconds quiet) {
    std::vector<Ipv4Packet> packets;
    while (auto packet = next(quiet)) {
      if (packet->protocol() == protocol) packets.push_back(std::move(*packet));
    }
    return packets;
  }

 private:
  std::optional<Ipv4Packet> next(std::chrono::milliseconds wait) {
    pollfd ready{socket_.get(), POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(wait.count())) <= 0) return std::nullopt;
    Ipv4Packet packet;
    packet.bytes.resize(65536);
    const ssize_t received = ::recv(socket_.get(), packet.bytes.data(), packet.bytes.size(), 0);
    if (received < 0) return std::nullopt;
    packet.bytes.resize(static_cast<std::size_t>(received));
    return packet;
  }

  UniqueFd socket_;
  bool ok_ = false;
};

// A veth pair watched by a capture on its peer, or on every interface when none is named.
struct CapturedVethPair {
  explicit CapturedVethPair(const char* interface = VethPair::kPeer) : capture(interface) {}
  bool ok() const { return link.ok() && capture.ok(); }

  VethPair link;  // made first: the capture binds to its peer
  Ipv4Capture capture;
};

// Sets net.ipv4.ping_group_range of this namespace for the object's lifetime.
class PingGroupRange {
 public:
  static constexpr const char* kPath = "/proc/sys/net/ipv4/ping_group_range";

  explicit PingGroupRange(const std::string& range) {
    std::ifstream in(kPath);
    std::getline(in, saved_);
    ok_ = write(range);
  }
  PingGroupRange(const PingGroupRange&) = delete;
  PingGroupRange& operator=(const PingGroupRange&) = delete;
  ~PingGroupRange() { write(saved_); }

  bool ok() const { return ok_ && !saved_.empty(); }

 private:
  static bool write(const std::string& range) {
    std::ofstream out(kPath);
    out << range << '\n';
    return static_cast<bool>(out.flush());
  }

  std::string saved_;
  bool ok_ = false;
};

template <typename Function>
std::chrono::milliseconds timed(Function&& function) {
  const auto start = std::chrono::steady_clock::now();
  function();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start);
}

}  // namespace printxpc::test_support
