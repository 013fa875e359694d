// Blocking waits of the binding layer. Every wait releases the interpreter
// lock, holds a share of what it waits on (so dropping the Python object
// meanwhile cannot destroy it under the waiter), and on the main thread wakes
// now and then so that Ctrl-C still works.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/shared_ptr.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <optional>

#include "zarn/event.hpp"

namespace zarn::py {

namespace nb = nanobind;

// Set once per module at import (each extension module has its own copy).
inline unsigned long main_thread_ident = 0;

inline void init_waiting() {
  main_thread_ident = nb::cast<unsigned long>(
      nb::module_::import_("threading").attr("main_thread")().attr("ident"));
}

// How long the main thread sleeps between checks for Ctrl-C.
inline constexpr std::chrono::milliseconds kSignalCheckInterval{100};

// Calls `attempt(slice)` with the interpreter lock released until it reports
// success or `timeout_seconds` have passed (forever when absent); `attempt`
// may block for at most `slice` (nanoseconds::max() meaning without limit).
// Returns whether an attempt succeeded. Raises what a signal handler raised
// (Ctrl-C) when waiting on the main thread.
template <typename Attempt>
bool wait_in_slices(std::optional<double> timeout_seconds, Attempt attempt) {
  using Clock = std::chrono::steady_clock;
  std::optional<Clock::time_point> deadline;
  if (timeout_seconds) {
    double seconds = *timeout_seconds;
    if (std::isnan(seconds)) throw nb::value_error("timeout must be a number, not nan");
    if (seconds <= 0) {
      nb::gil_scoped_release release;
      return attempt(std::chrono::nanoseconds(0));
    }
    // Beyond a year counts as forever; it also keeps the arithmetic in range.
    if (seconds < 365.0 * 24 * 3600) {
      deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(seconds));
    }
  }

  // Python delivers signals to the main thread only, and only while it runs
  // Python code, so a wait there must come up for air now and then.
  const bool on_main_thread = PyThread_get_thread_ident() == main_thread_ident;
  for (;;) {
    std::chrono::nanoseconds slice = std::chrono::nanoseconds::max();
    if (deadline) slice = std::max(std::chrono::nanoseconds(0), *deadline - Clock::now());
    if (on_main_thread) slice = std::min<std::chrono::nanoseconds>(slice, kSignalCheckInterval);
    bool done;
    {
      nb::gil_scoped_release release;
      done = attempt(slice);
    }
    if (done) return true;
    if (deadline && Clock::now() >= *deadline) {
      nb::gil_scoped_release release;
      return attempt(std::chrono::nanoseconds(0));
    }
    if (on_main_thread && PyErr_CheckSignals() != 0) throw nb::python_error();
  }
}

// Waits until `event` is set or `timeout_seconds` have passed (forever when
// absent); returns the flag.
inline bool wait_native(const std::shared_ptr<const Event>& event,
                        std::optional<double> timeout_seconds) {
  if (event->is_set()) return true;
  return wait_in_slices(timeout_seconds, [&event](std::chrono::nanoseconds slice) {
    if (slice == std::chrono::nanoseconds::max()) {
      event->wait();
      return true;
    }
    return event->wait_for(slice);
  });
}

// The package's own event behind `obj` (a share of it), or null when `obj` is
// some other kind of event (a threading.Event, say) or None.
inline std::shared_ptr<Event> native_event(nb::handle obj) {
  std::shared_ptr<Event> event;
  if (obj.is_valid() && !obj.is_none() && nb::try_cast<std::shared_ptr<Event>>(obj, event)) {
    return event;
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
