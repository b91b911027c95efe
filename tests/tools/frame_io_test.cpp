#include "frame_io.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace {

// A world over caller-owned pixels with padded rows.
template <class Channel>
struct Test_World {
  Test_World(int32_t width, int32_t height) : pixels((width * 4 + 3) * height) {
    world.width = width;
    world.height = height;
    world.rowbytes = (width * 4 + 3) * static_cast<A_long>(sizeof(Channel));
    world.data = pixels.data();
  }
  Channel at(int32_t x, int32_t y, int channel) const {
    return pixels[y * (world.width * 4 + 3) + x * 4 + channel];
  }
  std::vector<Channel> pixels;
  PF_EffectWorld world{};
};

lumbrix::Image one_pixel(float r, float g, float b, float a) {
  lumbrix::Image image(1, 1, 32);
  image.rgba = {r, g, b, a};
  return image;
}

TEST(Frame_Io, IntegerFramesTakeTheHostsWhite) {
  Test_World<uint8_t> argb8(1, 1);
  lumbrix::fill_world(argb8.world, 8, lumbrix::Channel_Order::argb,
                      one_pixel(1.0f, 0.5f, 0.0f, 1.0f));
  EXPECT_EQ(argb8.at(0, 0, 0), 255);  // alpha first
  EXPECT_EQ(argb8.at(0, 0, 1), 255);
  EXPECT_EQ(argb8.at(0, 0, 2), 128);
  EXPECT_EQ(argb8.at(0, 0, 3), 0);

  // 16-bit white is 32768; more than white and NaN are clamped, not wrapped.
  Test_World<uint16_t> bgra16(1, 1);
  lumbrix::fill_world(bgra16.world, 16, lumbrix::Channel_Order::bgra,
                      one_pixel(1.0f, 2.5f, std::nanf(""), 0.5f));
  EXPECT_EQ(bgra16.at(0, 0, 2), 32768);  // red
  EXPECT_EQ(bgra16.at(0, 0, 1), 32768);  // green, clamped at white
  EXPECT_EQ(bgra16.at(0, 0, 0), 0);      // blue from NaN
  EXPECT_EQ(bgra16.at(0, 0, 3), 16384);  // alpha last
}

TEST(Frame_Io, EveryDepthRoundTripsThroughAWorld) {
  lumbrix::Image image(3, 2, 32);
  for (size_t i = 0; i < image.rgba.size(); ++i) {
    image.rgba[i] = static_cast<float>(i) / 23.0f;
  }
  Test_World<uint8_t> w8(3, 2);
  Test_World<uint16_t> w16(3, 2);
  Test_World<float> w32(3, 2);
  for (const auto order : {lumbrix::Channel_Order::argb, lumbrix::Channel_Order::bgra}) {
    lumbrix::fill_world(w8.world, 8, order, image);
    lumbrix::fill_world(w16.world, 16, order, image);
    lumbrix::fill_world(w32.world, 32, order, image);
    const lumbrix::Image back8 = lumbrix::read_world(w8.world, 8, order);
    const lumbrix::Image back16 = lumbrix::read_world(w16.world, 16, order);
    const lumbrix::Image back32 = lumbrix::read_world(w32.world, 32, order);
    EXPECT_EQ(back32.rgba, image.rgba);
    for (size_t i = 0; i < image.rgba.size(); ++i) {
      EXPECT_NEAR(back8.rgba[i], image.rgba[i], 0.5f / 255.0f);
      EXPECT_NEAR(back16.rgba[i], image.rgba[i], 0.5f / 32768.0f);
    }
  }
}

}  // namespace
