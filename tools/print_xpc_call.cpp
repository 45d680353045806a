// print-xpc-call: sends one request to a print-xpc-service build and prints the reply.
#include <unistd.h>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "printxpc/builds.h"
#include "printxpc/client.h"
#include "printxpc/operations.h"
#include "printxpc/requests.h"
#include "service/bus_call.h"

namespace {

using printxpc::Operation;

constexpr int kExitReply = 0;
constexpr int kExitTransport = 1;
constexpr int kExitUsage = 2;

constexpr std::string_view kUsage =
    R"(Usage: print-xpc-call [--service a|b|c] [--socket PATH | --bus] COMMAND ...

Sends one request to print-xpc-service and prints its reply string.

Commands:
  OPERATION REQUEST        send REQUEST verbatim ('-' reads it from standard input);
                           OPERATION is a selector such as isFilePathWritable_XPC:reply:
                           or the same without ':reply:'
  writable PATH            can a file be opened for reading and writing at PATH?
  write-plist URL [FILE|-] write FILE (or standard input) as the whole file at a file:// URL
  wake MAC [--address A] [--password P]
                           send a Wake-on-LAN magic packet (default: limited broadcast)
  ping HOST [--timeout MS] does HOST (dotted IPv4) answer an ICMP echo? (default 1000 ms)
  snmp-get HOST OID [--community C] [--timeout MS] [--type N] [--mac]
           [--cancel-file PATH | --no-cancel]
                           read one value by SNMPv1 from HOST (dotted IPv4). Defaults:
                           community public, timeout 1000 ms, type 4 (text). --mac formats
                           a text value as a MAC address. The GET can be cancelled with
                           'cancel PATH' through its cancel file (default
                           $XDG_RUNTIME_DIR/print-xpc-call.cancel, or the same name in the
                           private directory /tmp/print-xpc-<uid>); --no-cancel leaves
                           the service's cancel flag as it is
  cancel PATH              cancel the GETs that watch the cancel file PATH

Options:
  --service a|b|c  the build to talk to (default a): its protocol and default socket
  --socket PATH    connect to PATH instead of the build's default socket
  --bus            call the build's name on the D-Bus session bus instead of the socket
                   (org.printxpc.ServiceA, ...; see docs/dbus.md)
  --show-request   print the request string on standard error before sending it
  --help           show this help

Exit status: 0 a reply was printed, 1 transport failure (reason on standard error),
2 usage error.
)";

struct Invocation {
  const printxpc::BuildIdentity* build = &printxpc::kBuilds[0];
  std::optional<std::string> socketPath;
  bool bus = false;
  bool showRequest = false;
  std::string selector;
  std::string request;
};

int transportError(const printxpc::TransportFailure& failure) {
  std::cerr << "print-xpc-call: " << printxpc::errorName(failure.code) << ": " << failure.message
            << "\n";
  return kExitTransport;
}

int usageError(const std::string& message) {
  std::cerr << "print-xpc-call: " << message << "\n"
            << "Try 'print-xpc-call --help'.\n";
  return kExitUsage;
}

std::optional<std::string> readAll(std::istream& in) {
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) {
    return std::nullopt;
  }
  return std::move(text).str();
}

std::optional<std::string> readSource(const std::string& source) {
  if (source == "-") {
    return readAll(std::cin);
  }
  std::ifstream file(source, std::ios::binary);
  if (!file) {
    return std::nullopt;
  }
  return readAll(file);
}

// Subcommand arguments: positionals, "--name value" options and "--name" flags.
struct Arguments {
  std::vector<std::string> positional;
  std::vector<std::pair<std::string, std::string>> options;
  std::vector<std::string> flags;

  bool flag(std::string_view name) const {
    for (const auto& present : flags) {
      if (present == name) {
        return true;
      }
    }
    return false;
  }

  std::optional<std::string> option(std::string_view name) const {
    for (const auto& [key, value] : options) {
      if (key == name) {
        return value;
      }
    }
    return std::nullopt;
  }
};

// Splits arguments; an error message for an option without its value or an unknown one.
std::optional<std::string> splitArguments(const std::vector<std::string>& args,
                                          const std::vector<std::string_view>& known,
                                          Arguments& out,
                                          const std::vector<std::string_view>& knownFlags = {}) {
  const auto contains = [](const std::vector<std::string_view>& names, const std::string& arg) {
    for (const auto name : names) {
      if (arg == name) {
        return true;
      }
    }
    return false;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.size() > 2 && arg.rfind("--", 0) == 0) {
      if (contains(knownFlags, arg)) {
        out.flags.push_back(arg);
        continue;
      }
      if (!contains(known, arg)) {
        return "unknown option '" + arg + "'";
      }
      if (i + 1 >= args.size()) {
        return arg + " needs a value";
      }
      out.options.emplace_back(arg, args[++i]);
    } else {
      out.positional.push_back(arg);
    }
  }
  return std::nullopt;
}

bool allDigits(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// A string of digits as a number, clamped to the 32-bit range.
std::int32_t digitsToInt32(const std::string& digits) {
  std::int32_t value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  return error == std::errc::result_out_of_range ? INT32_MAX : value;
}

std::optional<int> parseMilliseconds(const std::string& text) {
  if (!allDigits(text)) {
    return std::nullopt;
  }
  return digitsToInt32(text);
}

std::optional<int> buildSnmpGet(const std::vector<std::string>& rest, Invocation& call) {
  Arguments args;
  if (auto error = splitArguments(rest, {"--community", "--timeout", "--type", "--cancel-file"},
                                  args, {"--mac", "--no-cancel"})) {
    return usageError(*error);
  }
  if (args.positional.size() != 2) {
    return usageError("snmp-get takes HOST and OID");
  }
  if (args.option("--cancel-file") && args.flag("--no-cancel")) {
    return usageError("--cancel-file and --no-cancel exclude each other");
  }
  const auto timeout = parseMilliseconds(args.option("--timeout").value_or("1000"));
  if (!timeout) {
    return usageError("--timeout takes a whole number of milliseconds");
  }
  const std::string type = args.option("--type").value_or("4");
  if (!allDigits(type)) {
    return usageError("--type takes a number (2 integer, 4 text)");
  }
  printxpc::requests::SnmpGetFields fields;
  fields.iType = digitsToInt32(type);
  if (!args.flag("--no-cancel")) {
    fields.cancelFlag = 0;
  }
  if (auto named = args.option("--cancel-file")) {
    fields.cancelFileName = std::move(*named);
  } else {
    auto path = printxpc::defaultCancelFile();
    if (const auto* failure = std::get_if<printxpc::TransportFailure>(&path)) {
      return transportError(*failure);
    }
    fields.cancelFileName = std::move(std::get<std::string>(path));
  }
  fields.timeoutMs = *timeout;
  fields.rtnCharFlag = args.flag("--mac") ? 1 : 0;
  // SNMP tools print OIDs with a leading dot; the service takes them without it.
  std::string_view oid = args.positional[1];
  if (oid.starts_with('.')) {
    oid.remove_prefix(1);
  }
  fields.args = printxpc::requests::snmpGetArgs(args.option("--community").value_or("public"),
                                                args.positional[0], oid);
  call.selector = printxpc::selectorOf(Operation::kPdeSnmpGet);
  call.request = printxpc::requests::buildSnmpGet(fields);
  return std::nullopt;
}

// Builds the selector and request of a command; an exit code when that fails.
std::optional<int> buildCommand(const std::string& command, const std::vector<std::string>& rest,
                                Invocation& call) {
  const auto selectorOf = [](Operation operation) {
    return std::string(printxpc::selectorOf(operation));
  };
  if (command == "writable") {
    if (rest.size() != 1) {
      return usageError("writable takes one PATH");
    }
    call.selector = selectorOf(Operation::kIsFilePathWritable);
    call.request = printxpc::requests::buildFileWritable(rest[0]);
    return std::nullopt;
  }
  if (command == "write-plist") {
    if (rest.empty() || rest.size() > 2) {
      return usageError("write-plist takes URL and optionally FILE or -");
    }
    const auto contents = readSource(rest.size() == 2 ? rest[1] : "-");
    if (!contents) {
      return usageError("cannot read " + (rest.size() == 2 ? rest[1] : "standard input"));
    }
    call.selector = selectorOf(Operation::kWriteDictionaryToPlistFile);
    call.request = printxpc::requests::buildPlistWrite(rest[0], *contents);
    return std::nullopt;
  }
  if (command == "wake") {
    Arguments args;
    if (auto error = splitArguments(rest, {"--address", "--password"}, args)) {
      return usageError(*error);
    }
    if (args.positional.size() != 1) {
      return usageError("wake takes one MAC address");
    }
    const auto address = args.option("--address");
    const auto password = args.option("--password");
    call.selector = selectorOf(Operation::kSendMagicPacket);
    call.request = printxpc::requests::buildMagicPacket(
        address ? std::optional<std::string_view>(*address) : std::nullopt, args.positional[0],
        password ? std::optional<std::string_view>(*password) : std::nullopt);
    return std::nullopt;
  }
  if (command == "ping") {
    Arguments args;
    if (auto error = splitArguments(rest, {"--timeout"}, args)) {
      return usageError(*error);
    }
    if (args.positional.size() != 1) {
      return usageError("ping takes one HOST");
    }
    const auto timeout = parseMilliseconds(args.option("--timeout").value_or("1000"));
    if (!timeout) {
      return usageError("--timeout takes a whole number of milliseconds");
    }
    call.selector = selectorOf(Operation::kSendEchoAndRecvReply);
    call.request = printxpc::requests::buildEcho(args.positional[0], *timeout);
    return std::nullopt;
  }
  if (command == "snmp-get") {
    return buildSnmpGet(rest, call);
  }
  if (command == "cancel") {
    if (rest.size() != 1) {
      return usageError("cancel takes one PATH");
    }
    call.selector = selectorOf(Operation::kCancelFileWrite);
    call.request = printxpc::requests::buildCancelWrite(rest[0]);
    return std::nullopt;
  }
  if (!printxpc::findOperation(command)) {
    return usageError("unknown command or operation '" + command + "'");
  }
  if (rest.size() != 1) {
    return usageError("an operation takes one REQUEST (or - for standard input)");
  }
  const auto request = rest[0] == "-" ? readAll(std::cin) : std::optional<std::string>(rest[0]);
  if (!request) {
    return usageError("cannot read the request from standard input");
  }
  call.selector = command;
  call.request = *request;
  return std::nullopt;
}

// The likely reason why the service could not open an ICMP socket, if it is the group range.
void explainPingFailure() {
  std::ifstream range("/proc/sys/net/ipv4/ping_group_range");
  long low = 0;
  long high = 0;
  if (!(range >> low >> high)) {
    return;
  }
  const auto group = static_cast<long>(::getgid());
  if (group >= low && group <= high) {
    return;
  }
  std::cerr << "print-xpc-call: note: net.ipv4.ping_group_range is \"" << low << " " << high
            << "\", which excludes group " << group
            << "; the service may be unable to open an ICMP socket (see README, 'ICMP echo').\n";
}

int printReply(const std::string& command, const std::string& text) {
  std::cout << text << "\n";
  if (command == "ping" && text == "FALSE") {
    explainPingFailure();
  }
  return kExitReply;
}

// The reply over the session bus, or the exit code after saying why there is none.
std::variant<std::string, int> callOverBus(const Invocation& call) {
  auto reply = printxpc::bus::callOverBus(*call.build, *printxpc::findOperation(call.selector),
                                          call.request);
  if (auto* failure = std::get_if<printxpc::bus::CallFailure>(&reply)) {
    std::cerr << "print-xpc-call: " << (failure->name.empty() ? "" : failure->name + ": ")
              << failure->message << "\n";
    return kExitTransport;
  }
  return std::get<std::string>(std::move(reply));
}

int printReply(const std::string& command, const std::variant<std::string, int>& reply) {
  if (const auto* exitCode = std::get_if<int>(&reply)) {
    return *exitCode;
  }
  return printReply(command, std::get<std::string>(reply));
}

}  // namespace

namespace {

int run(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  Invocation call;
  std::size_t i = 0;
  for (; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return kExitReply;
    }
    if (arg == "--show-request") {
      call.showRequest = true;
    } else if (arg == "--bus") {
      call.bus = true;
    } else if (arg == "--service" || arg == "--socket") {
      if (i + 1 >= args.size()) {
        return usageError(arg + " needs a value");
      }
      const std::string& value = args[++i];
      if (arg == "--socket") {
        call.socketPath = value;
      } else if ((call.build = printxpc::findBuild(value)) == nullptr) {
        return usageError("--service takes a, b or c");
      }
    } else if (arg.rfind("--", 0) == 0 && arg.size() > 2) {
      return usageError("unknown option '" + arg + "'");
    } else {
      break;
    }
  }
  if (i >= args.size()) {
    return usageError("missing COMMAND");
  }
  const std::string command = args[i];
  if (const auto exitCode =
          buildCommand(command, {args.begin() + static_cast<long>(i) + 1, args.end()}, call)) {
    return *exitCode;
  }
  if (call.showRequest) {
    std::cerr << "request: " << call.request << "\n";
  }
  if (call.bus && call.socketPath) {
    return usageError("--bus and --socket exclude each other");
  }
  if (call.bus) {
    return printReply(command, callOverBus(call));
  }

  std::string socketPath;
  if (call.socketPath) {
    socketPath = *call.socketPath;
  } else {
    auto path = printxpc::defaultSocketPath(call.build->name);
    if (const auto* failure = std::get_if<printxpc::TransportFailure>(&path)) {
      return transportError(*failure);
    }
    socketPath = std::move(std::get<std::string>(path));
  }
  auto client = printxpc::ServiceClient::connect(socketPath, printxpc::protocolName(*call.build));
  if (const auto* failure = std::get_if<printxpc::TransportFailure>(&client)) {
    return transportError(*failure);
  }
  auto reply = std::get<printxpc::ServiceClient>(client).call(call.selector, call.request);
  if (const auto* failure = std::get_if<printxpc::TransportFailure>(&reply)) {
    return transportError(*failure);
  }
  return printReply(command, std::get<std::string>(reply));
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& error) {  // out of memory, and the like
    std::cerr << "print-xpc-call: " << error.what() << "\n";
    return kExitTransport;
  }
}
