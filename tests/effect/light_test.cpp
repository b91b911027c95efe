#include "effect/light.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

void expect_direction(double angle, double forward, float x, float y, float z) {
  const brel::Vector_3<float> d = brel::direct_light_direction(angle, forward);
  // Exact: the angles are narrowed once and everything after is single precision.
  EXPECT_EQ(d.x, x) << angle << " " << forward;
  EXPECT_EQ(d.y, y) << angle << " " << forward;
  EXPECT_EQ(d.z, z) << angle << " " << forward;
}

TEST(Direct_Light_Direction, DefaultsPointDownAndToTheLowerRight) {
  expect_direction(135.0, 0.5, 0x1.5b2422p-2f, -0x1.5b2422p-2f, -0x1.c15282p-1f);
}

TEST(Direct_Light_Direction, ForwardAngleOfHalfPiLiesInTheImagePlane) {
  expect_direction(0.0, 1.5707963267948966, 0.0f, 1.0f, 0.0f);
  // 90 degrees narrowed to float is slightly above pi / 2, so its cosine is not 0.
  expect_direction(90.0, 1.5707963267948966, 1.0f, -0x1.777a5cp-25f, 0.0f);
}

TEST(Direct_Light_Direction, ForwardAngleZeroPointsStraightIntoTheImage) {
  const brel::Vector_3<float> d = brel::direct_light_direction(0.0, 0.0);
  EXPECT_EQ(d.x, 0.0f);
  EXPECT_TRUE(std::signbit(d.x));  // 0 times a negative cosine
  EXPECT_EQ(d.y, -0x1.777a5cp-25f);
  EXPECT_EQ(d.z, -1.0f);
}

TEST(Direct_Light_Direction, OtherAnglesInSinglePrecision) {
  expect_direction(-45.0, 1.0, -0x1.30a522p-1f, 0x1.30a522p-1f, -0x1.14a28p-1f);
  expect_direction(30.0, 2.0, 0x1.d18f6ep-2f, 0x1.932fep-1f, 0x1.aa2264p-2f);
}

}  // namespace
