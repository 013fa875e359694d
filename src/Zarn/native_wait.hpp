// Blocking waits of the bound classes: the interpreter lock is released for
// the wait, and a wait on the main thread comes up now and then so that
// Ctrl-C reaches the user (Python runs signal handlers on the main thread
// only, and only between its own instructions).
#pragma once

#include <nanobind/nanobind.h>

#include <algorithm>
#include <chrono>
#include <optional>

namespace zarn::py {

inline constexpr std::chrono::milliseconds kSignalCheckInterval{100};

// True once the interpreter has begun to shut down; a thread that asks for
// the interpreter lock then never gets it back.
inline bool interpreter_finishing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

// Calls `wait_until(until)`, a native wait that returns true once its
// condition holds or false when `until` has passed, with the interpreter lock
// released, in slices where the main thread needs them. A signal handler's
// exception (KeyboardInterrupt) is raised from here. Without a deadline it
// waits until the condition holds. Returns whether it holds.
template <class WaitUntil>
bool wait_releasing(WaitUntil&& wait_until,
                    std::optional<std::chrono::steady_clock::time_point> deadline,
                    bool on_main_thread) {
  using Clock = std::chrono::steady_clock;
  // A slice of a wait without deadline; long enough to cost nothing.
  constexpr std::chrono::hours kLongSlice{24};
  for (;;) {
    const Clock::time_point now = Clock::now();
    Clock::time_point until = deadline ? *deadline : now + kLongSlice;
    if (on_main_thread) until = std::min(until, now + kSignalCheckInterval);
    bool done;
    {
      nanobind::gil_scoped_release release;
      done = wait_until(until);
    }
    if (done) return true;
    if (deadline && Clock::now() >= *deadline) return false;
    if (on_main_thread && PyErr_CheckSignals() != 0) throw nanobind::python_error();
  }
}

}  // namespace zarn::py
