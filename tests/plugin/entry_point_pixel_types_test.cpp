// One 8-bit scene rendered through the plug-in library with every stage on, once as an 8-bit
// frame and once as a float frame holding the same values divided by 255: the two renders must
// agree to within the quantisation the 8-bit pipeline goes through.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

#include "support/plugin_fixture.h"

namespace {

using brel::sim::Host_Identity;
using brel::sim::World;
using brel::test::Loaded;

constexpr int32_t width = 48;
constexpr int32_t height = 32;

// The channel values (0 to 255, order r, g, b, a) of the scene's layers at (x, y).
struct Byte_Pixel {
  float r, g, b, a;
};

Byte_Pixel depth_pass(int32_t x, int32_t y) {
  // A dome beside a step: smooth and sharp relief, in red; colour in green and blue.
  const float dx = static_cast<float>(x - 16);
  const float dy = static_cast<float>(y - 16);
  const float dome = std::max(0.0f, 200.0f - 0.6f * (dx * dx + dy * dy));
  const float step = x > 34 && y > 8 && y < 24 ? 140.0f : 40.0f;
  return {std::floor(std::max(dome, step)), static_cast<float>((x * 5) % 256),
          static_cast<float>((y * 7) % 256), 255.0f};
}

Byte_Pixel environment(int32_t x, int32_t y) {
  return {static_cast<float>(60 + y * 5), static_cast<float>(120 + x), 230.0f - y * 3, 255.0f};
}

Byte_Pixel background(int32_t x, int32_t y) {
  const bool line = x % 6 == 0 || y % 6 == 0;
  return {line ? 250.0f : 30.0f, static_cast<float>(x * 5), static_cast<float>(y * 7), 255.0f};
}

// The float frame holds each value divided by 255 exactly as the 8-bit path divides it
// (multiplying by the float nearest 1/255 would differ in the last bit for half the values).
void fill(World& world, int32_t bytes, float white, Byte_Pixel (*pixel)(int32_t, int32_t)) {
  for (int32_t y = 0; y < world.get()->height; ++y) {
    for (int32_t x = 0; x < world.get()->width; ++x) {
      const Byte_Pixel p = pixel(x, y);
      brel::test::set_channel(world, bytes, x, y, 1, p.r * white / 255.0f);
      brel::test::set_channel(world, bytes, x, y, 2, p.g * white / 255.0f);
      brel::test::set_channel(world, bytes, x, y, 3, p.b * white / 255.0f);
      brel::test::set_channel(world, bytes, x, y, 0, p.a * white / 255.0f);
    }
  }
}

// The output of the scene in an After Effects format (ARGB), as fractions of white, the float
// one clamped to 0 to 1 as an 8-bit store would clamp it.
std::vector<float> render(PF_PixelFormat format, int32_t bytes, bool quick_occlusion) {
  const float white = bytes == 4 ? 255.0f : 1.0f;
  Loaded loaded(Host_Identity::after_effects(), 4);
  auto& p = loaded.host.parameters();
  p.set_popup("depth channel", 1);  // red
  p.set_float("depth factor", 30.0);
  p.set_float(brel::sim::Slot{6}, 0.8);   // direct light intensity
  p.set_float(brel::sim::Slot{15}, 0.7);  // point light intensity
  p.set_float("light falloff", 0.5);
  p.set_point("position", 30.0, 10.0);
  p.set_float("z position", 300.0);
  p.set_float("glossiness", 0.6);
  p.set_float("translucency", 0.3);
  p.set_float("reflection amount", 0.4);
  p.set_float("bias reflection brightness", 0.2);
  p.set_float("illumination amount", 0.3);
  p.set_float("blur illumination", 0.2);
  p.set_float("occlusion amount", 0.5);
  p.set_int("occlusion radius", 3);
  // The quick mode's occlusion steps by whole rows of its window where a row's mean depth passes
  // the pixel's: the last bit of a depth can move it at the dome's rim, so both renders must
  // read the same depths.
  p.set_checkbox("quick mode", quick_occlusion);
  p.set_float("transparency", 0.4);
  p.set_float("colorize", 0.3);
  p.set_float("refraction", 1.2);
  p.set_float("caustix", 0.5);
  p.set_float("gamma correction", 1.2);
  p.set_popup("oversampling antialias", 2);
  p.set_popup("environent antialias", 2);
  World& input = loaded.driver.set_frame(width, height, format);
  fill(input, bytes, white, depth_pass);
  fill(loaded.driver.set_texture("environmental layer", 24, 16), bytes, white, environment);
  fill(loaded.driver.set_texture("background", width, height), bytes, white, background);
  EXPECT_EQ(loaded.driver.smart_render(), PF_Err_NONE);
  std::vector<float> out;
  World& output = loaded.driver.output();
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      for (int32_t c = 0; c < 4; ++c) {
        const float v = brel::test::channel(output, bytes, x, y, c) / white;
        out.push_back(std::clamp(v, 0.0f, 1.0f));
      }
    }
  }
  return out;
}

TEST(Plugin_Library_Pixel_Types, EightBitAndFloatRendersOfOneSceneAgree) {
  for (const bool quick : {false, true}) {
    const std::vector<float> bytes = render(PF_PixelFormat_ARGB32, 4, quick);
    const std::vector<float> floats = render(PF_PixelFormat_ARGB128, 16, quick);
    ASSERT_EQ(bytes.size(), floats.size());
    float largest = 0.0f;
    size_t at = 0;
    double sum = 0.0;
    for (size_t i = 0; i < bytes.size(); ++i) {
      const float units = std::fabs(bytes[i] - floats[i]) * 255.0f;
      sum += units;
      if (units > largest) {
        largest = units;
        at = i;
      }
    }
    const auto pixel = static_cast<int32_t>(at / 4);
    std::cout << "8-bit against float, " << (quick ? "quick" : "full") << " occlusion: mean "
              << sum / static_cast<double>(bytes.size()) << " units, largest " << largest << " at ("
              << pixel % width << ", " << pixel / width << ") channel " << at % 4 << "\n";
    // The 8-bit render truncates its surface colour before shading and its output after; with
    // lights and reflections of up to about twice white between the two, that is 3 units.
    EXPECT_LE(largest, 3.0f) << (quick ? "quick" : "full") << " occlusion";
  }
}

}  // namespace
