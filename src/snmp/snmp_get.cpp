#include "snmp/snmp_get.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

#include "common/unique_fd.h"
#include "protocol/replies.h"
#include "protocol/requests.h"
#include "protocol/text.h"
#include "snmp/cancel_waiters.h"
#include "snmp/mib_connection.h"
#include "snmp/snmp_message.h"

namespace printxpc {

std::atomic<std::uint8_t> gtype{0};

namespace {

using Clock = std::chrono::steady_clock;

bool cancelled(const SnmpGetShared& shared) { return shared.cancelFlag.load() != 0; }

// The request id: the time of day seeds a generator of this call's own, whose next number
// gives the low 16 bits. Reseeded on every call, as the GET always was.
std::uint16_t drawRequestId() {
  timeval now{};
  ::gettimeofday(&now, nullptr);
  const auto seed = static_cast<unsigned>(static_cast<std::uint32_t>(now.tv_usec) ^
                                          static_cast<std::uint32_t>(now.tv_sec));
  char state[64] = {};
  random_data data{};
  ::initstate_r(seed, state, sizeof(state), &data);
  std::int32_t number = 0;
  ::random_r(&data, &number);
  return static_cast<std::uint16_t>(number & 0xFFFF);
}

// The request-id INTEGER goes out as the id's low byte, then its high byte; its value is
// the two's-complement number those two bytes form.
std::int64_t requestIdValue(std::uint16_t id) {
  const auto low = static_cast<std::uint16_t>(id & 0xFF);
  const auto high = static_cast<std::uint16_t>(id >> 8);
  return static_cast<std::int16_t>(static_cast<std::uint16_t>((low << 8) | high));
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

std::int32_t integerValueOf(const std::optional<SnmpText>& text) {
  return text ? text::toInt32(text->view()) : 0;
}

// Turns the decoded value into the status and fills the result area.
std::int32_t takeValue(const std::optional<SnmpText>& value, std::uint8_t& type, UResult& uResult,
                       std::int32_t iType, std::int32_t rtnCharFlag) {
  switch (type) {
    case kSnmpTypeInteger:
      uResult.setInteger(integerValueOf(value));
      return kSnmpDone;
    case kSnmpTypeOctetString:
      if (value) {
        uResult.setString(rtnCharFlag != 0 ? formatMacAddress(value->view()) : value->view());
      }
      return kSnmpDone;
    case kSnmpTypeNull:
      // A caller that asked for a string takes NULL as the empty string.
      if (iType == kSnmpTypeOctetString) {
        type = kSnmpTypeOctetString;
        return kSnmpDone;
      }
      return kSnmpUnexpectedNull;
    case kSnmpTypeObjectIdentifier:
      if (value) {
        uResult.setString(value->view());
      }
      return kSnmpDone;
    default:
      return kSnmpUnexpectedType;
  }
}

// Locates the first varbind and decodes its value; sets the status and type code.
SnmpGetOutcome decodeAnswer(std::span<const std::uint8_t> message, UResult& uResult,
                            std::int32_t iType, std::int32_t rtnCharFlag) {
  std::uint64_t oidPositionIndex = 0;
  std::uint64_t oidLengthIndex = 0;
  std::uint64_t oidLengthValue = 0;
  SNMPMessage::extractOIDPositionAndLengthFromMessage(message, oidPositionIndex, oidLengthIndex,
                                                      oidLengthValue);
  const std::uint64_t valueTypeIndex = oidLengthValue + oidLengthIndex + 1;
  std::uint8_t type = kSnmpTypeNull;
  const auto value = SNMPMessage::extractValueStringFromMessage(message, valueTypeIndex, type);
  SnmpGetOutcome outcome;
  outcome.status = takeValue(value, type, uResult, iType, rtnCharFlag);
  outcome.type = type;
  gtype = type;
  return outcome;
}

enum class Wait { kAnswer, kCancelled, kTimedOut };

// Waits for the printer's GetResponse to this request; any other datagram is skipped.
Wait awaitAnswer(const SnmpGetShared& shared, int socket, const Peer& peer, std::int64_t requestId,
                 std::int32_t ms, std::vector<std::uint8_t>& answer) {
  const int wakeupFd = threadCancelWakeupFd();
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  // Room for any datagram; not zeroed, since only the bytes received are read.
  std::array<std::uint8_t, kMaxUdpPayload> receive;
  for (;;) {
    if (cancelled(shared)) {
      return Wait::kCancelled;
    }
    // Rounded up: a wait cut to whole milliseconds would end before the timeout.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd fds[2] = {{socket, POLLIN, 0}, {wakeupFd, POLLIN, 0}};
    const int ready = ::poll(fds, wakeupFd >= 0 ? 2 : 1, static_cast<int>(std::max<long>(left, 0)));
    if (cancelled(shared)) {
      return Wait::kCancelled;
    }
    if (ready > 0 && (fds[1].revents & POLLIN) != 0) {
      drainThreadCancelWakeup();  // left from a cancel that an earlier GET's own flag value cleared
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
        const std::span<const std::uint8_t> datagram(receive.data(),
                                                     std::min(size, receive.size()));
        if (got > 0 && size <= receive.size() && fromPeer(sender, peer) &&
            SNMPMessage::getResponseRequestId(datagram) == requestId) {
          answer.assign(datagram.begin(), datagram.end());
          return Wait::kAnswer;
        }
      }
    }
    if (left <= 0) {
      return Wait::kTimedOut;
    }
  }
}

}  // namespace

std::int32_t UResult::integer() const {
  std::int32_t value = 0;
  std::memcpy(&value, bytes_.data(), sizeof(value));
  return value;
}

void UResult::setInteger(std::int32_t value) { std::memcpy(bytes_.data(), &value, sizeof(value)); }

std::string_view UResult::string() const {
  const auto* end = std::find(bytes_.begin(), bytes_.end(), '\0');
  return {bytes_.data(), static_cast<std::size_t>(end - bytes_.begin())};
}

void UResult::setString(std::string_view text) {
  static_assert(kSize - 1 == replies::kMaxSnmpText);
  const std::size_t length = text::wholeCharacterPrefix(text, kSize - 1);
  std::memcpy(bytes_.data(), text.data(), length);
  bytes_[length] = '\0';
}

std::string formatMacAddress(std::string_view text) {
  std::array<std::size_t, 12> positions{};
  for (std::size_t i = 0; i < positions.size(); ++i) {
    switch (text.size()) {
      case 17:  // "00-1A-2B-3C-4D-5E": the two digits of each group
        positions[i] = i / 2 * 3 + i % 2;
        break;
      case 16:  // four blanks, then twelve hex digits
        positions[i] = 4 + i;
        break;
      case 12:  // the address as plain text
        positions[i] = i;
        break;
      default:
        return {};
    }
  }
  std::string mac;
  mac.reserve(17);
  for (std::size_t i = 0; i < positions.size(); ++i) {
    if (i > 0 && i % 2 == 0) {
      mac.push_back(':');
    }
    mac.push_back(text[positions[i]]);
  }
  // Bytes picked from a text holding other than ASCII can cut a character in two.
  if (!text::isValidUtf8(mac)) {
    return {};
  }
  return mac;
}

namespace {

bool isWhiteSpace(char32_t c) {
  return c == U' ' || c == U'\t' || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) ||
         c == 0x202F || c == 0x205F || c == 0x3000;
}

bool isLineBreak(char32_t c) {
  return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

// The code point of one UTF-8 sequence; U+FFFD, which no trim removes, for bytes that are
// not one character.
char32_t decode(std::string_view bytes) {
  if (!text::isValidUtf8(bytes)) {
    return U'\uFFFD';
  }
  const auto lead = static_cast<unsigned char>(bytes[0]);
  if (bytes.size() == 1) {
    return lead;
  }
  char32_t c = lead & (0x7FU >> bytes.size());
  for (std::size_t i = 1; i < bytes.size(); ++i) {
    c = (c << 6) | (static_cast<unsigned char>(bytes[i]) & 0x3FU);
  }
  return c;
}

// The bytes of the first and of the last character; one byte where none starts (which
// decode then turns into U+FFFD).
std::size_t leadingLength(std::string_view text) {
  const std::size_t length = text::sequenceLength(static_cast<unsigned char>(text[0]));
  return std::clamp<std::size_t>(length, 1, text.size());
}

std::size_t trailingLength(std::string_view text) {
  std::size_t length = 1;
  while (length < text.size() && length < 4 &&
         text::isContinuation(static_cast<unsigned char>(text[text.size() - length]))) {
    ++length;
  }
  return length;
}

std::string_view trimBoth(std::string_view text, bool (*matches)(char32_t)) {
  while (!text.empty()) {
    const std::size_t length = leadingLength(text);
    if (!matches(decode(text.substr(0, length)))) {
      break;
    }
    text.remove_prefix(length);
  }
  while (!text.empty()) {
    const std::size_t length = trailingLength(text);
    if (!matches(decode(text.substr(text.size() - length)))) {
      break;
    }
    text.remove_suffix(length);
  }
  return text;
}

}  // namespace

std::string_view trimHostText(std::string_view host) {
  return trimBoth(trimBoth(host, isWhiteSpace), isLineBreak);
}

SnmpGetOutcome PdeSnmpGet(const SnmpGetShared& shared,
                          std::span<const std::string_view> snmpArgVector, UResult& uResult,
                          std::int32_t iType, std::int32_t rtnCharFlag) {
  SnmpGetOutcome outcome;
  if (snmpArgVector.size() <= requests::kOidSlot) {
    return outcome;
  }
  const std::string_view host = snmpArgVector[requests::kHostSlot];
  const std::string_view community = snmpArgVector[requests::kCommunitySlot];
  const std::string_view oid = snmpArgVector[requests::kOidSlot];
  const std::uint16_t requestId = drawRequestId();

  std::vector<std::uint8_t> request;
  {
    MIBConnection builder;
    if (cancelled(shared)) {
      outcome.status = kSnmpCancelled;
      return outcome;
    }
    if (!builder.requestGenericWithSingleResponse(community, nullptr, oid, requestId)) {
      return outcome;
    }
    const auto bytes = builder.msg().data();
    // No message (the encoder refused it) or one that no datagram can carry: refused
    // before anything is sent.
    if (bytes.empty() || bytes.size() > kMaxUdpPayload) {
      return outcome;
    }
    request.assign(bytes.begin(), bytes.end());
  }
  const std::int32_t ms = waitMilliseconds(shared);
  const auto peer = resolveNumeric(trimHostText(host));
  if (!peer) {
    return outcome;
  }
  const UniqueFd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  const bool sent = socket && ::sendto(socket.get(), request.data(), request.size(), 0,
                                       reinterpret_cast<const sockaddr*>(&peer->address),
                                       sizeof(peer->address)) > 0;
  if (!sent) {
    sleepMilliseconds(ms);
    return outcome;
  }
  std::vector<std::uint8_t> answer;
  switch (awaitAnswer(shared, socket.get(), *peer, requestIdValue(requestId), ms, answer)) {
    case Wait::kCancelled:
      outcome.status = kSnmpCancelled;
      return outcome;
    case Wait::kTimedOut:
      return outcome;
    case Wait::kAnswer:
      return decodeAnswer(answer, uResult, iType, rtnCharFlag);
  }
  return outcome;
}

std::string snmpGetReply(const SnmpGetOutcome& outcome, const UResult& uResult) {
  if (outcome.status != kSnmpDone) {
    return std::string(replies::kSnmpFailurePrefix) + std::to_string(outcome.status);
  }
  switch (outcome.type) {
    case kSnmpTypeInteger:
      return std::string(replies::kSnmpIntegerPrefix) + std::to_string(uResult.integer());
    case kSnmpTypeOctetString:
    case kSnmpTypeObjectIdentifier:
      return std::string(replies::kSnmpTextPrefix) + std::string(uResult.string());
    default:
      return std::string(replies::kFalse);
  }
}

}  // namespace printxpc
