// zarn-sim: a simulated controller service for a machine configuration, so
// that the client, scripts and their tests run with no machine attached.
//
// Exit status: 0 stopped (signal or "stop" command), 1 the service failed,
// 2 a usage or configuration error, 3 a port is already in use.

#include <getopt.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "zarn/sim/config.hpp"
#include "zarn/sim/service.hpp"

namespace {

constexpr const char* kDefaultConfig = "/opt/kvt/configs/handler_settings.yaml";

std::atomic<zarn::sim::Service*> g_service{nullptr};

void on_signal(int) {
  if (zarn::sim::Service* service = g_service.load()) service->request_stop();
}

// Lets signals reach the service exactly while it exists.
struct SignalTarget {
  explicit SignalTarget(zarn::sim::Service& service) { g_service.store(&service); }
  ~SignalTarget() { g_service.store(nullptr); }
  SignalTarget(const SignalTarget&) = delete;
  SignalTarget& operator=(const SignalTarget&) = delete;
};

void print_line(std::FILE* stream, const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stream);
  std::fputc('\n', stream);
  std::fflush(stream);
}

const char* const kUsage =
    "usage: zarn-sim [--config FILE] [--address HOST] [--speed F] [options]\n"
    "\n"
    "Serves the controller's result (5001), action (5002) and logger (5003) ports for the\n"
    "machine described by FILE (default /opt/kvt/configs/handler_settings.yaml), on the\n"
    "configuration's server_address when it is a loopback address, else on --address.\n"
    "\n"
    "options:\n"
    "  --config FILE          machine configuration\n"
    "  --address HOST         address to bind (any; 0.0.0.0 binds all interfaces)\n"
    "  --speed F              simulated seconds per real second (default 1)\n"
    "  --ports R,A,L          result, action and logger ports (default 5001,5002,5003)\n"
    "  --verbose              log every record taken, refused and published (stderr)\n"
    "  --no-control           do not read control commands from standard input\n"
    "faults, for tests of clients:\n"
    "  --withhold-replies N   give no reply to the next N action requests (all: every one)\n"
    "  --withhold-logger N    the same on the logger channel\n"
    "  --delay-replies S      reply to action requests S seconds late\n"
    "  --delay-logger S       the same on the logger channel\n"
    "  --reject N             refuse the next N action records with result -105 (all: every one)\n"
    "  --silent-publisher     publish no results\n"
    "  --restart-after S      restart the controller S seconds after start-up\n"
    "  --restart-down S       how long a restart keeps the ports closed (default 1)\n"
    "\n"
    "Control commands, one per line on standard input:\n  ";

[[noreturn]] void usage_error(const std::string& message) {
  print_line(stderr, "zarn-sim: " + message);
  print_line(stderr, "Try 'zarn-sim --help'.");
  std::exit(2);
}

long count_option(const char* name, const char* text) {
  if (std::strcmp(text, "all") == 0) return -1;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < 0) {
    usage_error(std::string(name) + " takes a count of zero or more, or 'all', not '" + text + "'");
  }
  return value;
}

double seconds_option(const char* name, const char* text, bool above_zero = false) {
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(value >= 0) || value > 1e9 || (above_zero && value == 0)) {
    usage_error(std::string(name) + " takes a number " +
                (above_zero ? "above zero" : "of zero or more") + ", not '" + text + "'");
  }
  return value;
}

void ports_option(const char* text, zarn::sim::ServiceOptions& options) {
  int ports[3];
  const char* p = text;
  for (int i = 0; i < 3; ++i) {
    char* end = nullptr;
    const long value = std::strtol(p, &end, 10);
    if (end == p || value < 1 || value > 65535 || (i < 2 && *end != ',') ||
        (i == 2 && *end != '\0')) {
      usage_error(std::string("--ports takes three ports R,A,L, not '") + text + "'");
    }
    ports[i] = static_cast<int>(value);
    p = end + 1;
  }
  options.results_port = ports[0];
  options.actions_port = ports[1];
  options.logger_port = ports[2];
}

}  // namespace

int main(int argc, char** argv) {
  enum {
    kConfig = 1000,
    kAddress,
    kSpeed,
    kPorts,
    kVerbose,
    kNoControl,
    kWithholdReplies,
    kWithholdLogger,
    kDelayReplies,
    kDelayLogger,
    kReject,
    kSilent,
    kRestartAfter,
    kRestartDown,
    kHelp,
  };
  static const option kOptions[] = {
      {"config", required_argument, nullptr, kConfig},
      {"address", required_argument, nullptr, kAddress},
      {"speed", required_argument, nullptr, kSpeed},
      {"ports", required_argument, nullptr, kPorts},
      {"verbose", no_argument, nullptr, kVerbose},
      {"no-control", no_argument, nullptr, kNoControl},
      {"withhold-replies", required_argument, nullptr, kWithholdReplies},
      {"withhold-logger", required_argument, nullptr, kWithholdLogger},
      {"delay-replies", required_argument, nullptr, kDelayReplies},
      {"delay-logger", required_argument, nullptr, kDelayLogger},
      {"reject", required_argument, nullptr, kReject},
      {"silent-publisher", no_argument, nullptr, kSilent},
      {"restart-after", required_argument, nullptr, kRestartAfter},
      {"restart-down", required_argument, nullptr, kRestartDown},
      {"help", no_argument, nullptr, kHelp},
      {nullptr, 0, nullptr, 0},
  };

  std::string config_path = kDefaultConfig;
  std::string address;
  bool control = true;
  zarn::sim::ServiceOptions options;
  opterr = 0;
  for (;;) {
    int index = 0;
    const int c = getopt_long(argc, argv, "", kOptions, &index);
    if (c == -1) break;
    switch (c) {
      case kConfig:
        config_path = optarg;
        break;
      case kAddress:
        address = optarg;
        break;
      case kSpeed:
        options.speed = seconds_option("--speed", optarg, true);
        break;
      case kPorts:
        ports_option(optarg, options);
        break;
      case kVerbose:
        options.verbose = true;
        break;
      case kNoControl:
        control = false;
        break;
      case kWithholdReplies:
        options.faults.withhold_actions = count_option("--withhold-replies", optarg);
        break;
      case kWithholdLogger:
        options.faults.withhold_logger = count_option("--withhold-logger", optarg);
        break;
      case kDelayReplies:
        options.faults.delay_actions = seconds_option("--delay-replies", optarg);
        break;
      case kDelayLogger:
        options.faults.delay_logger = seconds_option("--delay-logger", optarg);
        break;
      case kReject:
        options.faults.reject = count_option("--reject", optarg);
        break;
      case kSilent:
        options.faults.silent = true;
        break;
      case kRestartAfter:
        options.restart_after = seconds_option("--restart-after", optarg);
        break;
      case kRestartDown:
        options.restart_down = seconds_option("--restart-down", optarg);
        break;
      case kHelp:
        std::fputs(kUsage, stdout);
        print_line(stdout, zarn::sim::Service::control_help());
        return 0;
      default:
        usage_error(optopt != 0
                        ? std::string("option needs a value or is unknown: ") + argv[optind - 1]
                        : std::string("unknown option ") + argv[optind - 1]);
    }
  }
  if (optind < argc) usage_error(std::string("unexpected argument '") + argv[optind] + "'");

  zarn::sim::MachineConfig machine;
  try {
    machine = zarn::sim::load_machine(config_path);
    options.host = zarn::sim::bind_address(machine.server_address, address, config_path);
  } catch (const std::exception& e) {
    print_line(stderr, std::string("zarn-sim: ") + e.what());
    return 2;
  }
  for (const std::string& warning : machine.warnings) {
    print_line(stderr, "zarn-sim: warning: " + warning);
  }
  if (control) {
    // Reading a terminal from the background must not stop the process;
    // the read then fails and the service goes on without control lines.
    std::signal(SIGTTIN, SIG_IGN);
    options.control_fd = STDIN_FILENO;
  }
  std::signal(SIGPIPE, SIG_IGN);

  try {
    zarn::sim::Service service(
        std::move(machine), options, [](const std::string& line) { print_line(stdout, line); },
        [](const std::string& line) { print_line(stderr, line); });
    const SignalTarget target(service);
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    service.run();
    print_line(stdout, "zarn-sim stopped");
  } catch (const zarn::sim::BindError& e) {
    print_line(stderr, std::string("zarn-sim: ") + e.what());
    return e.in_use ? 3 : 1;
  } catch (const std::exception& e) {
    print_line(stderr, std::string("zarn-sim: ") + e.what());
    return 1;
  }
  return 0;
}
