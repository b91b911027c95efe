// The depth stages through a render call: the effect object, the pixel-type translation and the
// pipeline instantiation of each host pixel type, with the stand-alone render context, ending
// in the render modes "surface color", "depthmap" and "normalmap".

#include "effect/depth_stages.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/exception.h"
#include "base/log.h"
#include "base/timing_table.h"
#include "support/effect_render.h"
#include "support/host_layer.h"
#include "support/standalone_render.h"

namespace {

using brel::Pixel_Traits;
using brel::test::by_depth;
using brel::test::Host_Layer;
using brel::test::white_of;
using Names = std::vector<std::string>;

constexpr int32_t mode_normalmap = 5;
constexpr int32_t mode_depthmap = 6;
constexpr int32_t mode_surface_color = 7;
const std::string pre_color = "pre color correction (Cpu)";
const std::string pre_blur = "pre blur (Cpu)";
const std::string normals = "generate normals (Cpu)";
const std::string final_routine = "final routine (Cpu)";

// The pipeline instantiation the translation names for each host pixel type.
template <class P>
std::string pipeline_name() {
  using Traits = Pixel_Traits<P>;
  const char* const names[2][3] = {{"8 bit argb uc", "16 bit argb uc", "32 bit argb float"},
                                   {"8 bit bgra uc", "16 bit bgra us", "32 bit bgra float"}};
  return names[Traits::alpha != 0][sizeof(typename Traits::Channel) / 2] + std::string(" - cpu");
}

template <class P>
class Depth_Stages_Test : public ::testing::Test, public brel::test::Effect_Render<P> {
 protected:
  Depth_Stages_Test() : brel::test::Effect_Render<P>(6, 4) {}
};
TYPED_TEST_SUITE(Depth_Stages_Test, brel::test::Host_Pixel_Types);

TYPED_TEST(Depth_Stages_Test, RenderCallNamesItsPipelineAndModeAllRunsTheDepthStages) {
  const Names stages = this->render_frame();
  ASSERT_GE(stages.size(), 4u);
  EXPECT_EQ(Names(stages.begin(), stages.begin() + 3), (Names{pre_color, pre_blur, normals}));
  EXPECT_EQ(stages.back(), final_routine);
  const auto messages = brel::global_log().recent_messages();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back(), "translating render call to " + pipeline_name<TypeParam>() + "\n");
  EXPECT_EQ(this->effect.host.imbalance(), "");
}

TYPED_TEST(Depth_Stages_Test, SurfaceColorModeShowsTheSurfaceColourOnly) {
  using P = TypeParam;
  const float white = white_of<P>();
  this->input.fill(white, white, white, white);
  this->input.set(1, 2, white, 0, 0, white / 2);
  this->effect.store().set_popup("render mode", mode_surface_color);
  this->effect.store().set_color_float("surface color", {1.0f, 0.5f, 0.25f, 1.0f});
  EXPECT_EQ(this->render_frame(), Names{pre_color});
  for (int64_t y = 0; y < 4; ++y) {
    for (int64_t x = 0; x < 6; ++x) {
      EXPECT_EQ(this->output.red(x, y), by_depth<P>(0.5f, 16384, 127));
      EXPECT_EQ(this->output.green(x, y), by_depth<P>(0.25f, 8192, 63));
      EXPECT_EQ(this->output.blue(x, y), white);
      EXPECT_EQ(this->output.alpha(x, y), this->input.alpha(x, y));
    }
  }
}

// The depth view divides by the same depth scale the depth was made with: a full channel shows
// as white, an empty one as black, whatever the depth factor.
TYPED_TEST(Depth_Stages_Test, DepthmapModeScalesTheDepthToWhite) {
  using P = TypeParam;
  const float white = white_of<P>();
  for (int64_t x = 0; x < 6; ++x) {
    for (int64_t y = 0; y < 4; ++y) {
      this->input.set(x, y, x % 2 == 0 ? white : 0, 0, 0, white);
    }
  }
  this->effect.store().set_popup("render mode", mode_depthmap);
  this->effect.store().set_popup("depth channel", 1);  // red
  this->effect.store().set_float("depth factor", 100.0);
  EXPECT_EQ(this->render_frame(), (Names{pre_color, pre_blur, "show render mode depth (Cpu)"}));
  for (int64_t x = 0; x < 6; ++x) {
    const float expected = x % 2 == 0 ? white : 0.0f;
    EXPECT_EQ(this->output.red(x, 1), expected) << x;
    EXPECT_EQ(this->output.blue(x, 1), expected) << x;
    EXPECT_EQ(this->output.alpha(x, 1), white);
  }
}

TYPED_TEST(Depth_Stages_Test, NormalmapModeShowsFlatAndSlopedSurfaces) {
  using P = TypeParam;
  const float white = white_of<P>();
  const float step = by_depth<P>(0.0625f, 2048, 16);
  // Rows 0 and 1 flat, rows 2 and 3 rising to the right in red.
  for (int64_t x = 0; x < 6; ++x) {
    for (int64_t y = 0; y < 4; ++y) {
      this->input.set(x, y, y < 2 ? 8 * step : step * static_cast<float>(x + 1), 0, 0, white);
    }
  }
  this->effect.store().set_popup("render mode", mode_normalmap);
  this->effect.store().set_popup("depth channel", 1);
  this->effect.store().set_float("depth factor", 10.0);
  EXPECT_EQ(this->render_frame(),
            (Names{pre_color, pre_blur, normals, "show render mode normals (Cpu)"}));
  const float half = by_depth<P>(0.5f, 16384, 127);
  EXPECT_EQ(this->output.red(3, 0), half);
  EXPECT_EQ(this->output.green(3, 0), half);
  EXPECT_EQ(this->output.blue(3, 0), white);
  // Rising to the right tilts the normal left: less red; no vertical slope inside the ramp.
  EXPECT_LT(this->output.red(3, 3), half);
  EXPECT_EQ(this->output.green(3, 3), half);
  EXPECT_LT(this->output.blue(3, 3), white);
}

// A normal texture replaces the depth as the source of the normals, and the depth is then not
// blurred, in "normalmap" and "depthmap" alike.
TYPED_TEST(Depth_Stages_Test, NormalTextureSkipsThePreBlurAndGivesTheNormals) {
  using P = TypeParam;
  const float white = white_of<P>();
  this->input.fill(white, white, white, white);
  Host_Layer<P> texture(this->render.context, 6, 4);
  texture.fill(white, 0, white, white);  // (1, -1, 1)
  brel::Layer_Map layers;
  layers["normal_texture"] = brel::test::typeless_of(texture);
  this->effect.store().set_popup("render mode", mode_normalmap);
  EXPECT_EQ(this->render_frame(layers),
            (Names{pre_color, normals, "show render mode normals (Cpu)"}));
  EXPECT_EQ(this->output.red(2, 2), white);
  EXPECT_EQ(this->output.green(2, 2), 0.0f);
  EXPECT_EQ(this->output.blue(2, 2), white);

  this->effect.store().set_popup("render mode", mode_depthmap);
  EXPECT_EQ(this->render_frame(layers), (Names{pre_color, "show render mode depth (Cpu)"}));
}

using Depth_Stages_8 = Depth_Stages_Test<brel::ARGB8>;

TEST_F(Depth_Stages_8, PreBlurNeedsAStrengthThatIsNotZeroInSinglePrecision) {
  effect.store().set_popup("render mode", mode_depthmap);
  for (const double strength : {0.0, 1e-50, 0.5}) {
    effect.store().set_float("pre blur strength", strength);
    const Names names = render_frame();
    EXPECT_EQ(names.size() == 3 && names[1] == pre_blur, strength == 0.5) << strength;
  }
}

TEST_F(Depth_Stages_8, UnsupportedPixelDescriptionIsAnErrorAndTheOutputIsUntouched) {
  const brel::Pixel_Description red_first{1, 8, 0, 1, 2, 3};
  EXPECT_THROW(render_frame({}, red_first), brel::Exception_Assert);
  EXPECT_TRUE(render.timing_table.root().children.empty());
  for (int64_t y = 0; y < 4; ++y) {
    for (int64_t x = 0; x < 6; ++x) {
      for (int channel = 0; channel < 4; ++channel) {
        EXPECT_EQ(output.at(x, y).channel[channel], 3) << x << " " << y;
      }
    }
  }
}

}  // namespace
