// A scriptable stand-in for the controller service, for the core's tests:
// two request endpoints (ROUTER, so that a reply can be withheld) and a plain
// publisher, all on ephemeral loopback ports. It publishes the way a real
// controller does: it never looks at its publisher's events before sending.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>
#include <zmq.hpp>

#include "zarn/client/channels.hpp"
#include "zarn/client/records.hpp"

namespace zarn::testing {

using Frames = std::vector<std::string>;

// What the double does with one request.
struct Plan {
  bool reply = true;  // false: the request is never answered
  std::chrono::milliseconds reply_delay{0};
  std::string reply_data;  // empty: the request back with `result` in its result field
  std::int32_t result = 1;
  // Published before the reply, the moment the request is in.
  std::vector<Frames> publish;
};

// Collects what the core reports, as the binding's printer would.
struct Lines {
  std::mutex mutex;
  std::vector<std::string> lines;
  zarn::client::Sink sink() {
    return [this](const std::string& line) {
      std::lock_guard guard(mutex);
      lines.push_back(line);
    };
  }
  std::vector<std::string> take() {
    std::lock_guard guard(mutex);
    return std::exchange(lines, {});
  }
};

inline std::string with_result(std::string record, std::int32_t result) {
  if (record.size() == zarn::records::kActionRecordBytes) {
    std::memcpy(record.data() + 212, &result, sizeof result);
  }
  return record;
}

inline std::string cmd_id_of(const std::string& record) {
  if (record.size() < 68) return {};
  std::string id = record.substr(32, 36);
  id.erase(id.find('\0') == std::string::npos ? id.size() : id.find('\0'));
  return id;
}

class ControllerDouble {
 public:
  using Script = std::function<Plan(const std::string& request, bool logger)>;

  explicit ControllerDouble(Script script = {}) : script_(std::move(script)) {
    action_ = bind(zmq::socket_type::router, action_endpoint);
    logger_ = bind(zmq::socket_type::router, logger_endpoint);
    publisher_ = bind(zmq::socket_type::pub, publisher_endpoint);
    thread_ = std::thread([this] { run(); });
  }

  ~ControllerDouble() {
    running_ = false;
    thread_.join();
  }

  // Publishes from the double's own thread at its next turn.
  void publish_later(Frames frames) {
    std::lock_guard guard(mutex_);
    queued_.push_back(std::move(frames));
  }

  int requests() const { return requests_; }

  std::string action_endpoint;
  std::string logger_endpoint;
  std::string publisher_endpoint;

 private:
  zmq::socket_t bind(zmq::socket_type type, std::string& endpoint) {
    zmq::socket_t socket(context_, type);
    socket.set(zmq::sockopt::linger, 0);
    socket.bind("tcp://127.0.0.1:*");
    endpoint = socket.get(zmq::sockopt::last_endpoint);
    return socket;
  }

  void send_frames(const Frames& frames) {
    for (std::size_t i = 0; i < frames.size(); ++i) {
      publisher_.send(zmq::buffer(frames[i]),
                      i + 1 < frames.size() ? zmq::send_flags::sndmore : zmq::send_flags::none);
    }
  }

  struct Pending {
    std::chrono::steady_clock::time_point due;
    zmq::socket_t* socket;
    std::string identity;
    std::string body;
  };

  void serve(zmq::socket_t& socket, bool logger) {
    zmq::message_t identity, empty, body;
    if (!socket.recv(identity, zmq::recv_flags::dontwait)) return;
    (void)socket.recv(empty);
    (void)socket.recv(body);
    ++requests_;
    const std::string request(static_cast<const char*>(body.data()), body.size());
    Plan plan;
    if (script_) {
      plan = script_(request, logger);
    } else if (!logger) {
      plan.publish.push_back({cmd_id_of(request), with_result(request, 1)});
    }
    for (const Frames& frames : plan.publish) send_frames(frames);
    if (!plan.reply) return;
    std::string reply = plan.reply_data;
    if (reply.empty()) reply = logger ? request : with_result(request, plan.result);
    pending_.push_back({std::chrono::steady_clock::now() + plan.reply_delay, &socket,
                        std::string(static_cast<const char*>(identity.data()), identity.size()),
                        std::move(reply)});
  }

  void run() {
    zmq::pollitem_t items[] = {{action_.handle(), 0, ZMQ_POLLIN, 0},
                               {logger_.handle(), 0, ZMQ_POLLIN, 0}};
    while (running_) {
      zmq::poll(items, 2, std::chrono::milliseconds(2));
      if (items[0].revents & ZMQ_POLLIN) serve(action_, false);
      if (items[1].revents & ZMQ_POLLIN) serve(logger_, true);
      const auto now = std::chrono::steady_clock::now();
      for (auto it = pending_.begin(); it != pending_.end();) {
        if (it->due > now) {
          ++it;
          continue;
        }
        it->socket->send(zmq::buffer(it->identity), zmq::send_flags::sndmore);
        it->socket->send(zmq::const_buffer("", 0), zmq::send_flags::sndmore);
        it->socket->send(zmq::buffer(it->body), zmq::send_flags::none);
        it = pending_.erase(it);
      }
      std::vector<Frames> queued;
      {
        std::lock_guard guard(mutex_);
        queued.swap(queued_);
      }
      for (const Frames& frames : queued) send_frames(frames);
    }
  }

  Script script_;
  zmq::context_t context_;
  zmq::socket_t action_;
  zmq::socket_t logger_;
  zmq::socket_t publisher_;
  std::vector<Pending> pending_;
  std::mutex mutex_;
  std::vector<Frames> queued_;
  std::atomic<int> requests_{0};
  std::atomic<bool> running_{true};
  std::thread thread_;
};

}  // namespace zarn::testing
