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
#include <vector>

#include "client/bus/bus_call.h"
#include "common/escape.h"
#include "printxpc/builds.h"
#include "printxpc/client.h"
#include "printxpc/operations.h"
#include "printxpc/requests.h"
#include "printxpc/result.h"

namespace {

using printxpc::Error;
using printxpc::Operation;
using printxpc::Result;
using printxpc::Status;

// The exit codes; the code of every Error below is one of them.
constexpr std::uint16_t kExitReply = 0;
constexpr std::uint16_t kExitTransport = 1;
constexpr std::uint16_t kExitUsage = 2;
constexpr std::uint16_t kExitFalseReply = 3;  // snmp-get --exit-status and a FALSE... reply

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

// What a command sends.
struct Call {
  std::string selector;
  std::string request;
  bool exitStatus = false;  // snmp-get --exit-status
};

// What the command line asks for.
struct Invocation {
  enum class Action { kCall, kHelp, kVersion };
  Action action = Action::kCall;
  const printxpc::BuildIdentity* build = &printxpc::kBuilds[0];
  std::optional<std::string> socketPath;
  bool bus = false;
  bool showRequest = false;
  std::string command;
  Call call;
};

// A usage error; with an empty message when getopt already said why.
Error usageError(std::string message) { return {kExitUsage, std::move(message)}; }

// A failure of the client library, named as its code names it.
Error transportError(const Error& failure) {
  return {kExitTransport, std::string(printxpc::errorName(failure.code)) + ": " + failure.message};
}

// Says why the run failed (with the hint after a usage error) and returns the exit code.
int report(const Error& error) {
  if (!error.message.empty()) {
    // Messages may carry text from the service or the bus: escaped as the service's log does.
    std::cerr << "print-xpc-call: " << printxpc::escaped(error.message) << "\n";
  }
  if (error.code == kExitUsage) {
    std::cerr << "Try 'print-xpc-call --help'.\n";
  }
  return error.code;
}

Result<std::string> readAll(std::istream& in, const std::string& what) {
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) {
    return usageError("cannot read " + what);
  }
  return std::move(text).str();
}

Result<std::string> readSource(const std::string& source) {
  if (source == "-") {
    return readAll(std::cin, "standard input");
  }
  std::ifstream file(source, std::ios::binary);
  if (!file) {
    return usageError("cannot read " + source);
  }
  return readAll(file, source);
}

// A long option of the tool or of a command, named without its leading dashes.
struct OptionForm {
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
// `context` prefixes getopt's one-line reason for a refused option (a usage error, which
// getopt has explained).
Result<Arguments> parseArguments(const std::string& context, const std::vector<std::string>& args,
                                 std::span<const OptionForm> forms,
                                 Operands operands = Operands::kAnywhere) {
  Arguments out;
  constexpr int kFirstLong = 256;
  constexpr int kHelpLong = 255;
  std::vector<option> table;
  table.reserve(forms.size() + 2);
  std::vector<std::string> names;  // NUL-terminated copies for getopt
  names.reserve(forms.size());
  for (const auto& form : forms) {
    names.emplace_back(form.name);
  }
  for (std::size_t i = 0; i < forms.size(); ++i) {
    table.push_back({names[i].c_str(), forms[i].takesValue ? required_argument : no_argument,
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
      return usageError({});
    }
    if (code == 1) {
      out.positional.emplace_back(optarg);
    } else if (code == 'h' || code == kHelpLong) {
      out.help = true;
    } else {
      const auto& form = forms[static_cast<std::size_t>(code - kFirstLong)];
      const std::string name = "--" + std::string(form.name);
      if (form.takesValue) {
        out.options.emplace_back(name, optarg);
      } else {
        out.flags.push_back(name);
      }
    }
  }
  out.positional.insert(out.positional.end(), storage.begin() + optind, storage.end());
  return out;
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

// --timeout, in milliseconds.
Result<int> parseMilliseconds(const std::string& text) {
  if (!allDigits(text)) {
    return usageError("--timeout takes a whole number of milliseconds");
  }
  return digitsToInt32(text);
}

// The builders: each checks its parsed arguments and makes the selector and the request of
// the call.

Result<Call> buildWritable(const Arguments& args) {
  if (args.positional.size() != 1) {
    return usageError("writable takes one PATH");
  }
  return Call{std::string(printxpc::selectorOf(Operation::kIsFilePathWritable)),
              printxpc::requests::buildFileWritable(args.positional[0])};
}

Result<Call> buildPlistWrite(const Arguments& args) {
  const auto& rest = args.positional;
  if (rest.empty() || rest.size() > 2) {
    return usageError("write-plist takes URL and optionally FILE or -");
  }
  const auto contents = readSource(rest.size() == 2 ? rest[1] : "-");
  if (!contents) {
    return contents.error();
  }
  return Call{std::string(printxpc::selectorOf(Operation::kWriteDictionaryToPlistFile)),
              printxpc::requests::buildPlistWrite(rest[0], *contents)};
}

Result<Call> buildWake(const Arguments& args) {
  if (args.positional.size() != 1) {
    return usageError("wake takes one MAC address");
  }
  const auto address = args.option("--address");
  const auto password = args.option("--password");
  return Call{
      std::string(printxpc::selectorOf(Operation::kSendMagicPacket)),
      printxpc::requests::buildMagicPacket(
          address ? std::optional<std::string_view>(*address) : std::nullopt, args.positional[0],
          password ? std::optional<std::string_view>(*password) : std::nullopt)};
}

Result<Call> buildPing(const Arguments& args) {
  if (args.positional.size() != 1) {
    return usageError("ping takes one HOST");
  }
  const auto timeout = parseMilliseconds(args.option("--timeout").value_or("1000"));
  if (!timeout) {
    return timeout.error();
  }
  return Call{std::string(printxpc::selectorOf(Operation::kSendEchoAndRecvReply)),
              printxpc::requests::buildEcho(args.positional[0], *timeout)};
}

Result<Call> buildSnmpGet(const Arguments& args) {
  if (args.positional.size() != 2) {
    return usageError("snmp-get takes HOST and OID");
  }
  if (args.option("--cancel-file") && args.flag("--no-cancel")) {
    return usageError("--cancel-file and --no-cancel exclude each other");
  }
  const auto timeout = parseMilliseconds(args.option("--timeout").value_or("1000"));
  if (!timeout) {
    return timeout.error();
  }
  const std::string type = args.option("--type").value_or("4");
  if (!allDigits(type)) {
    return usageError("--type takes a number (2 integer, 4 text)");
  }
  printxpc::requests::SnmpGetArgs get;
  get.host = args.positional[0];
  // SNMP tools print OIDs with a leading dot; the service takes them without it.
  std::string_view oid = args.positional[1];
  if (oid.starts_with('.')) {
    oid.remove_prefix(1);
  }
  get.oid = oid;
  get.community = args.option("--community").value_or("public");
  get.timeoutMs = *timeout;
  get.expectedType = digitsToInt32(type);
  get.macForm = args.flag("--mac");
  get.cancelFile = args.option("--cancel-file").value_or("");
  if (args.flag("--no-cancel")) {
    get.cancelFlag = std::nullopt;
  }
  auto request = printxpc::requests::buildSnmpGet(get);
  if (!request) {
    return transportError(request.error());
  }
  return Call{std::string(printxpc::selectorOf(Operation::kPdeSnmpGet)), std::move(*request),
              args.flag("--exit-status")};
}

Result<Call> buildCancel(const Arguments& args) {
  if (args.positional.size() != 1) {
    return usageError("cancel takes one PATH");
  }
  return Call{std::string(printxpc::selectorOf(Operation::kCancelFileWrite)),
              printxpc::requests::buildCancelWrite(args.positional[0])};
}

// OPERATION REQUEST: the operation's selector, the request as given.
Result<Call> buildRaw(const std::string& operation, const Arguments& args) {
  if (args.positional.size() != 1) {
    return usageError("an operation takes one REQUEST (or - for standard input)");
  }
  const auto& given = args.positional[0];
  if (given != "-") {
    return Call{operation, given};
  }
  auto request = readAll(std::cin, "standard input");
  if (!request) {
    return usageError("cannot read the request from standard input");
  }
  return Call{operation, std::move(*request)};
}

struct Command {
  std::string_view name;
  std::vector<OptionForm> options;  // besides --help
  Result<Call> (*build)(const Arguments&);
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

// Parses a command's arguments and builds its call, unless they ask for the help.
Status buildCommand(const std::vector<std::string>& rest, Invocation& invocation) {
  const std::string& command = invocation.command;
  const Command* known = nullptr;
  for (const auto& candidate : commands()) {
    if (candidate.name == command) {
      known = &candidate;
    }
  }
  if (known == nullptr && !printxpc::findOperation(command)) {
    return usageError("unknown command or operation '" + command + "'");
  }
  const std::span<const OptionForm> options = known != nullptr
                                                  ? std::span<const OptionForm>(known->options)
                                                  : std::span<const OptionForm>();
  const auto args = parseArguments(std::string(kProgram) + " " + command, rest, options);
  if (!args) {
    return args.error();
  }
  if (args->help) {
    invocation.action = Invocation::Action::kHelp;
    return {};
  }
  auto call = known != nullptr ? known->build(*args) : buildRaw(command, *args);
  if (!call) {
    return std::move(call).error();
  }
  invocation.call = std::move(*call);
  return {};
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
constexpr OptionForm kGlobalOptions[] = {
    {"service", true}, {"socket", true}, {"bus"}, {"show-request"}, {"version"}};

// Reads the command line: the tool's own options, the command and the call it makes.
Result<Invocation> parseInvocation(int argc, char** argv) {
  const auto global = parseArguments(std::string(kProgram), {argv + 1, argv + argc}, kGlobalOptions,
                                     Operands::kEndOptions);
  if (!global) {
    return global.error();
  }
  Invocation invocation;
  if (global->help) {
    invocation.action = Invocation::Action::kHelp;
    return invocation;
  }
  if (global->flag("--version")) {
    invocation.action = Invocation::Action::kVersion;
    return invocation;
  }
  if (const auto service = global->option("--service")) {
    if ((invocation.build = printxpc::findBuild(*service)) == nullptr) {
      return usageError("--service takes a, b or c");
    }
  }
  invocation.socketPath = global->option("--socket");
  invocation.bus = global->flag("--bus");
  if (invocation.bus && invocation.socketPath) {
    return usageError("--bus and --socket exclude each other");
  }
  invocation.showRequest = global->flag("--show-request");
  if (global->positional.empty()) {
    return usageError("missing COMMAND");
  }
  invocation.command = global->positional[0];
  if (auto built =
          buildCommand({global->positional.begin() + 1, global->positional.end()}, invocation);
      !built) {
    return std::move(built).error();
  }
  return invocation;
}

// The reply over the socket.
Result<std::string> callOverSocket(const Invocation& invocation) {
  std::string socketPath;
  if (invocation.socketPath) {
    socketPath = *invocation.socketPath;
  } else {
    auto path = printxpc::defaultSocketPath(invocation.build->name);
    if (!path) {
      return transportError(path.error());
    }
    socketPath = std::move(*path);
  }
  auto client =
      printxpc::ServiceClient::connect(socketPath, printxpc::protocolName(*invocation.build));
  if (!client) {
    auto failure = transportError(client.error());
    // Refused, reset or closed before the handshake ended: under socket activation, the
    // service did not start, and its unit's status says why.
    const auto code = client.error().code;
    if (code == printxpc::errorCode(printxpc::ClientError::kCannotConnect) ||
        code == printxpc::errorCode(printxpc::ClientError::kIo)) {
      failure.message +=
          "; see 'systemctl --user status " + std::string(invocation.build->name) + "'";
    }
    return failure;
  }
  auto reply = client->call(invocation.call.selector, invocation.call.request);
  if (!reply) {
    return transportError(reply.error());
  }
  return reply;
}

// The reply over the session bus.
Result<std::string> callOverBus(const Invocation& invocation) {
  auto reply = printxpc::bus::callOverBus(*invocation.build,
                                          *printxpc::findOperation(invocation.call.selector),
                                          invocation.call.request);
  if (!reply) {
    return transportError(reply.error());
  }
  return reply;
}

// Prints the reply; the exit code that it asks for.
int printReply(const Invocation& invocation, const std::string& reply) {
  std::cout << reply << "\n";
  if (invocation.command == "ping" && reply == "FALSE") {
    explainPingFailure();
  }
  if (invocation.call.exitStatus && reply.starts_with("FALSE")) {
    return kExitFalseReply;
  }
  return kExitReply;
}

int run(int argc, char** argv) {
  const auto invocation = parseInvocation(argc, argv);
  if (!invocation) {
    return report(invocation.error());
  }
  switch (invocation->action) {
    case Invocation::Action::kHelp:
      std::cout << kUsage;
      return kExitReply;
    case Invocation::Action::kVersion:
      printVersion();
      return kExitReply;
    case Invocation::Action::kCall:
      break;
  }
  if (invocation->showRequest) {
    std::cerr << "request: " << invocation->call.request << "\n";
  }
  const auto reply = invocation->bus ? callOverBus(*invocation) : callOverSocket(*invocation);
  if (!reply) {
    return report(reply.error());
  }
  return printReply(*invocation, *reply);
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
