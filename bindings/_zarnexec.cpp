// The run engine for Python: ZarnRun runs the steps of a ZarnRunPlan on the
// core scheduler's worker threads. A worker calls an action's execute() (a
// competing branch's turn: its non-blocking request()), and only once every
// step it waits for has finished, so no worker ever blocks on another action.
//
// A worker takes the interpreter lock when it begins a stretch of steps and
// keeps it from one step to the next, releasing it only when it runs out of
// work (and whenever the running Python code lets it go), so a long chain
// costs no lock hand-over per action.

#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "_zarnaction.hpp"
#include "block_engine/engine.hpp"
#include "block_engine/plan.hpp"
#include "common/core_errors.hpp"
#include "common/raised.hpp"
#include "common/waiting.hpp"
#include "zarn/client/commands.hpp"
#include "zarn/run/scheduler.hpp"

namespace nb = nanobind;
using zarn::PlanGuard;
using zarn::PlanStep;
using zarn::RunClock;
using zarn::RunScheduler;
using zarn::StepStatus;
using zarn::py::interpreter_finishing;

namespace {

// Looked up once at import; kept for the life of the interpreter.
struct Imports {
  PyObject* not_executed = nullptr;  // ZarnState.NotExecuted
  PyObject* error_state = nullptr;   // ZarnState.Error
  PyObject* execute = nullptr;       // interned method and attribute names
  PyObject* request = nullptr;
  PyObject* state = nullptr;
  PyObject* expected_seconds = nullptr;
  PyObject* steps = nullptr;
  PyObject* guards = nullptr;
  PyObject* action = nullptr;
  PyObject* kind = nullptr;
  PyObject* waits = nullptr;
  PyObject* guard = nullptr;
  PyObject* after = nullptr;
  PyObject* script_dep = nullptr;
  PyObject* outer = nullptr;
  PyObject* decision = nullptr;
  PyTypeObject* step_type = nullptr;    // ZarnRunStep
  PyTypeObject* action_type = nullptr;  // ZarnAction
  PyObject* base_state = nullptr;       // ZarnAction's own `state` descriptor
};
Imports imports;

enum class StepKind : std::uint8_t { Action, Marker, Turn };

double seconds_between(RunClock::time_point from, RunClock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

std::chrono::nanoseconds to_duration(double seconds) {
  // Beyond a year counts as no limit; it also keeps the arithmetic in range.
  if (!(seconds > 0) || std::isinf(seconds) || seconds > 365.0 * 24 * 3600) {
    return std::chrono::nanoseconds::zero();
  }
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::duration<double>(seconds));
}

std::string shown(nb::handle object) { return nb::cast<std::string>(nb::repr(object)); }

// The interpreter state of a worker thread: made when the worker starts,
// swapped in and out around its stretches of steps.
thread_local PyThreadState* worker_state = nullptr;
thread_local PyGILState_STATE worker_gil{};
thread_local bool worker_has_python = false;

// What a worker needs to know about a kind of action, looked up once.
struct KindInfo {
  nb::object kind;
  // Whether `state` is the base class's own field, readable without a lookup.
  bool own_state = false;
  double seconds = 0;  // the time limit, 0 for none
  bool add_expected = false;
};

// What the workers call. Its Python objects are touched only with the
// interpreter lock held; it is shared with the scheduler, so a worker stuck
// in a step given up on keeps it alive after the run object is gone.
class PyRunner final : public zarn::StepRunner {
 public:
  nb::list actions;
  nb::list errors;  // per step: what its execute() raised, or None
  nb::object on_start = nb::none(), on_finish = nb::none();
  std::vector<StepKind> kinds;
  std::vector<bool> decides;           // per step: its `decision` takes ways or leaves them
  std::vector<const KindInfo*> infos;  // per step
  std::unordered_map<PyObject*, KindInfo> kind_info;
  std::weak_ptr<RunScheduler> scheduler;
  RunClock::time_point origin{};

  ~PyRunner() override {
    // The last share may go on a thread without the interpreter lock.
    if (!Py_IsInitialized() || interpreter_finishing()) {
      (void)actions.release();
      (void)errors.release();
      (void)on_start.release();
      (void)on_finish.release();
      for (auto& [kind, info] : kind_info) (void)info.kind.release();
      return;
    }
    PyGILState_STATE state = PyGILState_Ensure();
    actions.reset();
    errors.reset();
    on_start.reset();
    on_finish.reset();
    kind_info.clear();
    PyGILState_Release(state);
  }

  void worker_started() override {
    if (!Py_IsInitialized() || interpreter_finishing()) return;
    worker_gil = PyGILState_Ensure();
    worker_state = PyEval_SaveThread();
    worker_has_python = true;
  }

  void worker_stopping() override {
    if (!worker_has_python || interpreter_finishing()) return;
    PyEval_RestoreThread(worker_state);
    PyGILState_Release(worker_gil);
    worker_has_python = false;
  }

  void enter() override {
    if (worker_has_python) PyEval_RestoreThread(worker_state);
  }

  void leave() override {
    if (worker_has_python) worker_state = PyEval_SaveThread();
  }

  Result run(std::size_t step, RunClock::time_point started) override {
    if (!worker_has_python) return {false, RunClock::now()};
    // Nothing begins once the run has decided to stop, not even a step a
    // worker took just before.
    const std::shared_ptr<RunScheduler> run = scheduler.lock();
    if (run && run->stopping()) return {false, RunClock::now(), false};
    PyObject* action = PyList_GET_ITEM(actions.ptr(), static_cast<Py_ssize_t>(step));
    Py_INCREF(action);
    const bool reported = kinds[step] == StepKind::Action;
    if (reported && !on_start.is_none()) {
      call_hook(on_start, nb::make_tuple(step, seconds_between(origin, started)));
    }
    const KindInfo* info = infos[step];
    bool succeeded = false;
    // Through the method: the action's kind (a user's, mostly) overrides it.
    PyObject* result = PyObject_CallMethodNoArgs(action, imports.execute);
    if (result == nullptr) {
      keep_error(step);
    } else {
      Py_DECREF(result);
      PyObject* state = info->own_state
                            ? nb::inst_ptr<zarn::py::ZarnAction>(action)->state.inc_ref().ptr()
                            : PyObject_GetAttr(action, imports.state);
      if (state == nullptr) {
        keep_error(step);
      } else {
        succeeded = !is_error_state(state);
        Py_DECREF(state);
      }
    }
    int decision = -1;
    if (succeeded && decides[step]) decision = decision_of(action, step, succeeded);
    Py_DECREF(action);
    const RunClock::time_point ended = run ? run->now() : RunClock::now();
    if (reported && !on_finish.is_none()) {
      call_hook(on_finish, nb::make_tuple(step, succeeded, seconds_between(origin, started),
                                          seconds_between(origin, ended)));
    }
    return {succeeded, ended, true, decision};
  }

  // What a deciding step found: its `decision`, true or false. One that has
  // none has failed.
  int decision_of(PyObject* action, std::size_t step, bool& succeeded) {
    PyObject* value = PyObject_GetAttr(action, imports.decision);
    int truth = value == nullptr ? -1 : PyObject_IsTrue(value);
    Py_XDECREF(value);
    if (truth < 0) {
      keep_error(step);
      succeeded = false;
      return -1;
    }
    return truth;
  }

  void start(std::size_t step) override {
    if (!worker_has_python) {
      if (auto run = scheduler.lock()) run->complete(step, false);
      return;
    }
    nb::object action = nb::borrow(PyList_GET_ITEM(actions.ptr(), static_cast<Py_ssize_t>(step)));
    std::weak_ptr<RunScheduler> owner = scheduler;
    nb::object granted = nb::cpp_function([owner, step]() {
      if (auto run = owner.lock()) run->complete(step, true);
    });
    // Through the method, as execute(): a turn's failure reaches the run as
    // the Python exception its request() raised, whatever kind it is of.
    PyObject* result = PyObject_CallMethodOneArg(action.ptr(), imports.request, granted.ptr());
    if (result != nullptr) {
      Py_DECREF(result);
      return;
    }
    keep_error(step);
    if (auto run = scheduler.lock()) run->complete(step, false);
  }

  // Stores the exception being raised, with its traceback, as the step's error.
  void keep_error(std::size_t step) {
    nb::object error = zarn::py::take_raised_exception();
    if (!error.is_valid()) return;
    // Checked: a run object cleared by the collector has an empty list.
    if (PyList_SetItem(errors.ptr(), static_cast<Py_ssize_t>(step), error.release().ptr()) != 0) {
      PyErr_Clear();
    }
  }

 private:
  static bool is_error_state(PyObject* state) {
    if (state == imports.error_state) return true;
    int equal = PyObject_RichCompareBool(state, imports.error_state, Py_EQ);
    if (equal < 0) PyErr_Clear();
    return equal == 1;
  }

  // A display hook that fails must not take the run down with it.
  static void call_hook(const nb::object& hook, const nb::tuple& arguments) {
    PyObject* result = PyObject_Call(hook.ptr(), arguments.ptr(), nullptr);
    if (result == nullptr) {
      PyErr_WriteUnraisable(hook.ptr());
    } else {
      Py_DECREF(result);
    }
  }
};

nb::object attribute(nb::handle object, PyObject* name) {
  PyObject* value = PyObject_GetAttr(object.ptr(), name);
  if (value == nullptr) throw nb::python_error();
  return nb::steal(value);
}

std::size_t step_index(PyObject* item, std::size_t step) {
  const Py_ssize_t value = PyLong_AsSsize_t(item);
  if (value == -1 && PyErr_Occurred()) throw nb::python_error();
  if (value < 0) {
    throw nb::value_error(("step " + std::to_string(step) + " waits for step " +
                           std::to_string(value) + ", which cannot exist")
                              .c_str());
  }
  return static_cast<std::size_t>(value);
}

// Reads the steps and guards of a ZarnRunPlan for the scheduler. A plan may
// hold many thousands of steps, so the reading goes by the C API.
struct PlanReader {
  // Machine seconds per second of the run's clock: the time limits of the
  // actions and of the parts, given in machine seconds, count the run's.
  double time_scale = 1.0;
  nb::object limit_for;  // kind -> (seconds or None, whether to add expected_seconds)

  // `control`: None, or the compile path's table of the plan's parts
  // (Zarn.lang.control.ControlTable): read instead of the plan's guards.
  std::pair<std::vector<PlanStep>, std::vector<PlanGuard>> read(nb::handle plan, PyRunner& runner,
                                                                nb::handle control) {
    nb::list steps = nb::list(attribute(plan, imports.steps));
    const bool controlled = control.is_valid() && !control.is_none();
    nb::list guards =
        controlled ? nb::list(control.attr("parts")) : nb::list(attribute(plan, imports.guards));
    nb::list step_parts = controlled ? nb::list(control.attr("step_parts")) : nb::list();
    std::vector<bool> deciding(static_cast<std::size_t>(PyList_GET_SIZE(steps.ptr())), false);
    std::vector<bool> quiet(deciding.size(), false);
    if (controlled) {
      for (nb::handle step : control.attr("deciding"))
        deciding.at(nb::cast<std::size_t>(step)) = true;
      for (nb::handle step : control.attr("quiet")) quiet.at(nb::cast<std::size_t>(step)) = true;
    }
    const Py_ssize_t count = PyList_GET_SIZE(steps.ptr());
    const long guard_count = static_cast<long>(PyList_GET_SIZE(guards.ptr()));
    std::vector<PlanStep> out(static_cast<std::size_t>(count));
    std::vector<StepKind> kinds(static_cast<std::size_t>(count));
    std::vector<const KindInfo*> infos(static_cast<std::size_t>(count));
    nb::list actions = nb::steal<nb::list>(PyList_New(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
      const std::size_t index = static_cast<std::size_t>(i);
      nb::handle entry = PyList_GET_ITEM(steps.ptr(), i);
      PlanStep& step = out[index];
      // The block module's own steps are read from their fields; anything
      // else that looks like one, through its attributes.
      const zarn::py::RunStep* own = Py_TYPE(entry.ptr()) == imports.step_type
                                         ? nb::inst_ptr<zarn::py::RunStep>(entry)
                                         : nullptr;
      auto field = [&](nb::object zarn::py::RunStep::*member, PyObject* name) {
        return own != nullptr ? own->*member : attribute(entry, name);
      };
      nb::object action = field(&zarn::py::RunStep::action, imports.action);
      const zarn::py::ZarnAction* fields =
          PyObject_TypeCheck(action.ptr(), imports.action_type) && nb::inst_ready(action)
              ? nb::inst_ptr<zarn::py::ZarnAction>(action)
              : nullptr;
      nb::object kind_name = field(&zarn::py::RunStep::kind, imports.kind);
      StepKind kind = StepKind::Marker;
      if (PyUnicode_Check(kind_name.ptr()) &&
          PyUnicode_CompareWithASCIIString(kind_name.ptr(), "action") == 0) {
        kind = StepKind::Action;
      } else if (PyUnicode_Check(kind_name.ptr()) &&
                 PyUnicode_CompareWithASCIIString(kind_name.ptr(), "turn") == 0) {
        kind = StepKind::Turn;
        step.asynchronous = true;
      }
      nb::object state = fields != nullptr ? fields->state : attribute(action, imports.state);
      if (!state.is(nb::handle(imports.not_executed))) {
        throw nb::value_error(("step " + std::to_string(index) + ", " + shown(action) +
                               ", has run already (its state is " + shown(state) +
                               "): an action runs once; compile the script again, or run a "
                               "copy() of the block")
                                  .c_str());
      }
      nb::object waits = field(&zarn::py::RunStep::waits, imports.waits);
      if (PyList_Check(waits.ptr())) {
        const Py_ssize_t size = PyList_GET_SIZE(waits.ptr());
        step.waits.reserve(static_cast<std::size_t>(size));
        for (Py_ssize_t k = 0; k < size; ++k) {
          step.waits.push_back(step_index(PyList_GET_ITEM(waits.ptr(), k), index));
        }
      } else {
        for (nb::handle wait : waits) step.waits.push_back(step_index(wait.ptr(), index));
      }
      nb::object guard =
          controlled ? nb::object(step_parts[i]) : field(&zarn::py::RunStep::guard, imports.guard);
      step.decides = deciding[index];
      if (quiet[index] && kind == StepKind::Action) kind = StepKind::Marker;
      // A marker commands nothing: it passes while the run is paused.
      step.free_in_pause = kind != StepKind::Action;
      if (!guard.is_none()) {
        step.guard = nb::cast<long>(guard);
        if (step.guard < 0 || step.guard >= guard_count) {
          throw nb::value_error(("step " + std::to_string(index) + " lies in guarded part " +
                                 std::to_string(step.guard) + ", which the plan lacks")
                                    .c_str());
        }
      }
      if (field(&zarn::py::RunStep::after, imports.after).is_none()) {
        nb::object before =
            fields != nullptr ? fields->script_dep : attribute(action, imports.script_dep);
        if (!before.is_none() && !nb::cast<bool>(before.attr("is_set")())) {
          throw nb::value_error(("step " + std::to_string(index) + ", " + shown(action) +
                                 ", follows an action outside this run that has not finished, "
                                 "so it could never start")
                                    .c_str());
        }
      }
      const KindInfo& info = info_of(action, runner);
      if (kind == StepKind::Action) step.time_limit = limit_of(action, info);
      kinds[index] = kind;
      infos[index] = &info;
      PyList_SET_ITEM(actions.ptr(), i, action.release().ptr());
    }
    std::vector<PlanGuard> guard_list;
    for (nb::handle entry : guards) {
      PlanGuard guard;
      nb::object outer = attribute(entry, imports.outer);
      if (!outer.is_none()) guard.outer = nb::cast<long>(outer);
      if (controlled) read_part(entry, guard);
      guard_list.push_back(guard);
    }
    // Only once everything is read: a plan refused leaves the runner as it was.
    const Py_ssize_t end = PyList_GET_SIZE(runner.actions.ptr());
    nb::list nones = nb::steal<nb::list>(PyList_New(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
      Py_INCREF(Py_None);
      PyList_SET_ITEM(nones.ptr(), i, Py_None);
    }
    if (PyList_SetSlice(runner.actions.ptr(), end, end, actions.ptr()) != 0 ||
        PyList_SetSlice(runner.errors.ptr(), end, end, nones.ptr()) != 0) {
      throw nb::python_error();
    }
    runner.kinds.insert(runner.kinds.end(), kinds.begin(), kinds.end());
    runner.decides.insert(runner.decides.end(), deciding.begin(), deciding.end());
    runner.infos.insert(runner.infos.end(), infos.begin(), infos.end());
    return {std::move(out), std::move(guard_list)};
  }

  // A part of the control table: its kind and what it needs.
  void read_part(nb::handle entry, PlanGuard& guard) const {
    const std::string kind = nb::cast<std::string>(entry.attr("kind"));
    if (kind == "try") {
      guard.kind = zarn::PartKind::Try;
    } else if (kind == "attempt") {
      guard.kind = zarn::PartKind::Attempt;
    } else if (kind == "way") {
      guard.kind = zarn::PartKind::Way;
    } else if (kind == "time limit") {
      guard.kind = zarn::PartKind::TimeLimit;
    } else {
      throw nb::value_error(("a part of kind '" + kind + "' is none the run knows").c_str());
    }
    nb::object decision = entry.attr("decision");
    if (!decision.is_none()) guard.decision = nb::cast<long>(decision);
    guard.taken_when = nb::cast<bool>(entry.attr("taken_when"));
    nb::object next = entry.attr("next");
    if (!next.is_none()) guard.next = nb::cast<long>(next);
    nb::object seconds = entry.attr("seconds");
    if (!seconds.is_none()) {
      guard.time_limit = to_duration(nb::cast<double>(seconds) / time_scale);
    }
  }

  const KindInfo& info_of(nb::handle action, PyRunner& runner) {
    PyObject* kind = reinterpret_cast<PyObject*>(Py_TYPE(action.ptr()));
    auto known = runner.kind_info.find(kind);
    if (known != runner.kind_info.end()) return known->second;
    KindInfo info;
    info.kind = nb::borrow(kind);
    PyTypeObject* type = Py_TYPE(action.ptr());
    info.own_state = PyType_IsSubtype(type, imports.action_type) &&
                     _PyType_Lookup(type, imports.state) == imports.base_state;
    nb::object said = limit_for(nb::handle(kind));
    nb::object seconds = said[0];
    if (!seconds.is_none()) {
      info.seconds = nb::cast<double>(seconds);
      if (!(info.seconds > 0) || !std::isfinite(info.seconds)) info.seconds = 0;
    }
    info.add_expected = nb::cast<bool>(said[1]);
    return runner.kind_info.emplace(kind, std::move(info)).first->second;
  }

  std::chrono::nanoseconds limit_of(nb::handle action, const KindInfo& info) const {
    if (info.seconds == 0) return std::chrono::nanoseconds::zero();
    double seconds = info.seconds;
    if (info.add_expected) {
      nb::object expected = attribute(action, imports.expected_seconds);
      if (!expected.is_none()) {
        const double more = nb::cast<double>(expected);
        if (!std::isfinite(more)) return std::chrono::nanoseconds::zero();
        if (more > 0) seconds += more;
      }
    }
    return to_duration(seconds / time_scale);
  }
};

const char* status_name(StepStatus status) {
  switch (status) {
    case StepStatus::Waiting:
      return "waiting";
    case StepStatus::Ready:
      return "ready";
    case StepStatus::Claimed:
      return "claimed";
    case StepStatus::Running:
      return "running";
    case StepStatus::Finished:
      return "finished";
    case StepStatus::Failed:
      return "failed";
    case StepStatus::NotTaken:
      return "not taken";
    case StepStatus::Skipped:
      return "skipped";
  }
  return "unknown";
}

zarn::CommandKind command_kind_named(const std::string& name) {
  for (zarn::CommandKind kind : {zarn::CommandKind::Drive, zarn::CommandKind::Stop,
                                 zarn::CommandKind::Output, zarn::CommandKind::Condition}) {
    if (name == zarn::to_string(kind)) return kind;
  }
  throw nb::value_error(
      ("a command kind is drive, stop, output or condition, not '" + name + "'").c_str());
}

nb::object index_or_none(long index) {
  return index < 0 ? nb::none() : nb::object(nb::int_(index));
}

// The simulated clock inside a LocalController's clock_handle(), or none.
std::shared_ptr<zarn::VirtualClock> clock_of(nb::handle handle) {
  if (handle.is_none()) return nullptr;
  void* pointer = PyCapsule_GetPointer(handle.ptr(), zarn::kVirtualClockCapsule);
  if (pointer == nullptr) throw nb::python_error();
  return *static_cast<std::shared_ptr<zarn::VirtualClock>*>(pointer);
}

class ZarnRun {
 public:
  ZarnRun(nb::handle plan, nb::object limit_for, std::size_t workers, std::size_t max_workers,
          double cancel_grace, std::vector<std::shared_ptr<zarn::CommandGate>> gates,
          nb::handle control, bool keep_going, nb::handle clock, bool ask_on_failure,
          double time_scale)
      : runner_(std::make_shared<PyRunner>()) {
    if (std::isnan(cancel_grace) || cancel_grace < 0) {
      throw nb::value_error("the cancel grace must be a number of seconds, 0 or more");
    }
    if (!(time_scale > 0) || !std::isfinite(time_scale)) {
      throw nb::value_error("a run's time scale must be a number above 0");
    }
    reader_.limit_for = std::move(limit_for);
    reader_.time_scale = time_scale;
    auto [steps, guards] = reader_.read(plan, *runner_, control);
    RunScheduler::Options options;
    options.keep_going = keep_going;
    options.workers = workers;
    options.max_workers = max_workers;
    for (auto& gate : gates) {
      if (!gate) throw nb::type_error("a run's gates must be CommandGate objects, not None");
    }
    options.gates = std::move(gates);
    options.clock = clock_of(clock);
    options.ask_on_failure = ask_on_failure;
    options.cancel_grace = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::duration<double>(std::min(cancel_grace, 365.0 * 24 * 3600)));
    try {
      scheduler_ = RunScheduler::create(std::move(steps), std::move(guards), runner_, options);
    } catch (const zarn::PlanError& error) {
      throw nb::value_error(error.what());
    }
    runner_->scheduler = scheduler_;
  }

  ZarnRun(const ZarnRun&) = delete;
  ZarnRun& operator=(const ZarnRun&) = delete;

  ~ZarnRun() {
    if (!joined_ && started_) {
      nb::gil_scoped_release release;
      scheduler_->join();
    }
  }

  void set_hooks(nb::object on_start, nb::object on_finish) {
    runner_->on_start = std::move(on_start);
    runner_->on_finish = std::move(on_finish);
  }

  void start() {
    if (started_) throw nb::value_error("a run starts once");
    started_ = true;
    scheduler_->start();
    // The workers wait for the interpreter lock, held here, before they run
    // anything, so every step's time counts from this origin.
    runner_->origin = scheduler_->started_at();
  }

  bool wait(std::optional<double> timeout) {
    std::shared_ptr<RunScheduler> run = scheduler_;
    return zarn::py::wait_in_slices(timeout, [&run](std::chrono::nanoseconds slice) {
      const RunClock::time_point deadline = slice == std::chrono::nanoseconds::max()
                                                ? RunClock::time_point::max()
                                                : RunClock::now() + slice;
      return run->wait_until(deadline);
    });
  }

  nb::tuple take() {
    zarn::Attention attention = scheduler_->take_attention();
    return nb::make_tuple(attention.timed_out, attention.cancel, attention.failed_guards,
                          attention.stopping, attention.in_flight, attention.finished,
                          attention.to_choose);
  }

  bool pause() { return scheduler_->pause(); }
  bool resume() { return scheduler_->resume(); }
  void step_once() { scheduler_->step_once(); }
  bool paused() const { return scheduler_->paused(); }

  nb::list pauses() const {
    nb::list out;
    for (const zarn::Pause& pause : scheduler_->pauses()) {
      nb::object ended = nb::none();
      if (pause.ended) ended = nb::float_(seconds_between(runner_->origin, *pause.ended));
      out.append(nb::make_tuple(seconds_between(runner_->origin, pause.begun), ended));
    }
    return out;
  }

  bool choose(std::size_t step, const std::string& choice) {
    zarn::FailureChoice chosen;
    if (choice == "retry") {
      chosen = zarn::FailureChoice::Retry;
    } else if (choice == "skip") {
      chosen = zarn::FailureChoice::Skip;
    } else if (choice == "stop") {
      chosen = zarn::FailureChoice::Stop;
    } else {
      throw nb::value_error(
          ("a failure's choice is 'retry', 'skip' or 'stop', not '" + choice + "'").c_str());
    }
    return scheduler_->choose(step, chosen);
  }

  // The action a retried step runs: a fresh copy of the one that failed.
  void replace_action(std::size_t step, nb::handle action) {
    if (step >= nb::len(runner_->actions)) throw nb::index_error("no such step");
    nb::object fresh = nb::borrow(action);
    if (PyList_SetItem(runner_->actions.ptr(), static_cast<Py_ssize_t>(step),
                       fresh.release().ptr()) != 0) {
      throw nb::python_error();
    }
  }

  long add_exception_part(std::size_t guard, nb::handle plan, nb::handle control) {
    const std::size_t before = nb::len(runner_->actions);
    auto [steps, guards] = reader_.read(plan, *runner_, control);
    long base;
    try {
      base = scheduler_->add_exception_part(guard, std::move(steps), std::move(guards));
    } catch (const zarn::PlanError& error) {
      drop_from(before);
      throw nb::value_error(error.what());
    }
    if (base < 0) drop_from(before);
    return base;
  }

  void exception_part_failed(std::size_t guard) { scheduler_->exception_part_failed(guard); }

  void stop(bool interrupted) {
    scheduler_->stop(interrupted ? zarn::StopReason::Interrupted : zarn::StopReason::Requested);
  }

  void abandon() { scheduler_->abandon_in_flight(); }

  void join() {
    if (!started_ || joined_) return;
    std::shared_ptr<RunScheduler> run = scheduler_;
    {
      nb::gil_scoped_release release;
      run->join();
    }
    joined_ = true;
  }

  double elapsed() const {
    if (!started_) return 0.0;
    return seconds_between(runner_->origin, scheduler_->now());
  }

  nb::list records() const {
    nb::list out;
    for (const zarn::StepRecord& record : scheduler_->records()) {
      auto at = [this](const std::optional<RunClock::time_point>& when) -> nb::object {
        if (!when) return nb::none();
        return nb::float_(seconds_between(runner_->origin, *when));
      };
      out.append(nb::make_tuple(status_name(record.status), record.timed_out, record.abandoned,
                                record.cancel_requested, index_or_none(record.guard),
                                index_or_none(record.part_of), at(record.started),
                                at(record.ended)));
    }
    return out;
  }

  nb::tuple record(std::size_t step) const {
    zarn::StepRecord record;
    try {
      record = scheduler_->record(step);
    } catch (const std::out_of_range& error) {
      throw nb::index_error(error.what());
    }
    return nb::make_tuple(status_name(record.status), record.timed_out, record.abandoned,
                          record.cancel_requested);
  }

  nb::list guards() const {
    nb::list out;
    for (const zarn::GuardRecord& guard : scheduler_->guard_records()) {
      auto at = [this](const std::optional<RunClock::time_point>& when) -> nb::object {
        if (!when) return nb::none();
        return nb::float_(seconds_between(runner_->origin, *when));
      };
      out.append(nb::make_tuple(index_or_none(guard.outer), index_or_none(guard.in_part),
                                guard.failed, guard.recovered, index_or_none(guard.first_failure),
                                index_or_none(guard.failed_part), zarn::to_string(guard.kind),
                                guard.not_taken, guard.timed_out, at(guard.started)));
    }
    return out;
  }

  nb::tuple guard_cause(std::size_t guard) const {
    auto [step, part] = scheduler_->guard_cause(guard);
    return nb::make_tuple(index_or_none(step), index_or_none(part));
  }

  std::shared_ptr<PyRunner> runner_;
  std::shared_ptr<RunScheduler> scheduler_;
  PlanReader reader_;
  bool started_ = false;
  bool joined_ = false;

 private:
  // Forgets steps read for an exception part that will not run.
  void drop_from(std::size_t count) {
    if (PyList_SetSlice(runner_->actions.ptr(), static_cast<Py_ssize_t>(count), PY_SSIZE_T_MAX,
                        nullptr) != 0 ||
        PyList_SetSlice(runner_->errors.ptr(), static_cast<Py_ssize_t>(count), PY_SSIZE_T_MAX,
                        nullptr) != 0) {
      throw nb::python_error();
    }
    runner_->kinds.resize(count);
    runner_->decides.resize(count);
    runner_->infos.resize(count);
  }
};

int run_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  if (!nb::inst_ready(self)) return 0;
  ZarnRun* run = nb::inst_ptr<ZarnRun>(self);
  PyRunner& runner = *run->runner_;
  for (PyObject* field : {runner.actions.ptr(), runner.errors.ptr(), runner.on_start.ptr(),
                          runner.on_finish.ptr(), run->reader_.limit_for.ptr()}) {
    Py_VISIT(field);
  }
  return 0;
}

int run_clear(PyObject* self) {
  if (!nb::inst_ready(self)) return 0;
  ZarnRun* run = nb::inst_ptr<ZarnRun>(self);
  PyRunner& runner = *run->runner_;
  // Readable fields stay: a worker may still come back from a step.
  runner.on_start = nb::none();
  runner.on_finish = nb::none();
  runner.actions = nb::list();
  runner.errors = nb::list();
  run->reader_.limit_for = nb::none();
  return 0;
}

PyType_Slot run_slots[] = {{Py_tp_traverse, reinterpret_cast<void*>(&run_traverse)},
                           {Py_tp_clear, reinterpret_cast<void*>(&run_clear)},
                           {0, nullptr}};

}  // namespace

NB_MODULE(_zarnexec, m) {
  m.doc() =
      "The run engine: runs a ZarnRunPlan's steps on a small pool of worker\n"
      "threads. Use Zarn.executor.Executor, which builds on it.";
  zarn::py::register_core_error_translator();
  zarn::py::init_waiting();
  nb::object states = nb::module_::import_("Zarn._zarnprimitives").attr("ZarnState");
  imports.not_executed = nb::object(states.attr("NotExecuted")).release().ptr();
  imports.error_state = nb::object(states.attr("Error")).release().ptr();
  imports.execute = PyUnicode_InternFromString("execute");
  imports.request = PyUnicode_InternFromString("request");
  imports.state = PyUnicode_InternFromString("state");
  imports.expected_seconds = PyUnicode_InternFromString("expected_seconds");
  imports.steps = PyUnicode_InternFromString("steps");
  imports.guards = PyUnicode_InternFromString("guards");
  imports.action = PyUnicode_InternFromString("action");
  imports.kind = PyUnicode_InternFromString("kind");
  imports.waits = PyUnicode_InternFromString("waits");
  imports.guard = PyUnicode_InternFromString("guard");
  imports.after = PyUnicode_InternFromString("after");
  imports.script_dep = PyUnicode_InternFromString("script_dep");
  imports.outer = PyUnicode_InternFromString("outer");
  imports.decision = PyUnicode_InternFromString("decision");
  const zarn::py::EngineImports& engine = zarn::py::engine();
  imports.step_type = reinterpret_cast<PyTypeObject*>(engine.run_step_type);
  imports.action_type = reinterpret_cast<PyTypeObject*>(engine.action_type);
  imports.base_state = _PyType_Lookup(imports.action_type, imports.state);
  Py_XINCREF(imports.base_state);

  // A worker left in a step given up on holds that step's objects for as
  // long as the step runs, maybe past the interpreter's end, where they would
  // be reported as leaked; they are left there on purpose.
  nb::module_::import_("atexit").attr("register")(nb::cpp_function([] {
    if (RunScheduler::stuck_workers_anywhere() > 0) nb::set_leak_warnings(false);
  }));

  using zarn::CommandGate;
  using zarn::CommandKind;
  nb::class_<CommandGate>(
      m, "CommandGate",
      "The one way out for a machine's commands: each passes while it is sent;\n"
      "a run's stop closes the gate, waits until nothing passes, then sends\n"
      "its stops. A closed gate lets only stops and conditions through (and\n"
      "outputs while outputs_through is on).")
      .def(nb::new_([] { return std::make_shared<CommandGate>(); }))
      .def(
          "enter",
          [](CommandGate& gate, const std::string& kind) {
            return gate.enter(command_kind_named(kind));
          },
          nb::arg("kind"),
          "Whether a command of `kind` (\"drive\", \"stop\", \"output\" or\n"
          "\"condition\") may be sent now; when True it passes until leave().")
      .def("leave", &CommandGate::leave)
      .def("close", &CommandGate::close, "From now on only stops and conditions pass.")
      .def_prop_ro("closed", &CommandGate::is_closed)
      .def(
          "wait_clear",
          [](std::shared_ptr<CommandGate> gate, std::optional<double> timeout) {
            return zarn::py::wait_in_slices(timeout, [&gate](std::chrono::nanoseconds slice) {
              return gate->wait_clear_until(std::chrono::steady_clock::now() + slice);
            });
          },
          nb::arg("timeout").none() = nb::none(),
          "Waits until no command is passing; False when `timeout` seconds\n"
          "passed first.")
      .def_prop_rw(
          "outputs_through", &CommandGate::outputs_let_through,
          [](CommandGate& gate, bool on) { gate.let_outputs_through(on); },
          "Set True to let outputs through the closed gate (a stop routine).")
      .def("reopen", &CommandGate::reopen,
           "Opens the gate for a new run; False while commands are passing.")
      .def_prop_ro("passing", &CommandGate::passing)
      .def_prop_ro("refused", &CommandGate::refused, "How many commands it has refused.")
      .def_static(
          "kind_of",
          [](int function_code) { return zarn::to_string(zarn::commands::kind_of(function_code)); },
          nb::arg("function_code"), "The kind of an action record by its function code.");

  nb::class_<ZarnRun>(m, "ZarnRun", nb::type_slots(run_slots),
                      "One run of a plan on the scheduler's workers (see Zarn.executor).")
      .def(nb::init<nb::handle, nb::object, std::size_t, std::size_t, double,
                    std::vector<std::shared_ptr<zarn::CommandGate>>, nb::handle, bool, nb::handle,
                    bool, double>(),
           nb::arg("plan"), nb::arg("limit_for"), nb::arg("workers") = 0,
           nb::arg("max_workers") = 16, nb::arg("cancel_grace") = 5.0,
           nb::arg("gates") = std::vector<std::shared_ptr<zarn::CommandGate>>{},
           nb::arg("control").none() = nb::none(), nb::arg("keep_going") = false,
           nb::arg("clock").none() = nb::none(), nb::arg("ask_on_failure") = false,
           nb::arg("time_scale") = 1.0,
           "Reads the plan's steps. `limit_for(kind)` gives, for each kind of\n"
           "action, (time limit in seconds or None, whether to add the action's\n"
           "own expected_seconds). `workers` 0 sizes the pool from the plan.\n"
           "`gates` are closed the moment the run decides to stop. `control`: the\n"
           "compile path's table of the plan's parts (ways, attempts, time limits),\n"
           "read instead of the plan's guards. With `keep_going` a failure ends only\n"
           "its own step. `clock`: the simulated clock of an in-process controller\n"
           "(its clock_handle()), for a run on simulated time. With `ask_on_failure` a\n"
           "failure outside every guarded part pauses the run for a choice (choose()).\n"
           "`time_scale`: machine seconds per second of the run (the actions' time\n"
           "limits are machine seconds).")
      .def("set_hooks", &ZarnRun::set_hooks, nb::arg("on_start").none(),
           nb::arg("on_finish").none(),
           "on_start(step, start) and on_finish(step, succeeded, start, end), called\n"
           "on the worker around each script action (not the group markers).")
      .def("start", &ZarnRun::start)
      .def("wait", &ZarnRun::wait, nb::arg("timeout").none() = nb::none(),
           "Blocks until there is something to attend to (take()) or `timeout`\n"
           "seconds have passed; returns whether there is. Ctrl-C interrupts it.")
      .def("take", &ZarnRun::take,
           "(timed_out steps, steps to cancel, failed guards, stopping, steps in flight\n"
           "to cancel, finished).")
      .def("add_exception_part", &ZarnRun::add_exception_part, nb::arg("guard"), nb::arg("plan"),
           nb::arg("control").none() = nb::none(),
           "Gives a failed guarded part its exception part (a ZarnRunPlan); returns\n"
           "the index of its first step, or -1 when it will not run.")
      .def("exception_part_failed", &ZarnRun::exception_part_failed, nb::arg("guard"))
      .def("stop", &ZarnRun::stop, nb::arg("interrupted"))
      .def("pause", &ZarnRun::pause,
           "Nothing new starts (a group's markers and the constructs' marks aside);\n"
           "what runs finishes. False when paused or over already.")
      .def("resume", &ZarnRun::resume, "Resumes a paused run; False when it is not paused.")
      .def("step", &ZarnRun::step_once,
           "Exactly one more step starts, the run paused before and after it.")
      .def_prop_ro("paused", &ZarnRun::paused)
      .def("pauses", &ZarnRun::pauses,
           "[(start, end or None)] of the run's pauses, in seconds from its start.")
      .def("choose", &ZarnRun::choose, nb::arg("step"), nb::arg("choice"),
           "Answers a failure held for a choice (take()'s last list): 'retry',\n"
           "'skip' or 'stop'. False when the step waits for none.")
      .def("replace_action", &ZarnRun::replace_action, nb::arg("step"), nb::arg("action"),
           "The action the step runs from now on (a fresh copy, for a retry).")
      .def("abandon", &ZarnRun::abandon, "Gives up on every step still in flight.")
      .def("join", &ZarnRun::join, "Waits for the workers to leave.")
      .def("elapsed", &ZarnRun::elapsed, "Seconds since the run started.")
      .def("records", &ZarnRun::records,
           "Per step: (status, timed_out, abandoned, cancel_requested, guard,\n"
           "part_of, start, end), times in seconds since the run started.")
      .def("record", &ZarnRun::record, nb::arg("step"),
           "(status, timed_out, abandoned, cancel_requested) of one step.")
      .def("guards", &ZarnRun::guards,
           "Per part: (outer, in_part, failed, recovered, first failed step, the\n"
           "part that failed it, kind, not taken, timed out, start).")
      .def("guard_cause", &ZarnRun::guard_cause, nb::arg("guard"),
           "(step, guarded part) that failed a guarded part; either may be None.")
      .def_prop_ro("actions", [](ZarnRun& self) { return self.runner_->actions; })
      .def_prop_ro("errors", [](ZarnRun& self) { return self.runner_->errors; })
      .def_prop_ro("kinds",
                   [](ZarnRun& self) {
                     nb::list out;
                     for (StepKind kind : self.runner_->kinds) {
                       out.append(kind == StepKind::Action ? "action"
                                  : kind == StepKind::Turn ? "turn"
                                                           : "marker");
                     }
                     return out;
                   })
      .def_prop_ro("workers", [](ZarnRun& self) { return self.scheduler_->worker_target(); })
      .def_prop_ro("threads_started",
                   [](ZarnRun& self) { return self.scheduler_->threads_started(); })
      .def_prop_ro("guard_count", [](ZarnRun& self) { return self.scheduler_->guard_count(); })
      .def_prop_ro("finished", [](ZarnRun& self) { return self.scheduler_->finished(); })
      .def_prop_ro("stop_reason",
                   [](ZarnRun& self) { return zarn::to_string(self.scheduler_->stop_reason()); })
      .def_prop_ro("fatal_step",
                   [](ZarnRun& self) { return index_or_none(self.scheduler_->fatal_step()); })
      .def_prop_ro("fatal_guard",
                   [](ZarnRun& self) { return index_or_none(self.scheduler_->fatal_guard()); });
}
