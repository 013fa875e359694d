#include "zarn/client/subscription.hpp"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace zarn::client {
namespace {

std::string unique_inproc(const char* what) {
  static std::atomic<std::uint64_t> counter{0};
  return std::string("inproc://zarn-") + what + "-" + std::to_string(counter.fetch_add(1));
}

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

// What Python says of the same failure, so that the report reads the same.
std::string ascii_failure(std::string_view bytes, std::size_t position) {
  char byte[8];
  std::snprintf(byte, sizeof byte, "0x%02x", static_cast<unsigned char>(bytes[position]));
  return std::string("'ascii' codec can't decode byte ") + byte + " in position " +
         std::to_string(position) + ": ordinal not in range(128)";
}

}  // namespace

// --- Mailbox -------------------------------------------------------------------

void Mailbox::deliver(ResultMessage message) {
  {
    std::lock_guard guard(mutex_);
    inbox_.push_back(std::move(message));
  }
  changed_.notify_all();
}

void Mailbox::notify() {
  // Taking the mutex orders the news after a waiter's last look at the state.
  { std::lock_guard guard(mutex_); }
  changed_.notify_all();
}

// --- ResultSubscriber ----------------------------------------------------------

ResultSubscriber::ResultSubscriber(std::shared_ptr<zmq::context_t> context, std::string endpoint,
                                   SubscriptionSettings settings)
    : context_(std::move(context)), endpoint_(std::move(endpoint)), settings_(settings) {
  sub_ = zmq::socket_t(*context_, zmq::socket_type::sub);
  sub_.set(zmq::sockopt::linger, 0);

  // The monitor is in place before the connection starts, so its handshake
  // cannot be missed.
  const std::string monitor_endpoint = unique_inproc("result-monitor");
  if (zmq_socket_monitor(sub_.handle(), monitor_endpoint.c_str(),
                         ZMQ_EVENT_HANDSHAKE_SUCCEEDED | ZMQ_EVENT_DISCONNECTED) != 0) {
    throw zmq::error_t();
  }
  monitor_ = zmq::socket_t(*context_, zmq::socket_type::pair);
  monitor_.set(zmq::sockopt::linger, 0);
  monitor_.connect(monitor_endpoint);

  const std::string wake_endpoint = unique_inproc("result-wake");
  wake_rx_ = zmq::socket_t(*context_, zmq::socket_type::pair);
  wake_rx_.set(zmq::sockopt::linger, 0);
  wake_rx_.bind(wake_endpoint);
  wake_tx_ = zmq::socket_t(*context_, zmq::socket_type::pair);
  wake_tx_.set(zmq::sockopt::linger, 0);
  wake_tx_.connect(wake_endpoint);

  sub_.connect(endpoint_);
  thread_ = std::thread([this] { run(); });
}

ResultSubscriber::~ResultSubscriber() {
  {
    std::lock_guard guard(mutex_);
    stopping_ = true;
  }
  wake();
  if (thread_.joinable()) thread_.join();
  wake_tx_.close();
}

void ResultSubscriber::wake() {
  std::lock_guard guard(wake_mutex_);
  // A full pipe means the thread has wake-ups waiting already.
  (void)wake_tx_.send(zmq::const_buffer("", 0), zmq::send_flags::dontwait);
}

void ResultSubscriber::keep_subscribed(const std::string& prefix) {
  {
    std::lock_guard guard(mutex_);
    Subscription& subscription = subscriptions_[prefix];
    subscription.permanent = true;
    if (subscription.holders++ == 0) changes_.emplace_back(Change::Subscribe, prefix);
  }
  wake();
}

std::string ResultSubscriber::hold_covering(const std::string& topic) {
  // A standing subscription that is a prefix of the topic already lets its
  // messages through; prefer one that has settled.
  auto best = subscriptions_.end();
  for (auto it = subscriptions_.begin(); it != subscriptions_.end(); ++it) {
    if (!starts_with(topic, it->first)) continue;
    if (best == subscriptions_.end() || it->second.effective_at < best->second.effective_at) {
      best = it;
    }
  }
  if (best == subscriptions_.end()) {
    best = subscriptions_.emplace(topic, Subscription{}).first;
    changes_.emplace_back(Change::Subscribe, topic);
  }
  ++best->second.holders;
  return best->first;
}

std::unique_ptr<ResultSubscriber::Registration> ResultSubscriber::attach(
    const std::shared_ptr<ResultSubscriber>& self, std::vector<std::string> topics,
    std::shared_ptr<Mailbox> mailbox) {
  std::vector<std::string> held;
  std::uint64_t id;
  bool changed;
  {
    std::lock_guard guard(self->mutex_);
    const std::size_t changes_before = self->changes_.size();
    for (const std::string& topic : topics) held.push_back(self->hold_covering(topic));
    id = self->next_id_++;
    self->attached_.push_back({id, topics, std::move(mailbox)});
    changed = self->changes_.size() != changes_before;
  }
  if (changed) self->wake();
  return std::unique_ptr<Registration>(
      new Registration(self, id, std::move(topics), std::move(held)));
}

ResultSubscriber::Registration::~Registration() { owner_->detach(*this); }

void ResultSubscriber::detach(const Registration& registration) {
  bool changed = false;
  {
    std::lock_guard guard(mutex_);
    std::erase_if(attached_, [&](const Attached& a) { return a.id == registration.id_; });
    for (const std::string& name : registration.held_) {
      auto it = subscriptions_.find(name);
      if (it == subscriptions_.end()) continue;
      if (--it->second.holders == 0 && !it->second.permanent) {
        changes_.emplace_back(Change::Unsubscribe, name);
        subscriptions_.erase(it);
        changed = true;
      }
    }
  }
  if (changed) wake();
}

std::optional<Clock::time_point> ResultSubscriber::effective_from(
    const Registration& registration) const {
  std::lock_guard guard(mutex_);
  if (!connected_) return std::nullopt;
  Clock::time_point from = Clock::time_point::min();
  for (const std::string& name : registration.held_) {
    auto it = subscriptions_.find(name);
    if (it == subscriptions_.end() || !it->second.applied) return std::nullopt;
    from = std::max(from, it->second.effective_at);
  }
  return from;
}

bool ResultSubscriber::connected() const {
  std::lock_guard guard(mutex_);
  return connected_;
}

void ResultSubscriber::notify_all() {
  std::vector<std::shared_ptr<Mailbox>> mailboxes;
  {
    std::lock_guard guard(mutex_);
    for (const Attached& a : attached_) mailboxes.push_back(a.mailbox);
  }
  for (const auto& mailbox : mailboxes) mailbox->notify();
}

void ResultSubscriber::apply_changes() {
  std::vector<std::pair<Change, std::string>> changes;
  {
    std::lock_guard guard(mutex_);
    changes.swap(changes_);
  }
  if (changes.empty()) return;
  for (const auto& [change, topic] : changes) {
    if (change == Change::Subscribe) {
      sub_.set(zmq::sockopt::subscribe, topic);
    } else {
      sub_.set(zmq::sockopt::unsubscribe, topic);
    }
  }
  {
    std::lock_guard guard(mutex_);
    const Clock::time_point now = Clock::now();
    for (const auto& [change, topic] : changes) {
      if (change != Change::Subscribe) continue;
      auto it = subscriptions_.find(topic);
      if (it == subscriptions_.end() || it->second.applied) continue;
      it->second.applied = true;
      // On a live connection the subscription goes out at once; otherwise it
      // goes with the handshake, which sets its time.
      it->second.effective_at = connected_ ? now + settings_.settle : Clock::time_point::max();
    }
  }
  notify_all();
}

void ResultSubscriber::read_monitor() {
  for (;;) {
    zmq::message_t event;
    if (!monitor_.recv(event, zmq::recv_flags::dontwait)) return;
    std::uint16_t id = 0;
    if (event.size() >= sizeof id) std::memcpy(&id, event.data(), sizeof id);
    while (event.more()) {
      zmq::message_t rest;
      if (!monitor_.recv(rest, zmq::recv_flags::none)) break;
      event.swap(rest);
    }
    {
      std::lock_guard guard(mutex_);
      if (id == ZMQ_EVENT_HANDSHAKE_SUCCEEDED) {
        // The SUB side sends every subscription right after its handshake;
        // the settle time covers the trip and the publisher's late look.
        connected_ = true;
        const Clock::time_point at = Clock::now() + settings_.settle;
        for (auto& [name, subscription] : subscriptions_) {
          if (subscription.applied) subscription.effective_at = at;
        }
      } else if (id == ZMQ_EVENT_DISCONNECTED) {
        connected_ = false;
      }
    }
    notify_all();
  }
}

void ResultSubscriber::read_messages() {
  for (;;) {
    ResultMessage message;
    zmq::message_t frame;
    if (!sub_.recv(frame, zmq::recv_flags::dontwait)) return;
    message.topic.assign(static_cast<const char*>(frame.data()), frame.size());
    std::size_t frames = 1;
    // Frames of one message arrive together: once the first is in, the rest
    // are too, so these receives never block.
    if (frame.more()) {
      zmq::message_t data;
      if (sub_.recv(data, zmq::recv_flags::dontwait)) {
        ++frames;
        message.data.assign(static_cast<const char*>(data.data()), data.size());
        while (data.more()) {
          zmq::message_t extra;
          if (!sub_.recv(extra, zmq::recv_flags::dontwait)) break;
          ++frames;
          data.swap(extra);
        }
      }
    }
    if (frames != 2) {
      message.failure = "a result message has " + std::to_string(frames) +
                        (frames == 1 ? " frame" : " frames") +
                        ", not 2 (a topic and one action record)";
    }

    std::vector<std::shared_ptr<Mailbox>> mailboxes;
    {
      std::lock_guard guard(mutex_);
      for (const Attached& a : attached_) {
        for (const std::string& topic : a.topics) {
          if (starts_with(message.topic, topic)) {
            mailboxes.push_back(a.mailbox);
            break;
          }
        }
      }
    }
    for (std::size_t i = 0; i < mailboxes.size(); ++i) {
      mailboxes[i]->deliver(i + 1 == mailboxes.size() ? std::move(message) : message);
    }
  }
}

void ResultSubscriber::run() {
  zmq::pollitem_t items[] = {{sub_.handle(), 0, ZMQ_POLLIN, 0},
                             {monitor_.handle(), 0, ZMQ_POLLIN, 0},
                             {wake_rx_.handle(), 0, ZMQ_POLLIN, 0}};
  for (;;) {
    try {
      // Sleeps until something happens: no time-out, nothing to look at.
      zmq::poll(items, 3, std::chrono::milliseconds(-1));
      if (items[2].revents & ZMQ_POLLIN) {
        zmq::message_t drained;
        while (wake_rx_.recv(drained, zmq::recv_flags::dontwait)) {
        }
        {
          std::lock_guard guard(mutex_);
          if (stopping_) break;
        }
        apply_changes();
      }
      if (items[1].revents & ZMQ_POLLIN) read_monitor();
      if (items[0].revents & ZMQ_POLLIN) read_messages();
    } catch (const zmq::error_t& e) {
      if (e.num() == ETERM) break;
      // EINTR and the like: look again.
    } catch (const std::exception&) {
      // Out of memory for one message: the others may still fit.
    }
  }
  zmq_socket_monitor(sub_.handle(), nullptr, 0);
  sub_.close();
  monitor_.close();
  wake_rx_.close();
}

// --- MessagingContext ----------------------------------------------------------

MessagingContext::MessagingContext(SubscriptionSettings settings)
    : context_(std::make_shared<zmq::context_t>()), settings_(settings) {}

MessagingContext::~MessagingContext() {
  // Subscribers first: their sockets must be closed before the context ends.
  subscribers_.clear();
}

std::shared_ptr<ResultSubscriber> MessagingContext::subscriber(const std::string& endpoint) {
  std::lock_guard guard(mutex_);
  auto it = subscribers_.find(endpoint);
  if (it != subscribers_.end()) return it->second;
  auto opened = std::make_shared<ResultSubscriber>(context_, endpoint, settings_);
  subscribers_.emplace(endpoint, opened);
  return opened;
}

// --- Receiver ------------------------------------------------------------------

Receiver::Receiver(std::shared_ptr<MessagingContext> context, std::string endpoint,
                   std::optional<std::string> target, std::vector<std::string> topics, Sink sink,
                   ReceiverSettings settings, std::string start_failure)
    : context_(std::move(context)),
      endpoint_(std::move(endpoint)),
      target_(std::move(target)),
      topics_(std::move(topics)),
      sink_(std::move(sink)),
      settings_(settings),
      start_failure_(std::move(start_failure)) {}

Receiver::~Receiver() {
  if (!thread_.joinable()) return;
  // The thread itself may hold the last reference.
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();
  } else {
    stop();
    thread_.join();
  }
}

void Receiver::start() {
  if (thread_started_) throw std::logic_error("threads can only be started once");
  thread_ = std::thread([self = shared_from_this()] { self->run(); });
  thread_started_ = true;
}

void Receiver::set_flag(std::atomic<bool>& flag) {
  {
    std::lock_guard guard(mutex_);
    flag.store(true, std::memory_order_release);
  }
  changed_.notify_all();
}

void Receiver::stop() { set_flag(stop_); }
void Receiver::cancel() { set_flag(cancelled_); }

bool Receiver::wait(Until state, Clock::time_point deadline) {
  std::unique_lock guard(mutex_);
  return changed_.wait_until(guard, deadline, [&] {
    if (cancelled()) return true;
    switch (state) {
      case Until::Started:
        return started();
      case Until::Finished:
        return finished();
      case Until::Cancelled:
        return false;
    }
    return false;
  });
}

void Receiver::join() {
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

std::vector<std::pair<std::string, std::string>> Receiver::snapshot() {
  std::lock_guard guard(mutex_);
  return received_;
}

void Receiver::run() {
  // The context is let go of here, on this thread: the subscriber's thread
  // may hold the last reference to this receiver for a moment, and must not
  // end up destroying the context, and so itself.
  std::shared_ptr<MessagingContext> context = std::move(context_);
  std::shared_ptr<ResultSubscriber> subscriber;
  std::unique_ptr<ResultSubscriber::Registration> registration;
  try {
    if (!start_failure_.empty()) return;
    subscriber = context->subscriber(endpoint_);
    registration = ResultSubscriber::attach(subscriber, topics_, shared_from_this());
  } catch (const std::exception&) {
    // Never reports its start; the caller's start limit tells the user.
    return;
  }
  if (wait_until_subscribed(subscriber, *registration)) {
    set_flag(started_);
    try {
      collect();
    } catch (const std::exception& e) {
      sink_(std::string("[Error when Receiving]:  ") + e.what());
    }
  }
  set_flag(finished_);
  registration.reset();
}

bool Receiver::wait_until_subscribed(const std::shared_ptr<ResultSubscriber>& subscriber,
                                     const ResultSubscriber::Registration& registration) {
  const Clock::time_point give_up = Clock::now() + settings_.connect_wait;
  std::unique_lock guard(mutex_);
  for (;;) {
    if (stop_requested()) return true;  // reports, then stops at once, as a stopped loop does
    const std::optional<Clock::time_point> from = subscriber->effective_from(registration);
    const Clock::time_point now = Clock::now();
    if (from && *from <= now) return true;
    // Not connected: after a while go on, so that a controller that is down
    // is reported by the send like any other.
    if (!from && now >= give_up) return true;
    changed_.wait_until(guard, from ? *from : give_up);
  }
}

std::string Receiver::check(const ResultMessage& message, std::string& topic) const {
  if (!message.failure.empty()) return message.failure;
  topic.clear();
  for (std::size_t i = 0; i < message.topic.size(); ++i) {
    const auto byte = static_cast<unsigned char>(message.topic[i]);
    if (byte >= 0x80) return ascii_failure(message.topic, i);
    if (byte != 0) topic.push_back(static_cast<char>(byte));
  }
  // The data frame is kept as it came: one that is no action record fails the
  // caller's decoding, where it cannot be mistaken for a result that never came.
  return {};
}

void Receiver::collect() {
  std::optional<Clock::time_point> last;
  std::unique_lock guard(mutex_);
  while (!stop_requested()) {
    if (!received_.empty()) {
      if (target_ && index_.count(*target_) != 0) break;
      if (Clock::now() - *last > settings_.silence) break;
    }
    if (inbox_.empty()) {
      if (last) {
        changed_.wait_until(guard, *last + settings_.silence + std::chrono::microseconds(1));
      } else {
        changed_.wait(guard);
      }
      continue;
    }
    ResultMessage message = std::move(inbox_.front());
    inbox_.pop_front();
    guard.unlock();
    std::string topic;
    const std::string failure = check(message, topic);
    if (!failure.empty()) {
      // Printed outside the lock: the sink may wait for the interpreter.
      sink_("[Error when Receiving]:  " + failure);
      guard.lock();
      break;
    }
    guard.lock();
    auto [it, fresh] = index_.try_emplace(topic, received_.size());
    if (fresh) {
      received_.emplace_back(std::move(topic), std::move(message.data));
    } else {
      received_[it->second].second = std::move(message.data);
    }
    last = Clock::now();
    received_any_.store(true, std::memory_order_release);
  }
}

// --- CallRegistry --------------------------------------------------------------

CallRegistry::Entry CallRegistry::add(const std::shared_ptr<Receiver>& receiver) {
  std::lock_guard guard(mutex_);
  calls_.push_front(receiver);
  return Entry(*this, calls_.begin());
}

CallRegistry::Entry::~Entry() {
  std::lock_guard guard(registry_->mutex_);
  registry_->calls_.erase(where_);
}

std::size_t CallRegistry::cancel_all() {
  std::vector<std::shared_ptr<Receiver>> live;
  {
    std::lock_guard guard(mutex_);
    for (const auto& call : calls_) {
      if (auto receiver = call.lock()) live.push_back(std::move(receiver));
    }
  }
  for (const auto& receiver : live) receiver->cancel();
  return live.size();
}

}  // namespace zarn::client
