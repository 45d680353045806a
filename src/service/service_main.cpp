#include "service/service_main.h"

#include <getopt.h>
#include <malloc.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/log.h"
#include "common/unique_fd.h"
#include "protocol/bus_names.h"
#include "protocol/default_paths.h"
#include "service/bus/bus_front.h"
#include "service/core/service_core.h"
#include "service/core/service_log.h"
#include "service/readiness.h"
#include "service/socket/listen_socket.h"
#include "service/socket/socket_front.h"

namespace printxpc {
namespace {

struct Options {
  std::optional<std::string> listenPath;
  std::chrono::milliseconds idleExit{0};
  bool bus = true;
  bool help = false;
  bool version = false;
};

void printUsage(const BuildIdentity& build, std::FILE* out) {
  (void)std::fprintf(
      out,
      "Usage: %.*s [--listen=PATH] [--idle-exit=SECONDS] [--log-level=LEVEL] [--no-bus]\n"
      "       %.*s --help | --version\n"
      "\n"
      "Serves the print-dialog helper operations on a Unix socket and on the D-Bus\n"
      "session bus.\n"
      "\n"
      "  --listen=PATH        create and listen on the socket PATH (mode 0600)\n"
      "  --idle-exit=SECONDS  exit once no connection has been open and no bus call\n"
      "                       has run for SECONDS\n"
      "  --log-level=LEVEL    error, warning, notice, info (default) or debug: one line\n"
      "                       per operation (also PRINTXPC_LOG_LEVEL)\n"
      "  --no-bus             serve the socket only, not the session bus\n"
      "  -h, --help           show this help and exit\n"
      "  --version            show the build, its protocol name and its models\n"
      "\n"
      "A value may also follow as the next argument (--listen PATH); options may be\n"
      "abbreviated where that is unambiguous.\n"
      "\n"
      "Under systemd socket activation (LISTEN_FDS/LISTEN_PID) the passed socket is\n"
      "served. Otherwise the socket is --listen PATH, or $XDG_RUNTIME_DIR/%.*s.sock\n"
      "(the private directory /tmp/print-xpc-<uid> when XDG_RUNTIME_DIR is unset).\n"
      "The bus name is org.printxpc.Service<ID> (see docs/dbus.md); without a reachable\n"
      "session bus the socket is served alone.\n"
      "SIGTERM or SIGINT stops the service after the requests in progress (at most\n"
      "10 s over the socket and the bus together).\n",
      static_cast<int>(build.name.size()), build.name.data(), static_cast<int>(build.name.size()),
      build.name.data(), static_cast<int>(build.name.size()), build.name.data());
}

void printVersion(const BuildIdentity& build, const ModelTable& models) {
  std::printf("%.*s %s\n", static_cast<int>(build.name.size()), build.name.data(),
              PRINTXPC_VERSION);
  std::printf("protocol %s\n", protocolName(build).c_str());
  std::printf("models:\n");
  for (std::size_t i = 0; i < models.rows().size(); ++i) {
    const auto& row = models.rows()[i];
    std::printf("  %zu  %s | %s | key %.*s | encryption type %d, key ID %d, model ID %d\n", i,
                row.manufacturer, row.modelName, static_cast<int>(row.jobTicketKey.size()),
                row.jobTicketKey.data(), row.encryptionType, row.encryptionKeyID,
                row.encryptionModelID);
  }
}

std::optional<long> parseSeconds(std::string_view text) {
  long value = 0;
  const auto* end = text.data() + text.size();
  const auto [ptr, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || ptr != end || value < 0 || value > 86400L * 365) {
    return std::nullopt;
  }
  return value;
}

Error usage(std::string message) { return {kExitUsage, std::move(message)}; }

// Parses the command line the GNU way (getopt_long: "--listen=PATH" or "--listen PATH",
// unambiguous abbreviations, "--" ending the options); a usage error when it is not
// understood, with an empty message when getopt already said why.
Result<Options> parseOptions(int argc, char** argv, const BuildIdentity& build) {
  Options options;
  enum : int { kListen = 256, kIdleExit, kLogLevel, kNoBus, kVersion };
  static constexpr option kLongOptions[] = {{"listen", required_argument, nullptr, kListen},
                                            {"idle-exit", required_argument, nullptr, kIdleExit},
                                            {"log-level", required_argument, nullptr, kLogLevel},
                                            {"no-bus", no_argument, nullptr, kNoBus},
                                            {"help", no_argument, nullptr, 'h'},
                                            {"version", no_argument, nullptr, kVersion},
                                            {nullptr, 0, nullptr, 0}};
  // getopt names the program by argv[0]: the build's name, as every other message does.
  std::string name(build.name);
  std::vector<char*> args(argv, argv + argc);
  args[0] = name.data();
  args.push_back(nullptr);
  optind = 0;
  opterr = 1;
  for (int code = 0; (code = getopt_long(argc, args.data(), "+h", kLongOptions, nullptr)) != -1;) {
    switch (code) {
      case 'h':
        options.help = true;
        break;
      case kVersion:
        options.version = true;
        break;
      case kNoBus:
        options.bus = false;
        break;
      case kListen:
        options.listenPath = optarg;
        break;
      case kIdleExit: {
        const auto seconds = parseSeconds(optarg);
        if (!seconds) {
          return usage("--idle-exit takes a whole number of seconds");
        }
        options.idleExit = std::chrono::seconds(*seconds);
        break;
      }
      case kLogLevel: {
        const auto level = log::parseLevel(optarg);
        if (!level) {
          return usage("--log-level takes error, warning, notice, info or debug");
        }
        log::setLevel(*level);
        break;
      }
      default:
        return usage({});
    }
  }
  if (optind < argc) {
    return usage("unexpected argument '" + std::string(args[static_cast<std::size_t>(optind)]) +
                 "'");
  }
  return options;
}

// Blocks the stop signals in every thread and returns a descriptor that reports them.
Result<UniqueFd> stopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  (void)std::signal(SIGPIPE, SIG_IGN);
  // A hangup has nothing to tell this service; it comes when a terminal that it opened
  // becomes its controlling terminal and is closed again.
  (void)std::signal(SIGHUP, SIG_IGN);
  UniqueFd fd(::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
  if (!fd) {
    return Error{kExitFailure,
                 std::string("cannot watch for stop signals: ") + std::strerror(errno)};
  }
  return fd;
}

void fail(const BuildIdentity& build, const std::string& message) {
  (void)std::fprintf(stderr, "%.*s: %s\n", static_cast<int>(build.name.size()), build.name.data(),
                     message.c_str());
}

// Says why the service cannot start (with the usage after a usage error) and returns the
// exit code.
int startFailed(const BuildIdentity& build, const Error& error) {
  if (!error.message.empty()) {
    fail(build, error.message);
  }
  if (error.code == kExitUsage) {
    printUsage(build, stderr);
  }
  return error.code;
}

struct Listener {
  ListeningSocket listening;
  bool activated = false;
};

// The socket to serve: the one that the service manager passed, else one created at
// --listen PATH or at the default path.
Result<Listener> openListener(const Options& options, const BuildIdentity& build) {
  auto activated = activatedSocket();
  if (!activated) {
    return std::move(activated).error();
  }
  if (*activated) {
    return Listener{{std::move(**activated), {}}, true};
  }
  auto path = options.listenPath ? Result<std::string>(*options.listenPath)
                                 : paths::defaultSocketPath(build.name);
  if (!path) {
    return Error{kExitFailure, path.error().message};
  }
  auto listening = listenAt(*path);
  if (!listening) {
    return std::move(listening).error();
  }
  return Listener{std::move(*listening), false};
}

// The bus front, or null (said on stderr) when the session bus cannot be used.
std::unique_ptr<BusFront> startBus(ServiceCore& core, const BuildIdentity& build,
                                   const ModelTable& models) {
  BusFrontSettings settings;
  settings.busName = bus::busName(build);
  settings.protocolName = protocolName(build);
  settings.version = PRINTXPC_VERSION;
  settings.models = &models;
  settings.log = [&build](const std::string& message) { fail(build, message); };
  auto front = BusFront::start(core, std::move(settings));
  if (!front) {
    fail(build, front.error().message + "; serving the socket only");
    return nullptr;
  }
  return std::move(*front);
}

}  // namespace

int serviceMain(int argc, char** argv, const BuildIdentity& build, const ModelTable& models) {
  if (auto configured = configureLog(build); !configured) {
    return startFailed(build, configured.error());
  }
  const auto parsed = parseOptions(argc, argv, build);
  if (!parsed) {
    return startFailed(build, parsed.error());
  }
  const Options& options = *parsed;
  if (options.help) {
    printUsage(build, stdout);
    return kExitOk;
  }
  if (options.version) {
    printVersion(build, models);
    return kExitOk;
  }

  // Before the socket exists: a client may signal the service as soon as it can connect.
  const auto signals = stopSignals();
  if (!signals) {
    return startFailed(build, signals.error());
  }
  auto listener = openListener(options, build);
  if (!listener) {
    return startFailed(build, listener.error());
  }
  // Frame buffers above 64 KiB get mappings of their own, which go back to the system when
  // freed; otherwise malloc raises this bound as they are freed and keeps them resident.
  (void)mallopt(M_MMAP_THRESHOLD, 64 * 1024);
  CoreSettings settings;
  settings.idleExit = options.idleExit;
  settings.stopping = [] { readiness::stopping("stopping: answering the requests in progress"); };
  ServiceCore core(std::move(settings));
  if (const int error = core.startError(); error != 0) {
    listener->listening.file.removeIfOurs();
    return startFailed(
        build, Error{kExitFailure, std::string("cannot make an eventfd: ") + std::strerror(error)});
  }
  const std::string socketPath = boundPath(listener->listening.socket.get());
  ConnectionSettings connection;
  connection.protocolName = protocolName(build);
  auto socket = SocketFront::start(core, std::move(listener->listening.socket),
                                   listener->listening.file, std::move(connection));
  if (!socket) {
    return startFailed(build, socket.error());
  }
  logStarted(build, socketPath, listener->activated);
  std::unique_ptr<BusFront> bus;
  if (options.bus) {
    bus = startBus(core, build, models);
  }
  readiness::ready("serving " + socketPath +
                   (bus ? " and " + bus::busName(build) : std::string(" (no bus name)")));
  const auto outcome = core.run(signals->get());
  if (!outcome.drained()) {
    // Requests still running after the bound: leave without waiting for them.
    (void)std::fflush(nullptr);
    std::_Exit(kExitOk);
  }
  bus.reset();
  socket->reset();
  return kExitOk;
}

}  // namespace printxpc
