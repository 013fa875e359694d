// Hand-written clients that the benchmark measures the package against, and a
// count of results lost by subscriptions that have only just connected.
//
//   zarn_bench_raw_client ADDRESS req N          N request/reply exchanges
//   zarn_bench_raw_client ADDRESS blocking N     N blocking calls by hand: a
//       new subscriber, 2 ms after subscribing, one exchange, the result
//   zarn_bench_raw_client ADDRESS first-use N SETTLE_MS
//       N times a new client's first blocking call through the core, with
//       the given settle time after the subscription's handshake
//
// Prints one line: calls=N seconds=T lost=L

#include <chrono>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <zmq.hpp>

#include "zarn/client/channels.hpp"
#include "zarn/client/records.hpp"
#include "zarn/client/subscription.hpp"

namespace {

using Clock = std::chrono::steady_clock;

std::string record_for(const std::string& cmd_id) {
  zarn::records::ActionValues values;
  values.integers = {0, 271, 3};
  values.cmd_id = cmd_id;
  return zarn::records::pack_action(values);
}

// The options the package sets on its request sockets.
zmq::socket_t request_socket(zmq::context_t& context, const std::string& address) {
  zmq::socket_t socket(context, zmq::socket_type::req);
  socket.set(zmq::sockopt::immediate, 1);
  socket.set(zmq::sockopt::sndtimeo, 1000);
  socket.set(zmq::sockopt::rcvtimeo, 1000);
  socket.set(zmq::sockopt::linger, 0);
  socket.connect("tcp://" + address + ":5002");
  return socket;
}

bool round_trip(zmq::socket_t& socket, const std::string& record) {
  if (!socket.send(zmq::buffer(record), zmq::send_flags::none)) return false;
  zmq::message_t reply;
  return socket.recv(reply).has_value();
}

int requests(const std::string& address, int calls) {
  zmq::context_t context;
  zmq::socket_t socket = request_socket(context, address);
  const std::string record = record_for("PC0000000000-1");
  int failed = 0;
  for (int i = 0; i < calls; ++i) failed += !round_trip(socket, record);
  return failed;
}

int blocking_by_hand(const std::string& address, int calls) {
  zmq::context_t context;
  zmq::socket_t socket = request_socket(context, address);
  int lost = 0;
  for (int i = 0; i < calls; ++i) {
    const std::string id = "PC0000000000-" + std::to_string(i % 1000);
    zmq::socket_t sub(context, zmq::socket_type::sub);
    sub.set(zmq::sockopt::linger, 0);
    sub.connect("tcp://" + address + ":5001");
    sub.set(zmq::sockopt::subscribe, id);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (!round_trip(socket, record_for(id))) {
      socket = request_socket(context, address);
      ++lost;
      continue;
    }
    zmq::pollitem_t item{sub.handle(), 0, ZMQ_POLLIN, 0};
    if (zmq::poll(&item, 1, std::chrono::milliseconds(1000)) == 0) {
      ++lost;
      continue;
    }
    zmq::message_t topic, data;
    (void)sub.recv(topic);
    (void)sub.recv(data);
  }
  return lost;
}

int first_use(const std::string& address, int calls, int settle_ms) {
  namespace client = zarn::client;
  int lost = 0;
  for (int i = 0; i < calls; ++i) {
    client::SubscriptionSettings settings;
    settings.settle = std::chrono::milliseconds(settle_ms);
    auto context = std::make_shared<client::MessagingContext>(settings);
    const std::string results = "tcp://" + address + ":5001";
    context->subscriber(results)->keep_subscribed("PC");
    client::RequestChannels channels(
        context->zmq_context(),
        [&] {
          return client::RequestEndpoints{
              "tcp://" + address + ":5002", "tcp://" + address + ":5003", {}};
        },
        [](const std::string& line) { std::cerr << line << "\n"; });
    channels.init_sockets(false);
    const std::string id = "PC0000000000-" + std::to_string(i % 1000);
    auto receiver = std::make_shared<client::Receiver>(
        context, results, id, std::vector<std::string>{id},
        [](const std::string& line) { std::cerr << line << "\n"; });
    receiver->start();
    receiver->wait(client::Receiver::Until::Started, Clock::now() + std::chrono::seconds(5));
    const bool sent = channels.exchange(client::Channel::Action, record_for(id)).has_value();
    const bool got = sent && receiver->wait(client::Receiver::Until::Finished,
                                            Clock::now() + std::chrono::seconds(1));
    receiver->stop();
    receiver->join();
    lost += !got;
  }
  return lost;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::cerr << "usage: zarn_bench_raw_client ADDRESS req|blocking|first-use N [SETTLE_MS]\n";
    return 2;
  }
  const std::string address = argv[1];
  const std::string mode = argv[2];
  const int calls = std::stoi(argv[3]);
  const auto started = Clock::now();
  int lost;
  if (mode == "req") {
    lost = requests(address, calls);
  } else if (mode == "blocking") {
    lost = blocking_by_hand(address, calls);
  } else if (mode == "first-use" && argc > 4) {
    lost = first_use(address, calls, std::stoi(argv[4]));
  } else {
    std::cerr << "unknown mode " << mode << "\n";
    return 2;
  }
  const std::chrono::duration<double> seconds = Clock::now() - started;
  std::cout << "calls=" << calls << " seconds=" << seconds.count() << " lost=" << lost << "\n";
  return 0;
}
