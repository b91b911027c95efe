// The render modes, rendered through the plug-in library in every pixel format each host
// carries: the values that arrive in the host's output world.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "support/plugin_fixture.h"

namespace {

using brel::sim::Host_Identity;
using brel::sim::World;
using brel::test::after_effects_formats;
using brel::test::Format;
using brel::test::Loaded;
using brel::test::premiere_formats;

// Where a format keeps its channels, how wide they are and how large white is.
struct Layout {
  int32_t bytes;  // per pixel
  int32_t red;
  int32_t green;
  int32_t blue;
  int32_t alpha;
  float white;
};

Layout layout_of(const Format& format, bool premiere) {
  const int32_t bytes = World::pixel_bytes(format.code, premiere);
  const bool argb = std::string(format.pipeline).find("argb") != std::string::npos;
  const float white = bytes == 4 ? 255.0f : (bytes == 8 ? 32768.0f : 1.0f);
  return argb ? Layout{bytes, 1, 2, 3, 0, white} : Layout{bytes, 2, 1, 0, 3, white};
}

void set_channel(World& world, const Layout& layout, int32_t x, int32_t y, int32_t position,
                 float value) {
  brel::test::set_channel(world, layout.bytes, x, y, position, value);
}

float channel(World& world, const Layout& layout, int32_t x, int32_t y, int32_t position) {
  return brel::test::channel(world, layout.bytes, x, y, position);
}

// The value a format's channel holds for a fraction of white that the stages truncate.
float truncated(const Layout& layout, float fraction) {
  const float value = fraction * layout.white;
  return layout.bytes == 16 ? value : static_cast<float>(static_cast<int32_t>(value));
}

struct Expected {
  float red;
  float green;
  float blue;
};

// Every format of a host, each through the smart and the classic render.
std::vector<std::pair<Format, bool>> render_calls(bool premiere) {
  std::vector<std::pair<Format, bool>> calls;
  for (const Format& format : premiere ? premiere_formats : after_effects_formats) {
    calls.emplace_back(format, false);
    calls.emplace_back(format, true);
  }
  return calls;
}

// Expected fractions of white at a pixel.
using Expectation = std::function<Expected(int32_t x, int32_t y)>;
// Further settings of a test: controls and texture layers, set before the frame is made.
using Setup = std::function<void(Loaded&, const Layout&)>;

// Renders a uniform frame of (white, white / 2, white / 4) with the given render mode, smart and
// classic, and checks every output pixel against `expected` (fractions of white) with alpha
// white.
void expect_mode(int32_t mode, const Expectation& expected, const Setup& setup = nullptr) {
  for (const bool premiere : {false, true}) {
    for (const auto& [format, classic] : render_calls(premiere)) {
      Loaded loaded(premiere ? Host_Identity::premiere() : Host_Identity::after_effects(), 3);
      loaded.host.parameters().set_popup("render mode", mode);
      loaded.host.parameters().set_popup("depth channel", 1);  // red
      // Pure red: Premiere Pro hands colours over as bytes, so only 0 and 1 arrive exactly.
      loaded.host.parameters().set_color_float("surface color", {1.0f, 1.0f, 0.0f, 0.0f});
      const Layout layout = layout_of(format, premiere);
      World& input = loaded.driver.set_frame(7, 5, format.code);
      if (setup) {
        setup(loaded, layout);
      }
      for (int32_t y = 0; y < 5; ++y) {
        for (int32_t x = 0; x < 7; ++x) {
          set_channel(input, layout, x, y, layout.red, layout.white);
          set_channel(input, layout, x, y, layout.green, layout.white / 2);
          set_channel(input, layout, x, y, layout.blue, layout.white / 4);
          set_channel(input, layout, x, y, layout.alpha, layout.white);
        }
      }
      ASSERT_EQ(classic ? loaded.driver.render() : loaded.driver.smart_render(), PF_Err_NONE)
          << format.pipeline;
      World& output = loaded.driver.output();
      int64_t mismatches = 0;
      for (int32_t y = 0; y < 5; ++y) {
        for (int32_t x = 0; x < 7; ++x) {
          const Expected e = expected(x, y);
          mismatches += channel(output, layout, x, y, layout.red) != truncated(layout, e.red);
          mismatches += channel(output, layout, x, y, layout.green) != truncated(layout, e.green);
          mismatches += channel(output, layout, x, y, layout.blue) != truncated(layout, e.blue);
          mismatches += channel(output, layout, x, y, layout.alpha) != layout.white;
        }
      }
      EXPECT_EQ(mismatches, 0) << format.pipeline << (premiere ? " in Premiere Pro" : "")
                               << (classic ? ", classic render" : "");
      EXPECT_EQ(loaded.host.imbalance(), "") << format.pipeline;
    }
  }
}

void expect_mode(int32_t mode, Expected expected) {
  expect_mode(mode, [expected](int32_t, int32_t) { return expected; });
}

TEST(Plugin_Library_Render_Modes, SurfaceColorShowsTheSurfaceColour) {
  expect_mode(7, {1.0f, 0.0f, 0.0f});
}

// The depth of a full red channel is the depth scale itself, which the view shows as white.
TEST(Plugin_Library_Render_Modes, DepthmapShowsTheDepthScaleAsWhite) {
  expect_mode(6, {1.0f, 1.0f, 1.0f});
}

// A uniform frame is flat: the direct light casts no shadow on it, the point light (off by
// default) none either, so the shadows view shows the light whole.
TEST(Plugin_Library_Render_Modes, ShadowOnlyShowsAFlatSurfaceUnshadowed) {
  expect_mode(3, {1.0f, 1.0f, 1.0f});
}

// A uniform frame is flat: every normal faces the viewer, (0, 0, 1) shown as half, half, white.
TEST(Plugin_Library_Render_Modes, NormalmapShowsAFlatSurfaceFacingTheViewer) {
  expect_mode(5, {0.5f, 0.5f, 1.0f});
}

// "caustix only" of an opaque surface: nothing is seen through it, so the view is black.
TEST(Plugin_Library_Render_Modes, CaustixOnlyOfAnOpaqueSurfaceIsBlack) {
  expect_mode(2, {0.0f, 0.0f, 0.0f});
}

// A flat surface under the direct light falling straight on it at half intensity: half the
// surface colour that "surface color" shows, opaque.
TEST(Plugin_Library_Render_Modes, AllLightsTheSurface) {
  expect_mode(
      0,
      [](int32_t, int32_t) {
        return Expected{0.5f, 0.0f, 0.0f};
      },
      [](Loaded& loaded, const Layout&) {
        loaded.host.parameters().set_float("light forward angle", 0.0);
        loaded.host.parameters().set_float(brel::sim::Slot{6}, 0.5);  // the direct light
      });
}

// With nothing to refract through ("refraction" 1, no blur) the background shows in place,
// column by column, whatever the lights.
TEST(Plugin_Library_Render_Modes, RefractionOnlyShowsTheBackgroundInPlace) {
  const auto background = [](int32_t x, int32_t y) {
    return Expected{x % 2 == 1 ? 1.0f : 0.0f, (x + y) % 3 == 0 ? 1.0f : 0.0f, x == 0 ? 1.0f : 0.0f};
  };
  expect_mode(1, background, [&background](Loaded& loaded, const Layout& layout) {
    World& texture = loaded.driver.set_texture("background", 7, 5);
    for (int32_t y = 0; y < 5; ++y) {
      for (int32_t x = 0; x < 7; ++x) {
        const Expected e = background(x, y);
        brel::test::set_channel(texture, layout.bytes, x, y, layout.red, e.red * layout.white);
        brel::test::set_channel(texture, layout.bytes, x, y, layout.green, e.green * layout.white);
        brel::test::set_channel(texture, layout.bytes, x, y, layout.blue, e.blue * layout.white);
        brel::test::set_channel(texture, layout.bytes, x, y, layout.alpha, layout.white);
      }
    }
  });
}

// Without glossiness there is no highlight: opaque black.
TEST(Plugin_Library_Render_Modes, HighlightsOnlyWithoutGlossIsOpaqueBlack) {
  expect_mode(4, {0.0f, 0.0f, 0.0f});
}

}  // namespace
