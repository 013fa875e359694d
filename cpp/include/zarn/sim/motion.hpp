// Motion of one simulated axis: a sequence of constant-acceleration segments
// in controller units (counts, counts/s, counts/s^2) against simulated time in
// seconds. Every profile made here moves in one direction only, which lets a
// position threshold be found by bisection.
#pragma once

#include <optional>
#include <vector>

namespace zarn::sim {

class Profile {
 public:
  // Standing still at `position` from `time` on.
  static Profile standstill(double time, double position);

  // A move from `from` to `to` with the trapezoidal velocity profile of
  // cruise velocity `velocity`, `acceleration` and `deceleration` (all above
  // zero, as magnitudes). When the distance is too short to reach the cruise
  // velocity the profile is a triangle.
  static Profile trapezoid(double start, double from, double to, double velocity,
                           double acceleration, double deceleration);

  // A move from `from` to `to` that takes exactly `duration` seconds: a fifth
  // of the time accelerating, three fifths cruising, a fifth decelerating.
  static Profile timed(double start, double from, double to, double duration);

  // From the state of `running` at `now`, decelerating to a standstill with
  // `deceleration`.
  static Profile braking(const Profile& running, double now, double deceleration);

  double position(double time) const;
  double velocity(double time) const;
  double end_time() const { return end_; }
  double end_position() const { return end_position_; }
  // When the first (accelerating) segment ends; the start time when there is
  // none.
  double acceleration_end() const;
  // The velocity the profile was planned with (its peak).
  double peak_velocity() const { return peak_velocity_; }
  double deceleration() const { return deceleration_; }

  // The earliest time at or after `from` at which lo <= position < hi, or
  // nullopt when the position never enters that interval again.
  std::optional<double> first_time_within(double lo, double hi, double from) const;

 private:
  struct Segment {
    double start;
    double duration;
    double p0;
    double v0;
    double a;
  };

  void add(double duration, double v0, double a);

  std::vector<Segment> segments_;
  double start_ = 0.0;
  double end_ = 0.0;
  double start_position_ = 0.0;
  double end_position_ = 0.0;
  double peak_velocity_ = 0.0;
  double deceleration_ = 0.0;
};

}  // namespace zarn::sim
