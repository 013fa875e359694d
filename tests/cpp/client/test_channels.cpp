#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "controller_double.hpp"
#include "zarn/client/channels.hpp"
#include "zarn/client/records.hpp"

namespace client = zarn::client;
using zarn::testing::ControllerDouble;
using zarn::testing::Lines;
using zarn::testing::Plan;
using Clock = std::chrono::steady_clock;

namespace {

std::string action_record(const std::string& cmd_id) {
  zarn::records::ActionValues values;
  values.integers = {3, 1, 20000};
  values.cmd_id = cmd_id;
  return zarn::records::pack_action(values);
}

std::int32_t result_of(const std::string& record) {
  std::int32_t result;
  std::memcpy(&result, record.data() + 212, sizeof result);
  return result;
}

// An endpoint nobody listens on: a port that was just free.
std::string silent_endpoint() {
  zmq::context_t context;
  zmq::socket_t probe(context, zmq::socket_type::rep);
  probe.bind("tcp://127.0.0.1:*");
  return probe.get(zmq::sockopt::last_endpoint);
}

struct Fixture {
  explicit Fixture(std::string action, std::string logger)
      : channels(
            context,
            [this] {
              ++endpoint_requests;
              return client::RequestEndpoints{action_endpoint, logger_endpoint, {}};
            },
            lines.sink()),
        action_endpoint(std::move(action)),
        logger_endpoint(std::move(logger)) {}
  std::shared_ptr<zmq::context_t> context = std::make_shared<zmq::context_t>();
  Lines lines;
  std::atomic<int> endpoint_requests{0};
  client::RequestChannels channels;
  std::string action_endpoint;
  std::string logger_endpoint;
};

}  // namespace

TEST(RequestChannels, ExchangeReturnsTheReplyOnBothChannels) {
  ControllerDouble controller([](const std::string& request, bool logger) {
    Plan plan;
    plan.result = 7;
    if (logger) plan.reply_data = request.substr(0, 8) + std::string("250").append(77, '\0');
    return plan;
  });
  Fixture f(controller.action_endpoint, controller.logger_endpoint);
  ASSERT_TRUE(f.channels.init_sockets(false));
  EXPECT_TRUE(f.channels.usable(client::Channel::Action));
  EXPECT_EQ(f.channels.endpoint(client::Channel::Action), controller.action_endpoint);

  auto reply = f.channels.exchange(client::Channel::Action, action_record("PC-1"));
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(result_of(*reply), 7);
  auto logged =
      f.channels.exchange(client::Channel::Logger, zarn::records::pack_logger_request(13, 2));
  ASSERT_TRUE(logged.has_value());
  EXPECT_EQ(logged->substr(8, 3), "250");
  EXPECT_TRUE(f.lines.take().empty());
}

TEST(RequestChannels, NoServiceFailsTheSendAfterItsTimeOutAndTheNextCallResets) {
  Fixture f(silent_endpoint(), silent_endpoint());
  ASSERT_TRUE(f.channels.init_sockets(false));
  const auto started = Clock::now();
  EXPECT_FALSE(f.channels.exchange(client::Channel::Action, action_record("PC-1")));
  const auto waited = Clock::now() - started;
  EXPECT_GE(waited, std::chrono::milliseconds(900));
  EXPECT_LT(waited, std::chrono::seconds(3));
  EXPECT_EQ(f.lines.take(),
            (std::vector<std::string>{
                "[Get Logger Error] Somthing is wrong in the zmqServer. Failed to send request.",
                "Resource temporarily unavailable"}));
  EXPECT_FALSE(f.channels.usable(client::Channel::Action));
  EXPECT_TRUE(f.channels.usable(client::Channel::Logger));

  // The next exchange re-creates both sockets first, taking the endpoints
  // anew, so a service that has come up meanwhile is found.
  ControllerDouble controller;
  f.action_endpoint = controller.action_endpoint;
  f.logger_endpoint = controller.logger_endpoint;
  const int before = f.endpoint_requests;
  auto reply = f.channels.exchange(client::Channel::Action, action_record("PC-2"));
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(f.endpoint_requests, before + 1);
  EXPECT_EQ(f.channels.endpoint(client::Channel::Logger), controller.logger_endpoint);
}

TEST(RequestChannels, WithheldReplyFailsTheReceiveAndLeavesNoLockBehind) {
  std::atomic<int> calls{0};
  ControllerDouble controller([&](const std::string&, bool) {
    Plan plan;
    plan.reply = calls++ > 0;  // the first request is never answered
    return plan;
  });
  Fixture f(controller.action_endpoint, controller.logger_endpoint);
  ASSERT_TRUE(f.channels.init_sockets(false));
  EXPECT_FALSE(
      f.channels.exchange(client::Channel::Logger, zarn::records::pack_logger_request(1, 4)));
  EXPECT_EQ(f.lines.take(), (std::vector<std::string>{"[Enqueue Action Error] Somthing is wrong in "
                                                      "the zmqServer. Failed to receive response "
                                                      "after request.",
                                                      "Resource temporarily unavailable"}));
  EXPECT_FALSE(f.channels.lock(client::Channel::Logger).locked());
  EXPECT_FALSE(f.channels.usable(client::Channel::Logger));
  // The stuck REQ socket is replaced, so the next request alternates again.
  EXPECT_TRUE(
      f.channels.exchange(client::Channel::Logger, zarn::records::pack_logger_request(1, 4)));
  EXPECT_TRUE(f.channels.usable(client::Channel::Logger));
}

TEST(RequestChannels, SetUpFailureIsReportedAndLeavesTheFlags) {
  std::shared_ptr<zmq::context_t> context = std::make_shared<zmq::context_t>();
  Lines lines;
  client::RequestChannels channels(
      context,
      [] {
        return client::RequestEndpoints{"tcp://no port here", "tcp://x:1", {}};
      },
      lines.sink());
  EXPECT_FALSE(channels.init_sockets(false));
  auto reported = lines.take();
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0].rfind("[Zmq Socket Error] ", 0), 0u) << reported[0];
  EXPECT_FALSE(channels.usable(client::Channel::Action));

  client::RequestChannels unformatted(
      context,
      [] {
        return client::RequestEndpoints{{}, {}, "%i format: a real number is required"};
      },
      lines.sink());
  EXPECT_FALSE(unformatted.init_sockets(true));
  EXPECT_EQ(lines.take(),
            (std::vector<std::string>{"[Zmq Socket Error] %i format: a real number is required"}));
  // The exchange still runs: its reset fails again and the send reports it.
  EXPECT_FALSE(unformatted.exchange(client::Channel::Action, action_record("PC-1")));
  reported = lines.take();
  ASSERT_EQ(reported.size(), 3u);
  EXPECT_EQ(reported[1],
            "[Get Logger Error] Somthing is wrong in the zmqServer. Failed to send request.");
}

// Resets started from both channels while the other is mid-exchange: the
// fixed lock order means no deadlock and no exchange loses its socket.
TEST(RequestChannels, ResetsFromBothChannelsNeverDeadlockOrCrossReplies) {
  std::atomic<int> seen{0};
  ControllerDouble controller([&](const std::string&, bool) {
    Plan plan;
    plan.reply = seen++ % 5 != 0;  // every fifth request times out and forces a reset
    plan.reply_delay = std::chrono::milliseconds(1);
    return plan;
  });
  Fixture f(controller.action_endpoint, controller.logger_endpoint);
  ASSERT_TRUE(f.channels.init_sockets(false));
  std::atomic<int> wrong{0};
  std::atomic<int> answered{0};
  auto worker = [&](client::Channel channel, int index) {
    for (int i = 0; i < 6; ++i) {
      const std::string id = "PC-" + std::to_string(index) + "-" + std::to_string(i);
      const std::string request = channel == client::Channel::Action
                                      ? action_record(id)
                                      : zarn::records::pack_logger_request(index, i);
      auto reply = f.channels.exchange(channel, request);
      if (!reply) continue;
      ++answered;
      if (reply->substr(0, 8) != request.substr(0, 8) ||
          (channel == client::Channel::Action && zarn::testing::cmd_id_of(*reply) != id)) {
        ++wrong;
      }
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back(worker, t % 2 ? client::Channel::Action : client::Channel::Logger, t);
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_GT(answered, 0);
  EXPECT_FALSE(f.channels.lock(client::Channel::Action).locked());
  EXPECT_FALSE(f.channels.lock(client::Channel::Logger).locked());
}

TEST(CommandIds, CountWrapsAfter999AndPrefixIsTheLocalTime) {
  std::tm when{};
  when.tm_year = 2024 - 1900;
  when.tm_mon = 11;
  when.tm_mday = 5;
  when.tm_hour = 9;
  when.tm_min = 3;
  when.tm_sec = 7;
  when.tm_isdst = -1;
  EXPECT_EQ(client::CommandIds::prefix_at(std::mktime(&when)), "PC1205090307-");

  client::CommandIds ids("PC1205090307-");
  EXPECT_EQ(ids.next(), "PC1205090307-0");
  ids.set_count(999);
  EXPECT_EQ(ids.next(), "PC1205090307-999");
  EXPECT_EQ(ids.next(), "PC1205090307-0");
  ids.set_count(-5);
  EXPECT_EQ(ids.next(), "PC1205090307--5");
  EXPECT_EQ(ids.count(), 996);
  EXPECT_FALSE(ids.count_lock().locked());
}

TEST(CommandIds, ConcurrentCallersNeverShareAnIdWithinACycle) {
  client::CommandIds ids("PC-");
  std::mutex mutex;
  std::set<std::string> seen;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 250; ++i) {
        std::string id = ids.next();
        std::lock_guard guard(mutex);
        seen.insert(std::move(id));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(seen.size(), 1000u);
}

TEST(Lock, ReleasedByAnotherThreadAndTimedAcquire) {
  zarn::Lock lock;
  lock.acquire();
  EXPECT_FALSE(lock.try_acquire());
  EXPECT_FALSE(lock.acquire_until(Clock::now() + std::chrono::milliseconds(20)));
  std::thread other([&] { lock.release(); });
  other.join();
  EXPECT_TRUE(lock.acquire_until(Clock::now() + std::chrono::seconds(5)));
  lock.release();
  EXPECT_THROW(lock.release(), std::logic_error);
}
