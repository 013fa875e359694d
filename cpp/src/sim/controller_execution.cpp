// The simulated controller's execution of held records: a record waits for
// its dependencies, then runs: a drive command moves or changes its drive, an
// output is set, a condition starts to be watched; its end publishes its
// result.

#include <algorithm>
#include <cstdio>
#include <string>

#include "controller_parts.hpp"
#include "zarn/client/units.hpp"
#include "zarn/sim/controller.hpp"

namespace zarn::sim {
namespace {

// Counts as a log line shows them: whole counts without decimals.
std::string count_text(double counts) {
  char text[32];
  std::snprintf(text, sizeof text, "%.15g", counts);
  return text;
}

}  // namespace

void Controller::check(std::uint64_t serial) {
  const auto it = held_.find(serial);
  if (it == held_.end() || it->second.stage != Stage::WaitingDeps) return;
  Held& held = it->second;
  for (auto id = held.waiting_for.begin(); id != held.waiting_for.end();) {
    const auto done = done_.find(*id);
    if (done == done_.end()) {
      ++id;
      continue;
    }
    if (done->second.result != result::kOk) {
      // Nothing runs after a failed action; its failure is passed on.
      if (log_ != nullptr) log(held.cmd_id + " not run: its dependency " + *id + " failed");
      finish(serial, done->second.result);
      return;
    }
    id = held.waiting_for.erase(id);
  }
  if (!held.waiting_for.empty()) {
    if (!held.registered) {
      for (const std::string& id : held.waiting_for) waiters_[id].push_back(serial);
      held.registered = true;
    }
    arm_expiry(held);
    return;
  }
  if ((held.needs_festo && !festo_up_) || (held.needs_akribis && !akribis_up_)) {
    if (std::find(admin_waiters_.begin(), admin_waiters_.end(), serial) == admin_waiters_.end()) {
      admin_waiters_.push_back(serial);
    }
    arm_expiry(held);
    return;
  }
  start(held);
}

void Controller::start(Held& held) {
  held.start_seq = seq_;
  const std::uint64_t serial = held.serial;
  if (held.kind == Kind::Condition) {
    watch(held);
    return;
  }
  if (held.kind == Kind::IoSet) {
    set_output(held.module, held.args[0], held.args[2]);
    finish(serial, result::kOk);
    return;
  }
  Drive& drive = drives_[held.drive];
  switch (held.kind) {
    case Kind::Enable:
      drive.enabled = true;
      if (drive.motion == Motion::None && drive.state == state::kStop) {
        enter(drive, idle_state(drive));
      }
      finish(serial, result::kOk);
      return;
    case Kind::Disable:
      fail_drive_motions(drive, result::kAborted, true);
      if (drive.motion != Motion::None) {
        // A disabled servo holds no position control: it stops where it is.
        const double here = drive.profile.position(now_);
        drive.profile = Profile::standstill(now_, here);
        drive.motion = Motion::None;
        drive.still_since = now_;
        drive.last_motion_time = now_ - drive.motion_started;
      }
      drive.settling = false;
      drive.enabled = false;
      enter(drive, state::kStop);
      finish(serial, result::kOk);
      return;
    case Kind::Reset:
      drive.error = 0;
      dirty_.push_back(drive.config->morvo_id);  // for the error-state conditions
      if (drive.motion == Motion::None && drive.enabled && drive.state == state::kStop) {
        enter(drive, idle_state(drive));
      }
      finish(serial, result::kOk);
      return;
    case Kind::Stop:
      fail_drive_motions(drive, result::kAborted, false);
      if (drive.motion == Motion::Move || drive.motion == Motion::Home) {
        if (drive.running != 0) finish(drive.running, result::kAborted);
        drive.running = 0;
        drive.profile = Profile::braking(drive.profile, now_, drive.profile.deceleration());
        drive.motion = Motion::Braking;
        drive.in_first_phase = false;
      }
      drive.settling = false;
      enter(drive, state::kStop);
      finish(serial, result::kOk);
      return;
    default:
      break;
  }
  // Motion commands run one after the other on their drive.
  held.expires = kInfinity;
  if (drive.motion != Motion::None || !drive.queue.empty()) {
    held.stage = Stage::Queued;
    drive.queue.push_back(serial);
    return;
  }
  begin_motion(drive, held);
}

void Controller::begin_motion(Drive& drive, Held& held) {
  if (!drive.enabled) return fail_motion(drive, held, result::kDriveDisabled);
  if (held.kind == Kind::MoveAbs && !drive.homed) {
    return fail_motion(drive, held, result::kNotHomed);
  }
  const DriveConfig& config = *drive.config;
  const double from = drive.profile.position(now_);
  // A relative move's end is known only now, after the motions queued before it.
  long long target = held.args[0];
  if (held.kind == Kind::MoveRel) target += rounded(from);
  if (held.kind != Kind::Home) {
    if (target < std::numeric_limits<std::int32_t>::min() ||
        target > std::numeric_limits<std::int32_t>::max()) {
      return fail_motion(drive, held, result::kOutOfRange);
    }
    const double end = static_cast<double>(target);
    if (end < config.travel_min || end > config.travel_max) {
      if (log_ != nullptr) {
        log(held.cmd_id + " not run: its end " + std::to_string(target) +
            " lies outside the travel of drive " + std::to_string(config.morvo_id) + ", " +
            count_text(config.travel_min) + " to " + count_text(config.travel_max));
      }
      return fail_motion(drive, held, result::kOutsideTravel);
    }
  }
  const std::uint64_t serial = held.serial;
  held.stage = Stage::Running;
  held.start_seq = seq_;
  drive.running = serial;
  drive.motion_started = now_;
  drive.in_first_phase = true;
  drive.settling = false;
  if (held.kind == Kind::Home) {
    // Methods 35 and 37 take the present position as home without moving.
    const int method = held.args[0];
    const double duration = method == 35 || method == 37 ? 0.0 : machine_.settings.homing_time;
    drive.profile = Profile::timed(now_, from, 0.0, duration);
    drive.motion = Motion::Home;
    enter(drive, state::kStartHoming);
    return;
  }
  const auto rate = [](std::int32_t given, double fallback) {
    return units::rate_given(given) ? static_cast<double>(given) : fallback;
  };
  drive.profile = Profile::trapezoid(now_, from, static_cast<double>(target),
                                     rate(held.args[1], config.default_velocity),
                                     rate(held.args[2], config.default_acceleration),
                                     rate(held.args[3], config.default_deceleration));
  drive.motion = Motion::Move;
  enter(drive, state::kStartMoving);
}

// A motion that cannot begin leaves the drive as it was, but for its error
// state, which the error-state conditions must hear of.
void Controller::fail_motion(Drive& drive, const Held& held, int result) {
  drive.error = -result;
  dirty_.push_back(drive.config->morvo_id);
  finish(held.serial, result);
}

void Controller::fail_drive_motions(Drive& drive, int result, bool include_running) {
  std::deque<std::uint64_t> queued;
  queued.swap(drive.queue);
  for (std::uint64_t serial : queued) finish(serial, result);
  if (include_running && drive.running != 0) {
    const std::uint64_t running = drive.running;
    drive.running = 0;
    finish(running, result);
  }
}

void Controller::drive_events(Drive& drive, double now) {
  for (;;) {
    if (drive.motion == Motion::None) {
      if (drive.settling && drive.still_since + machine_.settings.settle_time <= now) {
        drive.settling = false;
        enter(drive, idle_state(drive));
      }
      return;
    }
    if (drive.in_first_phase && drive.profile.acceleration_end() <= now) {
      drive.in_first_phase = false;
      if (drive.motion != Motion::Braking) {
        enter(drive, drive.motion == Motion::Home ? state::kHoming : state::kMoving);
      }
    }
    if (drive.profile.end_time() > now) return;
    end_motion(drive);
    if (drive.motion == Motion::None && drive.settling &&
        drive.still_since + machine_.settings.settle_time > now) {
      return;
    }
  }
}

void Controller::end_motion(Drive& drive) {
  const Motion motion = drive.motion;
  const double end = drive.profile.end_time();
  drive.profile =
      Profile::standstill(end, motion == Motion::Home ? 0.0 : drive.profile.end_position());
  drive.motion = Motion::None;
  drive.in_first_phase = false;
  drive.still_since = end;
  drive.last_motion_time = end - drive.motion_started;
  const std::uint64_t running = drive.running;
  drive.running = 0;
  if (motion == Motion::Home) {
    drive.homed = true;
    enter(drive, state::kEndHoming);
    drive.settling = true;
  } else if (motion == Motion::Move) {
    enter(drive, state::kEndMoving);
    drive.settling = true;
  } else {
    // Braking ends in the STOP state it began in, so no state change
    // announces it; the conditions on standing still must hear of it.
    dirty_.push_back(drive.config->morvo_id);
  }
  if (running != 0) finish(running, result::kOk);
  while (drive.motion == Motion::None && !drive.queue.empty()) {
    const std::uint64_t next = drive.queue.front();
    drive.queue.pop_front();
    const auto it = held_.find(next);
    if (it != held_.end()) begin_motion(drive, it->second);
  }
}

void Controller::enter(Drive& drive, int new_state) {
  drive.entered[static_cast<std::size_t>(new_state + 2)] = ++seq_;
  drive.state = new_state;
  dirty_.push_back(drive.config->morvo_id);
}

void Controller::finish(std::uint64_t serial, int result) {
  const auto it = held_.find(serial);
  if (it == held_.end()) return;
  Held held = std::move(it->second);
  held_.erase(it);
  if (held.stage == Stage::WaitingDeps) forget_waiter(held);
  if (held.stage == Stage::Watching) {
    const int key = watch_key(held);
    auto& list = watchers_[key];
    list.erase(std::remove(list.begin(), list.end(), serial), list.end());
    if (list.empty()) watchers_.erase(key);
  }
  set_result(held.record, result);
  if (log_ != nullptr) {
    log("published " + held.cmd_id + " result " + std::to_string(result) +
        (result == result::kOk ? "" : std::string(" (") + result_text(result) + ")"));
  }
  outbox_.push_back({held.cmd_id, std::move(held.record)});
  ++stats_.published;
  // An action that never ran counts as begun when it was given up.
  if (held.stage == Stage::WaitingDeps) held.start_seq = seq_;
  remember(held.cmd_id, {result, held.start_seq, serial});
  if (const auto waiting = waiters_.find(held.cmd_id); waiting != waiters_.end()) {
    std::vector<std::uint64_t> serials = std::move(waiting->second);
    waiters_.erase(waiting);
    for (std::uint64_t s : serials) to_check_.push_back(s);
  }
}

void Controller::remember(const std::string& cmd_id, const Done& done) {
  done_[cmd_id] = done;
  done_order_.emplace_back(cmd_id, done.serial);
  while (done_order_.size() > history_limit_) {
    const auto& [id, serial] = done_order_.front();
    const auto it = done_.find(id);
    if (it != done_.end() && it->second.serial == serial) done_.erase(it);
    done_order_.pop_front();
  }
}

void Controller::forget_waiter(const Held& held) {
  for (const std::string& id : held.waiting_for) {
    const auto it = waiters_.find(id);
    if (it == waiters_.end()) continue;
    auto& list = it->second;
    list.erase(std::remove(list.begin(), list.end(), held.serial), list.end());
    if (list.empty()) waiters_.erase(it);
  }
  admin_waiters_.erase(std::remove(admin_waiters_.begin(), admin_waiters_.end(), held.serial),
                       admin_waiters_.end());
}

}  // namespace zarn::sim
