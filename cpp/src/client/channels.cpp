#include "zarn/client/channels.hpp"

#include <cerrno>
#include <exception>
#include <utility>

namespace zarn::client {
namespace {

// The tags look crossed, and are meant to: these are the fixed texts by which
// the action channel ("[Get Logger Error]") and the logger channel
// ("[Enqueue Action Error]") have always reported, and logs are searched
// for them.
const char* tag(Channel channel) {
  return channel == Channel::Action ? "[Get Logger Error]" : "[Enqueue Action Error]";
}

struct SetupFailure {
  std::string reason;
};

}  // namespace

RequestChannels::RequestChannels(std::shared_ptr<zmq::context_t> context, EndpointSource endpoints,
                                 Sink sink)
    : context_(std::move(context)), endpoints_(std::move(endpoints)), sink_(std::move(sink)) {}

RequestChannels::~RequestChannels() {
  // Linger is 0, so closing never waits for a service that is gone.
  action_.socket.close();
  logger_.socket.close();
}

void RequestChannels::open(Socket& target, const std::string& endpoint, const std::string& error) {
  {
    std::lock_guard guard(endpoint_mutex_);
    target.endpoint.clear();
  }
  target.socket = zmq::socket_t(*context_, zmq::socket_type::req);
  // Queue only on completed connections: with no service a send fails after
  // its time-out instead of waiting for a connection forever.
  target.socket.set(zmq::sockopt::immediate, 1);
  target.socket.set(zmq::sockopt::sndtimeo, kRequestTimeoutMs);
  target.socket.set(zmq::sockopt::rcvtimeo, kRequestTimeoutMs);
  target.socket.set(zmq::sockopt::linger, 0);
  if (!error.empty()) throw SetupFailure{error};
  target.socket.connect(endpoint);
  std::lock_guard guard(endpoint_mutex_);
  target.endpoint = endpoint;
}

bool RequestChannels::init_sockets(bool reset) {
  try {
    if (reset) {
      action_.socket.close();
      logger_.socket.close();
    }
    const RequestEndpoints endpoints = endpoints_();
    open(action_, endpoints.action, endpoints.error);
    open(logger_, endpoints.logger, endpoints.error);
    set_usable(Channel::Action, true);
    set_usable(Channel::Logger, true);
    return true;
  } catch (const zmq::error_t& e) {
    sink_(std::string("[Zmq Socket Error] ") + e.what());
  } catch (const SetupFailure& e) {
    sink_("[Zmq Socket Error] " + e.reason);
  } catch (const std::exception& e) {
    sink_(std::string("[Zmq Socket Error] ") + e.what());
  }
  return false;
}

bool RequestChannels::init_sockets_locked(bool reset) {
  enqueue_lock_->acquire();
  HeldLock action(*enqueue_lock_);
  logger_lock_->acquire();
  HeldLock logger(*logger_lock_);
  return init_sockets(reset);
}

// Called with the channel's own lock held. The reset closes the other
// channel's socket too, so it also needs that channel's lock; both are taken
// action first, and a logger exchange lets its own lock go to keep the order.
void RequestChannels::reset_for(Channel channel) {
  if (channel == Channel::Action) {
    logger_lock_->acquire();
    HeldLock logger(*logger_lock_);
    init_sockets(true);
    return;
  }
  logger_lock_->release();
  enqueue_lock_->acquire();
  HeldLock action(*enqueue_lock_);
  logger_lock_->acquire();
  // Another thread may have reset while the lock was free.
  if (!usable(Channel::Logger)) init_sockets(true);
}

void RequestChannels::report(Channel channel, const char* what, const std::string& reason) {
  sink_(std::string(tag(channel)) + " Somthing is wrong in the zmqServer. " + what);
  set_usable(channel, false);
  sink_(reason);
}

std::optional<std::string> RequestChannels::exchange(Channel channel, std::string_view request) {
  Lock& own = lock(channel);
  own.acquire();
  HeldLock held(own);
  if (!usable(channel)) reset_for(channel);
  zmq::socket_t& sock = socket(channel).socket;
  if (!sock) {  // a failed reset left no socket
    report(channel, "Failed to send request.", zmq_strerror(ENOTSOCK));
    return std::nullopt;
  }
  try {
    if (!sock.send(zmq::const_buffer(request.data(), request.size()), zmq::send_flags::none)) {
      report(channel, "Failed to send request.", zmq_strerror(EAGAIN));
      return std::nullopt;
    }
  } catch (const zmq::error_t& e) {
    report(channel, "Failed to send request.", e.what());
    return std::nullopt;
  }
  zmq::message_t reply;
  try {
    if (!sock.recv(reply, zmq::recv_flags::none)) {
      report(channel, "Failed to receive response after request.", zmq_strerror(EAGAIN));
      return std::nullopt;
    }
  } catch (const zmq::error_t& e) {
    report(channel, "Failed to receive response after request.", e.what());
    return std::nullopt;
  }
  return std::string(static_cast<const char*>(reply.data()), reply.size());
}

std::string RequestChannels::endpoint(Channel channel) const {
  std::lock_guard guard(endpoint_mutex_);
  return channel == Channel::Action ? action_.endpoint : logger_.endpoint;
}

std::string CommandIds::prefix_at(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  char text[32];
  const std::size_t n = std::strftime(text, sizeof text, "PC%m%d%H%M%S-", &local);
  return std::string(text, n);
}

std::string CommandIds::next() {
  count_lock_->acquire();
  return next_held();
}

std::string CommandIds::next_held() {
  HeldLock held(*count_lock_);
  std::lock_guard guard(fields_mutex_);
  std::string id = prefix_ + std::to_string(count_);
  // Python's modulo: a count set negative by hand still wraps into 0..999.
  count_ = ((count_ + 1) % 1000 + 1000) % 1000;
  return id;
}

std::string CommandIds::prefix() const {
  std::lock_guard guard(fields_mutex_);
  return prefix_;
}

void CommandIds::set_prefix(std::string prefix) {
  std::lock_guard guard(fields_mutex_);
  prefix_ = std::move(prefix);
}

long long CommandIds::count() const {
  std::lock_guard guard(fields_mutex_);
  return count_;
}

void CommandIds::set_count(long long count) {
  std::lock_guard guard(fields_mutex_);
  count_ = count;
}

}  // namespace zarn::client
