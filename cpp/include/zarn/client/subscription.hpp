// The result channel: the controller publishes every executed action's record
// under its command id, and blocking calls wait for the ones they sent.
//
// A subscriber that joins just before a record goes out misses its result: a
// publisher takes in new subscriptions only now and then. So each endpoint
// gets one persistent SUB socket (ResultSubscriber) that subscribes long
// before any record is sent, to the client's command-id prefix, and hands
// what arrives to the receivers registered for it. A Receiver, one per
// blocking call, "subscribes" by registering its topics, which takes no
// round trip to the publisher; topics outside every standing subscription get
// a subscription of their own and wait until it has settled.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>
#include <zmq.hpp>

#include "zarn/client/channels.hpp"

namespace zarn::client {

using Clock = std::chrono::steady_clock;

struct SubscriptionSettings {
  // How long after the connection's handshake (or after a new subscription
  // on a live connection) a subscription counts as having reached the
  // publisher. Paid once per connection, not per call.
  std::chrono::milliseconds settle{50};
};

// One message off the result channel.
struct ResultMessage {
  std::string topic;    // the first frame, as sent
  std::string data;     // the second frame
  std::string failure;  // why the message is not a topic and one record, if it is not
};

// Where a subscriber hands over messages, and tells of changes in its
// connection or subscriptions.
class Mailbox {
 public:
  virtual ~Mailbox() = default;
  void deliver(ResultMessage message);
  void notify();

 protected:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<ResultMessage> inbox_;
};

class ResultSubscriber {
 public:
  // Connects a SUB socket to `endpoint`; throws zmq::error_t when the
  // endpoint is rejected.
  ResultSubscriber(std::shared_ptr<zmq::context_t> context, std::string endpoint,
                   SubscriptionSettings settings);
  ~ResultSubscriber();
  ResultSubscriber(const ResultSubscriber&) = delete;
  ResultSubscriber& operator=(const ResultSubscriber&) = delete;

  const std::string& endpoint() const { return endpoint_; }

  // A subscription held for the subscriber's whole life.
  void keep_subscribed(const std::string& prefix);

  // Messages whose first frame begins with one of `topics` go to `mailbox`
  // until the registration is dropped.
  class Registration {
   public:
    ~Registration();
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;
    const std::vector<std::string>& topics() const { return topics_; }

   private:
    friend class ResultSubscriber;
    Registration(std::shared_ptr<ResultSubscriber> owner, std::uint64_t id,
                 std::vector<std::string> topics, std::vector<std::string> held)
        : owner_(std::move(owner)), id_(id), topics_(std::move(topics)), held_(std::move(held)) {}
    std::shared_ptr<ResultSubscriber> owner_;
    std::uint64_t id_;
    std::vector<std::string> topics_;
    std::vector<std::string> held_;  // the subscriptions that cover the topics
  };
  static std::unique_ptr<Registration> attach(const std::shared_ptr<ResultSubscriber>& self,
                                              std::vector<std::string> topics,
                                              std::shared_ptr<Mailbox> mailbox);

  // The time from which every topic of the registration is covered by a
  // subscription that has reached the publisher (possibly past); nullopt
  // while the connection is down or a subscription is still on its way.
  std::optional<Clock::time_point> effective_from(const Registration& registration) const;

  bool connected() const;

 private:
  struct Subscription {
    std::size_t holders = 0;
    bool permanent = false;
    bool applied = false;  // set on the socket
    Clock::time_point effective_at = Clock::time_point::max();
  };
  struct Attached {
    std::uint64_t id;
    std::vector<std::string> topics;
    std::shared_ptr<Mailbox> mailbox;
  };
  enum class Change { Subscribe, Unsubscribe };

  void run();
  void wake();
  void apply_changes();
  void read_monitor();
  void read_messages();
  void notify_all();
  void detach(const Registration& registration);
  std::string hold_covering(const std::string& topic);  // mutex_ held

  std::shared_ptr<zmq::context_t> context_;
  std::string endpoint_;
  SubscriptionSettings settings_;
  zmq::socket_t sub_;
  zmq::socket_t monitor_;
  zmq::socket_t wake_rx_;
  std::mutex wake_mutex_;
  zmq::socket_t wake_tx_;  // used from any thread, under wake_mutex_

  mutable std::mutex mutex_;  // guards everything below
  bool connected_ = false;
  bool stopping_ = false;
  std::map<std::string, Subscription> subscriptions_;
  std::vector<std::pair<Change, std::string>> changes_;
  std::vector<Attached> attached_;
  std::uint64_t next_id_ = 1;

  std::thread thread_;  // last: starts once everything above is in place
};

// The client's messaging context: the ZeroMQ context every socket of the
// client comes from, and the persistent subscribers by endpoint.
class MessagingContext {
 public:
  explicit MessagingContext(SubscriptionSettings settings = {});
  ~MessagingContext();
  MessagingContext(const MessagingContext&) = delete;
  MessagingContext& operator=(const MessagingContext&) = delete;

  const std::shared_ptr<zmq::context_t>& zmq_context() const { return context_; }
  // Opened on first use; throws zmq::error_t for an endpoint that is rejected.
  std::shared_ptr<ResultSubscriber> subscriber(const std::string& endpoint);

 private:
  std::shared_ptr<zmq::context_t> context_;
  SubscriptionSettings settings_;
  std::mutex mutex_;
  std::map<std::string, std::shared_ptr<ResultSubscriber>> subscribers_;
};

struct ReceiverSettings {
  // The collection ends when this long has passed since the last message
  // (only once one has arrived).
  std::chrono::milliseconds silence{5000};
  // How long the start waits for a result channel that is not connected
  // before reporting anyway; a controller that is down then fails the send.
  std::chrono::milliseconds connect_wait{1000};
};

// One blocking call's receiving thread: registers its topics, reports that
// it has subscribed, collects the latest record per topic in order of first
// arrival until the target arrives, the channel falls silent after a first
// message, a message cannot be read, or it is told to stop.
class Receiver : public Mailbox, public std::enable_shared_from_this<Receiver> {
 public:
  // A non-empty `start_failure` makes the thread end before it reports, as a
  // socket that cannot be set up would.
  Receiver(std::shared_ptr<MessagingContext> context, std::string endpoint,
           std::optional<std::string> target, std::vector<std::string> topics, Sink sink,
           ReceiverSettings settings = {}, std::string start_failure = {});
  ~Receiver() override;

  // Starts the thread; throws std::logic_error when started before.
  void start();
  bool has_started_thread() const { return thread_started_; }

  bool started() const { return started_.load(std::memory_order_acquire); }
  // After this is seen true the collected records are the caller's.
  bool finished() const { return finished_.load(std::memory_order_acquire); }
  bool stop_requested() const { return stop_.load(std::memory_order_acquire); }
  bool received_any() const { return received_any_.load(std::memory_order_acquire); }
  bool cancelled() const { return cancelled_.load(std::memory_order_acquire); }

  void stop();
  // Ends the caller's waits as if their bound had passed (the caller then
  // stops the thread).
  void cancel();

  enum class Until { Started, Finished, Cancelled };
  // Waits until the state is reached, the call is cancelled or the deadline
  // passes; true unless the deadline passed first.
  bool wait(Until state, Clock::time_point deadline);

  // Waits for the thread to end; the thread must have been asked to stop or
  // have finished.
  void join();

  // The records collected, in order of first arrival of their topics; only
  // once finished() is true.
  const std::vector<std::pair<std::string, std::string>>& received() const { return received_; }
  // A copy taken while the thread may still be collecting.
  std::vector<std::pair<std::string, std::string>> snapshot();

  const std::optional<std::string>& target() const { return target_; }

 private:
  void run();
  bool wait_until_subscribed(const std::shared_ptr<ResultSubscriber>& subscriber,
                             const ResultSubscriber::Registration& registration);
  void collect();
  std::string check(const ResultMessage& message, std::string& topic) const;
  void set_flag(std::atomic<bool>& flag);

  std::shared_ptr<MessagingContext> context_;
  std::string endpoint_;
  std::optional<std::string> target_;
  std::vector<std::string> topics_;
  Sink sink_;
  ReceiverSettings settings_;
  std::string start_failure_;

  std::atomic<bool> started_{false};
  std::atomic<bool> finished_{false};
  std::atomic<bool> stop_{false};
  std::atomic<bool> received_any_{false};
  std::atomic<bool> cancelled_{false};
  bool thread_started_ = false;

  // Written by the thread under mutex_ until finished_ is set.
  std::vector<std::pair<std::string, std::string>> received_;
  std::unordered_map<std::string, std::size_t> index_;

  std::thread thread_;
};

// The blocking calls in flight on one client, so that they can be cancelled
// together from another thread.
class CallRegistry {
 public:
  class Entry {
   public:
    Entry(CallRegistry& registry, std::list<std::weak_ptr<Receiver>>::iterator where)
        : registry_(&registry), where_(where) {}
    ~Entry();
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;

   private:
    CallRegistry* registry_;
    std::list<std::weak_ptr<Receiver>>::iterator where_;
  };

  Entry add(const std::shared_ptr<Receiver>& receiver);
  // Cancels every call in flight; returns how many there were.
  std::size_t cancel_all();

 private:
  std::mutex mutex_;
  std::list<std::weak_ptr<Receiver>> calls_;
};

}  // namespace zarn::client
