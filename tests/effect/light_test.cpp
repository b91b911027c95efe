#include "effect/light.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

TEST(Direct_Light_Direction, ExactSinglePrecisionValuesForAFewAngles) {
  // Exact: the angles are narrowed once and everything after is single precision.
  const struct {
    double angle, forward;
    float x, y, z;
  } cases[] = {
      {135.0, 0.5, 0x1.5b2422p-2f, -0x1.5b2422p-2f, -0x1.c15282p-1f},  // the defaults
      {0.0, 1.5707963267948966, 0.0f, 1.0f, 0.0f},                     // in the image plane
      // 90 degrees narrowed to float is slightly above pi / 2, so its cosine is not 0.
      {90.0, 1.5707963267948966, 1.0f, -0x1.777a5cp-25f, 0.0f},
      {0.0, 0.0, -0.0f, -0x1.777a5cp-25f, -1.0f},  // straight into the image
      {-45.0, 1.0, -0x1.30a522p-1f, 0x1.30a522p-1f, -0x1.14a28p-1f},
      {30.0, 2.0, 0x1.d18f6ep-2f, 0x1.932fep-1f, 0x1.aa2264p-2f},
  };
  for (const auto& c : cases) {
    const brel::Vector_3<float> d = brel::direct_light_direction(c.angle, c.forward);
    EXPECT_EQ(d.x, c.x) << c.angle << " " << c.forward;
    EXPECT_EQ(std::signbit(d.x), std::signbit(c.x)) << c.angle << " " << c.forward;
    EXPECT_EQ(d.y, c.y) << c.angle << " " << c.forward;
    EXPECT_EQ(d.z, c.z) << c.angle << " " << c.forward;
  }
}

}  // namespace
