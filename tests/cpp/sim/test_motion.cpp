#include <gtest/gtest.h>

#include "zarn/sim/motion.hpp"

using zarn::sim::Profile;

TEST(Profile, TrapezoidTakesDistanceOverVelocityPlusOneRampTime) {
  // 20 mm at 25 mm/s with 250 mm/s^2, in counts of 1 um.
  const Profile p = Profile::trapezoid(2.0, 0.0, 20000.0, 25000.0, 250000.0, 250000.0);
  EXPECT_NEAR(p.end_time(), 2.9, 1e-9);
  EXPECT_NEAR(p.acceleration_end(), 2.1, 1e-9);
  EXPECT_DOUBLE_EQ(p.position(1.0), 0.0);
  EXPECT_NEAR(p.position(2.1), 1250.0, 1e-6);  // v^2 / 2a
  EXPECT_NEAR(p.velocity(2.5), 25000.0, 1e-6);
  EXPECT_NEAR(p.position(2.5), 11250.0, 1e-6);
  EXPECT_DOUBLE_EQ(p.position(2.9), 20000.0);
  EXPECT_DOUBLE_EQ(p.position(10.0), 20000.0);
  EXPECT_DOUBLE_EQ(p.velocity(3.0), 0.0);
}

TEST(Profile, ShortMovesBecomeTrianglesAndRunBackwardsToo) {
  // Too short to reach the cruise velocity: peak sqrt(2 d a d' / (a + d')).
  const Profile p = Profile::trapezoid(0.0, 1000.0, 0.0, 1e6, 1000.0, 4000.0);
  EXPECT_NEAR(p.peak_velocity(), 1264.911064, 1e-5);
  EXPECT_NEAR(p.end_time(), 1264.911064 / 1000.0 + 1264.911064 / 4000.0, 1e-9);
  EXPECT_LT(p.velocity(0.5), 0.0);
  EXPECT_DOUBLE_EQ(p.end_position(), 0.0);
  for (double t = 0.0; t < p.end_time(); t += 0.01) {
    EXPECT_GE(p.position(t), p.position(t + 0.01) - 1e-9) << "not monotonic at " << t;
  }
}

TEST(Profile, ThresholdCrossingsAreFoundOnTheWayOnly) {
  const Profile p = Profile::trapezoid(0.0, 0.0, 20000.0, 25000.0, 250000.0, 250000.0);
  const auto at = p.first_time_within(10000.0, 1e18, 0.0);
  ASSERT_TRUE(at.has_value());
  EXPECT_NEAR(p.position(*at), 10000.0, 1e-3);
  EXPECT_GT(*at, 0.1);
  // Already inside: now.
  EXPECT_DOUBLE_EQ(*p.first_time_within(-1e18, 5.0, 0.0), 0.0);
  // Beyond the target, and behind the axis: never.
  EXPECT_FALSE(p.first_time_within(30000.0, 1e18, 0.0).has_value());
  EXPECT_FALSE(p.first_time_within(-1e18, 100.0, 0.5).has_value());
  // An interval passed over before `from` is not entered again.
  EXPECT_FALSE(p.first_time_within(100.0, 200.0, 0.5).has_value());
}

TEST(Profile, BrakingAndTimedMoves) {
  const Profile run = Profile::trapezoid(0.0, 0.0, 20000.0, 25000.0, 250000.0, 250000.0);
  const Profile stop = Profile::braking(run, 0.5, 250000.0);
  EXPECT_NEAR(stop.position(0.5), run.position(0.5), 1e-9);
  EXPECT_NEAR(stop.end_time(), 0.6, 1e-9);
  EXPECT_NEAR(stop.end_position(), run.position(0.5) + 1250.0, 1e-6);
  EXPECT_DOUBLE_EQ(Profile::braking(stop, 0.7, 1.0).end_time(), 0.7);  // already still

  const Profile home = Profile::timed(1.0, 5000.0, 0.0, 0.5);
  EXPECT_DOUBLE_EQ(home.end_time(), 1.5);
  EXPECT_NEAR(home.acceleration_end(), 1.1, 1e-9);
  EXPECT_NEAR(home.position(1.25), 2500.0, 1e-6);
  EXPECT_DOUBLE_EQ(home.position(1.5), 0.0);
  // Homing where the axis already is still takes its time.
  EXPECT_DOUBLE_EQ(Profile::timed(0.0, 0.0, 0.0, 0.5).end_time(), 0.5);
}
