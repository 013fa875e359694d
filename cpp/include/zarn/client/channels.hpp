// The client's two request channels to the controller service (action
// records and logger records, each a REQ socket) and its command ids.
//
// Nothing here prints: every message goes to the Sink that the owner gives,
// one line per call, without the newline.
#pragma once

#include <atomic>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <zmq.hpp>

#include "zarn/base/lock.hpp"

namespace zarn::client {

using Sink = std::function<void(const std::string& line)>;

// Send and receive time-out of both request sockets.
inline constexpr int kRequestTimeoutMs = 1000;

// Where the two request sockets connect. A non-empty `error` says why the
// endpoints could not be formed; socket set-up then fails with that text.
struct RequestEndpoints {
  std::string action;
  std::string logger;
  std::string error;
};

// Asked for the endpoints whenever the sockets are (re)created, so that a
// changed address or port is taken up by the next reset.
using EndpointSource = std::function<RequestEndpoints()>;

enum class Channel { Action, Logger };

class RequestChannels {
 public:
  RequestChannels(std::shared_ptr<zmq::context_t> context, EndpointSource endpoints, Sink sink);
  ~RequestChannels();
  RequestChannels(const RequestChannels&) = delete;
  RequestChannels& operator=(const RequestChannels&) = delete;

  // Creates (with `reset`, first closes) both sockets and marks both
  // channels usable. On failure reports "[Zmq Socket Error] <reason>" and
  // returns false, the status flags unchanged. Takes no lock: the caller
  // holds both, or no other thread can reach the channels yet.
  bool init_sockets(bool reset);

  // init_sockets with both locks held, taken in the one fixed order (action,
  // then logger) that every reset uses, so no two resets can deadlock.
  bool init_sockets_locked(bool reset);

  // One request and its reply. A broken channel first re-creates both
  // sockets. On failure the channel's two lines are reported, the channel is
  // marked broken and nullopt comes back. The channel's lock is held from
  // before the send until the reply is in or the exchange has failed.
  std::optional<std::string> exchange(Channel channel, std::string_view request);

  Lock& lock(Channel channel) {
    return channel == Channel::Action ? *enqueue_lock_ : *logger_lock_;
  }
  std::shared_ptr<Lock> shared_lock(Channel channel) const {
    return channel == Channel::Action ? enqueue_lock_ : logger_lock_;
  }

  bool usable(Channel channel) const { return status(channel).load(std::memory_order_acquire); }
  void set_usable(Channel channel, bool value) {
    status(channel).store(value, std::memory_order_release);
  }

  // Endpoint the channel's socket was connected to; empty while it has none.
  std::string endpoint(Channel channel) const;

 private:
  struct Socket {
    zmq::socket_t socket;
    std::string endpoint;
  };
  Socket& socket(Channel channel) { return channel == Channel::Action ? action_ : logger_; }
  std::atomic<bool>& status(Channel channel) {
    return channel == Channel::Action ? action_usable_ : logger_usable_;
  }
  const std::atomic<bool>& status(Channel channel) const {
    return channel == Channel::Action ? action_usable_ : logger_usable_;
  }
  void open(Socket& target, const std::string& endpoint, const std::string& error);
  void reset_for(Channel channel);
  void report(Channel channel, const char* what, const std::string& reason);

  std::shared_ptr<zmq::context_t> context_;
  EndpointSource endpoints_;
  Sink sink_;
  std::shared_ptr<Lock> enqueue_lock_ = std::make_shared<Lock>();
  std::shared_ptr<Lock> logger_lock_ = std::make_shared<Lock>();
  std::atomic<bool> action_usable_{false};
  std::atomic<bool> logger_usable_{false};
  mutable std::mutex endpoint_mutex_;  // guards the endpoint texts for readers
  Socket action_;
  Socket logger_;
};

// Command ids: the client's prefix and a counter from 0 to 999.
class CommandIds {
 public:
  explicit CommandIds(std::string prefix) : prefix_(std::move(prefix)) {}

  // "PC", the local time as %m%d%H%M%S, then "-".
  static std::string prefix_at(std::time_t when);

  // The next id; the read, increment and wrap of the counter are one step
  // under count_lock.
  std::string next();
  // The same for a caller that has already taken count_lock (a binding that
  // waits for it its own way); releases it.
  std::string next_held();

  Lock& count_lock() { return *count_lock_; }
  std::shared_ptr<Lock> shared_count_lock() const { return count_lock_; }

  std::string prefix() const;
  void set_prefix(std::string prefix);
  long long count() const;
  void set_count(long long count);

 private:
  std::shared_ptr<Lock> count_lock_ = std::make_shared<Lock>();
  mutable std::mutex fields_mutex_;  // for readers that do not take count_lock
  std::string prefix_;
  long long count_ = 0;
};

}  // namespace zarn::client
