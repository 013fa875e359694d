#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "controller_double.hpp"
#include "zarn/client/channels.hpp"
#include "zarn/client/records.hpp"
#include "zarn/client/subscription.hpp"

namespace client = zarn::client;
using zarn::testing::ControllerDouble;
using zarn::testing::Frames;
using zarn::testing::Lines;
using zarn::testing::Plan;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

std::string record(const std::string& cmd_id, std::int32_t result) {
  zarn::records::ActionValues values;
  values.integers = {0, 271, 3};
  values.cmd_id = cmd_id;
  return zarn::testing::with_result(zarn::records::pack_action(values), result);
}

std::int32_t result_of(const std::string& data) {
  std::int32_t result;
  std::memcpy(&result, data.data() + 212, sizeof result);
  return result;
}

std::vector<std::string> topics_of(const client::Receiver& receiver) {
  std::vector<std::string> topics;
  for (const auto& [topic, data] : receiver.received()) topics.push_back(topic);
  return topics;
}

// One client's subscription side against a controller double.
struct Subscribed {
  explicit Subscribed(const ControllerDouble& controller, client::ReceiverSettings chosen = {})
      : endpoint(controller.publisher_endpoint), settings(chosen) {
    context->subscriber(endpoint)->keep_subscribed("PC-");
  }

  std::shared_ptr<client::Receiver> started(std::optional<std::string> target,
                                            std::vector<std::string> topics) {
    auto receiver = std::make_shared<client::Receiver>(context, endpoint, std::move(target),
                                                       std::move(topics), lines.sink(), settings);
    receiver->start();
    EXPECT_TRUE(receiver->wait(client::Receiver::Until::Started, Clock::now() + 5s));
    EXPECT_TRUE(receiver->started());
    return receiver;
  }

  std::shared_ptr<client::MessagingContext> context = std::make_shared<client::MessagingContext>();
  std::string endpoint;
  client::ReceiverSettings settings;
  Lines lines;
};

bool finishes(client::Receiver& receiver, std::chrono::milliseconds within = 5000ms) {
  const bool done = receiver.wait(client::Receiver::Until::Finished, Clock::now() + within);
  if (!done) receiver.stop();  // a lost result: end the thread all the same
  receiver.join();
  return done && receiver.finished();
}

client::ReceiverSettings silent_after(std::chrono::milliseconds silence) {
  client::ReceiverSettings settings;
  settings.silence = silence;
  return settings;
}

}  // namespace

TEST(Receiver, CollectsUntilTheTargetKeepingFirstArrivalOrderAndLatestRecord) {
  ControllerDouble controller;
  Subscribed s(controller);
  auto receiver = s.started("PC-2", {"PC-1", "PC-2", "PC-3"});
  controller.publish_later({"PC-3", record("PC-3", 30)});
  controller.publish_later({std::string("PC-1\0\0\0\0", 8), record("PC-1", 10)});  // zero-padded
  controller.publish_later({"PC-3", record("PC-3", 31)});                          // replaces
  controller.publish_later({"PC-9", record("PC-9", 90)});                          // not asked for
  controller.publish_later({"PC-2", record("PC-2", 20)});
  ASSERT_TRUE(finishes(*receiver));
  EXPECT_EQ(topics_of(*receiver), (std::vector<std::string>{"PC-3", "PC-1", "PC-2"}));
  EXPECT_EQ(result_of(receiver->received()[0].second), 31);
  EXPECT_EQ(result_of(receiver->received()[2].second), 20);
  EXPECT_TRUE(s.lines.take().empty());
}

TEST(Receiver, TopicsMatchByPrefixAndOthersEndBySilence) {
  ControllerDouble controller;
  Subscribed s(controller, silent_after(300ms));
  // The target is not among the topics, so only silence can end this one.
  auto receiver = s.started("PC-77", {"PC-1"});
  const auto sent = Clock::now();
  controller.publish_later({"PC-10", record("PC-10", 1)});
  controller.publish_later({"PC-2", record("PC-2", 1)});
  ASSERT_TRUE(finishes(*receiver));
  EXPECT_GE(Clock::now() - sent, 300ms);
  EXPECT_EQ(topics_of(*receiver), (std::vector<std::string>{"PC-10"}));
}

TEST(Receiver, NothingArrivingKeepsItWaitingUntilStopped) {
  ControllerDouble controller;
  Subscribed s(controller, silent_after(50ms));
  auto receiver = s.started("PC-1", {"PC-1"});
  EXPECT_FALSE(receiver->wait(client::Receiver::Until::Finished, Clock::now() + 300ms));
  const auto stopped = Clock::now();
  receiver->stop();
  ASSERT_TRUE(finishes(*receiver));
  EXPECT_LT(Clock::now() - stopped, 1s);
  EXPECT_TRUE(receiver->received().empty());
}

TEST(Receiver, BadMessagesEndTheCollectionAndTheSubscriberServesTheNextCall) {
  ControllerDouble controller;
  Subscribed s(controller);
  const std::vector<std::pair<Frames, std::string>> cases = {
      {{"PC-1"}, "a result message has 1 frame, not 2"},
      {{"PC-1", record("PC-1", 1), "extra"}, "a result message has 3 frames, not 2"},
      {{std::string("PC-1\xc3", 5), record("PC-1", 1)},
       "'ascii' codec can't decode byte 0xc3 in position 4"},
  };
  for (const auto& [frames, expected] : cases) {
    auto receiver = s.started("PC-1", {"PC-1"});
    controller.publish_later(frames);
    ASSERT_TRUE(finishes(*receiver)) << expected;
    auto lines = s.lines.take();
    ASSERT_EQ(lines.size(), 1u) << expected;
    EXPECT_EQ(lines[0].rfind("[Error when Receiving]:  ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(expected), std::string::npos) << lines[0];
    EXPECT_TRUE(receiver->received().empty());
  }
  // A data frame that is no action record is collected as it came: its
  // decoding fails the caller, who must not take it for a missing result.
  for (const std::string& data : {std::string(50, '\x01'), std::string()}) {
    auto receiver = s.started("PC-1", {"PC-1"});
    controller.publish_later({"PC-1", data});
    ASSERT_TRUE(finishes(*receiver));
    EXPECT_TRUE(s.lines.take().empty());
    ASSERT_EQ(receiver->received().size(), 1u);
    EXPECT_EQ(receiver->received()[0].second, data);
  }
  auto receiver = s.started("PC-1", {"PC-1"});
  controller.publish_later({"PC-1", record("PC-1", 5)});
  ASSERT_TRUE(finishes(*receiver));
  EXPECT_EQ(result_of(receiver->received().at(0).second), 5);
}

TEST(Receiver, AStartFailureNeverReportsTheStart) {
  auto context = std::make_shared<client::MessagingContext>();
  Lines lines;
  for (auto [endpoint, failure] :
       {std::pair<std::string, std::string>{"tcp://127.0.0.1:1", "no"}, {"not an endpoint", ""}}) {
    auto receiver = std::make_shared<client::Receiver>(
        context, endpoint, "PC-1", std::vector<std::string>{"PC-1"}, lines.sink(),
        client::ReceiverSettings{}, failure);
    receiver->start();
    EXPECT_FALSE(receiver->wait(client::Receiver::Until::Started, Clock::now() + 200ms));
    receiver->join();  // ended by itself
    EXPECT_FALSE(receiver->started());
    EXPECT_THROW(receiver->start(), std::logic_error);
  }
}

TEST(Receiver, TopicsOutsideTheStandingSubscriptionGetTheirOwn) {
  ControllerDouble controller;
  Subscribed s(controller);
  for (int round = 0; round < 3; ++round) {
    // Subscribed anew each round and dropped after: the publisher only
    // sends what someone subscribes to.
    auto receiver = s.started("other-1", {"other-1"});
    controller.publish_later({"other-1", record("other-1", round)});
    ASSERT_TRUE(finishes(*receiver)) << round;
    EXPECT_EQ(result_of(receiver->received().at(0).second), round);
  }
}

TEST(Receiver, CancelEndsTheCallersWaitAtOnce) {
  ControllerDouble controller;
  Subscribed s(controller);
  auto receiver = s.started("PC-1", {"PC-1"});
  client::CallRegistry calls;
  {
    auto entry = calls.add(receiver);
    std::thread canceller([&] {
      std::this_thread::sleep_for(50ms);
      EXPECT_EQ(calls.cancel_all(), 1u);
    });
    const auto waiting = Clock::now();
    EXPECT_TRUE(receiver->wait(client::Receiver::Until::Finished, Clock::now() + 10s));
    EXPECT_LT(Clock::now() - waiting, 5s);
    EXPECT_TRUE(receiver->cancelled());
    canceller.join();
  }
  EXPECT_EQ(calls.cancel_all(), 0u);  // the entry is gone with its scope
  receiver->stop();
  EXPECT_TRUE(finishes(*receiver));
}

// The result is published the instant the record is in, before the reply,
// by a publisher that never takes in subscriptions on its own. A new
// client's first call is the hard case: its subscription has just connected.
TEST(Receiver, NoResultIsLostToAFreshSubscription) {
  ControllerDouble controller;
  int lost = 0;
  constexpr int kCalls = 60;
  for (int i = 0; i < kCalls; ++i) {
    Subscribed s(controller);
    client::RequestChannels channels(
        s.context->zmq_context(),
        [&] {
          return client::RequestEndpoints{
              controller.action_endpoint, controller.logger_endpoint, {}};
        },
        s.lines.sink());
    ASSERT_TRUE(channels.init_sockets(false));
    const std::string id = "PC-" + std::to_string(i);
    auto receiver = s.started(id, {id});
    ASSERT_TRUE(channels.exchange(client::Channel::Action, record(id, -1)));
    lost += !finishes(*receiver, 2s);
  }
  EXPECT_EQ(lost, 0) << "of " << kCalls;
}

TEST(Receiver, ManyCallsInARowOnOneSubscription) {
  ControllerDouble controller;
  Subscribed s(controller);
  client::RequestChannels channels(
      s.context->zmq_context(),
      [&] {
        return client::RequestEndpoints{controller.action_endpoint, controller.logger_endpoint, {}};
      },
      s.lines.sink());
  ASSERT_TRUE(channels.init_sockets(false));
  int lost = 0;
  for (int i = 0; i < 500; ++i) {
    const std::string id = "PC-" + std::to_string(i % 1000);
    auto receiver = s.started(id, {id});
    ASSERT_TRUE(channels.exchange(client::Channel::Action, record(id, -1)));
    if (!finishes(*receiver, 2s)) {
      ++lost;
      continue;
    }
    // The double echoes with result 1; a neighbour's record would carry
    // another id.
    EXPECT_EQ(zarn::testing::cmd_id_of(receiver->received().back().second), id);
  }
  EXPECT_EQ(lost, 0);
}
