// What the units of the simulated controller (controller.cpp, its requests
// and its devices) share: constants and the codes of conditions. Private to
// the controller.
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>

#include "zarn/client/records.hpp"

namespace zarn::sim {

namespace rec = zarn::records;

constexpr double kInfinity = std::numeric_limits<double>::infinity();
// Wake-ups are never scheduled closer than this, so that rounding in a
// computed crossing time cannot make the event loop spin on one instant.
constexpr double kMinimumStep = 1e-6;
constexpr int kConditionTypes = 7;  // slave status .. static time

enum Comparison { kGreater = 0, kEqual = 1, kNear = 2, kLess = 3 };
enum Signal { kDigital = 0, kAnalogGreater = 1, kAnalogEqual = 2, kAnalogLess = 3 };
enum ConditionType {
  kSlaveStatus = 0,
  kErrorState = 1,
  kPosition = 2,
  kOutput = 3,
  kInput = 4,
  kThermal = 5,
  kStaticTime = 6,
  kFestoUp = rec::kAdminFestoState,
  kAkribisUp = rec::kAdminAkribisState,
};

// The position a drive reports: rounded to the nearest count, halves up.
inline long long rounded(double position) {
  return static_cast<long long>(std::floor(position + 0.5));
}

}  // namespace zarn::sim
