// Units of a drive: what a user writes (mm, mm/s, mm/s^2 on the example
// machine) against what the controller counts. The configuration's Params
// factors of the drive (DistanceFactor, SpeedFactor, AccelerationFactor) are
// controller units per user unit. The one home of the conversion: the
// client's commands and the simulated controller both convert here.
#pragma once

#include <cmath>

namespace zarn::units {

// A rate (velocity, acceleration, deceleration) of -1 is "not given": the
// drive's own default applies. It is never scaled.
inline constexpr double kRateNotGiven = -1;

// A user value in controller units, not rounded: the value times its factor.
// The simulated controller converts its own settings (travel, tolerance,
// default rates) so, and a position condition's numbers are converted so
// (the record truncates them).
inline double scaled(double user, double factor) { return user * factor; }

// What a command sends for a user value: scaled and truncated toward zero,
// so 2.5 counts go out as 2 and -2.5 as -2.
inline double to_controller(double user, double factor) { return std::trunc(user * factor); }

// Whether a rate is given, and so needs its factor.
inline bool rate_given(double user) { return user != kRateNotGiven; }

// The same for a rate, which stays -1 when it is not given (its factor is not
// looked at then: a drive without one still takes it).
inline double rate_to_controller(double user, double factor) {
  return rate_given(user) ? to_controller(user, factor) : kRateNotGiven;
}

// The inverse: controller units as a user value (a logged position in mm).
// The factor must not be 0.
inline double to_user(double counts, double factor) { return counts / factor; }

}  // namespace zarn::units
