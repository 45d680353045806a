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
#include "protocol/default_paths.h"
#include "protocol/transport.h"
#include "service/bus_front.h"
#include "service/bus_names.h"
#include "service/listen_socket.h"
#include "service/server.h"
#include "service/service_log.h"
#include "service/service_xpc.h"

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
      "SIGTERM or SIGINT stops the service after the requests in progress.\n",
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

// Parses the command line the GNU way (getopt_long: "--listen=PATH" or "--listen PATH",
// unambiguous abbreviations, "--" ending the options); an error message when it is not
// understood, empty when getopt already said why.
std::optional<std::string> parseOptions(int argc, char** argv, const BuildIdentity& build,
                                        Options& options) {
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
          return "--idle-exit takes a whole number of seconds";
        }
        options.idleExit = std::chrono::seconds(*seconds);
        break;
      }
      case kLogLevel: {
        const auto level = log::parseLevel(optarg);
        if (!level) {
          return "--log-level takes error, warning, notice, info or debug";
        }
        log::setLevel(*level);
        break;
      }
      default:
        return std::string();
    }
  }
  if (optind < argc) {
    return "unexpected argument '" + std::string(args[static_cast<std::size_t>(optind)]) + "'";
  }
  return std::nullopt;
}

// Blocks the stop signals in every thread and returns a descriptor that reports them.
UniqueFd stopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  (void)std::signal(SIGPIPE, SIG_IGN);
  // A hangup has nothing to tell this service; it comes when a terminal that it opened
  // becomes its controlling terminal and is closed again.
  (void)std::signal(SIGHUP, SIG_IGN);
  return UniqueFd(::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
}

void fail(const BuildIdentity& build, const std::string& message) {
  (void)std::fprintf(stderr, "%.*s: %s\n", static_cast<int>(build.name.size()), build.name.data(),
                     message.c_str());
}

// The bus front, or null (said on stderr) when the session bus cannot be used.
std::unique_ptr<BusFront> startBus(const BuildIdentity& build, const ModelTable& models,
                                   std::size_t maxCalls, const HandlerFactory& makeHandler,
                                   int signalFd) {
  BusFrontSettings settings;
  settings.busName = bus::busName(build);
  settings.protocolName = protocolName(build);
  settings.version = PRINTXPC_VERSION;
  settings.models = &models;
  settings.maxCalls = maxCalls;
  settings.log = [&build](const std::string& message) { fail(build, message); };
  std::string error;
  auto front = BusFront::start(std::move(settings), makeHandler, signalFd, error);
  if (!front) {
    fail(build, error + "; serving the socket only");
  }
  return front;
}

}  // namespace

int serviceMain(int argc, char** argv, const BuildIdentity& build, const ModelTable& models) {
  Options options;
  const auto logError = configureLog(build);
  if (const auto error = logError ? logError : parseOptions(argc, argv, build, options)) {
    if (!error->empty()) {
      fail(build, *error);
    }
    printUsage(build, stderr);
    return kExitUsage;
  }
  if (options.help) {
    printUsage(build, stdout);
    return kExitOk;
  }
  if (options.version) {
    printVersion(build, models);
    return kExitOk;
  }

  // Before the socket exists: a client may signal the service as soon as it can connect.
  const UniqueFd signals = stopSignals();
  UniqueFd listener;
  std::string ownedPath;
  SocketFile ownedFile;
  if (auto activated = activatedSocket()) {
    if (!isListeningUnixStream(activated->get())) {
      fail(build, "the socket passed by the service manager is not a listening Unix stream socket");
      return kExitFailure;
    }
    listener = std::move(*activated);
  } else {
    if (options.listenPath) {
      ownedPath = *options.listenPath;
    } else if (auto path = paths::defaultSocketPath(build.name); path.error.empty()) {
      ownedPath = std::move(path.path);
    } else {
      fail(build, path.error);
      return kExitFailure;
    }
    if (const auto error = listenAt(ownedPath, listener, ownedFile)) {
      fail(build, *error);
      return kExitFailure;
    }
  }

  // Frame buffers above 64 KiB get mappings of their own, which go back to the system when
  // freed; otherwise malloc raises this bound as they are freed and keeps them resident.
  (void)mallopt(M_MMAP_THRESHOLD, 64 * 1024);
  ServerSettings settings;
  settings.connection.protocolName = protocolName(build);
  settings.idleExit = options.idleExit;
  // Each connection gets its own service object, owned by its handler.
  const HandlerFactory makeHandler = [] {
    auto service = std::make_shared<OrvaneServiceXPC>();
    return RequestHandler([service](Operation operation, std::string_view request) {
      return service->perform(operation, request);
    });
  };
  // The bus front shares the handlers, the bound and the idle time with the socket.
  std::unique_ptr<BusFront> bus;
  settings.otherActivity = [&bus] {
    return bus ? bus->lastActivity() : std::chrono::steady_clock::time_point::min();
  };
  const int listenerFd = listener.get();
  auto server = std::make_unique<Server>(std::move(listener), ownedFile, settings, makeHandler);
  if (const int error = server->startError(); error != 0) {
    fail(build, std::string("cannot make an eventfd: ") + std::strerror(error));
    ownedFile.removeIfOurs();
    return kExitFailure;
  }
  logStarted(build, listenerFd, ownedPath.empty());
  if (options.bus) {
    bus = startBus(build, models, settings.maxConnections, makeHandler, signals.get());
  }
  const auto outcome = server->run(signals.get());
  logStopped(outcome, signals.get(), options.idleExit);
  if (outcome == Server::Outcome::kDrainTimedOut || (bus && !bus->finish(settings.drainTimeout))) {
    // Requests still running after the bound: leave without waiting for them.
    (void)std::fflush(nullptr);
    std::_Exit(kExitOk);
  }
  bus.reset();
  return kExitOk;
}

}  // namespace printxpc
