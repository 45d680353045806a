// print-xpc-call: sends one request to a print-xpc-service build and prints the reply.
#include <getopt.h>
#include <unistd.h>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <span>
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
constexpr int kExitFalseReply = 3;  // snmp-get --exit-status and a FALSE... reply

constexpr std::string_view kProgram = "print-xpc-call";

constexpr std::string_view kUsage =
    R"(Usage: print-xpc-call [OPTION]... COMMAND [ARGUMENT]...

Sends one request to print-xpc-service and prints its reply string.

Commands:
  OPERATION REQUEST        send REQUEST verbatim ('-' reads it from standard input);
                           OPERATION is a selector such as isFilePathWritable_XPC:reply:
                           or the same without ':reply:'
  writable PATH            can a file be opened for reading and writing at PATH?
  write-plist URL [FILE|-] write FILE (or standard input) as the whole file at a file:// URL
  wake MAC [--address=A] [--password=P]
                           send a Wake-on-LAN magic packet (default: limited broadcast)
  ping HOST [--timeout=MS] does HOST (dotted IPv4) answer an ICMP echo? (default 1000 ms)
  snmp-get HOST OID [--community=C] [--timeout=MS] [--type=N] [--mac]
           [--cancel-file=PATH | --no-cancel] [--exit-status]
                           read one value by SNMPv1 from HOST (dotted IPv4). Defaults:
                           community public, timeout 1000 ms, type 4 (text). --mac formats
                           a text value as a MAC address. The GET can be cancelled with
                           'cancel PATH' through its cancel file (default
                           $XDG_RUNTIME_DIR/print-xpc-call.cancel, or the same name in the
                           private directory /tmp/print-xpc-<uid>); --no-cancel leaves
                           the service's cancel flag as it is. --exit-status exits with 3
                           when the reply starts with FALSE
  cancel PATH              cancel the GETs that watch the cancel file PATH

Options (before COMMAND):
  --service=a|b|c  the build to talk to (default a): its protocol and default socket
  --socket=PATH    connect to PATH instead of the build's default socket
  --bus            call the build's name on the D-Bus session bus instead of the socket
                   (org.printxpc.ServiceA, ...; see docs/dbus.md)
  --show-request   print the request string on standard error before sending it
  -h, --help       show this help and exit
  --version        show the version and the protocol of each build, and exit

An option's value may follow as the next argument (--socket PATH); long options may be
abbreviated where that is unambiguous. A command's options may come before or after its
operands; '--' ends the options, so that an operand may start with '-'
(print-xpc-call writable -- -draft.pdf).

Exit status: 0 a reply was printed, 1 transport failure (reason on standard error),
2 usage error, 3 snmp-get --exit-status and the reply starts with FALSE.
)";

struct Invocation {
  const printxpc::BuildIdentity* build = &printxpc::kBuilds[0];
  std::optional<std::string> socketPath;
  bool bus = false;
  bool showRequest = false;
  bool exitStatus = false;
  std::string selector;
  std::string request;
};

int transportError(const printxpc::TransportFailure& failure) {
  std::cerr << "print-xpc-call: " << printxpc::errorName(failure.code) << ": " << failure.message
            << "\n";
  return kExitTransport;
}

int tryHelp() {
  std::cerr << "Try 'print-xpc-call --help'.\n";
  return kExitUsage;
}

int usageError(const std::string& message) {
  std::cerr << "print-xpc-call: " << message << "\n";
  return tryHelp();
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

// A long option of the tool or of a command, named without its leading dashes.
struct OptionSpec {
  std::string_view name;
  bool takesValue = false;
};

// Parsed arguments: operands, "--name value" options and "--name" flags, each option under
// its full name (an abbreviation given on the command line is stored expanded).
struct Arguments {
  std::vector<std::string> positional;
  std::vector<std::pair<std::string, std::string>> options;
  std::vector<std::string> flags;
  bool help = false;

  bool flag(std::string_view name) const {
    for (const auto& present : flags) {
      if (present == name) {
        return true;
      }
    }
    return false;
  }

  // The last value given, as GNU tools take it.
  std::optional<std::string> option(std::string_view name) const {
    for (auto at = options.rbegin(); at != options.rend(); ++at) {
      if (at->first == name) {
        return at->second;
      }
    }
    return std::nullopt;
  }
};

enum class Operands {
  kAnywhere,   // a command: options may follow its operands
  kEndOptions  // the tool itself: the first operand (the command) ends its options
};

// Parses arguments with getopt_long, so that they read as every GNU tool's do: "--name value"
// and "--name=value", unambiguous abbreviations, "--" ending the options, and -h for --help.
// `context` prefixes getopt's one-line reason for a refused option; the exit code is returned
// once that reason and the hint are out.
std::optional<int> parseArguments(const std::string& context, const std::vector<std::string>& args,
                                  std::span<const OptionSpec> specs, Arguments& out,
                                  Operands operands = Operands::kAnywhere) {
  constexpr int kFirstLong = 256;
  constexpr int kHelpLong = 255;
  std::vector<option> table;
  table.reserve(specs.size() + 2);
  std::vector<std::string> names;  // NUL-terminated copies for getopt
  names.reserve(specs.size());
  for (const auto& spec : specs) {
    names.emplace_back(spec.name);
  }
  for (std::size_t i = 0; i < specs.size(); ++i) {
    table.push_back({names[i].c_str(), specs[i].takesValue ? required_argument : no_argument,
                     nullptr, kFirstLong + static_cast<int>(i)});
  }
  table.push_back({"help", no_argument, nullptr, kHelpLong});
  table.push_back({nullptr, 0, nullptr, 0});

  std::vector<std::string> storage{context};
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  argv.reserve(storage.size() + 1);
  for (auto& arg : storage) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  const int argc = static_cast<int>(storage.size());

  // '-': operands come back in order as code 1 (whatever POSIXLY_CORRECT says);
  // '+': the first operand stops the parse.
  const char* shortOptions = operands == Operands::kAnywhere ? "-h" : "+h";
  optind = 0;  // a full restart: each parse has its own table
  opterr = 1;
  for (int code = 0;
       (code = getopt_long(argc, argv.data(), shortOptions, table.data(), nullptr)) != -1;) {
    if (code == '?') {
      return tryHelp();
    }
    if (code == 1) {
      out.positional.emplace_back(optarg);
    } else if (code == 'h' || code == kHelpLong) {
      out.help = true;
    } else {
      const auto& spec = specs[static_cast<std::size_t>(code - kFirstLong)];
      const std::string name = "--" + std::string(spec.name);
      if (spec.takesValue) {
        out.options.emplace_back(name, optarg);
      } else {
        out.flags.push_back(name);
      }
    }
  }
  out.positional.insert(out.positional.end(), storage.begin() + optind, storage.end());
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

// The builders: each checks its parsed arguments and fills in the selector and the request
// of the call; an exit code when that fails.

std::optional<int> buildWritable(const Arguments& args, Invocation& call) {
  if (args.positional.size() != 1) {
    return usageError("writable takes one PATH");
  }
  call.selector = printxpc::selectorOf(Operation::kIsFilePathWritable);
  call.request = printxpc::requests::buildFileWritable(args.positional[0]);
  return std::nullopt;
}

std::optional<int> buildPlistWrite(const Arguments& args, Invocation& call) {
  const auto& rest = args.positional;
  if (rest.empty() || rest.size() > 2) {
    return usageError("write-plist takes URL and optionally FILE or -");
  }
  const auto contents = readSource(rest.size() == 2 ? rest[1] : "-");
  if (!contents) {
    return usageError("cannot read " + (rest.size() == 2 ? rest[1] : "standard input"));
  }
  call.selector = printxpc::selectorOf(Operation::kWriteDictionaryToPlistFile);
  call.request = printxpc::requests::buildPlistWrite(rest[0], *contents);
  return std::nullopt;
}

std::optional<int> buildWake(const Arguments& args, Invocation& call) {
  if (args.positional.size() != 1) {
    return usageError("wake takes one MAC address");
  }
  const auto address = args.option("--address");
  const auto password = args.option("--password");
  call.selector = printxpc::selectorOf(Operation::kSendMagicPacket);
  call.request = printxpc::requests::buildMagicPacket(
      address ? std::optional<std::string_view>(*address) : std::nullopt, args.positional[0],
      password ? std::optional<std::string_view>(*password) : std::nullopt);
  return std::nullopt;
}

std::optional<int> buildPing(const Arguments& args, Invocation& call) {
  if (args.positional.size() != 1) {
    return usageError("ping takes one HOST");
  }
  const auto timeout = parseMilliseconds(args.option("--timeout").value_or("1000"));
  if (!timeout) {
    return usageError("--timeout takes a whole number of milliseconds");
  }
  call.selector = printxpc::selectorOf(Operation::kSendEchoAndRecvReply);
  call.request = printxpc::requests::buildEcho(args.positional[0], *timeout);
  return std::nullopt;
}

std::optional<int> buildSnmpGet(const Arguments& args, Invocation& call) {
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
  call.exitStatus = args.flag("--exit-status");
  return std::nullopt;
}

std::optional<int> buildCancel(const Arguments& args, Invocation& call) {
  if (args.positional.size() != 1) {
    return usageError("cancel takes one PATH");
  }
  call.selector = printxpc::selectorOf(Operation::kCancelFileWrite);
  call.request = printxpc::requests::buildCancelWrite(args.positional[0]);
  return std::nullopt;
}

// OPERATION REQUEST: the operation's selector, the request as given.
std::optional<int> buildRaw(const std::string& operation, const Arguments& args, Invocation& call) {
  if (args.positional.size() != 1) {
    return usageError("an operation takes one REQUEST (or - for standard input)");
  }
  const auto& given = args.positional[0];
  const auto request = given == "-" ? readAll(std::cin) : std::optional<std::string>(given);
  if (!request) {
    return usageError("cannot read the request from standard input");
  }
  call.selector = operation;
  call.request = *request;
  return std::nullopt;
}

struct Command {
  std::string_view name;
  std::vector<OptionSpec> options;  // besides --help
  std::optional<int> (*build)(const Arguments&, Invocation&);
};

const std::vector<Command>& commands() {
  static const std::vector<Command> table{
      {"writable", {}, buildWritable},
      {"write-plist", {}, buildPlistWrite},
      {"wake", {{"address", true}, {"password", true}}, buildWake},
      {"ping", {{"timeout", true}}, buildPing},
      {"snmp-get",
       {{"community", true},
        {"timeout", true},
        {"type", true},
        {"cancel-file", true},
        {"mac"},
        {"no-cancel"},
        {"exit-status"}},
       buildSnmpGet},
      {"cancel", {}, buildCancel},
  };
  return table;
}

// Parses a command's arguments and builds its selector and request; an exit code when that
// fails or when only the help was asked for.
std::optional<int> buildCommand(const std::string& command, const std::vector<std::string>& rest,
                                Invocation& call) {
  const Command* known = nullptr;
  for (const auto& candidate : commands()) {
    if (candidate.name == command) {
      known = &candidate;
    }
  }
  if (known == nullptr && !printxpc::findOperation(command)) {
    return usageError("unknown command or operation '" + command + "'");
  }
  Arguments args;
  const std::span<const OptionSpec> options = known != nullptr
                                                  ? std::span<const OptionSpec>(known->options)
                                                  : std::span<const OptionSpec>();
  if (const auto refused =
          parseArguments(std::string(kProgram) + " " + command, rest, options, args)) {
    return refused;
  }
  if (args.help) {
    std::cout << kUsage;
    return kExitReply;
  }
  return known != nullptr ? known->build(args, call) : buildRaw(command, args, call);
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

void printVersion() {
  std::cout << kProgram << " " << PRINTXPC_VERSION << "\n";
  for (const auto& build : printxpc::kBuilds) {
    std::cout << "build " << build.name << ": protocol " << printxpc::protocolName(build) << "\n";
  }
}

// The tool's own options, before COMMAND.
constexpr OptionSpec kGlobalOptions[] = {
    {"service", true}, {"socket", true}, {"bus"}, {"show-request"}, {"version"}};

// Applies the tool's own options; an exit code when they end the run.
std::optional<int> applyGlobalOptions(const Arguments& global, Invocation& call) {
  if (global.help) {
    std::cout << kUsage;
    return kExitReply;
  }
  if (global.flag("--version")) {
    printVersion();
    return kExitReply;
  }
  if (const auto service = global.option("--service")) {
    if ((call.build = printxpc::findBuild(*service)) == nullptr) {
      return usageError("--service takes a, b or c");
    }
  }
  call.socketPath = global.option("--socket");
  call.bus = global.flag("--bus");
  if (call.bus && call.socketPath) {
    return usageError("--bus and --socket exclude each other");
  }
  call.showRequest = global.flag("--show-request");
  return std::nullopt;
}

// The reply over the socket, or the exit code after saying why there is none.
std::variant<std::string, int> callOverSocket(const Invocation& call) {
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
  return std::get<std::string>(std::move(reply));
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

// Prints the reply, or passes on the exit code of a call that got none.
int printReply(const std::string& command, const Invocation& call,
               const std::variant<std::string, int>& reply) {
  if (const auto* exitCode = std::get_if<int>(&reply)) {
    return *exitCode;
  }
  const auto& text = std::get<std::string>(reply);
  std::cout << text << "\n";
  if (command == "ping" && text == "FALSE") {
    explainPingFailure();
  }
  if (call.exitStatus && text.starts_with("FALSE")) {
    return kExitFalseReply;
  }
  return kExitReply;
}

int run(int argc, char** argv) {
  Arguments global;
  if (const auto refused = parseArguments(std::string(kProgram), {argv + 1, argv + argc},
                                          kGlobalOptions, global, Operands::kEndOptions)) {
    return *refused;
  }
  Invocation call;
  if (const auto exitCode = applyGlobalOptions(global, call)) {
    return *exitCode;
  }
  if (global.positional.empty()) {
    return usageError("missing COMMAND");
  }
  const std::string command = global.positional[0];
  if (const auto exitCode =
          buildCommand(command, {global.positional.begin() + 1, global.positional.end()}, call)) {
    return *exitCode;
  }
  if (call.showRequest) {
    std::cerr << "request: " << call.request << "\n";
  }
  return printReply(command, call, call.bus ? callOverBus(call) : callOverSocket(call));
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
