// The simulated controller (zarn/sim/controller.hpp) at its core: held
// records run as their dependencies allow (drive motions, outputs), the IO
// image follows outputs along the wiring, and conditions watch drives and IO,
// as simulated time passes. The requests it answers are taken in by
// controller_requests.cpp; the devices it finds by their ids and how it
// describes them are in controller_devices.cpp.

#include "zarn/sim/controller.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "controller_parts.hpp"
#include "zarn/client/units.hpp"

namespace zarn::sim {
namespace {

constexpr std::size_t kWirePendingLimit = 1024;

// Counts as a log line shows them: whole counts without decimals.
std::string count_text(double counts) {
  char text[32];
  std::snprintf(text, sizeof text, "%.15g", counts);
  return text;
}

}  // namespace

Controller::Controller(const MachineConfig& machine, double start)
    : machine_(machine), start_(start), now_(start) {
  drives_.resize(machine_.drives.size());
  for (std::size_t i = 0; i < drives_.size(); ++i) {
    Drive& drive = drives_[i];
    drive.config = &machine_.drives[i];
    drive.profile = Profile::standstill(start, 0.0);
    drive.still_since = start;
    drive.entered[state::kNeedHoming + 2] = ++seq_;
  }
  input_image_.assign(static_cast<std::size_t>(machine_.input_image_bytes), 0);
  output_image_.assign(static_cast<std::size_t>(machine_.output_image_bytes), 0);
  for (const Wire& wire : machine_.settings.wiring) {
    wires_.push_back({&wire, {}});
    // Outputs start off, so an inverted wire's input starts on: a sensor
    // that reports the valve's rest position must read so from the start,
    // or a script waiting for it would wait for ever.
    if (wire.invert) set_input_bit(module_of(wire.to_device), wire.to_pin, 1);
  }
  dirty_.clear();  // nothing watches yet
  festo_up_ = machine_.settings.festo_startup_delay <= 0.0;
  akribis_up_ = machine_.settings.akribis_startup_delay <= 0.0;
}

// ---------------------------------------------------------------------------
// Time
// ---------------------------------------------------------------------------

std::optional<double> Controller::next_event() const {
  double next = kInfinity;
  const double settle_time = machine_.settings.settle_time;
  for (const Drive& drive : drives_) {
    if (drive.motion != Motion::None) {
      if (drive.in_first_phase) next = std::min(next, drive.profile.acceleration_end());
      next = std::min(next, drive.profile.end_time());
    } else if (drive.settling) {
      next = std::min(next, drive.still_since + settle_time);
    }
  }
  for (const WireState& wire : wires_) {
    if (!wire.pending.empty()) next = std::min(next, wire.pending.front().first);
  }
  if (!festo_up_) next = std::min(next, start_ + machine_.settings.festo_startup_delay);
  if (!akribis_up_) next = std::min(next, start_ + machine_.settings.akribis_startup_delay);
  // A superseded wake-up (its record finished, or woken for another time)
  // is no event: left on top, it would make an estimate wait for nothing.
  while (!wakes_.empty() && !wake_is_live(wakes_.top())) wakes_.pop();
  if (!wakes_.empty()) next = std::min(next, wakes_.top().time);
  if (next == kInfinity) return std::nullopt;
  return next;
}

bool Controller::wake_is_live(const Wake& wake) const {
  const auto it = held_.find(wake.serial);
  if (it == held_.end()) return false;
  const Held& held = it->second;
  if (wake.expiry) {
    return held.expires == wake.time &&
           (held.stage == Stage::WaitingDeps || held.stage == Stage::Watching);
  }
  return held.stage == Stage::Watching && held.next_wake == wake.time;
}

void Controller::advance(double now) { run_until(now); }

void Controller::run_until(double now) {
  settle();
  for (;;) {
    const std::optional<double> next = next_event();
    if (!next || *next > now) break;
    now_ = std::max(now_, *next);

    for (Drive& drive : drives_) drive_events(drive, now_);
    for (WireState& wire : wires_) {
      while (!wire.pending.empty() && wire.pending.front().first <= now_) {
        set_input_bit(module_of(wire.wire->to_device), wire.wire->to_pin,
                      wire.pending.front().second);
        wire.pending.pop_front();
      }
    }
    const Family families[] = {Family::Festo, Family::Akribis};
    for (Family family : families) {
      bool& up = family == Family::Festo ? festo_up_ : akribis_up_;
      const double delay = family == Family::Festo ? machine_.settings.festo_startup_delay
                                                   : machine_.settings.akribis_startup_delay;
      if (!up && start_ + delay <= now_) {
        up = true;
        log(std::string(family_name(family)) + " drives are up");
        for (std::uint64_t serial : admin_waiters_) to_check_.push_back(serial);
        dirty_.push_back(family == Family::Festo ? -kFestoUp : -kAkribisUp);  // see watch_key
      }
    }
    if (festo_up_ && akribis_up_) admin_waiters_.clear();
    while (!wakes_.empty() && wakes_.top().time <= now_) {
      const Wake wake = wakes_.top();
      wakes_.pop();
      const auto it = held_.find(wake.serial);
      if (it == held_.end()) continue;
      Held& held = it->second;
      if (wake.expiry) {
        if (held.expires <= now_ &&
            (held.stage == Stage::WaitingDeps || held.stage == Stage::Watching)) {
          finish(wake.serial, result::kExpired);
        }
      } else if (held.stage == Stage::Watching && held.next_wake == wake.time) {
        held.next_wake = kInfinity;
        if (evaluate(held)) finish(wake.serial, result::kOk);
      }
    }
    settle();
  }
  now_ = std::max(now_, now);
  settle();
}

void Controller::settle() {
  while (!to_check_.empty() || !dirty_.empty()) {
    while (!to_check_.empty()) {
      const std::uint64_t serial = to_check_.front();
      to_check_.pop_front();
      check(serial);
    }
    if (!dirty_.empty()) {
      std::vector<int> devices;
      devices.swap(dirty_);
      std::sort(devices.begin(), devices.end());
      devices.erase(std::unique(devices.begin(), devices.end()), devices.end());
      for (int device : devices) evaluate_device(device);
    }
  }
}

// ---------------------------------------------------------------------------
// Dependencies and execution
// ---------------------------------------------------------------------------

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

// ---------------------------------------------------------------------------
// IO
// ---------------------------------------------------------------------------

void Controller::set_output(int module, int pin, int value) {
  const IoModuleConfig& m = machine_.io_modules[module];
  std::uint8_t& byte = output_image_[static_cast<std::size_t>(m.output_start + pin / 8)];
  const auto mask = static_cast<std::uint8_t>(1u << (pin % 8));
  const bool was = (byte & mask) != 0;
  if (was == (value != 0)) return;
  byte = static_cast<std::uint8_t>(value != 0 ? byte | mask : byte & ~mask);
  dirty_.push_back(m.morvo_id);
  for (WireState& wire : wires_) {
    if (wire.wire->from_device != m.morvo_id || wire.wire->from_pin != pin) continue;
    if (wire.pending.size() >= kWirePendingLimit) {
      // Bounded: the oldest change lands at once rather than being lost.
      set_input_bit(module_of(wire.wire->to_device), wire.wire->to_pin,
                    wire.pending.front().second);
      wire.pending.pop_front();
    }
    const int follows = (value != 0) != wire.wire->invert ? 1 : 0;
    wire.pending.emplace_back(now_ + wire.wire->delay, follows);
  }
}

void Controller::set_input_bit(int module, int pin, int value) {
  const IoModuleConfig& m = machine_.io_modules[module];
  std::uint8_t& byte = input_image_[static_cast<std::size_t>(m.input_start + pin / 8)];
  const auto mask = static_cast<std::uint8_t>(1u << (pin % 8));
  const auto updated = static_cast<std::uint8_t>(value != 0 ? byte | mask : byte & ~mask);
  if (updated == byte) return;
  byte = updated;
  dirty_.push_back(m.morvo_id);
}

// ---------------------------------------------------------------------------
// Conditions
// ---------------------------------------------------------------------------

int Controller::watch_key(const Held& held) const {
  // Conditions are listed under their device's MorvoID; those on a drive
  // family's start-up under minus the administration code.
  if (held.condition_type >= kFestoUp) return -held.condition_type;
  return held.drive >= 0 ? drives_[held.drive].config->morvo_id
                         : machine_.io_modules[held.module].morvo_id;
}

void Controller::watch(Held& held) {
  held.stage = Stage::Watching;
  // A state counts when it was entered after the actions this condition
  // waited for began, so a short move's START_MOVING is not missed; with no
  // such action, only from now on.
  held.reference_seq = seq_;
  if (!held.dependency_ids.empty()) {
    std::uint64_t latest = 0;
    for (const std::string& id : held.dependency_ids) {
      const auto done = done_.find(id);
      if (done != done_.end()) latest = std::max(latest, done->second.start_seq);
    }
    held.reference_seq = latest;
  }
  const int key = watch_key(held);
  watchers_[key].push_back(held.serial);
  if (evaluate(held)) {
    finish(held.serial, result::kOk);
    return;
  }
  arm_expiry(held);
}

void Controller::evaluate_device(int morvo_id) {
  const auto it = watchers_.find(morvo_id);
  if (it == watchers_.end()) return;
  const std::vector<std::uint64_t> serials = it->second;
  for (std::uint64_t serial : serials) {
    const auto held = held_.find(serial);
    if (held == held_.end() || held->second.stage != Stage::Watching) continue;
    if (evaluate(held->second)) finish(serial, result::kOk);
  }
}

bool Controller::evaluate(Held& held) {
  const auto& a = held.args;
  switch (held.condition_type) {
    case kFestoUp:
      return festo_up_;
    case kAkribisUp:
      return akribis_up_;
    case kSlaveStatus: {
      if (held.drive < 0) return a[0] == state::kNotMotor;
      const Drive& drive = drives_[held.drive];
      return drive.state == a[0] ||
             drive.entered[static_cast<std::size_t>(a[0] + 2)] > held.reference_seq;
    }
    case kErrorState: {
      const int error = held.drive >= 0 ? drives_[held.drive].error : 0;
      return a[0] == -1 ? error != 0 : error == a[0];
    }
    case kPosition: {
      const Drive& drive = drives_[held.drive];
      // Comparisons of the reported (rounded) position, as intervals of the
      // exact one.
      const double x = a[1];
      double lo = -kInfinity;
      double hi = kInfinity;
      if (a[0] == kGreater) {
        lo = x + 0.5;
      } else if (a[0] == kLess) {
        hi = x - 0.5;
      } else {
        const double tolerance =
            a[0] == kEqual ? 0.0
                           : (a[2] == -1 ? std::floor(drive.config->position_tolerance) : a[2]);
        lo = x - tolerance - 0.5;
        hi = x + tolerance + 0.5;
      }
      const double here = drive.profile.position(now_);
      if (here >= lo && here < hi) return true;
      if (drive.motion != Motion::None) {
        if (const auto when = drive.profile.first_time_within(lo, hi, now_)) {
          schedule_wake(held, *when);
        }
      }
      return false;
    }
    case kOutput:
    case kInput: {
      const IoModuleConfig& m = machine_.io_modules[held.module];
      const bool output = held.condition_type == kOutput;
      const auto& image = output ? output_image_ : input_image_;
      const int start = output ? m.output_start : m.input_start;
      if (a[0] == kDigital) {
        const int bit = (image[static_cast<std::size_t>(start + a[1] / 8)] >> (a[1] % 8)) & 1;
        return bit == (a[2] == -1 ? 1 : a[2]);
      }
      const std::size_t at = static_cast<std::size_t>(start + a[1] * 2);
      const int word = image[at] | (image[at + 1] << 8);
      if (a[0] == kAnalogGreater) return word > a[2];
      if (a[0] == kAnalogEqual) return word == a[2];
      return word < a[2];
    }
    case kThermal: {
      const double t = machine_.settings.temperature;
      if (a[0] == kAnalogGreater) return t > a[1];
      if (a[0] == kAnalogEqual) return rounded(t) == a[1];
      return t < a[1];
    }
    case kStaticTime: {
      const Drive& drive = drives_[held.drive];
      if (drive.motion != Motion::None) return false;
      const double needed = a[0] == -1 ? machine_.settings.settle_time : a[0] / 1000.0;
      if (now_ - drive.still_since >= needed) return true;
      schedule_wake(held, drive.still_since + needed);
      return false;
    }
    default:
      return false;
  }
}

void Controller::schedule_wake(Held& held, double time) {
  time = std::max(time, now_ + kMinimumStep);
  if (time == held.next_wake) return;
  held.next_wake = time;
  wakes_.push({time, held.serial, false});
  compact_wakes();
}

void Controller::arm_expiry(Held& held) {
  // Only records that really wait get a timer: one per record taken would
  // fill the heap for a whole hold timeout under a steady stream of records.
  if (held.expiry_armed || held.expires == kInfinity) return;
  held.expiry_armed = true;
  wakes_.push({held.expires, held.serial, true});
  compact_wakes();
}

void Controller::compact_wakes() {
  // Superseded wake-ups stay in the heap until their time; rebuild it when
  // they would outgrow what is held.
  if (wakes_.size() <= 4 * held_.size() + 1024) return;
  std::priority_queue<Wake, std::vector<Wake>, std::greater<Wake>> fresh;
  for (const auto& [serial, held] : held_) {
    if (held.stage == Stage::Watching && held.next_wake != kInfinity) {
      fresh.push({held.next_wake, serial, false});
    }
    if (held.expiry_armed && held.expires != kInfinity &&
        (held.stage == Stage::WaitingDeps || held.stage == Stage::Watching)) {
      fresh.push({held.expires, serial, true});
    }
  }
  wakes_.swap(fresh);
}

}  // namespace zarn::sim
