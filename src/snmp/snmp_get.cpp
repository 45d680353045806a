#include "snmp/snmp_get.h"

#include <sys/time.h>

#include <cstdlib>
#include <span>

#include "snmp/mib_connection.h"
#include "snmp/snmp_exchange.h"

namespace printxpc {

std::atomic<std::uint8_t> gtype{0};

namespace {

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

}  // namespace

SnmpGetOutcome PdeSnmpGet(const SnmpGetShared& shared, std::string_view community,
                          std::string_view host, std::string_view oid, UResult& uResult,
                          std::int32_t iType, std::int32_t rtnCharFlag) {
  SnmpGetOutcome outcome;
  const std::uint16_t requestId = drawRequestId();
  // The request's bytes stay in the builder, which lives until the exchange is over.
  MIBConnection builder;
  if (shared.cancel.raised()) {
    outcome.status = kSnmpCancelled;
    return outcome;
  }
  if (!builder.requestGenericWithSingleResponse(community, nullptr, oid, requestId)) {
    return outcome;
  }
  const std::span<const std::uint8_t> request = builder.msg().data();
  // No message (the encoder refused it) or one that no datagram can carry: refused
  // before anything is sent.
  if (request.empty() || request.size() > kMaxUdpPayload) {
    return outcome;
  }
  DatagramBuffer receive;
  SnmpResponse answer;
  switch (exchangeSnmp(shared, host, request, requestIdValue(requestId), receive, answer)) {
    case ExchangeEnd::kCancelled:
      outcome.status = kSnmpCancelled;
      return outcome;
    case ExchangeEnd::kNoAnswer:
      return outcome;
    case ExchangeEnd::kAnswer:
      outcome = takeAnswer(answer, uResult, iType, rtnCharFlag);
      gtype = outcome.type;
      return outcome;
  }
  return outcome;
}

}  // namespace printxpc
