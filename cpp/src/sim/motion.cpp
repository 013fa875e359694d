#include "zarn/sim/motion.hpp"

#include <algorithm>
#include <cmath>

namespace zarn::sim {

Profile Profile::standstill(double time, double position) {
  Profile p;
  p.start_ = p.end_ = time;
  p.start_position_ = p.end_position_ = position;
  return p;
}

void Profile::add(double duration, double v0, double a) {
  if (duration <= 0.0) return;
  const double p0 =
      segments_.empty()
          ? start_position_
          : segments_.back().p0 + segments_.back().v0 * segments_.back().duration +
                0.5 * segments_.back().a * segments_.back().duration * segments_.back().duration;
  const double start =
      segments_.empty() ? start_ : segments_.back().start + segments_.back().duration;
  segments_.push_back({start, duration, p0, v0, a});
  end_ = start + duration;
}

Profile Profile::trapezoid(double start, double from, double to, double velocity,
                           double acceleration, double deceleration) {
  Profile p = standstill(start, from);
  p.end_position_ = to;
  p.deceleration_ = deceleration;
  const double distance = std::fabs(to - from);
  if (distance == 0.0) return p;
  const double dir = to > from ? 1.0 : -1.0;
  double peak = velocity;
  double accelerating_distance = peak * peak / (2.0 * acceleration);
  double decelerating_distance = peak * peak / (2.0 * deceleration);
  if (accelerating_distance + decelerating_distance > distance) {
    // Triangle: the peak velocity where the two ramps meet.
    peak = std::sqrt(2.0 * distance * acceleration * deceleration / (acceleration + deceleration));
    accelerating_distance = peak * peak / (2.0 * acceleration);
    decelerating_distance = peak * peak / (2.0 * deceleration);
  }
  const double cruise = std::max(0.0, distance - accelerating_distance - decelerating_distance);
  p.peak_velocity_ = peak;
  p.add(peak / acceleration, 0.0, dir * acceleration);
  p.add(cruise / peak, dir * peak, 0.0);
  p.add(peak / deceleration, dir * peak, -dir * deceleration);
  return p;
}

Profile Profile::timed(double start, double from, double to, double duration) {
  Profile p = standstill(start, from);
  p.end_position_ = to;
  if (duration <= 0.0) return p;
  const double ramp = duration / 5.0;
  const double distance = to - from;
  // distance = peak * (cruise + ramp) with cruise = 3 ramps
  const double peak = distance / (4.0 * ramp);
  p.peak_velocity_ = std::fabs(peak);
  p.deceleration_ = std::fabs(peak / ramp);
  p.add(ramp, 0.0, peak / ramp);
  p.add(3.0 * ramp, peak, 0.0);
  p.add(ramp, peak, -peak / ramp);
  // A zero distance still takes its time: the axis searches and comes back.
  p.end_ = start + duration;
  return p;
}

Profile Profile::braking(const Profile& running, double now, double deceleration) {
  const double here = running.position(now);
  const double v = running.velocity(now);
  Profile p = standstill(now, here);
  p.deceleration_ = deceleration;
  if (v == 0.0 || deceleration <= 0.0) return p;
  const double dir = v > 0 ? 1.0 : -1.0;
  const double t = std::fabs(v) / deceleration;
  p.peak_velocity_ = std::fabs(v);
  p.add(t, v, -dir * deceleration);
  p.end_position_ = here + v * t / 2.0;
  return p;
}

double Profile::position(double time) const {
  if (time >= end_) return end_position_;
  if (time <= start_ || segments_.empty()) return start_position_;
  for (const Segment& s : segments_) {
    if (time < s.start + s.duration) {
      const double t = time - s.start;
      return s.p0 + s.v0 * t + 0.5 * s.a * t * t;
    }
  }
  return end_position_;
}

double Profile::velocity(double time) const {
  if (time >= end_ || time < start_) return 0.0;
  for (const Segment& s : segments_) {
    if (time < s.start + s.duration) return s.v0 + s.a * (time - s.start);
  }
  return 0.0;
}

double Profile::acceleration_end() const {
  if (segments_.empty() || segments_.front().v0 != 0.0) return start_;
  return segments_.front().start + segments_.front().duration;
}

std::optional<double> Profile::first_time_within(double lo, double hi, double from) const {
  const auto inside = [&](double position) { return position >= lo && position < hi; };
  from = std::max(from, start_);
  if (inside(position(from))) return from;
  if (from >= end_ || lo >= hi) return std::nullopt;
  const bool rising = end_position_ > position(from);
  // Monotonic motion: the interval is entered at most once, through lo when
  // rising and through hi when falling.
  const auto reached = [&](double t) {
    const double x = position(t);
    return rising ? x >= lo : x < hi;
  };
  if (!reached(end_)) return std::nullopt;
  double a = from;
  double b = end_;
  for (int i = 0; i < 64 && b - a > 1e-12; ++i) {
    const double mid = 0.5 * (a + b);
    (reached(mid) ? b : a) = mid;
  }
  if (!inside(position(b))) return std::nullopt;
  return b;
}

}  // namespace zarn::sim
