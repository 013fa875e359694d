// Priorities of competing branches, and a thread-safe priority queue.

#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include <chrono>
#include <climits>
#include <optional>
#include <string>

#include "common/abstract_base.hpp"
#include "common/core_errors.hpp"
#include "common/waiting.hpp"
#include "zarn/run/priority_queue.hpp"

namespace nb = nanobind;

namespace {

enum class Priority : int { LOW = 0, NORMAL = 1, HIGH = 2 };

PyObject* queue_empty_error = nullptr;  // queue.Empty, looked up at import

// Items are held as owned references: the core queue moves the pointers
// around with the interpreter lock released and never touches the objects.
struct PriorityQueue {
  zarn::PriorityQueue<PyObject*> items;

  PriorityQueue() = default;
  PriorityQueue(const PriorityQueue&) = delete;
  PriorityQueue& operator=(const PriorityQueue&) = delete;
  ~PriorityQueue() { drop_all(); }

  void drop_all() {
    for (PyObject* item : items.take_all()) Py_DECREF(item);
  }
};

void put(PriorityQueue& queue, nb::object item, nb::handle priority) {
  int value = zarn::py::priority_as_int(priority, "a priority");
  queue.items.push(item.release().ptr(), value);
}

nb::object get(PriorityQueue& queue, bool block, std::optional<double> timeout) {
  if (timeout && *timeout < 0) throw nb::value_error("'timeout' must be a non-negative number");
  std::optional<PyObject*> item;
  if (!block) {
    item = queue.items.try_pop();
  } else {
    zarn::py::wait_in_slices(timeout, [&](std::chrono::nanoseconds slice) {
      item = queue.items.pop_for(slice);
      return item.has_value();
    });
  }
  if (!item) {
    PyErr_SetNone(queue_empty_error);
    throw nb::python_error();
  }
  return nb::steal(*item);
}

int traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  if (!nb::inst_ready(self)) return 0;
  int result = 0;
  nb::inst_ptr<PriorityQueue>(self)->items.for_each([&](PyObject* item) {
    if (result == 0) result = visit(item, arg);
  });
  return result;
}

int clear(PyObject* self) {
  if (nb::inst_ready(self)) nb::inst_ptr<PriorityQueue>(self)->drop_all();
  return 0;
}

PyType_Slot queue_slots[] = {{Py_tp_traverse, reinterpret_cast<void*>(&traverse)},
                             {Py_tp_clear, reinterpret_cast<void*>(&clear)},
                             {0, nullptr}};

}  // namespace

NB_MODULE(_zarnpq, m) {
  m.doc() = "Priorities of competing branches and a thread-safe priority queue.";
  zarn::py::register_core_error_translator();
  zarn::py::init_waiting();
  queue_empty_error = zarn::py::import_attr("queue", "Empty");

  nb::enum_<Priority>(m, "ZarnPriority", nb::is_arithmetic(),
                      "How urgent a competing branch is. When the module the branches\n"
                      "contend for is free, the ready branch of the highest priority goes\n"
                      "next (HIGH before NORMAL before LOW); branches of equal priority go\n"
                      "in script order. A branch without a priority counts as NORMAL.")
      .value("LOW", Priority::LOW, "goes after every other ready branch")
      .value("NORMAL", Priority::NORMAL, "the default")
      .value("HIGH", Priority::HIGH, "goes before every other ready branch");

  nb::class_<PriorityQueue>(m, "ZarnPriorityQueue", nb::type_slots(queue_slots),
                            "A thread-safe queue that hands out the item of the highest\n"
                            "priority first, and among equal priorities the one put in first.")
      .def(nb::init<>())
      .def("put", &put, nb::arg("item").none(), nb::arg("priority") = Priority::NORMAL,
           "Adds `item` with `priority` (a ZarnPriority or any integer; greater\n"
           "comes out first).")
      .def("get", &get, nb::arg("block") = true, nb::arg("timeout").none() = nb::none(),
           "Removes and returns the next item. Waits for one when the queue is\n"
           "empty (up to `timeout` seconds; forever without), other threads running\n"
           "meanwhile; raises queue.Empty when none came or `block` is false.")
      .def(
          "get_nowait", [](PriorityQueue& queue) { return get(queue, false, std::nullopt); },
          "get(block=False).")
      .def(
          "qsize", [](const PriorityQueue& queue) { return queue.items.size(); },
          "How many items are queued.")
      .def("empty", [](const PriorityQueue& queue) { return queue.items.size() == 0; })
      .def("__len__", [](const PriorityQueue& queue) { return queue.items.size(); });
}
