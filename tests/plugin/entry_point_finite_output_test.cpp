// Finite input gives finite output: depth and texture values far beyond white, and settings at
// the ends of their ranges, never turn into infinities or NaN in any render mode.

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "param_setting.h"
#include "support/plugin_fixture.h"

namespace {

using brel::sim::World;
using brel::test::channel;
using brel::test::fill_ramp;
using brel::test::Loaded;
using brel::test::set_channel;

constexpr int32_t float_bytes = 16;

// Sets every colour channel of pixel (x, y), keeping it opaque.
void set_colour(World& world, int32_t x, int32_t y, float value) {
  for (int32_t c = 1; c < 4; ++c) {
    set_channel(world, float_bytes, x, y, c, value);
  }
}

void fill_colour(World& world, const std::function<float(int32_t, int32_t)>& value) {
  for (int32_t y = 0; y < world.get()->height; ++y) {
    for (int32_t x = 0; x < world.get()->width; ++x) {
      set_colour(world, x, y, value(x, y));
    }
  }
}

// The first channel that is not finite, or "".
std::string first_non_finite(World& world) {
  for (int32_t y = 0; y < world.get()->height; ++y) {
    for (int32_t x = 0; x < world.get()->width; ++x) {
      for (int32_t c = 0; c < 4; ++c) {
        const float v = channel(world, float_bytes, x, y, c);
        if (!std::isfinite(v)) {
          // Appended piece by piece: GCC 12 mistakes "(" + std::string for an overlapping copy.
          std::string where = "(";
          where += std::to_string(x) + ", " + std::to_string(y) + ") channel ";
          where += std::to_string(c) + " = " + std::to_string(v);
          return where;
        }
      }
    }
  }
  return "";
}

// The render modes' entries as the effect declares them, in their order.
std::vector<std::string> render_mode_names() {
  Loaded loaded;
  const brel::sim::Parameter_Store& store = loaded.host.parameters();
  return lumbrix::popup_items(store, store.slot("render mode"));
}

// A glossiness texture whose left columns have no alpha and whose other columns are opaque,
// of colours from 1 to the largest float.
void set_glossiness_texture(Loaded& l) {
  World& texture = l.driver.set_texture("glossiness amount texture", 12, 8);
  for (int32_t y = 0; y < 8; ++y) {
    for (int32_t x = 0; x < 12; ++x) {
      set_channel(texture, float_bytes, x, y, 0, x < 6 ? 0.0f : 1.0f);
      set_colour(texture, x, y, y % 2 == 0 ? 1.0f : 3.4e38f);
    }
  }
}

TEST(Plugin_Library_Render, FiniteInputGivesFiniteOutput) {
  constexpr float huge = 3.4e38f;
  const std::vector<std::string> mode_names = render_mode_names();
  ASSERT_FALSE(mode_names.empty()) << "the render mode popup names no entries";
  struct Case {
    const char* name;
    std::function<void(Loaded&, World&)> set_up;
  };
  const std::vector<Case> cases = {
      {"a single pixel of 1e19", [](Loaded&, World& input) { set_colour(input, 5, 4, 1e19f); }},
      {"a frame of 1e30",
       [](Loaded&, World& input) { fill_colour(input, [](int, int) { return 1e30f; }); }},
      {"the largest floats, saturated",
       [](Loaded& l, World& input) {
         l.host.parameters().set_float("saturation", 2.0);
         fill_colour(input, [](int32_t x, int32_t) { return x % 2 == 0 ? huge : 0.5f; });
       }},
      {"red depth alternating between the largest floats",
       [](Loaded& l, World& input) {
         l.host.parameters().set_popup("depth channel", 1);
         l.host.parameters().set_float("depth factor", 1e8);
         fill_colour(input, [](int32_t x, int32_t y) { return (x + y) % 2 == 0 ? huge : -huge; });
       }},
      {"blurred depth far below zero",
       [](Loaded& l, World& input) {
         l.host.parameters().set_popup("depth channel", 1);
         l.host.parameters().set_float("depth factor", 1.0);
         l.host.parameters().set_float("pre blur strength", 100.0);
         l.host.parameters().set_float("pre blur threshold", 1e11);
         l.host.parameters().set_int("pre blur iterations", 3);
         fill_colour(input,
                     [](int32_t x, int32_t) { return -huge + static_cast<float>(x) * 1e31f; });
       }},
      {"a depth factor too small for a float",
       [](Loaded& l, World& input) {
         l.host.parameters().set_float("depth factor", 1e-44);
         fill_ramp(input, false);
       }},
      {"a normal texture of huge values",
       [](Loaded& l, World&) {
         World& texture = l.driver.set_texture("normal texture", 12, 8);
         for (int32_t y = 0; y < 8; ++y) {
           for (int32_t x = 0; x < 12; ++x) {
             const float alpha = x < 4 ? 1.0f : (x < 8 ? 0.5f : 1e-30f);
             set_channel(texture, float_bytes, x, y, 0, alpha);
             set_colour(texture, x, y, y % 2 == 0 ? 1e19f : huge);
           }
         }
       }},
      // A colour over zero alpha has an infinite mean: times no glossiness, or times some.
      {"a glossiness texture of colour without alpha",
       [](Loaded& l, World&) { set_glossiness_texture(l); }},
      {"a glossiness texture of colour without alpha, glossy",
       [](Loaded& l, World&) {
         l.host.parameters().set_float("glossiness", 0.4);
         set_glossiness_texture(l);
       }},
  };
  for (const Case& c : cases) {
    for (int32_t mode = 0; mode < static_cast<int32_t>(mode_names.size()); ++mode) {
      Loaded loaded;
      loaded.host.parameters().set_popup("render mode", mode);
      // Light passing through the surface squares a term of the normal's length.
      loaded.host.parameters().set_float("translucency", 0.25);
      World& input = loaded.driver.set_frame(12, 8, PF_PixelFormat_ARGB128);
      fill_ramp(input, false);
      c.set_up(loaded, input);
      const std::string at = std::string(c.name) + ", " + mode_names[static_cast<size_t>(mode)];
      ASSERT_EQ(loaded.driver.smart_render(), PF_Err_NONE) << at;
      EXPECT_EQ(first_non_finite(loaded.driver.output()), "") << at;
    }
  }
}

// Without glossiness the lights make no highlight, so a glossiness texture changes nothing,
// not even where its mean is infinite (colour over zero alpha).
TEST(Plugin_Library_Render, NoGlossinessLeavesTheGlossinessTextureUnread) {
  const auto render = [](bool textured) {
    Loaded loaded;
    loaded.host.parameters().set_float("glossiness", 0.0);
    World& input = loaded.driver.set_frame(12, 8, PF_PixelFormat_ARGB128);
    fill_ramp(input, false);
    if (textured) {
      set_glossiness_texture(loaded);
    }
    EXPECT_EQ(loaded.driver.smart_render(), PF_Err_NONE);
    std::vector<float> pixels;
    for (int32_t y = 0; y < 8; ++y) {
      for (int32_t x = 0; x < 12; ++x) {
        for (int32_t c = 0; c < 4; ++c) {
          pixels.push_back(channel(loaded.driver.output(), float_bytes, x, y, c));
        }
      }
    }
    return pixels;
  };
  EXPECT_EQ(render(true), render(false));
}

}  // namespace
