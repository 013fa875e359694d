// Blocking waits of the binding layer. Every wait releases the interpreter
// lock, holds a share of what it waits on (so dropping the Python object
// meanwhile cannot destroy it under the waiter), and on the main thread wakes
// now and then so that Ctrl-C still works: Python runs signal handlers on the
// main thread only, and only between its own instructions.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/shared_ptr.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <optional>

#include "zarn/base/event.hpp"

namespace zarn::py {

namespace nb = nanobind;

using WaitClock = std::chrono::steady_clock;

// Set once per module at import (each extension module has its own copy).
inline unsigned long main_thread_ident = 0;

inline void init_waiting() {
  main_thread_ident = nb::cast<unsigned long>(
      nb::module_::import_("threading").attr("main_thread")().attr("ident"));
}

inline bool on_main_thread() { return PyThread_get_thread_ident() == main_thread_ident; }

// True once the interpreter has begun to shut down; a thread that asks for
// the interpreter lock then never gets it back.
inline bool interpreter_finishing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

// How long the main thread sleeps between checks for Ctrl-C.
inline constexpr std::chrono::milliseconds kSignalCheckInterval{100};

// The moment `seconds` from now; none (forever) beyond a year, which also
// keeps the arithmetic in range.
inline std::optional<WaitClock::time_point> deadline_after(double seconds) {
  constexpr double kYear = 365.0 * 24 * 3600;
  if (!(seconds < kYear)) return std::nullopt;
  return WaitClock::now() + std::chrono::duration_cast<WaitClock::duration>(
                                std::chrono::duration<double>(std::max(seconds, 0.0)));
}

// Calls `wait_until(until)`, a native wait that returns true once its
// condition holds or false when `until` has passed, with the interpreter lock
// released, in slices where the main thread needs them. A signal handler's
// exception (KeyboardInterrupt) is raised from here. Without a deadline it
// waits until the condition holds. Returns whether it holds.
template <class WaitUntil>
bool wait_releasing(WaitUntil&& wait_until, std::optional<WaitClock::time_point> deadline) {
  // A slice of a wait without deadline; long enough to cost nothing.
  constexpr std::chrono::hours kLongSlice{24};
  const bool main_thread = on_main_thread();
  for (;;) {
    const WaitClock::time_point now = WaitClock::now();
    WaitClock::time_point until = deadline ? *deadline : now + kLongSlice;
    if (main_thread) until = std::min(until, now + kSignalCheckInterval);
    bool done;
    {
      nb::gil_scoped_release release;
      done = wait_until(until);
    }
    if (done) return true;
    if (deadline && WaitClock::now() >= *deadline) return false;
    if (main_thread && PyErr_CheckSignals() != 0) throw nb::python_error();
  }
}

// The same for waits that take a duration: `attempt(slice)` blocks for at
// most `slice` and reports success. `timeout_seconds` as Python's timeout
// arguments take it (none for forever, 0 or less for one look); returns
// whether an attempt succeeded.
template <typename Attempt>
bool wait_in_slices(std::optional<double> timeout_seconds, Attempt attempt) {
  std::optional<WaitClock::time_point> deadline;
  if (timeout_seconds) {
    const double seconds = *timeout_seconds;
    if (std::isnan(seconds)) throw nb::value_error("timeout must be a number, not nan");
    if (seconds <= 0) {
      nb::gil_scoped_release release;
      return attempt(std::chrono::nanoseconds(0));
    }
    deadline = deadline_after(seconds);
  }
  const bool done = wait_releasing(
      [&](WaitClock::time_point until) {
        return attempt(std::max(
            std::chrono::nanoseconds(0),
            std::chrono::duration_cast<std::chrono::nanoseconds>(until - WaitClock::now())));
      },
      deadline);
  if (done) return true;
  // One last look: what came true just as the time ran out still counts.
  nb::gil_scoped_release release;
  return attempt(std::chrono::nanoseconds(0));
}

// Waits until `event` is set or `timeout_seconds` have passed (forever when
// absent); returns the flag.
inline bool wait_native(const std::shared_ptr<const Event>& event,
                        std::optional<double> timeout_seconds) {
  if (event->is_set()) return true;
  return wait_in_slices(
      timeout_seconds, [&event](std::chrono::nanoseconds slice) { return event->wait_for(slice); });
}

// What a ZarnEvent holds: its share of the event, inside the Python object.
// A share held in place costs one allocation, the event's; one handed to
// Python as a shared_ptr would cost a kept-alive copy and its bookkeeping
// too, for every action of a script.
struct EventHandle {
  std::shared_ptr<Event> event;
};

// The package's own event behind `obj` (a share of it), or null when `obj` is
// some other kind of event (a threading.Event, say) or None.
inline std::shared_ptr<Event> native_event(nb::handle obj) {
  EventHandle* handle = nullptr;
  if (obj.is_valid() && !obj.is_none() && nb::try_cast<EventHandle*>(obj, handle) && handle) {
    return handle->event;
  }
  return nullptr;
}

// Waits on the package's own events natively, on anything else through its
// `wait()` method. Holds a reference to `event` for the whole wait.
inline void wait_any(nb::handle event) {
  if (std::shared_ptr<Event> native = native_event(event)) {
    wait_native(native, std::nullopt);
  } else {
    nb::object keep = nb::borrow(event);
    keep.attr("wait")();
  }
}

}  // namespace zarn::py
