#include "zarn/sim/service.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <sstream>
#include <thread>
#include <zmq.hpp>
#include <zmq_addon.hpp>

#include "zarn/client/records.hpp"

namespace zarn::sim {
namespace {

using Clock = std::chrono::steady_clock;

// Messages taken from one socket before the others get their turn.
constexpr int kBatch = 256;
// Replies waiting out a delay fault; beyond this the newest are dropped (the
// client times out on them, as it would on a lost reply).
constexpr std::size_t kDelayedLimit = 10000;
// Larger messages make ZeroMQ drop the connection before anything is stored.
constexpr std::int64_t kMaxMessageBytes = 64 * 1024;
constexpr int kPublishQueueLimit = 10000;
constexpr std::size_t kControlLineLimit = 4096;

Clock::duration seconds(double s) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

std::vector<std::string> words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> out;
  std::string word;
  while (in >> word) out.push_back(word);
  return out;
}

// "all" (-1), "off" (0) or a count of zero or more.
std::optional<long> parse_count(const std::string& text) {
  if (text == "all" || text == "on") return -1;
  if (text == "off") return 0;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || *end != '\0' || value < 0) return std::nullopt;
  return value;
}

std::optional<double> parse_seconds(const std::string& text) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0' || !std::isfinite(value) || value < 0 ||
      value > 86400.0) {
    return std::nullopt;
  }
  return value;
}

std::optional<int> parse_int(const std::string& text) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || *end != '\0' || value < INT32_MIN || value > INT32_MAX) {
    return std::nullopt;
  }
  return static_cast<int>(value);
}

std::string count_text(long count) {
  return count < 0 ? "all" : count == 0 ? "off" : std::to_string(count);
}

std::string number_text(double value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%g", value);
  return buffer;
}

// Takes one from a fault counter: true when this message is affected.
bool take(long& counter) {
  if (counter == 0) return false;
  if (counter > 0) --counter;
  return true;
}

}  // namespace

struct Service::Endpoint {
  zmq::context_t context{1};
  zmq::socket_t results{context, zmq::socket_type::pub};
  // Router sockets speak to the clients' request sockets like reply sockets
  // do, but let a reply wait (or never come) without holding up other clients.
  zmq::socket_t actions{context, zmq::socket_type::router};
  zmq::socket_t logger{context, zmq::socket_type::router};
};

bool is_loopback_ipv4(const std::string& address) {
  in_addr parsed{};
  if (inet_pton(AF_INET, address.c_str(), &parsed) != 1) return false;
  return (ntohl(parsed.s_addr) >> 24) == 127;
}

namespace {

std::vector<std::string> resolve_ipv4(const std::string& host, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int status = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (status != 0) {
    error = gai_strerror(status);
    return {};
  }
  std::vector<std::string> addresses;
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    char text[INET_ADDRSTRLEN] = {};
    const auto* in = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
    if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) != nullptr) {
      addresses.emplace_back(text);
    }
  }
  freeaddrinfo(found);
  return addresses;
}

}  // namespace

std::string bind_address(const std::string& configured, const std::string& requested,
                         const std::string& config_source) {
  std::string error;
  if (!requested.empty()) {
    if (requested == "0.0.0.0") return requested;
    const std::vector<std::string> addresses = resolve_ipv4(requested, error);
    if (addresses.empty()) {
      throw std::runtime_error("cannot use --address " + requested + ": " +
                               (error.empty() ? "it has no IPv4 address" : error));
    }
    return addresses.front();
  }
  const std::string host = configured.empty() ? "localhost" : configured;
  const std::vector<std::string> addresses = resolve_ipv4(host, error);
  const bool loopback =
      !addresses.empty() && std::all_of(addresses.begin(), addresses.end(), is_loopback_ipv4);
  if (!loopback) {
    std::string why = addresses.empty()
                          ? "cannot be resolved (" + error + ")"
                          : "is not a loopback address (it is " + addresses.front() + ")";
    throw std::runtime_error(
        "server_address '" + host + "' in configuration '" + config_source + "' " + why +
        "; the simulator binds a configuration's address only when it is loopback (localhost, "
        "127.0.0.0/8). Give --address HOST to bind another address (--address 0.0.0.0 for all "
        "interfaces)");
  }
  return addresses.front();
}

Service::Service(MachineConfig machine, ServiceOptions options, LineSink say, LineSink log)
    : machine_(std::move(machine)),
      options_(std::move(options)),
      say_(std::move(say)),
      log_(std::move(log)) {
  int fds[2];
  if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
    throw std::runtime_error(std::string("cannot create the wake-up pipe: ") +
                             std::strerror(errno));
  }
  wake_read_ = fds[0];
  wake_write_ = fds[1];
  control_open_ = options_.control_fd >= 0;
}

Service::~Service() {
  close_sockets();
  if (wake_read_ >= 0) ::close(wake_read_);
  if (wake_write_ >= 0) ::close(wake_write_);
}

void Service::request_stop() noexcept {
  stop_.store(true);
  const char byte = 's';
  // A full pipe already holds a wake-up; nothing else can be done in a signal.
  [[maybe_unused]] const ssize_t n = ::write(wake_write_, &byte, 1);
}

std::string Service::control(const std::string& command, std::chrono::milliseconds timeout) {
  std::future<std::string> answer;
  {
    std::lock_guard<std::mutex> lock(requests_mutex_);
    requests_.emplace_back(command, std::promise<std::string>());
    answer = requests_.back().second.get_future();
  }
  const char byte = 'c';
  [[maybe_unused]] const ssize_t n = ::write(wake_write_, &byte, 1);
  if (answer.wait_for(timeout) != std::future_status::ready) {
    return "error the service did not answer (is it running?)";
  }
  return answer.get();
}

double Service::sim_now(Clock::time_point now) const {
  return std::chrono::duration<double>(now - epoch_).count() * options_.speed;
}

void Service::new_controller() {
  controller_ = std::make_unique<Controller>(machine_, 0.0);
  attach_log();
}

// The controller builds its log lines only while someone reads them: a line
// per record costs string work on the path every record takes.
void Service::attach_log() {
  if (!controller_) return;
  const LogSink to_verbose = [](void* self, const std::string& line) {
    static_cast<Service*>(self)->verbose(line);
  };
  controller_->set_log(options_.verbose ? to_verbose : nullptr, this);
}

void Service::verbose(const std::string& line) {
  if (!options_.verbose) return;
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "[%10.3f] ", sim_now(Clock::now()));
  log_(stamp + line);
}

std::string Service::ready_line() const {
  const std::string base = "tcp://" + options_.host + ":";
  return "zarn-sim ready: results " + base + std::to_string(options_.results_port) + ", actions " +
         base + std::to_string(options_.actions_port) + ", logger " + base +
         std::to_string(options_.logger_port) + ", speed " + number_text(options_.speed) +
         (restarts_ > 0 ? ", restart " + std::to_string(restarts_) : "");
}

void Service::open_sockets() {
  auto endpoint = std::make_unique<Endpoint>();
  struct Port {
    zmq::socket_t& socket;
    int port;
    const char* role;
  };
  Port ports[] = {{endpoint->results, options_.results_port, "results"},
                  {endpoint->actions, options_.actions_port, "actions"},
                  {endpoint->logger, options_.logger_port, "logger"}};
  for (Port& p : ports) {
    p.socket.set(zmq::sockopt::linger, 0);
    p.socket.set(zmq::sockopt::maxmsgsize, kMaxMessageBytes);
    const std::string address = "tcp://" + options_.host + ":" + std::to_string(p.port);
    try {
      p.socket.bind(address);
    } catch (const zmq::error_t& e) {
      const bool in_use = e.num() == EADDRINUSE;
      throw BindError("cannot bind the " + std::string(p.role) + " port " + address + ": " +
                          e.what() +
                          (in_use ? " (another controller service or simulator holds it; stop it "
                                    "or give another --address)"
                                  : ""),
                      in_use);
    }
  }
  endpoint->results.set(zmq::sockopt::sndhwm, kPublishQueueLimit);
  endpoint_ = std::move(endpoint);
}

void Service::close_sockets() {
  // Linger 0: nothing queued keeps the context's threads alive.
  endpoint_.reset();
}

void Service::run() {
  epoch_ = Clock::now();
  new_controller();
  open_sockets();
  if (options_.restart_after >= 0) {
    restart_pending_ = true;
    restart_at_ = epoch_ + seconds(options_.restart_after);
  }
  say_(ready_line());
  try {
    loop();
  } catch (...) {
    close_sockets();
    throw;
  }
  close_sockets();
  // Anyone still waiting for an answer learns that none will come.
  std::lock_guard<std::mutex> lock(requests_mutex_);
  for (auto& request : requests_) request.second.set_value("error the service stopped");
  requests_.clear();
}

void Service::loop() {
  std::vector<zmq::pollitem_t> items;
  while (!stop_.load()) {
    const Clock::time_point now = Clock::now();
    if (!down_) {
      controller_->advance(sim_now(now));
      publish();
    }
    send_due_replies(now);
    if (down_ && now >= up_at_) finish_restart();
    if (!down_ && restart_pending_ && now >= restart_at_) {
      restart_pending_ = false;
      begin_restart(options_.restart_down);
    }

    // Sleep until a message, a control line, or the next thing that is due.
    std::optional<Clock::time_point> next;
    const auto sooner = [&next](Clock::time_point t) {
      if (!next || t < *next) next = t;
    };
    if (!down_) {
      if (const std::optional<double> event = controller_->next_event()) {
        const double wait = (*event - sim_now(now)) / options_.speed;
        sooner(now + seconds(std::max(0.0, std::min(wait, 3600.0))));
      }
      if (restart_pending_) sooner(restart_at_);
    } else {
      sooner(up_at_);
    }
    for (const Delayed& d : delayed_) sooner(d.due);
    long timeout_ms = -1;
    if (next) {
      const auto wait = *next - Clock::now();
      // Rounded up: waking a little early would only find nothing due.
      timeout_ms = wait <= Clock::duration::zero()
                       ? 0
                       : static_cast<long>(
                             std::ceil(std::chrono::duration<double, std::milli>(wait).count()));
    }

    items.clear();
    items.push_back({nullptr, wake_read_, ZMQ_POLLIN, 0});
    if (control_open_) items.push_back({nullptr, options_.control_fd, ZMQ_POLLIN, 0});
    const std::size_t sockets_at = items.size();
    if (!down_) {
      items.push_back({endpoint_->actions.handle(), 0, ZMQ_POLLIN, 0});
      items.push_back({endpoint_->logger.handle(), 0, ZMQ_POLLIN, 0});
    }
    try {
      zmq::poll(items, std::chrono::milliseconds(timeout_ms));
    } catch (const zmq::error_t& e) {
      if (e.num() == EINTR) continue;
      throw;
    }

    if (items[0].revents & ZMQ_POLLIN) {
      char drain[64];
      while (::read(wake_read_, drain, sizeof drain) > 0) {
      }
      std::deque<std::pair<std::string, std::promise<std::string>>> requests;
      {
        std::lock_guard<std::mutex> lock(requests_mutex_);
        requests.swap(requests_);
      }
      for (auto& [command, answer] : requests) answer.set_value(execute(command));
    }
    if (control_open_ && (items[1].revents & (ZMQ_POLLIN | ZMQ_POLLERR))) read_control_fd();
    if (!down_ && items.size() > sockets_at) {
      if (items[sockets_at].revents & ZMQ_POLLIN) serve(false);
      if (!down_ && items[sockets_at + 1].revents & ZMQ_POLLIN) serve(true);
    }
  }
}

void Service::serve(bool logger) {
  zmq::socket_t& socket = logger ? endpoint_->logger : endpoint_->actions;
  std::vector<zmq::message_t> frames;
  for (int n = 0; n < kBatch && !down_; ++n) {
    frames.clear();
    std::optional<std::size_t> got;
    try {
      got = zmq::recv_multipart(socket, std::back_inserter(frames), zmq::recv_flags::dontwait);
    } catch (const zmq::error_t& e) {
      if (e.num() == EAGAIN || e.num() == EINTR) break;
      throw;
    }
    if (!got) break;
    // A request socket's message arrives as [peer, empty, body]; whatever
    // stands before the first empty frame is the way back.
    std::vector<std::string> envelope;
    std::size_t body_at = frames.size();
    for (std::size_t i = 0; i < frames.size(); ++i) {
      envelope.emplace_back(frames[i].data<char>(), frames[i].size());
      if (frames[i].size() == 0) {
        body_at = i + 1;
        break;
      }
    }
    if (body_at == frames.size() && !envelope.empty() && envelope.back().size() != 0) {
      // No delimiter: not from a request socket. Answer the peer anyway.
      envelope.resize(1);
      body_at = 1;
    }
    std::string body;
    for (std::size_t i = body_at; i < frames.size(); ++i) {
      body.append(frames[i].data<char>(), frames[i].size());
    }
    // A message of several body frames is not a record, whatever its length:
    // one more byte keeps it from passing for one.
    const std::size_t expected = logger ? records::kLogRecordBytes : records::kActionRecordBytes;
    if (frames.size() - body_at > 1 && body.size() == expected) body.push_back('\0');

    const Clock::time_point now = Clock::now();
    Faults& f = options_.faults;
    if (take(logger ? f.withhold_logger : f.withhold_actions)) {
      ++withheld_;
      verbose(std::string("withheld the reply to a ") + (logger ? "logger" : "action") +
              " request (not acted on)");
      continue;
    }
    std::string answer;
    if (logger) {
      answer = controller_->handle_logger(body, sim_now(now));
    } else if (body.size() == records::kActionRecordBytes && take(f.reject)) {
      ++rejected_on_demand_;
      answer = body;
      set_result(answer, result::kRejectedOnDemand);
      verbose("rejected an action record on demand");
    } else {
      answer = controller_->handle_action(body, sim_now(now));
      publish();
    }
    const double delay = logger ? f.delay_logger : f.delay_actions;
    if (delay > 0) {
      if (delayed_.size() >= kDelayedLimit) {
        ++dropped_replies_;
        continue;
      }
      delayed_.push_back({now + seconds(delay), logger, std::move(envelope), std::move(answer)});
      continue;
    }
    reply(logger, envelope, answer);
  }
}

void Service::reply(bool logger, const std::vector<std::string>& envelope,
                    const std::string& body) {
  if (!endpoint_) return;
  zmq::socket_t& socket = logger ? endpoint_->logger : endpoint_->actions;
  try {
    for (const std::string& frame : envelope) {
      socket.send(zmq::buffer(frame), zmq::send_flags::sndmore | zmq::send_flags::dontwait);
    }
    socket.send(zmq::buffer(body), zmq::send_flags::dontwait);
  } catch (const zmq::error_t& e) {
    // A peer that went away or cannot take more: its reply is lost, as on
    // any controller. The service itself goes on.
    ++dropped_replies_;
    verbose(std::string("a reply could not be sent: ") + e.what());
  }
}

void Service::send_due_replies(Clock::time_point now) {
  if (delayed_.empty()) return;
  std::deque<Delayed> waiting;
  for (Delayed& d : delayed_) {
    if (d.due <= now) {
      reply(d.logger, d.envelope, d.body);
    } else {
      waiting.push_back(std::move(d));
    }
  }
  delayed_.swap(waiting);
}

void Service::publish() {
  std::vector<Published> out;
  controller_->take_published(out);
  if (out.empty()) return;
  if (options_.faults.silent || !endpoint_) {
    unpublished_ += out.size();
    return;
  }
  zmq::socket_t& socket = endpoint_->results;
  for (const Published& p : out) {
    // Reading the events makes the publisher take in subscriptions that
    // have arrived, so a client that subscribed just before sending the
    // record gets its result.
    (void)socket.get(zmq::sockopt::events);
    socket.send(zmq::buffer(p.topic), zmq::send_flags::sndmore | zmq::send_flags::dontwait);
    socket.send(zmq::buffer(p.record), zmq::send_flags::dontwait);
  }
}

void Service::read_control_fd() {
  char buffer[1024];
  const ssize_t n = ::read(options_.control_fd, buffer, sizeof buffer);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
    // End of input (or a terminal we may not read from in the background):
    // the service goes on without a control channel.
    control_open_ = false;
    return;
  }
  if (n < 0) return;
  for (ssize_t i = 0; i < n; ++i) {
    const char c = buffer[i];
    if (c != '\n') {
      if (discarding_line_) continue;
      if (control_buffer_.size() >= kControlLineLimit) {
        discarding_line_ = true;
        control_buffer_.clear();
        say_("error a control line is at most 4096 characters");
        continue;
      }
      control_buffer_.push_back(c);
      continue;
    }
    if (discarding_line_) {
      discarding_line_ = false;
      continue;
    }
    std::string line;
    line.swap(control_buffer_);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (words(line).empty()) continue;
    say_(execute(line));
  }
}

const char* Service::control_help() {
  return "commands: status | withhold actions|logger N|all|off | delay actions|logger SECONDS | "
         "reject N|all|off | silent on|off | restart [SECONDS] | input MORVOID PIN 0|1 | "
         "verbose on|off | stop | help";
}

std::string Service::status() const {
  const ControllerStats s = controller_->stats();
  const Faults& f = options_.faults;
  return "ok status " + std::string(down_ ? "down" : "up") +
         " speed=" + number_text(options_.speed) + " accepted=" + std::to_string(s.accepted) +
         " refused=" + std::to_string(s.refused) + " published=" + std::to_string(s.published) +
         " unpublished=" + std::to_string(unpublished_) + " held=" + std::to_string(s.held) +
         " timers=" + std::to_string(s.timers) + " logger=" + std::to_string(s.logger_requests) +
         " withheld=" + std::to_string(withheld_) +
         " rejected=" + std::to_string(rejected_on_demand_) +
         " restarts=" + std::to_string(restarts_) +
         " faults: withhold_actions=" + count_text(f.withhold_actions) +
         " withhold_logger=" + count_text(f.withhold_logger) +
         " delay_actions=" + number_text(f.delay_actions) +
         " delay_logger=" + number_text(f.delay_logger) + " reject=" + count_text(f.reject) +
         " silent=" + (f.silent ? "on" : "off");
}

std::string Service::execute(const std::string& command) {
  const std::vector<std::string> w = words(command);
  if (w.empty()) return "error empty command; " + std::string(control_help());
  const std::string& verb = w[0];
  Faults& f = options_.faults;
  const auto channel_fault = [&](auto& action_value, auto& logger_value, auto parse,
                                 auto show) -> std::string {
    if (w.size() != 3 || (w[1] != "actions" && w[1] != "logger")) {
      return "error usage: " + verb + " actions|logger " +
             (verb == "delay" ? "SECONDS" : "N|all|off");
    }
    const auto value = parse(w[2]);
    if (!value) return "error " + verb + ": '" + w[2] + "' is not a valid value";
    (w[1] == "actions" ? action_value : logger_value) = *value;
    return "ok " + verb + " " + w[1] + " " + show(*value);
  };
  if (verb == "help") return std::string("ok ") + control_help();
  if (verb == "status") return status();
  if (verb == "stop" || verb == "quit") {
    stop_.store(true);
    return "ok stopping";
  }
  if (verb == "withhold") {
    return channel_fault(f.withhold_actions, f.withhold_logger, parse_count, count_text);
  }
  if (verb == "delay") {
    return channel_fault(f.delay_actions, f.delay_logger, parse_seconds, number_text);
  }
  if (verb == "reject") {
    if (w.size() != 2) return "error usage: reject N|all|off";
    const std::optional<long> count = parse_count(w[1]);
    if (!count) return "error reject: '" + w[1] + "' is not a count";
    f.reject = *count;
    return "ok reject " + count_text(*count);
  }
  if (verb == "silent" || verb == "verbose") {
    if (w.size() != 2 || (w[1] != "on" && w[1] != "off")) return "error usage: " + verb + " on|off";
    (verb == "silent" ? f.silent : options_.verbose) = w[1] == "on";
    if (verb == "verbose") attach_log();
    return "ok " + verb + " " + w[1];
  }
  if (verb == "restart") {
    double down = options_.restart_down;
    if (w.size() > 2) return "error usage: restart [SECONDS]";
    if (w.size() == 2) {
      const std::optional<double> s = parse_seconds(w[1]);
      if (!s) return "error restart: '" + w[1] + "' is not a number of seconds";
      down = *s;
    }
    if (down_) return "error a restart is already under way";
    begin_restart(down);
    return "ok restarting, down for " + number_text(down) + " s";
  }
  if (verb == "input") {
    if (w.size() != 4) return "error usage: input MORVOID PIN 0|1";
    const std::optional<int> id = parse_int(w[1]);
    const std::optional<int> pin = parse_int(w[2]);
    const std::optional<int> value = parse_int(w[3]);
    if (!id || !pin || !value) return "error usage: input MORVOID PIN 0|1";
    if (down_) return "error the controller is restarting";
    const std::string problem = controller_->force_input(*id, *pin, *value, sim_now(Clock::now()));
    publish();
    if (!problem.empty()) return "error " + problem;
    return "ok input " + w[1] + " " + w[2] + " " + w[3];
  }
  return "error unknown command '" + verb + "'; " + control_help();
}

void Service::begin_restart(double down_seconds) {
  verbose("restarting: sockets closed for " + number_text(down_seconds) + " s");
  say_("zarn-sim restarting: down for " + number_text(down_seconds) + " s");
  close_sockets();
  delayed_.clear();
  down_ = true;
  up_at_ = Clock::now() + seconds(down_seconds);
}

void Service::finish_restart() {
  // The ports were just released by this process; the operating system may
  // take a moment before they can be bound again.
  for (int attempt = 0;; ++attempt) {
    try {
      open_sockets();
      break;
    } catch (const BindError& e) {
      if (!e.in_use || attempt >= 50 || stop_.load()) throw;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  down_ = false;
  ++restarts_;
  epoch_ = Clock::now();
  // A restarted controller remembers nothing: drives need homing again.
  new_controller();
  say_(ready_line());
}

}  // namespace zarn::sim
