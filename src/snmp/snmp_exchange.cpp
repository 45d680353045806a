#include "snmp/snmp_exchange.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "common/cancel_signal.h"
#include "common/event_fd.h"
#include "common/unique_fd.h"
#include "snmp/host_text.h"

namespace printxpc {
namespace {

using Clock = std::chrono::steady_clock;

bool cancelled(const SnmpGetShared& shared) { return shared.cancel.raised(); }

// The calling thread's wake-up for cancels, made at its first GET and kept for the thread's
// life: a GET then opens and closes no descriptor of its own for the wake-ups, which saves a
// few microseconds of every GET. Each wait registers it with the cancel signal for as long as
// it waits; a wake-up that came during an earlier wait stays counted until the next wait
// drains it.
const EventFd& threadCancelWakeup() {
  thread_local const EventFd wakeup;
  return wakeup;
}

std::int32_t waitMilliseconds(const SnmpGetShared& shared) {
  const auto stored = static_cast<std::int32_t>(shared.timeoutMs.load());
  return std::clamp<std::int32_t>(stored, 0, kMaxSnmpWaitMs);
}

void sleepMilliseconds(std::int32_t ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

struct Peer {
  sockaddr_in address{};
};

// The conversion depends on the text alone: a thread's GETs to the printer that it asked
// last reuse it, which saves the library call on every repeated GET.
std::optional<Peer> resolveNumeric(std::string_view host) {
  thread_local std::string lastHost;
  thread_local std::optional<Peer> lastPeer;
  if (lastPeer && host == lastHost) {
    return lastPeer;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* list = nullptr;
  const std::string text(host);
  if (::getaddrinfo(text.c_str(), nullptr, &hints, &list) != 0 || list == nullptr) {
    return std::nullopt;
  }
  Peer peer;
  std::memcpy(&peer.address, list->ai_addr, sizeof(peer.address));
  ::freeaddrinfo(list);
  peer.address.sin_port = htons(kSnmpPort);
  lastHost = text;
  lastPeer = peer;
  return peer;
}

bool fromPeer(const sockaddr_in& sender, const Peer& peer) {
  return sender.sin_family == AF_INET && sender.sin_port == peer.address.sin_port &&
         sender.sin_addr.s_addr == peer.address.sin_addr.s_addr;
}

// Waits for the printer's GetResponse to this request; any other datagram is skipped.
ExchangeEnd awaitAnswer(const SnmpGetShared& shared, int socket, const Peer& peer,
                        std::int64_t requestId, std::int32_t ms, DatagramBuffer& receive,
                        SnmpResponse& answer) {
  const EventFd& wakeup = threadCancelWakeup();
  // Registered before the first look at the flag, so that no raise slips between.
  const CancelSignal::Registration registration(shared.cancel, wakeup);
  const int wakeupFd = wakeup.fd();
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    if (cancelled(shared)) {
      return ExchangeEnd::kCancelled;
    }
    // Rounded up: a wait cut to whole milliseconds would end before the timeout.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd fds[2] = {{socket, POLLIN, 0}, {wakeupFd, POLLIN, 0}};
    const int ready = ::poll(fds, wakeupFd >= 0 ? 2 : 1, static_cast<int>(std::max<long>(left, 0)));
    if (cancelled(shared)) {
      return ExchangeEnd::kCancelled;
    }
    if (ready > 0 && (fds[1].revents & POLLIN) != 0) {
      wakeup.drain();  // left from a cancel that an earlier GET's own flag value cleared
    }
    if (ready > 0 && (fds[0].revents & POLLIN) != 0) {
      for (;;) {
        sockaddr_in sender{};
        socklen_t senderLength = sizeof(sender);
        // MSG_TRUNC reports the datagram's whole length, so a cut one is told apart.
        const ssize_t got =
            ::recvfrom(socket, receive.data(), receive.size(), MSG_DONTWAIT | MSG_TRUNC,
                       reinterpret_cast<sockaddr*>(&sender), &senderLength);
        if (got < 0) {
          break;  // nothing more waiting
        }
        const auto size = static_cast<std::size_t>(got);
        if (got == 0 || size > receive.size() || !fromPeer(sender, peer)) {
          continue;
        }
        SnmpResponse response = parseSnmpResponse(std::span(receive).first(size));
        if (response.requestId == requestId) {
          answer = response;
          return ExchangeEnd::kAnswer;
        }
      }
    }
    if (left <= 0) {
      return ExchangeEnd::kNoAnswer;
    }
  }
}

}  // namespace

ExchangeEnd exchangeSnmp(const SnmpGetShared& shared, std::string_view host,
                         std::span<const std::uint8_t> request, std::int64_t requestId,
                         DatagramBuffer& receive, SnmpResponse& answer) {
  const std::int32_t ms = waitMilliseconds(shared);
  const auto peer = resolveNumeric(trimHostText(host));
  if (!peer) {
    return ExchangeEnd::kNoAnswer;
  }
  const UniqueFd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  const bool sent = socket && ::sendto(socket.get(), request.data(), request.size(), 0,
                                       reinterpret_cast<const sockaddr*>(&peer->address),
                                       sizeof(peer->address)) > 0;
  if (!sent) {
    sleepMilliseconds(ms);
    return ExchangeEnd::kNoAnswer;
  }
  return awaitAnswer(shared, socket.get(), *peer, requestId, ms, receive, answer);
}

}  // namespace printxpc
