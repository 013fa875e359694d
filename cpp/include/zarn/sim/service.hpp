// The simulated controller as a network service: the result publisher, the
// action channel and the logger channel on three TCP ports of one address,
// driven by one event-loop thread that sleeps until a message arrives or the
// next simulated event is due. Faults for testing clients (withheld, delayed
// or rejected replies, a silent publisher, a restart) are switched by options
// and by control commands, one per line.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "zarn/sim/config.hpp"
#include "zarn/sim/controller.hpp"

namespace zarn::sim {

struct Faults {
  // Requests answered with no reply at all (and not acted on): the next N,
  // or every one while -1.
  long withhold_actions = 0;
  long withhold_logger = 0;
  // Real seconds between taking a request and sending its reply.
  double delay_actions = 0.0;
  double delay_logger = 0.0;
  // Action records refused with result -105: the next N, or every one while -1.
  long reject = 0;
  // Results are computed but never published.
  bool silent = false;
};

struct ServiceOptions {
  std::string host = "127.0.0.1";  // numeric IPv4 address to bind
  int results_port = 5001;
  int actions_port = 5002;
  int logger_port = 5003;
  double speed = 1.0;  // simulated seconds per real second
  bool verbose = false;
  Faults faults;
  double restart_after = -1.0;  // real seconds after start-up; below 0: never
  double restart_down = 1.0;    // real seconds without sockets during a restart
  int control_fd = -1;          // a file descriptor to read command lines from
};

// A port cannot be bound. `in_use` when another program holds it.
struct BindError : std::runtime_error {
  BindError(const std::string& message, bool address_in_use)
      : std::runtime_error(message), in_use(address_in_use) {}
  bool in_use;
};

// The address to bind. `requested` (from the command line) is used as given,
// 0.0.0.0 included; otherwise the configuration's server_address ("localhost"
// when it has none), which must be a loopback name or address: a simulator
// started from a machine's real configuration must not appear on its network.
// Names are resolved to IPv4. Throws std::runtime_error with what to do.
std::string bind_address(const std::string& configured, const std::string& requested,
                         const std::string& config_source);

// True for 127.0.0.0/8 in dotted form.
bool is_loopback_ipv4(const std::string& address);

using LineSink = std::function<void(const std::string&)>;

class Service {
 public:
  // `say` gets the lines meant for whoever runs the service (the ready line,
  // answers to control commands); `log` the verbose log and warnings.
  Service(MachineConfig machine, ServiceOptions options, LineSink say, LineSink log);
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Binds the three ports, says the ready line and serves until stopped.
  // Throws BindError when a port cannot be bound.
  void run();

  // Ends run() soon; safe from any thread and from a signal handler.
  void request_stop() noexcept;

  // Runs one control command on the service's thread and returns its answer
  // ("ok ..." or "error ..."). For other threads; waits at most `timeout`.
  std::string control(const std::string& command,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10));

  // The help text of the control commands.
  static const char* control_help();

 private:
  struct Endpoint;
  struct Delayed {
    std::chrono::steady_clock::time_point due;
    bool logger;
    std::vector<std::string> envelope;
    std::string body;
  };

  void open_sockets();
  void close_sockets();
  void loop();
  void serve(bool logger);
  void reply(bool logger, const std::vector<std::string>& envelope, const std::string& body);
  void publish();
  void send_due_replies(std::chrono::steady_clock::time_point now);
  void read_control_fd();
  std::string execute(const std::string& command);
  void begin_restart(double down_seconds);
  void finish_restart();
  double sim_now(std::chrono::steady_clock::time_point now) const;
  void new_controller();  // a controller at time 0, logging while verbose is on
  void attach_log();
  void verbose(const std::string& line);
  std::string ready_line() const;
  std::string status() const;

  MachineConfig machine_;
  ServiceOptions options_;
  LineSink say_;
  LineSink log_;
  std::unique_ptr<Controller> controller_;
  std::unique_ptr<Endpoint> endpoint_;
  std::chrono::steady_clock::time_point epoch_;
  std::chrono::steady_clock::time_point restart_at_;
  bool restart_pending_ = false;
  bool down_ = false;
  std::chrono::steady_clock::time_point up_at_;
  int restarts_ = 0;

  std::deque<Delayed> delayed_;
  std::uint64_t withheld_ = 0;
  std::uint64_t rejected_on_demand_ = 0;
  std::uint64_t unpublished_ = 0;
  std::uint64_t dropped_replies_ = 0;

  int wake_read_ = -1;
  int wake_write_ = -1;
  std::atomic<bool> stop_{false};
  bool control_open_ = false;
  std::string control_buffer_;
  bool discarding_line_ = false;

  std::mutex requests_mutex_;
  std::deque<std::pair<std::string, std::promise<std::string>>> requests_;
};

}  // namespace zarn::sim
