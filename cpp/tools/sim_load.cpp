// Load for bench/bench_sim.py: a raw request/reply echo to compare against,
// and a generator that sends action records from several request sockets
// while one subscriber counts the published results.
//
//   zarn-sim-load echo HOST PORT
//   zarn-sim-load load HOST RECORDS CLIENTS [--no-results]
//
// "load" prints one line: records, clients, seconds until every reply and
// (unless --no-results) every result was in, results received, and the rate.

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <latch>
#include <string>
#include <thread>
#include <vector>
#include <zmq.hpp>
#include <zmq_addon.hpp>

#include "zarn/client/records.hpp"

namespace {

using Clock = std::chrono::steady_clock;

std::string endpoint(const std::string& host, int port) {
  return "tcp://" + host + ":" + std::to_string(port);
}

std::string io_record(int client, long i) {
  return zarn::records::pack_action({{1, 0, static_cast<int>(i % 32), 0, static_cast<int>(i % 2)},
                                     "B" + std::to_string(client) + "-" + std::to_string(i),
                                     {"502"}});
}

int echo(const std::string& host, int port) {
  zmq::context_t context(1);
  zmq::socket_t socket(context, zmq::socket_type::rep);
  socket.set(zmq::sockopt::linger, 0);
  socket.bind(endpoint(host, port));
  std::printf("echo ready\n");
  std::fflush(stdout);
  for (;;) {
    zmq::message_t message;
    try {
      if (!socket.recv(message)) continue;
      socket.send(message, zmq::send_flags::none);
    } catch (const zmq::error_t& e) {
      // A signal ends the echo.
      if (e.num() == EINTR) return 0;
      throw;
    }
  }
}

int load(const std::string& host, long records, int clients, bool results) {
  zmq::context_t context(2);
  zmq::socket_t sub(context, zmq::socket_type::sub);
  sub.set(zmq::sockopt::linger, 0);
  sub.set(zmq::sockopt::rcvhwm, 0);
  sub.set(zmq::sockopt::rcvtimeo, 100);
  sub.set(zmq::sockopt::subscribe, "");
  sub.connect(endpoint(host, 5001));

  // Until a probe's result arrives the subscription may not be in place.
  if (results) {
    zmq::socket_t req(context, zmq::socket_type::req);
    req.set(zmq::sockopt::linger, 0);
    req.connect(endpoint(host, 5002));
    bool synced = false;
    for (int i = 0; i < 200 && !synced; ++i) {
      req.send(zmq::buffer(io_record(99, i)), zmq::send_flags::none);
      zmq::message_t reply;
      (void)req.recv(reply);
      std::vector<zmq::message_t> frames;
      synced = zmq::recv_multipart(sub, std::back_inserter(frames)).has_value();
    }
    if (!synced) {
      std::fprintf(stderr, "zarn-sim-load: no result arrived from %s\n", host.c_str());
      return 1;
    }
    // Drain what the probes left behind.
    sub.set(zmq::sockopt::rcvtimeo, 50);
    for (std::vector<zmq::message_t> frames; zmq::recv_multipart(sub, std::back_inserter(frames));
         frames.clear()) {
    }
    sub.set(zmq::sockopt::rcvtimeo, 100);
  }

  std::atomic<long> replies{0};
  std::latch go(1);
  std::vector<std::thread> threads;
  const long each = records / clients;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      zmq::socket_t req(context, zmq::socket_type::req);
      req.set(zmq::sockopt::linger, 0);
      req.connect(endpoint(host, 5002));
      std::vector<std::string> prepared;
      for (long i = 0; i < each; ++i) prepared.push_back(io_record(c, i));
      go.wait();
      for (const std::string& record : prepared) {
        req.send(zmq::buffer(record), zmq::send_flags::none);
        zmq::message_t reply;
        if (req.recv(reply)) ++replies;
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // connections up
  const Clock::time_point started = Clock::now();
  go.count_down();
  long received = 0;
  const long expected = each * clients;
  Clock::time_point last = started;
  if (results) {
    Clock::time_point replies_done{};
    while (received < expected) {
      std::vector<zmq::message_t> frames;
      if (zmq::recv_multipart(sub, std::back_inserter(frames))) {
        ++received;
        last = Clock::now();
        continue;
      }
      if (replies.load() == expected) {
        if (replies_done == Clock::time_point{}) replies_done = Clock::now();
        // Results still missing two seconds after the last reply are lost.
        if (Clock::now() - replies_done > std::chrono::seconds(2)) break;
      }
    }
  }
  for (std::thread& t : threads) t.join();
  const Clock::time_point end = std::max(last, Clock::now());
  const double seconds = std::chrono::duration<double>(end - started).count();
  std::printf("records %ld clients %d seconds %.6f results %ld rate %.1f\n", expected, clients,
              seconds, received, static_cast<double>(expected) / seconds);
  return results && received < expected ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "echo") == 0) return echo(argv[2], std::atoi(argv[3]));
  if ((argc == 5 || argc == 6) && std::strcmp(argv[1], "load") == 0) {
    const bool results = !(argc == 6 && std::strcmp(argv[5], "--no-results") == 0);
    return load(argv[2], std::atol(argv[3]), std::atoi(argv[4]), results);
  }
  std::fprintf(stderr,
               "usage: zarn-sim-load echo HOST PORT\n"
               "       zarn-sim-load load HOST RECORDS CLIENTS [--no-results]\n");
  return 2;
}
