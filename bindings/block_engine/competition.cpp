#include "block_engine/competition.hpp"

#include <optional>
#include <utility>

#include "block_engine/chain.hpp"
#include "block_engine/engine.hpp"
#include "common/abstract_base.hpp"
#include "common/waiting.hpp"

namespace zarn::py {

WaitingTurn::~WaitingTurn() {
  // Let go of wherever the arbiter lets go of it. With the interpreter lock
  // held, as from Python and in the collections of the interpreter's own
  // shutdown (when Py_IsInitialized() is false already), the references go
  // at once; a thread without the lock must not ask for it once shutdown
  // has begun: it would never get it back.
  const bool shutting_down = interpreter_finishing();
  if ((Py_IsInitialized() || shutting_down) && PyGILState_Check()) {
    marker.reset();
    callback.reset();
    return;
  }
  if (!Py_IsInitialized() || shutting_down) {
    (void)marker.release();
    (void)callback.release();
    return;
  }
  PyGILState_STATE state = PyGILState_Ensure();
  marker.reset();
  callback.reset();
  PyGILState_Release(state);
}

namespace {

int priority_number(nb::handle priority) {
  if (priority.is_none()) return 1;  // NORMAL
  return priority_as_int(priority, "a branch's priority");
}

// A turn is ready as soon as everything it waits for has finished; the
// competition reads that from the events themselves where they are ours.
void learn_readiness(CompetitionHandle& handle) {
  if (handle.readiness_known) return;
  std::size_t branch = 0;
  for (nb::handle turn : handle.turns) {
    ZarnAction& fields = action_fields(turn);
    std::vector<std::shared_ptr<Event>> events;
    bool all_ours = true;
    for (nb::handle item : fields.dependency) {
      if (!is_action(item)) {
        all_ours = false;
        break;
      }
      std::shared_ptr<Event> event = native_event(action_fields(item).finish_signal);
      if (!event) all_ours = false;
      events.push_back(std::move(event));
    }
    if (all_ours && !fields.script_dep.is_none()) {
      std::shared_ptr<Event> event = native_event(fields.script_dep);
      if (!event) all_ours = false;
      events.push_back(std::move(event));
    }
    if (all_ours) handle.core->set_ready_events(branch, std::move(events));
    ++branch;
  }
  handle.readiness_known = true;
}

void give_turn(WaitingTurn& turn) {
  nb::gil_scoped_acquire acquire;
  // Taken out first: a cell once given holds nothing, whatever the calls do.
  nb::object marker = std::exchange(turn.marker, nb::none());
  nb::object callback = std::exchange(turn.callback, nb::none());
  nb::handle running = marker;
  try {
    if (!marker.is_none()) mark_finished(marker);
    running = callback;
    if (!callback.is_none()) callback();
  } catch (nb::python_error& e) {
    // Whoever released the module is not the one to hear of it.
    e.restore();
    PyErr_WriteUnraisable(running.ptr());
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    PyErr_WriteUnraisable(running.ptr());
  }
}

}  // namespace

CompetitionHandle& competition_of(nb::handle competition) {
  return nb::cast<CompetitionHandle&>(competition);
}

nb::object new_competition(nb::handle module_name) {
  nb::object competition = nb::handle(imports.competition_type)();
  competition_of(competition).module_name = nb::borrow(module_name);
  return competition;
}

void configure(CompetitionHandle& handle, nb::handle module_name, nb::list priorities,
               nb::list turns) {
  std::vector<int> numbers;
  for (nb::handle priority : priorities) numbers.push_back(priority_number(priority));
  // Rewiring an unchanged group (run_plan() again, a copy taken) must not
  // reset a competition that may be under way.
  if (numbers != handle.numbers) {
    handle.core = std::make_shared<Competition>(numbers);
    handle.numbers = std::move(numbers);
  }
  handle.module_name = nb::borrow(module_name);
  handle.priorities = std::move(priorities);
  handle.turns = std::move(turns);
  handle.readiness_known = false;
}

void acquire(CompetitionHandle& handle, std::size_t branch) {
  learn_readiness(handle);
  std::shared_ptr<Competition> core = handle.core;
  auto granted = std::make_shared<Event>();
  core->request(branch, [granted] { granted->set(); });
  wait_native(granted, std::nullopt);
}

void request_turn(CompetitionHandle& handle, std::size_t branch, nb::handle marker,
                  nb::handle callback) {
  learn_readiness(handle);
  // The turns given (or whose arbiter is gone) are held here alone.
  std::erase_if(handle.waiting, [](const auto& turn) { return turn.use_count() == 1; });
  auto turn = std::make_shared<WaitingTurn>();
  turn->marker = nb::borrow(marker);
  turn->callback = nb::borrow(callback);
  handle.waiting.push_back(turn);
  std::shared_ptr<Competition> core = handle.core;
  try {
    core->request(branch, [turn] { give_turn(*turn); });
  } catch (...) {
    std::erase(handle.waiting, turn);
    throw;
  }
}

}  // namespace zarn::py
