// SNMP GET of sysDescr.0 from a private snmpd on 127.0.0.1: through the service (client,
// socket, service, snmpd and back) against its floor, a raw Unix-socket ping-pong of the
// same frame sizes plus a hand-written UDP exchange of the same request bytes; and against
// `snmpget -v1` per call and net-snmp's library in process. All measured in one run, in
// alternating blocks. Binds 127.0.0.1:161: run it inside tests/netns-run (scripts/bench does).
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "common/unique_fd.h"
#include "protocol/operations.h"
#include "protocol/requests.h"
#include "protocol/wire.h"
#include "service/core/service_xpc.h"
#include "snmp/mib_connection.h"
#include "snmp/snmp_get.h"
#include "support/bench_support.h"

// net-snmp's headers define many macros: they come after everything of ours.
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

namespace {

using namespace printxpc;

constexpr char kAgent[] = "127.0.0.1";
constexpr char kOid[] = "1.3.6.1.2.1.1.1.0";
constexpr char kSysDescr[] = "Office Printer 7 (bench agent)";
constexpr int kWaitMs = 1000;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "snmp_get_bench: %s\n", what);
  std::exit(1);
}

// The GetRequest bytes that the service's encoder produces for the OID.
std::vector<std::uint8_t> encodedRequest() {
  MIBConnection builder;
  if (!builder.requestGenericWithSingleResponse("public", nullptr, kOid, 0x1234)) {
    fail("the builder refused the request");
  }
  const auto bytes = builder.msg().data();
  return {bytes.begin(), bytes.end()};
}

sockaddr_in agentAddress() {
  sockaddr_in agent{};
  agent.sin_family = AF_INET;
  agent.sin_port = htons(161);
  agent.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return agent;
}

// The least a GET's network part costs: a socket of its own (as every GET has), one send,
// one wait, one read of a GetResponse.
bool udpExchange(std::span<const std::uint8_t> request, int waitMs = kWaitMs) {
  const UniqueFd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  const sockaddr_in agent = agentAddress();
  if (!socket || ::sendto(socket.get(), request.data(), request.size(), 0,
                          reinterpret_cast<const sockaddr*>(&agent), sizeof(agent)) <= 0) {
    return false;
  }
  pollfd ready{socket.get(), POLLIN, 0};
  std::array<std::uint8_t, 2000> answer{};
  return ::poll(&ready, 1, waitMs) == 1 &&
         ::recv(socket.get(), answer.data(), answer.size(), 0) > 0 && answer[0] == 0x30;
}

// net-snmp's library with one session, each call a synchronous GET: no process, no IPC.
class NetSnmpSession {
 public:
  explicit NetSnmpSession(const std::string& persistentDir) {
    // No MIB loading for the library; snmpget, spawned later, keeps its usual start-up.
    ::setenv("MIBS", "", 1);
    ::setenv("SNMP_PERSISTENT_DIR", persistentDir.c_str(), 1);
    init_snmp("snmp_get_bench");
    ::unsetenv("MIBS");
    netsnmp_session settings;
    snmp_sess_init(&settings);
    settings.version = SNMP_VERSION_1;
    settings.peername = const_cast<char*>(kAgent);
    static char community[] = "public";
    settings.community = reinterpret_cast<u_char*>(community);
    settings.community_len = sizeof(community) - 1;
    settings.timeout = kWaitMs * 1000L;
    settings.retries = 0;
    session_ = snmp_open(&settings);
    if (session_ == nullptr) {
      fail("net-snmp cannot open a session");
    }
    if (!read_objid(kOid, name_.data(), &nameLength_)) {
      fail("net-snmp cannot read the OID");
    }
  }
  ~NetSnmpSession() { snmp_close(session_); }
  NetSnmpSession(const NetSnmpSession&) = delete;
  NetSnmpSession& operator=(const NetSnmpSession&) = delete;

  bool get() {
    netsnmp_pdu* request = snmp_pdu_create(SNMP_MSG_GET);
    snmp_add_null_var(request, name_.data(), nameLength_);
    netsnmp_pdu* response = nullptr;
    const int status = snmp_synch_response(session_, request, &response);
    const bool answered = status == STAT_SUCCESS && response != nullptr &&
                          response->errstat == SNMP_ERR_NOERROR && response->variables != nullptr &&
                          response->variables->type == ASN_OCTET_STR;
    if (response != nullptr) {
      snmp_free_pdu(response);
    }
    return answered;
  }

 private:
  netsnmp_session* session_ = nullptr;
  std::array<oid, MAX_OID_LEN> name_{};
  std::size_t nameLength_ = MAX_OID_LEN;
};

// The legs in their order in `legs`.
enum LegIndex { kService, kFloor, kPingPong, kUdp, kOperation, kTransaction, kLibrary, kSnmpget };

struct Leg {
  const char* label;
  int perBlock;
  std::function<void()> call;
  std::vector<double> samples;
};

}  // namespace

int main() {
  const int cpu = bench::pinToOneCpu();
  const auto request = encodedRequest();
  bench::SnmpdProcess snmpd(kAgent, kSysDescr);
  bool agentReady = false;
  for (int attempt = 0; attempt < 100 && !agentReady; ++attempt) {
    agentReady = udpExchange(request, 100);
  }
  if (!agentReady) {
    fail("snmpd does not answer on 127.0.0.1:161 (run through tests/netns-run, as root)");
  }

  bench::ServiceProcess service;
  auto client = service.connect();
  requests::SnmpGetFields fields;
  fields.iType = 4;
  fields.cancelFileName = service.socketPath() + ".cancel";  // cancelFlag NULL: no watch
  fields.timeoutMs = kWaitMs;
  fields.retries = 3;
  fields.args = requests::snmpGetArgs("public", kAgent, kOid);
  const std::string getRequest = requests::buildSnmpGet(fields);
  const std::string expectedReply = std::string("TRUE:uResult.string=") + kSysDescr;
  const auto selector = selectorOf(Operation::kPdeSnmpGet);

  const std::string requestFrame = wire::encodeFrame(
      wire::FrameKind::kRequest, wire::encodeRequestPayload(selector, getRequest));
  const std::string replyFrame = wire::encodeFrame(wire::FrameKind::kReply, expectedReply);
  bench::RawEchoProcess raw(requestFrame.size(), replyFrame.size());
  std::string rawReply(replyFrame.size(), '\0');
  NetSnmpSession library(snmpd.persistentDir());
  const std::vector<std::string> snmpget = {"snmpget", "-v1", "-c", "public", kAgent, kOid};
  const std::vector<std::string> snmpgetEnv = {"SNMP_PERSISTENT_DIR=" + snmpd.persistentDir()};

  SharedState shared;
  OrvaneServiceXPC inProcess(shared);

  std::array<Leg, kSnmpget + 1> legs{{
      {"service (pdeSnmpGet_XPC, connection reused)",
       500,
       [&] {
         const auto reply = client.call(selector, getRequest);
         if (!reply || *reply != expectedReply) fail("unexpected service reply");
       },
       {}},
      {"floor: ping-pong + UDP exchange, one after the other",
       500,
       [&] {
         raw.roundTrip(requestFrame, rawReply);
         if (!udpExchange(request)) fail("no answer from snmpd");
       },
       {}},
      {"  raw Unix-socket ping-pong, same frame sizes",
       500,
       [&] { raw.roundTrip(requestFrame, rawReply); },
       {}},
      {"  hand-written UDP exchange, same request bytes",
       500,
       [&] {
         if (!udpExchange(request)) fail("no answer from snmpd");
       },
       {}},
      {"  the operation in process (pdeSnmpGet_XPC, no IPC)",
       500,
       [&] {
         if (inProcess.perform(Operation::kPdeSnmpGet, getRequest) != expectedReply)
           fail("unexpected in-process reply");
       },
       {}},
      {"  the transaction in process (PdeSnmpGet)",
       500,
       [&] {
         UResult uResult;
         const auto outcome = PdeSnmpGet(shared.snmp, "public", kAgent, kOid, uResult, 4, 0);
         if (outcome.status != kSnmpDone || uResult.string() != kSysDescr)
           fail("unexpected PdeSnmpGet result");
       },
       {}},
      {"net-snmp library, synchronous GET in process",
       500,
       [&] {
         if (!library.get()) fail("net-snmp GET failed");
       },
       {}},
      {"snmpget -v1, one process per call",
       10,
       [&] {
         if (!bench::runQuietly(snmpget, snmpgetEnv)) fail("snmpget failed");
       },
       {}},
  }};

  // Warm up, then alternate blocks so that every leg sees the same machine load.
  for (auto& leg : legs) bench::sampleMicros(leg.perBlock / 5, leg.call);
  for (int block = 0; block < 10; ++block) {
    for (auto& leg : legs) {
      const auto samples = bench::sampleMicros(leg.perBlock, leg.call);
      leg.samples.insert(leg.samples.end(), samples.begin(), samples.end());
    }
  }

  std::printf(
      "SNMP GET of sysDescr.0 from snmpd on 127.0.0.1, %zu-byte request datagram, "
      "%zu/%zu-byte request/reply frames, every process on CPU %d\n",
      request.size(), requestFrame.size(), replyFrame.size(), cpu);
  for (const auto& leg : legs) {
    std::printf("  %-54s median %8.2f us  p99 %8.2f us  (%zu calls)\n", leg.label,
                bench::median(leg.samples), bench::percentile(leg.samples, 0.99),
                leg.samples.size());
  }
  const double serviceMedian = bench::median(legs[kService].samples);
  const double floorMedian = bench::median(legs[kFloor].samples);
  bench::printRatio("service / floor (median)", serviceMedian, floorMedian, 1.25);
  // Measured alone, each part runs back to back with one peer process; the floor, like the
  // service path, hands over to two peers in turn and costs more than this sum.
  std::printf(
      "%-58s %8.2fx  (information)\n", "service / (ping-pong median + UDP median)",
      serviceMedian / (bench::median(legs[kPingPong].samples) + bench::median(legs[kUdp].samples)));
  bench::printRatio("snmpget per call / service (median)", bench::median(legs[kSnmpget].samples),
                    serviceMedian, 20.0, false);
  std::printf("%-58s %8.2fx  (reference)\n", "service / net-snmp library in process (median)",
              serviceMedian / bench::median(legs[kLibrary].samples));
  return 0;
}
