// The simulator service over real sockets, with request and subscriber
// sockets like the client's, each test on a loopback address of its own.
#include <gtest/gtest.h>
#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>
#include <zmq.hpp>
#include <zmq_addon.hpp>

#include "zarn/client/records.hpp"
#include "zarn/sim/service.hpp"

namespace rec = zarn::records;
namespace sim = zarn::sim;
using namespace std::chrono_literals;

namespace {

std::string random_loopback() {
  static std::mt19937 rng{std::random_device{}()};
  std::uniform_int_distribution<int> octet(1, 254);
  return "127." + std::to_string(octet(rng)) + "." + std::to_string(octet(rng)) + "." +
         std::to_string(octet(rng));
}

std::string io_set(int pin, int value, const std::string& id) {
  return rec::pack_action({{1, 0, pin, 0, value}, id, {"502"}});
}

int result_of(const std::string& record) {
  std::int32_t value;
  std::memcpy(&value, record.data() + 212, sizeof value);
  return value;
}

// A service on its own thread, on a random loopback address.
class Running {
 public:
  explicit Running(sim::ServiceOptions options = {}) {
    const sim::MachineConfig machine =
        sim::load_machine(std::string(ZARN_SOURCE_DIR) + "/examples/handler_settings.yaml");
    for (int attempt = 0; attempt < 20; ++attempt) {
      options.host = random_loopback();
      service_ = std::make_unique<sim::Service>(
          machine, options, [this](const std::string& line) { said(line); },
          [](const std::string&) {});
      failed_ = false;
      thread_ = std::thread([this] {
        try {
          service_->run();
        } catch (const sim::BindError&) {
          std::lock_guard<std::mutex> lock(mutex_);
          failed_ = true;
          changed_.notify_all();
        }
      });
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait_for(lock, 10s, [this] { return ready_ > 0 || failed_; });
      if (ready_ > 0) {
        host = options.host;
        return;
      }
      lock.unlock();
      thread_.join();
    }
    ADD_FAILURE() << "no loopback address could be bound";
  }
  ~Running() { stop(); }

  void stop() {
    if (!thread_.joinable()) return;
    service_->request_stop();
    thread_.join();
  }
  std::string control(const std::string& command) { return service_->control(command); }
  bool wait_ready(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] { return ready_ >= count; });
  }
  std::thread& thread() { return thread_; }
  std::string endpoint(int port) const { return "tcp://" + host + ":" + std::to_string(port); }

  std::string host;

 private:
  void said(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (line.rfind("zarn-sim ready", 0) == 0) ++ready_;
    changed_.notify_all();
  }

  std::unique_ptr<sim::Service> service_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  int ready_ = 0;
  bool failed_ = false;
};

// The client's side: request sockets on both channels and one subscriber.
class Client {
 public:
  explicit Client(const Running& service) : service_(service) {
    actions_ = request_socket(5002);
    logger_ = request_socket(5003);
    results_.set(zmq::sockopt::linger, 0);
    results_.connect(service.endpoint(5001));
  }

  zmq::socket_t request_socket(int port) {
    zmq::socket_t socket(context_, zmq::socket_type::req);
    socket.set(zmq::sockopt::linger, 0);
    socket.set(zmq::sockopt::rcvtimeo, 2000);
    socket.set(zmq::sockopt::sndtimeo, 1000);
    socket.connect(service_.endpoint(port));
    return socket;
  }

  // The reply, or an empty text when none came within the time-out (the
  // socket is then replaced, as the client does).
  std::string exchange(const std::string& body, bool logger = false) {
    zmq::socket_t& socket = logger ? logger_ : actions_;
    if (!socket.send(zmq::buffer(body), zmq::send_flags::none)) return "";
    zmq::message_t reply;
    if (!socket.recv(reply)) {
      socket = request_socket(logger ? 5003 : 5002);
      return "";
    }
    return reply.to_string();
  }
  std::string logger(int device, int index) {
    const std::string reply = exchange(rec::pack_logger_request(device, index), true);
    if (reply.size() != rec::kLogRecordBytes) return "(no reply)";
    return std::get<std::string>(rec::unpack(rec::kLogDatatype, reply)[2]);
  }
  void subscribe(const std::string& topic) { results_.set(zmq::sockopt::subscribe, topic); }
  // The next published [topic, record], or empty texts after `wait`.
  std::pair<std::string, std::string> next_result(std::chrono::milliseconds wait = 2000ms) {
    results_.set(zmq::sockopt::rcvtimeo, static_cast<int>(wait.count()));
    std::vector<zmq::message_t> frames;
    if (!zmq::recv_multipart(results_, std::back_inserter(frames)) || frames.size() != 2) {
      return {};
    }
    return {frames[0].to_string(), frames[1].to_string()};
  }
  // Until this returns, a fresh subscriber may not be connected yet.
  void sync() {
    subscribe("sync");
    for (int i = 0; i < 100; ++i) {
      ASSERT_EQ(result_of(exchange(io_set(31, 0, "sync"))), 1);
      if (!next_result(50ms).first.empty()) break;
    }
    results_.set(zmq::sockopt::unsubscribe, "sync");
  }

 private:
  const Running& service_;
  zmq::context_t context_;
  zmq::socket_t actions_;
  zmq::socket_t logger_;
  zmq::socket_t results_{context_, zmq::socket_type::sub};
};

}  // namespace

TEST(Service, AnswersRecordsAndPublishesTheirResults) {
  sim::ServiceOptions options;
  options.speed = 50;
  Running service(options);
  Client client(service);
  client.sync();

  client.subscribe("PC-1");
  const std::string reply = client.exchange(io_set(22, 1, "PC-1"));
  ASSERT_EQ(reply.size(), rec::kActionRecordBytes);
  EXPECT_EQ(result_of(reply), 1);
  const auto [topic, record] = client.next_result();
  EXPECT_EQ(topic, "PC-1");
  EXPECT_EQ(record.substr(0, 212), io_set(22, 1, "PC-1").substr(0, 212));
  EXPECT_EQ(result_of(record), 1);
  EXPECT_EQ(client.logger(10, 3), "00 00 40 00");

  // A blocking homing of drive 13 at 50 times real speed.
  client.subscribe("H-end");
  ASSERT_EQ(result_of(client.exchange(rec::pack_action({{2, 3, 17}, "H", {"502"}}))), 1);
  ASSERT_EQ(result_of(client.exchange(rec::pack_action({{0, 271, 6}, "H-end", {"H"}}))), 1);
  const auto started = std::chrono::steady_clock::now();
  const auto end = client.next_result();
  EXPECT_EQ(end.first, "H-end");
  EXPECT_EQ(result_of(end.second), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);  // 0.5 s / 50, with room
  EXPECT_EQ(client.logger(13, 2), "0");

  // Messages of the wrong size get an answer, and the service goes on.
  const std::string short_reply = client.exchange("hello");
  ASSERT_EQ(short_reply.size(), rec::kActionRecordBytes);
  EXPECT_EQ(result_of(short_reply), sim::result::kWrongSize);
  EXPECT_EQ(client.logger(13, 0).rfind("ERROR", 0), std::string::npos);
  const std::string log_reply = client.exchange(std::string(5, 'x'), true);
  ASSERT_EQ(log_reply.size(), rec::kLogRecordBytes);
  // A record split over two frames is not a record, though 216 bytes in all.
  zmq::context_t context;
  zmq::socket_t dealer(context, zmq::socket_type::dealer);
  dealer.set(zmq::sockopt::linger, 0);
  dealer.set(zmq::sockopt::rcvtimeo, 2000);
  dealer.connect(service.endpoint(5002));
  const std::string whole = io_set(5, 1, "split");
  ASSERT_TRUE(dealer.send(zmq::message_t(), zmq::send_flags::sndmore));
  ASSERT_TRUE(dealer.send(zmq::buffer(whole.substr(0, 108)), zmq::send_flags::sndmore));
  ASSERT_TRUE(dealer.send(zmq::buffer(whole.substr(108)), zmq::send_flags::none));
  std::vector<zmq::message_t> answer;
  ASSERT_TRUE(zmq::recv_multipart(dealer, std::back_inserter(answer)));
  ASSERT_EQ(answer.size(), 2u);
  EXPECT_EQ(result_of(answer[1].to_string()), sim::result::kWrongSize);
  EXPECT_EQ(client.logger(99, 0), "ERROR no device with MorvoID 99");
}

TEST(Service, ResultsReachSubscriptionsMadeJustBeforeTheRecord) {
  Running service;
  Client client(service);
  client.sync();
  int lost = 0;
  for (int i = 0; i < 200; ++i) {
    const std::string id = "late-" + std::to_string(i);
    client.subscribe(id);
    ASSERT_EQ(result_of(client.exchange(io_set(i % 32, i % 2, id))), 1);
    // A loaded machine may deliver a result late; a late one is not lost, so
    // wait generously and pass over any earlier call's stragglers.
    std::string topic;
    do {
      topic = client.next_result(2000ms).first;
    } while (!topic.empty() && topic != id);
    if (topic.empty()) ++lost;
  }
  EXPECT_EQ(lost, 0);
}

TEST(Service, FaultsAreSwitchedAtRunTime) {
  Running service;
  Client client(service);
  client.sync();

  EXPECT_EQ(service.control("reject 1"), "ok reject 1");
  EXPECT_EQ(result_of(client.exchange(io_set(0, 1, "R1"))), sim::result::kRejectedOnDemand);
  EXPECT_EQ(result_of(client.exchange(io_set(0, 1, "R2"))), 1);

  EXPECT_EQ(service.control("withhold actions 1"), "ok withhold actions 1");
  EXPECT_EQ(client.exchange(io_set(1, 1, "W1")), "");  // times out; not acted on
  EXPECT_EQ(result_of(client.exchange(io_set(2, 1, "W2"))), 1);
  EXPECT_EQ(client.logger(10, 3), "05 00 00 00");

  EXPECT_EQ(service.control("delay logger 0.3"), "ok delay logger 0.3");
  const auto asked = std::chrono::steady_clock::now();
  EXPECT_EQ(client.logger(10, 3), "05 00 00 00");
  EXPECT_GE(std::chrono::steady_clock::now() - asked, 300ms);
  EXPECT_EQ(service.control("delay logger 0"), "ok delay logger 0");

  EXPECT_EQ(service.control("silent on"), "ok silent on");
  client.subscribe("S");
  EXPECT_EQ(result_of(client.exchange(io_set(3, 1, "S"))), 1);
  EXPECT_EQ(client.next_result(300ms).first, "");
  service.control("silent off");
  client.subscribe("S2");
  EXPECT_EQ(result_of(client.exchange(io_set(3, 0, "S2"))), 1);
  EXPECT_EQ(client.next_result().first, "S2");

  const std::string status = service.control("status");
  EXPECT_EQ(status.rfind("ok status up", 0), 0u) << status;
  EXPECT_NE(status.find("withheld=1"), std::string::npos) << status;
  EXPECT_NE(status.find("rejected=1"), std::string::npos) << status;
  EXPECT_NE(status.find("unpublished=1"), std::string::npos) << status;
  EXPECT_EQ(service.control("withhold both 2").rfind("error usage", 0), 0u);
  EXPECT_EQ(service.control("reject -3").rfind("error", 0), 0u);
  EXPECT_EQ(service.control("input 1 0 1"), "ok input 1 0 1");
  EXPECT_EQ(service.control("input 10 0 1").rfind("error device 10", 0), 0u);
  EXPECT_EQ(service.control("fly").rfind("error unknown command 'fly'", 0), 0u);

  // A restart: the ports go away for a moment and the machine starts afresh.
  ASSERT_EQ(result_of(client.exchange(rec::pack_action({{2, 3, 35}, "H35", {"502"}}))), 1);
  EXPECT_EQ(client.logger(13, 0), "6");
  EXPECT_EQ(service.control("restart 0.2"), "ok restarting, down for 0.2 s");
  ASSERT_TRUE(service.wait_ready(2));
  Client after(service);
  EXPECT_EQ(after.logger(13, 0), "-2");
  EXPECT_EQ(after.logger(10, 3), "00 00 00 00");
}

TEST(Service, ATakenPortIsReportedAndBindingRulesHold) {
  Running first;
  const sim::MachineConfig machine =
      sim::load_machine(std::string(ZARN_SOURCE_DIR) + "/examples/handler_settings.yaml");
  sim::ServiceOptions options;
  options.host = first.host;
  sim::Service second(
      machine, options, [](const std::string&) {}, [](const std::string&) {});
  try {
    second.run();
    FAIL() << "a second service bound the same ports";
  } catch (const sim::BindError& e) {
    EXPECT_TRUE(e.in_use);
    EXPECT_NE(std::string(e.what()).find(first.host + ":5001"), std::string::npos) << e.what();
  }

  EXPECT_EQ(sim::bind_address("localhost", "", "f.yaml"), "127.0.0.1");
  EXPECT_EQ(sim::bind_address("", "", "f.yaml"), "127.0.0.1");
  EXPECT_EQ(sim::bind_address("127.4.5.6", "", "f.yaml"), "127.4.5.6");
  EXPECT_EQ(sim::bind_address("10.1.2.3", "127.0.0.9", "f.yaml"), "127.0.0.9");
  EXPECT_EQ(sim::bind_address("localhost", "0.0.0.0", "f.yaml"), "0.0.0.0");
  for (const char* refused : {"10.1.2.3", "0.0.0.0", "no-such-host.invalid"}) {
    try {
      sim::bind_address(refused, "", "f.yaml");
      ADD_FAILURE() << refused << " was accepted from a configuration";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find("--address"), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("f.yaml"), std::string::npos) << e.what();
    }
  }
}

TEST(Service, IdleServiceSleepsAndStopsPromptly) {
  Running service;
  clockid_t clock;
  ASSERT_EQ(pthread_getcpuclockid(service.thread().native_handle(), &clock), 0);
  const auto cpu = [&] {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
  };
  const double before = cpu();
  std::this_thread::sleep_for(1s);
  // A busy loop would burn the whole second; sleeping burns next to nothing.
  EXPECT_LT(cpu() - before, 0.1);
  const auto asked = std::chrono::steady_clock::now();
  service.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 1s);
}
