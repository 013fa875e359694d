// The client's conversation with the controller service: the two request
// channels, command ids, the locks callers share with the client, and the
// blocking send that waits for a published result.
//
// The transport runs in the plain C++ core with the interpreter lock
// released; Python objects are touched only with it held. Core threads that
// report something take the lock through the sink, so nothing here waits
// for a thread while holding the lock that thread may need.

#include <nanobind/nanobind.h>
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "client/morvo_client.hpp"
#include "common/gc_fields.hpp"
#include "common/waiting.hpp"
#include "zarn/client/commands.hpp"
#include "zarn/client/records.hpp"

namespace zarn::py::morvo {
namespace {

using namespace nb::literals;
using zarn::client::Channel;
using zarn::client::Receiver;
using Clock = std::chrono::steady_clock;

// Limits of a blocking call.
constexpr std::chrono::seconds kStartLimit{5};  // for the receiving thread to report

// Where the core's messages go: Python's print, from whichever thread.
void print_from_any_thread(const std::string& line) {
  // A thread that asks for the interpreter lock during shutdown never gets
  // it back; the line is dropped instead.
  if (interpreter_finishing()) return;
  nb::gil_scoped_acquire gil;
  try {
    print_line(line);
  } catch (nb::python_error& e) {
    e.discard_as_unraisable("printing a message of the controller client");
  }
}

// "tcp://%s:%i" % (host, port), with Python's own formatting and errors.
std::string format_endpoint(nb::handle host, nb::handle port) {
  nb::object text = nb::str("tcp://%s:%i").attr("__mod__")(nb::make_tuple(host, port));
  return nb::cast<std::string>(text);
}

std::string error_text(nb::python_error& error) { return nb::str(error.value()).c_str(); }

// A seconds value as time.sleep takes it; raises what time.sleep raises for
// a value it does not take.
double sleep_seconds(nb::handle value) {
  double seconds;
  if (PyFloat_Check(value.ptr())) {
    seconds = PyFloat_AS_DOUBLE(value.ptr());
  } else {
    const long long whole = PyLong_AsLongLong(value.ptr());
    if (whole == -1 && PyErr_Occurred()) throw nb::python_error();
    seconds = static_cast<double>(whole);
  }
  const char* refusal = std::isnan(seconds) ? "Invalid value NaN (not a number)"
                        : seconds < 0       ? "sleep length must be non-negative"
                                            : nullptr;
  if (refusal != nullptr) {
    PyErr_SetString(PyExc_ValueError, refusal);
    throw nb::python_error();
  }
  return seconds;
}

// ---------------------------------------------------------------------------
// Lock: the client's three locks, shared with callers who take them
// ---------------------------------------------------------------------------

struct PyLock {
  std::shared_ptr<zarn::Lock> lock;
};

bool acquire_lock(zarn::Lock& lock, bool blocking, double timeout) {
  if (!blocking && timeout != -1) {
    throw nb::value_error("can't specify a timeout for a non-blocking call");
  }
  if (timeout < 0 && timeout != -1) {
    throw nb::value_error("timeout value must be a non-negative number");
  }
  if (lock.try_acquire()) return true;
  if (!blocking) return false;
  std::optional<Clock::time_point> deadline;
  if (timeout >= 0) deadline = deadline_after(timeout);
  return wait_releasing([&](Clock::time_point until) { return lock.acquire_until(until); },
                        deadline);
}

// Releasing a lock that is not held throws std::logic_error, which reaches
// Python as the RuntimeError that threading.Lock raises too.
void release_lock(zarn::Lock& lock) { lock.release(); }

nb::object wrap_lock(std::shared_ptr<zarn::Lock> lock) { return nb::cast(PyLock{std::move(lock)}); }

// ---------------------------------------------------------------------------
// ZmqContext: the messaging context every socket of a client comes from
// ---------------------------------------------------------------------------

struct ZmqContext {
  std::shared_ptr<zarn::client::MessagingContext> messaging;

  ~ZmqContext() {
    // The last owner ends the subscribers' threads, which need no Python.
    if (!messaging || interpreter_finishing()) return;
    nb::gil_scoped_release release;
    messaging.reset();
  }
};

// A view of one request socket, for display: what it is connected to.
MorvoClient& client_of(nb::handle self) { return nb::cast<MorvoClient&>(self); }

struct RequestSocket {
  nb::object owner;  // the client
  Channel channel;
  std::string endpoint() const;
};

zarn::client::RequestChannels& channels_of(MorvoClient& self) {
  if (!self.channels) throw nb::type_error("the MorvoClient was not initialised");
  return *self.channels;
}

// ---------------------------------------------------------------------------
// Request exchanges
// ---------------------------------------------------------------------------

nb::str generate_func_id(MorvoClient& self) {
  const std::string id = next_command_id(self);
  return nb::str(id.data(), id.size());
}

// The request's bytes, kept alive (and unchanged) while the lock is released.
struct RequestBytes {
  nb::object owner;
  std::string copy;
  std::string_view view;
};

RequestBytes request_bytes(nb::object data) {
  RequestBytes bytes;
  if (PyBytes_CheckExact(data.ptr())) {
    bytes.view = {PyBytes_AS_STRING(data.ptr()),
                  static_cast<std::size_t>(PyBytes_GET_SIZE(data.ptr()))};
    bytes.owner = std::move(data);
    return bytes;
  }
  // Anything else bytes-like may be changed by another thread: copied.
  Py_buffer view;
  if (PyObject_GetBuffer(data.ptr(), &view, PyBUF_SIMPLE) != 0) throw nb::python_error();
  bytes.copy.assign(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len));
  PyBuffer_Release(&view);
  bytes.view = bytes.copy;
  return bytes;
}

std::optional<std::string> exchange(MorvoClient& self, Channel channel, std::string_view request) {
  if (std::shared_ptr<zarn::sim::LocalController> local = self.local) {
    nb::gil_scoped_release release;
    return channel == Channel::Action ? local->exchange_action(request)
                                      : local->exchange_logger(request);
  }
  zarn::client::RequestChannels& channels = channels_of(self);
  nb::gil_scoped_release release;
  return channels.exchange(channel, request);
}

nb::object last_field(nb::handle datatype, const std::string& reply) {
  nb::list fields = unpack_struct_helper(datatype, nb::bytes(reply.data(), reply.size()));
  return fields[nb::len(fields) - 1];
}

// The function code of a record on its way out, for the gate; a record
// that does not tell one counts as a drive command.
int function_code_of(nb::handle record) {
  nb::object code = nb::isinstance<KVTAction>(record) ? nb::cast<KVTAction&>(record).func_id
                                                      : nb::getattr(record, "func_id", nb::none());
  long value = -1;
  if (!code.is_none() && nb::try_cast<long>(code, value) && value >= INT_MIN && value <= INT_MAX) {
    return static_cast<int>(value);
  }
  return -1;
}

// A record's passage through the client's gate, for as long as it is sent.
class GatePassage {
 public:
  GatePassage(std::shared_ptr<zarn::CommandGate> gate, int function_code) : gate_(std::move(gate)) {
    if (gate_ && !gate_->enter(zarn::commands::kind_of(function_code))) {
      gate_.reset();
      refused_ = true;
    }
  }
  ~GatePassage() {
    if (gate_) gate_->leave();
  }
  GatePassage(const GatePassage&) = delete;
  GatePassage& operator=(const GatePassage&) = delete;
  bool refused() const { return refused_; }

 private:
  std::shared_ptr<zarn::CommandGate> gate_;
  bool refused_ = false;
};

nb::object enqueue_action(MorvoClient& self, nb::handle kvt_action) {
  const int function = function_code_of(kvt_action);
  nb::object record;
  if (nb::isinstance<KVTAction>(kvt_action)) {
    KVTAction& action = nb::cast<KVTAction&>(kvt_action);
    const bool unset = PyUnicode_CheckExact(action.cmd_id.ptr())
                           ? PyUnicode_GET_LENGTH(action.cmd_id.ptr()) == 0
                           : action.cmd_id.equal(nb::str(""));
    if (unset) action.cmd_id = generate_func_id(self);
    record = get_transmit_data(action);
  } else {
    // Any object with a cmd_id and get_transmit_data() will do.
    if (kvt_action.attr("cmd_id").equal(nb::str(""))) {
      kvt_action.attr("cmd_id") = generate_func_id(self);
    }
    record = kvt_action.attr("get_transmit_data")();
  }
  RequestBytes request = request_bytes(std::move(record));
  return send_packed(self, request.view, function);
}

// struct.pack's "i": an integer (or __index__) within 32 bits.
std::int32_t logger_field(nb::handle value) {
  if (!PyLong_Check(value.ptr()) && !PyIndex_Check(value.ptr())) {
    raise_struct_error("required argument is not an integer");
  }
  nb::object number = steal_or_raise(PyNumber_Index(value.ptr()));
  int overflow = 0;
  const long long wide = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
  if (wide == -1 && PyErr_Occurred()) throw nb::python_error();
  if (overflow != 0 || wide < INT32_MIN || wide > INT32_MAX) {
    raise_struct_error("'i' format requires -2147483648 <= number <= 2147483647");
  }
  return static_cast<std::int32_t>(wide);
}

nb::object get_logger(MorvoClient& self, nb::handle morvo_id, nb::handle idx) {
  const std::int32_t device = logger_field(morvo_id);
  const std::int32_t index = logger_field(idx);
  const std::string request = zarn::records::pack_logger_request(device, index);
  std::optional<std::string> reply = exchange(self, Channel::Logger, request);
  if (!reply) return nb::int_(-3);
  return last_field(nb::str(zarn::records::kLogDatatype.data(), zarn::records::kLogDatatype.size()),
                    *reply);
}

int init_socket(MorvoClient& self, nb::handle reset) {
  const int truth = PyObject_IsTrue(reset.ptr());
  if (truth < 0) throw nb::python_error();
  zarn::client::RequestChannels& channels = channels_of(self);
  nb::gil_scoped_release release;
  return channels.init_sockets_locked(truth == 1) ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Result subscription
// ---------------------------------------------------------------------------

// What a receiving thread is given; a failure to form it makes the thread end
// before it reports, as a socket that cannot be set up does.
struct ReceiverSpec {
  std::shared_ptr<zarn::client::MessagingContext> messaging;
  std::string endpoint;
  std::optional<std::string> target;
  std::vector<std::string> topics;
  std::string failure;
};

std::optional<std::string> target_text(nb::handle target) {
  if (!PyUnicode_Check(target.ptr())) return std::nullopt;  // equals no topic
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(target.ptr(), &size);
  if (data == nullptr) {
    PyErr_Clear();  // not encodable, so not any topic either
    return std::nullopt;
  }
  return std::string(data, static_cast<std::size_t>(size));
}

void add_topics(ReceiverSpec& spec, nb::handle topic_list) {
  try {
    for (nb::handle topic : topic_list) {
      if (!PyUnicode_Check(topic.ptr())) {
        throw nb::type_error(("a topic must be text (str), not " + type_of(topic)).c_str());
      }
      spec.topics.emplace_back(utf8_view(topic));
    }
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;
    spec.failure = error_text(e);
  } catch (const std::exception& e) {
    spec.failure = e.what();
  }
}

ReceiverSpec receiver_spec(nb::handle ctx, nb::handle address, nb::handle port, nb::handle target,
                           nb::handle topic_list) {
  ReceiverSpec spec;
  spec.target = target_text(target);
  if (nb::isinstance<ZmqContext>(ctx)) {
    spec.messaging = nb::cast<ZmqContext&>(ctx).messaging;
  } else {
    spec.failure = "the context is a " + type_of(ctx) + ", not the client's ZmqContext";
  }
  try {
    spec.endpoint = format_endpoint(address, port);
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;
    if (spec.failure.empty()) spec.failure = error_text(e);
  }
  add_topics(spec, topic_list);
  return spec;
}

std::shared_ptr<Receiver> make_receiver(ReceiverSpec spec) {
  return std::make_shared<Receiver>(std::move(spec.messaging), std::move(spec.endpoint),
                                    std::move(spec.target), std::move(spec.topics),
                                    &print_from_any_thread, zarn::client::ReceiverSettings{},
                                    std::move(spec.failure));
}

bool wait_for(Receiver& receiver, Receiver::Until state,
              std::optional<Clock::time_point> deadline) {
  return wait_releasing([&](Clock::time_point until) { return receiver.wait(state, until); },
                        deadline);
}

// Stops the receiving thread and waits for it to end, on every way out of a
// blocking call, so that no thread outlives its call.
class ReceiverScope {
 public:
  explicit ReceiverScope(std::shared_ptr<Receiver> receiver) : receiver_(std::move(receiver)) {}
  ~ReceiverScope() { finish(); }
  ReceiverScope(const ReceiverScope&) = delete;
  ReceiverScope& operator=(const ReceiverScope&) = delete;

  void finish() {
    if (done_) return;
    done_ = true;
    receiver_->stop();
    if (interpreter_finishing()) return;  // the thread ends by itself
    nb::gil_scoped_release release;
    receiver_->join();
  }

 private:
  std::shared_ptr<Receiver> receiver_;
  bool done_ = false;
};

// The outcome of a collection that has ended: every record is decoded, and
// a failure to decode one is raised; then the target's result field, or the
// topics received in order of first arrival.
nb::object collected(const Receiver& receiver) {
  namespace rec = zarn::records;
  const auto& received = receiver.received();
  const nb::str layout(rec::kActionDatatype.data(), rec::kActionDatatype.size());
  nb::object result;
  for (const auto& [topic, data] : received) {
    nb::list fields = unpack_struct_helper(layout, nb::bytes(data.data(), data.size()));
    if (receiver.target() && topic == *receiver.target()) result = fields[fields.size() - 1];
  }
  if (result.is_valid()) return result;
  nb::list topics;
  for (const auto& [topic, data] : received) topics.append(nb::str(topic.data(), topic.size()));
  return topics;
}

// A pause entry's duration, or nullopt when the entry is no pause.
std::optional<double> pause_of(nb::handle entry) {
  try {
    nb::object first = entry[0];
    if (!first.equal(nb::str("wait"))) return std::nullopt;
    return sleep_seconds(entry[1]);
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return std::nullopt;
  }
}

nb::object receive_dequeue_action(nb::handle self_obj, nb::handle action_list,
                                  nb::handle target_func_id, nb::handle topic_list) {
  MorvoClient& self = client_of(self_obj);
  nb::object topics = topic_list.is_none() ? nb::object(nb::list()) : nb::borrow(topic_list);
  return blocking_call(self, target_func_id, topics, [&](const Receiver& receiver) -> nb::object {
    // Through the instance, so that a subclass's enqueue_action takes part.
    nb::object enqueue = self_obj.attr("enqueue_action");
    for (nb::handle entry : action_list) {
      if (receiver.cancelled()) break;
      if (nb::isinstance<KVTAction>(entry)) {
        nb::object status = enqueue(entry);
        if (!status.equal(nb::int_(1))) return status;
        continue;
      }
      const std::optional<double> pause = pause_of(entry);
      if (!pause) return nb::int_(-2);
      // A pause that cancel() cuts short, like every other wait of the call.
      wait_for(const_cast<Receiver&>(receiver), Receiver::Until::Cancelled, deadline_after(*pause));
    }
    return nb::int_(1);
  });
}

// ---------------------------------------------------------------------------
// RecvTread: a receiving thread that host code drives by hand
// ---------------------------------------------------------------------------

struct RecvTread {
  nb::object ctx;
  nb::object server_address;
  nb::object server_port;
  nb::object target_func_id;
  nb::object topic_list;
  nb::object recv_data_dict;
  std::shared_ptr<Receiver> receiver;
  bool stopped_before_start = false;
  bool handed_over = false;  // recv_data_dict holds the finished collection

  ~RecvTread() {
    // No one waits for the thread: told to stop, it ends by itself.
    if (receiver) receiver->stop();
  }

  nb::dict data() {
    if (!receiver || handed_over) return nb::borrow<nb::dict>(recv_data_dict);
    const bool finished = receiver->finished();
    std::vector<std::pair<std::string, std::string>> records;
    if (finished) {
      records = receiver->received();
      handed_over = true;
    } else {
      nb::gil_scoped_release release;
      records = receiver->snapshot();
    }
    nb::dict dict = nb::borrow<nb::dict>(recv_data_dict);
    for (const auto& [topic, record] : records) {
      dict[nb::str(topic.data(), topic.size())] = nb::bytes(record.data(), record.size());
    }
    return dict;
  }
};

std::string RequestSocket::endpoint() const {
  if (owner.is_none()) return {};
  return channels_of(client_of(owner)).endpoint(channel);
}

}  // namespace

std::string next_command_id(MorvoClient& self) {
  zarn::client::CommandIds& ids = *self.ids;
  zarn::Lock& lock = ids.count_lock();
  if (!lock.try_acquire()) {
    wait_releasing([&](Clock::time_point until) { return lock.acquire_until(until); },
                   std::nullopt);
  }
  return ids.next_held();
}

nb::object send_packed(MorvoClient& self, std::string_view record, int function_code) {
  GatePassage passage(self.gate, function_code);
  if (passage.refused()) return nb::int_(zarn::kRefusedByGate);
  std::optional<std::string> reply = exchange(self, Channel::Action, record);
  if (!reply) return nb::int_(-3);
  return last_field(
      nb::str(zarn::records::kActionDatatype.data(), zarn::records::kActionDatatype.size()),
      *reply);
}

nb::object blocking_call(MorvoClient& self, nb::handle target, nb::handle topics,
                         const std::function<nb::object(const Receiver&)>& send) {
  if (self.local) {
    throw nb::builtin_exception(nb::exception_type::runtime_error,
                                "a client attached to an in-process controller awaits results "
                                "through its machine link only");
  }
  ReceiverSpec spec = receiver_spec(self.context, self.server_address,
                                    nb::int_(self.action_dequeue_sub_port), target, topics);
  std::shared_ptr<Receiver> receiver = make_receiver(std::move(spec));
  zarn::client::CallRegistry::Entry in_flight = self.calls.add(receiver);
  receiver->start();
  ReceiverScope scope(receiver);

  // The records go out only once the thread has reported its subscriptions.
  const Clock::time_point start_deadline =
      Clock::now() + kStartLimit + std::chrono::milliseconds(1);
  if (!wait_for(*receiver, Receiver::Until::Started, start_deadline) || !receiver->started()) {
    if (receiver->cancelled()) {
      scope.finish();
      return nb::list();
    }
    print_line(
        "[Zmq Recv Error] Somthing is wrong in the zmqServer. Failed to start a recv socket.");
    return nb::int_(-3);
  }

  nb::object status = send(*receiver);
  if (!status.equal(nb::int_(1))) return status;

  std::optional<Clock::time_point> deadline;
  if (self.result_timeout) deadline = deadline_after(*self.result_timeout);
  while (!receiver->finished()) {
    if (wait_for(*receiver, Receiver::Until::Finished, deadline)) {
      if (receiver->cancelled()) break;
      continue;
    }
    // The bound is for a call that has heard nothing at all; once a result
    // is in, the silence limit of the thread ends the collection.
    if (!receiver->received_any()) break;
    deadline.reset();
  }
  scope.finish();
  return collected(*receiver);
}

MorvoClient::~MorvoClient() {
  // Closing sockets and ending the subscriber's thread need no Python, and
  // other threads may want the interpreter meanwhile.
  if (interpreter_finishing()) {
    channels.reset();
    messaging.reset();
    return;
  }
  nb::gil_scoped_release release;
  channels.reset();
  messaging.reset();
}

std::string MorvoClient::endpoint(int port) const {
  return format_endpoint(server_address, nb::int_(port));
}

void MorvoClient::open_channels() {
  messaging = std::make_shared<zarn::client::MessagingContext>();
  context = nb::cast(ZmqContext{messaging});
  // The endpoints are formed anew for every (re)set-up, from the fields as
  // they are then; the core asks from any thread.
  auto endpoints = [this] {
    nb::gil_scoped_acquire gil;
    zarn::client::RequestEndpoints result;
    try {
      result.action = endpoint(action_enqueue_req_port);
      result.logger = endpoint(logger_req_port);
    } catch (nb::python_error& e) {
      result.error = error_text(e);
    }
    return result;
  };
  channels = std::make_unique<zarn::client::RequestChannels>(messaging->zmq_context(), endpoints,
                                                             &print_from_any_thread);
  channels->init_sockets(false);
  ids = std::make_unique<zarn::client::CommandIds>(
      zarn::client::CommandIds::prefix_at(std::time(nullptr)));
  count_lock = wrap_lock(ids->shared_count_lock());
  enqueue_lock = wrap_lock(channels->shared_lock(Channel::Action));
  logger_lock = wrap_lock(channels->shared_lock(Channel::Logger));

  // Subscribed from now on to every id this client will give out, so the
  // subscription has long reached the controller when the first record goes.
  subscribe_to_own_ids();
}

void MorvoClient::subscribe_to_own_ids() {
  try {
    messaging->subscriber(endpoint(action_dequeue_sub_port))->keep_subscribed(ids->prefix());
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;  // a blocking call reports it
  } catch (const zmq::error_t&) {
    // An address the messaging layer rejects: a blocking call reports it.
  }
}

void bind_channels(nb::module_& m, nb::class_<MorvoClient>& client) {
  init_waiting();

  nb::class_<PyLock>(m, "Lock",
                     "A plain lock (not reentrant) that the client and its callers share; it "
                     "behaves like threading.Lock.")
      .def("__init__", [](PyLock* self) { new (self) PyLock{std::make_shared<zarn::Lock>()}; })
      .def(
          "acquire",
          [](PyLock& self, bool blocking, double timeout) {
            return acquire_lock(*self.lock, blocking, timeout);
          },
          "blocking"_a = true, "timeout"_a = -1.0)
      .def("release", [](PyLock& self) { release_lock(*self.lock); })
      .def("locked", [](PyLock& self) { return self.lock->locked(); })
      .def("__enter__", [](PyLock& self) { return acquire_lock(*self.lock, true, -1); })
      .def("__exit__", [](PyLock& self, nb::args) { release_lock(*self.lock); });

  nb::class_<ZmqContext>(m, "ZmqContext",
                         "The messaging context of a client: every socket of the client, the "
                         "result subscription's included, comes from it.")
      .def("__init__", [](ZmqContext* self) {
        new (self) ZmqContext{std::make_shared<zarn::client::MessagingContext>()};
      });

  nb::class_<RequestSocket>(
      m, "RequestSocket",
      nb::type_slots(zarn::py::GcFields<RequestSocket, &RequestSocket::owner>::slots),
      "One of the client's two request sockets, as it stands.")
      .def_prop_ro("endpoint",
                   [](const RequestSocket& self) -> nb::object {
                     const std::string at = self.endpoint();
                     if (at.empty()) return nb::none();
                     return nb::str(at.data(), at.size());
                   })
      .def("__repr__", [](const RequestSocket& self) {
        const std::string at = self.endpoint();
        return "<RequestSocket " + (at.empty() ? std::string("not connected") : at) + ">";
      });

  auto socket_view = [](Channel channel) {
    return [channel](nb::handle self) { return RequestSocket{nb::borrow(self), channel}; };
  };
  auto status = [](Channel channel) {
    return [channel](MorvoClient& self) { return channels_of(self).usable(channel); };
  };
  auto set_status = [](Channel channel) {
    return
        [channel](MorvoClient& self, bool value) { channels_of(self).set_usable(channel, value); };
  };

  client
      .def_prop_rw("action_req_socket_status", status(Channel::Action), set_status(Channel::Action),
                   "True while the action channel is usable; a failed exchange sets it false "
                   "and the next exchange then re-creates both sockets.")
      .def_prop_rw("logger_req_socket_status", status(Channel::Logger), set_status(Channel::Logger),
                   "The same for the logger channel.")
      .def_prop_ro("context", [](MorvoClient& self) { return self.context; })
      .def_prop_ro("action_req_socket", socket_view(Channel::Action))
      .def_prop_ro("logger_req_socket", socket_view(Channel::Logger))
      .def_prop_ro("count_lock", [](MorvoClient& self) { return self.count_lock; })
      .def_prop_ro("enqueue_lock", [](MorvoClient& self) { return self.enqueue_lock; })
      .def_prop_ro("logger_lock", [](MorvoClient& self) { return self.logger_lock; })
      .def_prop_rw(
          "func_id_prefix",
          [](MorvoClient& self) {
            const std::string prefix = self.ids->prefix();
            return nb::str(prefix.data(), prefix.size());
          },
          // A new prefix gets its standing subscription at once, so the calls
          // after it do not each wait for a subscription of their own.
          [](MorvoClient& self, const std::string& prefix) {
            self.ids->set_prefix(prefix);
            self.subscribe_to_own_ids();
          },
          "\"PC\", the local time of construction as %m%d%H%M%S, and \"-\".")
      .def_prop_rw(
          "func_count", [](MorvoClient& self) { return self.ids->count(); },
          [](MorvoClient& self, long long count) { self.ids->set_count(count); },
          "The number of the next command id, 0 to 999.")
      .def_prop_rw(
          "result_timeout",
          [](MorvoClient& self) -> nb::object {
            if (!self.result_timeout) return nb::none();
            return nb::float_(*self.result_timeout);
          },
          [](MorvoClient& self, nb::handle value) {
            if (value.is_none()) {
              self.result_timeout.reset();
              return;
            }
            const double seconds = PyFloat_AsDouble(value.ptr());
            if (seconds == -1.0 && PyErr_Occurred()) throw nb::python_error();
            if (std::isnan(seconds) || seconds < 0) {
              throw nb::value_error("result_timeout must be a number of seconds >= 0, or None");
            }
            self.result_timeout = seconds;
          },
          nb::for_setter(nb::arg("value").none()),
          "Seconds a blocking call waits, once its records are sent, for a first result on "
          "the topics it collects (default 60, longer than any motion a user commands; None "
          "waits without bound). When it passes, the call ends as if the collection had "
          "ended without the target: it returns the (empty) list of topics received. Once a "
          "first result is in, the collection ends 5 seconds after the last one instead.")
      .def_prop_rw(
          "gate", [](MorvoClient& self) { return self.gate; },
          [](MorvoClient& self, std::shared_ptr<zarn::CommandGate> gate) {
            self.gate = std::move(gate);
          },
          nb::for_setter(nb::arg("value").none()),
          "None, or a Zarn._zarnexec.CommandGate that every action record passes while it "
          "is sent: one it refuses is not sent, and the call answers -4 for it (a run's stop "
          "closes the gate, so that no command leaves after it but the stops).")
      .def("init_socket", &init_socket, "reset"_a = false,
           "Creates (with reset, re-creates) both request sockets; 1 on success, 0 on failure.")
      .def("generate_func_id", &generate_func_id, "A new command id.")
      .def("enqueue_action", &enqueue_action, "kvt_action"_a,
           "Sends one action record and returns the result field of the controller's reply, "
           "or -3 when the exchange failed. A record without cmd_id gets a new id.")
      .def("get_logger", &get_logger, "morvo_id"_a, "idx"_a,
           "The logged datum idx of device morvo_id as text, or -3 when the exchange failed.")
      .def("receive_dequeue_action", &receive_dequeue_action, "action_list"_a, "target_func_id"_a,
           "topic_list"_a.none() = nb::none(),
           "Sends the records of action_list (and keeps its (\"wait\", seconds) pauses) while "
           "collecting the results published on topic_list; returns the target's result "
           "field, the list of topics received without it, the enqueue status of a record "
           "not accepted, -2 for a bad entry, or -3 when the receiving side cannot start. A "
           "record received that is no action record raises its decoding error (struct.error "
           "for a wrong length, UnicodeDecodeError for a text field that is not ASCII).")
      .def(
          "cancel",
          [](MorvoClient& self) {
            if (std::shared_ptr<zarn::sim::LocalController> local = self.local) {
              nb::gil_scoped_release release;
              local->cancel_all();
            }
            return self.calls.cancel_all();
          },
          "Ends every blocking call in flight on this client as if its result_timeout had "
          "passed; returns how many there were. Safe to call from any thread.");

  nb::class_<RecvTread>(
      m, "RecvTread",
      nb::type_slots(zarn::py::GcFields<RecvTread, &RecvTread::ctx, &RecvTread::server_address,
                                        &RecvTread::server_port, &RecvTread::target_func_id,
                                        &RecvTread::topic_list, &RecvTread::recv_data_dict>::slots),
      "The receiving thread of one blocking call: collects the results published on its "
      "topics until the target's arrives or the channel falls silent.")
      .def(
          "__init__",
          [](RecvTread* self, nb::object ctx, nb::object server_address, nb::object server_port,
             nb::object target_func_id, nb::object topic_list) {
            new (self) RecvTread{std::move(ctx),
                                 std::move(server_address),
                                 std::move(server_port),
                                 std::move(target_func_id),
                                 std::move(topic_list),
                                 nb::dict(),
                                 nullptr};
          },
          "ctx"_a.none(), "server_address"_a.none(), "server_port"_a.none(),
          "target_func_id"_a.none(), "topic_list"_a.none())
      .def_rw("ctx", &RecvTread::ctx, nb::arg().none())
      .def_rw("server_address", &RecvTread::server_address, nb::arg().none())
      .def_rw("server_port", &RecvTread::server_port, nb::arg().none())
      .def_rw("target_func_id", &RecvTread::target_func_id, nb::arg().none())
      .def_rw("topic_list", &RecvTread::topic_list, nb::arg().none())
      .def_prop_ro(
          "recv_data_dict", [](RecvTread& self) { return self.data(); },
          "Topic to the latest record received under it (bytes), in order of first "
          "arrival; complete once check_finish() is true.")
      .def_prop_ro("start_recv_flag",
                   [](RecvTread& self) { return self.receiver && self.receiver->started(); })
      .def_prop_ro("stop_flag",
                   [](RecvTread& self) {
                     return self.stopped_before_start ||
                            (self.receiver && self.receiver->stop_requested());
                   })
      .def_prop_ro("finish_flag",
                   [](RecvTread& self) { return self.receiver && self.receiver->finished(); })
      .def("start",
           [](RecvTread& self) {
             if (self.receiver) {
               throw nb::builtin_exception(nb::exception_type::runtime_error,
                                           "threads can only be started once");
             }
             nb::object topics = self.topic_list;
             ReceiverSpec spec = receiver_spec(self.ctx, self.server_address, self.server_port,
                                               self.target_func_id, topics);
             self.receiver = make_receiver(std::move(spec));
             if (self.stopped_before_start) self.receiver->stop();
             self.receiver->start();
           })
      .def("check_start_recv",
           [](RecvTread& self) { return self.receiver && self.receiver->started(); })
      .def("check_finish",
           [](RecvTread& self) { return self.receiver && self.receiver->finished(); })
      .def("stop_thread", [](RecvTread& self) {
        if (self.receiver) {
          self.receiver->stop();
        } else {
          self.stopped_before_start = true;
        }
      });
}

}  // namespace zarn::py::morvo
