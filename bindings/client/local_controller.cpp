// The simulated controller in the client's process (LocalController), for an
// estimate of a job's machine time: a client attached to one sends its
// records to it as calls, and the machine link awaits results on its
// simulated clock instead of a subscription.

#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>

#include <memory>
#include <optional>
#include <string>

#include "client/morvo_client.hpp"
#include "zarn/sim/config.hpp"
#include "zarn/sim/local.hpp"

namespace zarn::py::morvo {
namespace {

using namespace nb::literals;
using zarn::VirtualClock;
using zarn::sim::LocalController;

const char* woken_text(VirtualClock::Woken woken) {
  switch (woken) {
    case VirtualClock::Woken::Ready:
      return "ready";
    case VirtualClock::Woken::Due:
      return "due";
    case VirtualClock::Woken::Stuck:
      return "stuck";
    case VirtualClock::Woken::Closed:
      break;
  }
  return "closed";
}

// A cancellation flag that waits on the simulated clock can read: what a
// threading.Event is to a machine on real time.
struct LocalFlag {
  std::shared_ptr<LocalController> controller;
  bool value = false;

  void set() { controller->set_flag(value); }
  bool is_set() const {
    return controller->clock()->with_lock([this] { return value; });
  }
  // Waits `seconds` of simulated time or until set; whether it is set.
  bool wait(std::optional<double> seconds) {
    {
      nb::gil_scoped_release release;
      if (seconds) {
        controller->sleep(*seconds, &value);
      } else {
        controller->clock()->block([this] { return value; }, std::nullopt);
      }
    }
    return is_set();
  }
};

void capsule_destructor(PyObject* capsule) {
  delete static_cast<std::shared_ptr<VirtualClock>*>(
      PyCapsule_GetPointer(capsule, zarn::kVirtualClockCapsule));
}

}  // namespace

void bind_local_controller(nb::module_& m, nb::class_<MorvoClient>& client) {
  nb::class_<LocalController>(
      m, "LocalController",
      "The simulated controller of a machine configuration, in this process, on a\n"
      "simulated clock: a client attached to it (MorvoClient.attach_local) runs a\n"
      "job in its machine time without waiting through it.")
      .def(
          "__init__",
          [](LocalController* self, const std::string& config_path) {
            zarn::sim::MachineConfig machine = zarn::sim::load_machine(config_path);
            new (self) LocalController(machine);
          },
          "config_path"_a)
      .def_prop_ro(
          "now", [](LocalController& self) { return self.clock()->now(); },
          "The simulated time in seconds.")
      .def_prop_ro(
          "standstills", [](LocalController& self) { return self.clock()->standstills(); },
          "How often every wait was found stuck: nothing simulated could end it.")
      .def(
          "clock_handle",
          [](LocalController& self) {
            auto* shared = new std::shared_ptr<VirtualClock>(self.clock());
            PyObject* capsule =
                PyCapsule_New(shared, zarn::kVirtualClockCapsule, &capsule_destructor);
            if (capsule == nullptr) {
              delete shared;
              throw nb::python_error();
            }
            return nb::steal(capsule);
          },
          "The simulated clock, for a run that runs on it (Zarn.executor).")
      .def(
          "input",
          [](LocalController& self, int morvo_id, int pin) {
            nb::gil_scoped_release release;
            return self.input(morvo_id, pin);
          },
          "morvo_id"_a, "pin"_a, "What input pin of IO module morvo_id shows, or None.")
      .def(
          "force_input",
          [](LocalController& self, int morvo_id, int pin, int value) {
            nb::gil_scoped_release release;
            return self.force_input(morvo_id, pin, value);
          },
          "morvo_id"_a, "pin"_a, "value"_a, "Sets an input by hand; '' or why it cannot be set.")
      .def(
          "await_input",
          [](LocalController& self, int morvo_id, int pin, int value, std::optional<double> seconds,
             LocalFlag* cancelled) {
            const bool* flag = cancelled != nullptr ? &cancelled->value : nullptr;
            nb::gil_scoped_release release;
            return std::string(woken_text(self.await_input(morvo_id, pin, value, seconds, flag)));
          },
          "morvo_id"_a, "pin"_a, "value"_a, "seconds"_a.none(), "cancelled"_a.none() = nb::none(),
          "Waits until the input shows value, for at most seconds of simulated time\n"
          "(None: no limit): 'ready' (it shows it, or cancelled is set), 'due' (the time\n"
          "ran out), 'stuck' (nothing simulated would ever set it) or 'closed'.")
      .def(
          "flag", [](std::shared_ptr<LocalController> self) { return LocalFlag{std::move(self)}; },
          "A new cancellation flag whose waits run on the simulated clock.");

  nb::class_<LocalFlag>(m, "LocalFlag",
                        "A cancellation flag on a LocalController's clock (see "
                        "LocalController.flag).")
      .def("set", &LocalFlag::set)
      .def("is_set", &LocalFlag::is_set)
      .def("wait", &LocalFlag::wait, "timeout"_a.none() = nb::none(),
           "Waits timeout simulated seconds (None: until set); whether it is set.");

  client
      .def(
          "attach_local",
          [](MorvoClient& self, std::shared_ptr<LocalController> controller) {
            self.local = std::move(controller);
          },
          "controller"_a.none(),
          "Sends every request to this in-process controller instead of the service\n"
          "(None: back to the service). The machine link's blocking calls then await\n"
          "their results on its simulated clock.")
      .def_prop_ro(
          "local", [](MorvoClient& self) { return self.local; },
          "The in-process controller the client talks to, or None.");
}

}  // namespace zarn::py::morvo
