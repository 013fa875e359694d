// The simulated controller's IO image (outputs, and inputs that follow them
// along the wiring) and the conditions it watches on drives and IO.

#include <algorithm>
#include <cmath>

#include "controller_parts.hpp"
#include "zarn/sim/controller.hpp"

namespace zarn::sim {
namespace {

constexpr std::size_t kWirePendingLimit = 1024;

}  // namespace

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
