// A minimal controller service for the benchmarks: it takes action records on
// port 5002 and logger requests on 5003 (REP), and publishes every accepted
// record on 5001 the instant it is in, before replying. A plain publisher: it
// never reads its socket's events before sending, as a real controller does
// not.
//
//   zarn_bench_service ADDRESS [--silent]    (--silent: never publishes)

#include <csignal>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <string>
#include <zmq.hpp>

namespace {

volatile std::sig_atomic_t stopping = 0;

void stop(int) { stopping = 1; }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: zarn_bench_service ADDRESS [--silent]\n";
    return 2;
  }
  const std::string address = argv[1];
  const bool silent = argc > 2 && std::string(argv[2]) == "--silent";
  std::signal(SIGTERM, stop);
  std::signal(SIGINT, stop);

  zmq::context_t context;
  zmq::socket_t publisher(context, zmq::socket_type::pub);
  zmq::socket_t actions(context, zmq::socket_type::rep);
  zmq::socket_t logger(context, zmq::socket_type::rep);
  for (zmq::socket_t* socket : {&publisher, &actions, &logger})
    socket->set(zmq::sockopt::linger, 0);
  try {
    publisher.bind("tcp://" + address + ":5001");
    actions.bind("tcp://" + address + ":5002");
    logger.bind("tcp://" + address + ":5003");
  } catch (const zmq::error_t& e) {
    std::cerr << "zarn_bench_service: cannot bind on " << address << ": " << e.what() << "\n";
    return 1;
  }
  std::cout << "ready" << std::endl;

  zmq::pollitem_t items[] = {{actions.handle(), 0, ZMQ_POLLIN, 0},
                             {logger.handle(), 0, ZMQ_POLLIN, 0}};
  while (!stopping) {
    try {
      zmq::poll(items, 2, std::chrono::milliseconds(-1));
    } catch (const zmq::error_t&) {
      continue;  // a signal: look at the flag
    }
    if (items[0].revents & ZMQ_POLLIN) {
      zmq::message_t request;
      if (!actions.recv(request)) continue;
      std::string record(static_cast<const char*>(request.data()), request.size());
      if (record.size() == 216) {
        const std::int32_t accepted = 1;
        std::memcpy(record.data() + 212, &accepted, sizeof accepted);
      }
      if (!silent && record.size() >= 68) {
        std::string topic = record.substr(32, 36);
        topic.erase(topic.find('\0') == std::string::npos ? topic.size() : topic.find('\0'));
        publisher.send(zmq::buffer(topic), zmq::send_flags::sndmore);
        publisher.send(zmq::buffer(record), zmq::send_flags::none);
      }
      actions.send(zmq::buffer(record), zmq::send_flags::none);
    }
    if (items[1].revents & ZMQ_POLLIN) {
      zmq::message_t request;
      if (!logger.recv(request)) continue;
      std::string reply(88, '\0');
      std::memcpy(reply.data(), request.data(), std::min<std::size_t>(8, request.size()));
      std::memcpy(reply.data() + 8, "250", 3);
      logger.send(zmq::buffer(reply), zmq::send_flags::none);
    }
  }
  return 0;
}
