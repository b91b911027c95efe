// The refraction and occlusion stages over a surface made by hand, with the working values a
// render derives from the controls.

#include "effect/refraction_occlusion_stages.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

#include "effect/caustics_stages.h"
#include "kernel/kernel_environmental_occlusion_cpu.h"
#include "support/effect_plugin_host.h"
#include "support/host_layer.h"
#include "support/standalone_render.h"

namespace {

using brel::ARGB16;
using brel::Layer;
using brel::Vector_3;
using brel::test::Effect_Plugin_Host;
using Stages = brel::Refraction_Occlusion_Stages<ARGB16>;

// A depth with a hole at (2, 2) and a raised block right of column 5; normals facing the viewer.
brel::Depth_Surface surface(const brel::Render_Context& context, int64_t w, int64_t h) {
  brel::Depth_Surface s;
  s.depth_layer = std::make_unique<brel::Layer_Holder>(
      brel::make_temporary_float_layer(context, w, h, 0, 0, 0, 1.0f, 1.0f, 1.0f));
  s.depth = brel::layer_view<float>(*s.depth_layer);
  s.normal_layer = std::make_unique<brel::Layer_Holder>();
  s.normal_layer->memory = context.allocate_memory_2d(w * 12, h);
  const Layer<Vector_3<float>> normals = brel::layer_view<Vector_3<float>>(*s.normal_layer);
  for (int64_t y = 0; y < h; ++y) {
    for (int64_t x = 0; x < w; ++x) {
      s.depth.row(y)[x] = x == 2 && y == 2 ? 0.0f : (x > 5 ? 30.0f : 10.0f);
      normals.row(y)[x] = {0.0f, 0.0f, 1.0f};
    }
  }
  return s;
}

class Occlusion_Stage : public ::testing::Test {
 protected:
  Occlusion_Stage() : depth(surface(render.context, 9, 7)) {
    effect.store().set_float("illumination amount", 0.5);
    effect.store().set_float("occlusion amount", 1.0);
    effect.store().set_int("occlusion radius", 2);
  }

  // Runs the stage; returns its occlusion view, checked against the kernel's layer.
  Layer<float> occlude(brel::Refraction_Occlusion_Results<ARGB16>& results) {
    const auto values =
        brel::prepare_pipeline_values<ARGB16>(effect.command(false).parameter_set(), {});
    Stages::environmental_occlusion(render.context, values, depth, results);
    EXPECT_EQ(results.occlusion.pixels != nullptr, results.occlusion_kernel.result != nullptr);
    return results.occlusion;
  }

  brel::test::Standalone_Render render{2};
  Effect_Plugin_Host effect;
  brel::Depth_Surface depth;
};

TEST_F(Occlusion_Stage, EmptyViewWithoutEnvironmentLightOrAmount) {
  {
    brel::Refraction_Occlusion_Results<ARGB16> results;
    EXPECT_NE(occlude(results).pixels, nullptr);
  }
  effect.store().set_popup("render mode", 1);  // "refraction only": no environment light
  {
    brel::Refraction_Occlusion_Results<ARGB16> results;
    EXPECT_EQ(occlude(results).pixels, nullptr);
    EXPECT_EQ(results.refraction.pixels, nullptr);
  }
  effect.store().set_popup("render mode", 0);
  effect.store().set_float("occlusion amount", 0.0);
  brel::Refraction_Occlusion_Results<ARGB16> results;
  EXPECT_EQ(occlude(results).pixels, nullptr);
}

// The radius, the mode and the alpha flag reach the kernel: at the block's foot the full
// window of 25 samples has 10 above; the quick mode counts the 5 window rows whose mean over
// columns 3 .. 7 lies above; the hole is written as 1 only under "alpha clipping".
TEST_F(Occlusion_Stage, ControlsReachTheKernel) {
  effect.store().set_checkbox("quick mode", false);
  brel::Refraction_Occlusion_Results<ARGB16> full;
  const Layer<float> f = occlude(full);
  EXPECT_EQ(f.width, 9);
  EXPECT_EQ(f.height, 7);
  EXPECT_NEAR(f.row(3)[5], 1.0f - 10.0f / 25.0f, 1e-6f);
  EXPECT_LT(f.row(2)[2], 0.5f);

  effect.store().set_checkbox("quick mode", true);
  effect.store().set_checkbox("alpha clipping", true);
  brel::Refraction_Occlusion_Results<ARGB16> quick;
  const Layer<float> q = occlude(quick);
  EXPECT_NEAR(q.row(3)[5], 0.0f, 1e-6f);
  EXPECT_EQ(q.row(2)[2], 1.0f);
}

// The refraction of a filled caustics image in each pixel type: the pixel type only selects
// how textures are read, so a surface without textures gives the same layer in all six.
template <class P>
class Refraction_Stage : public ::testing::Test {
 protected:
  Refraction_Stage()
      : depth(surface(render.context, 9, 7)),
        buffer(brel::make_rgb32f_layer(render.context, 13, 7, 0, 0, 0, 1.0f, 1.0f, 1.0f)),
        image(brel::caustics_image_view(buffer, 9, 7)) {
    for (int64_t y = 0; y < 7; ++y) {
      for (int64_t x = 0; x < 9; ++x) {
        image.row(y)[x] =
            brel::RGB32f{{0.1f * static_cast<float>(x), 0.05f * static_cast<float>(y), 0.5f}};
      }
    }
    effect.store().set_float("transparency", 0.5);
    effect.store().set_float("refraction", 1.33);
  }

  // Runs the stage; returns its refraction view.
  Layer<brel::RGB32f> refract(const Layer<brel::RGB32f>& caustics_image) {
    const auto values = brel::prepare_pipeline_values<P>(effect.command(false).parameter_set(), {});
    brel::Refraction_Occlusion_Results<P> results;
    brel::Refraction_Occlusion_Stages<P>::refraction(render.context, values, depth, caustics_image,
                                                     results);
    EXPECT_EQ(results.refraction.pixels != nullptr, results.refraction_layer != nullptr);
    layer = std::move(results.refraction_layer);
    return results.refraction;
  }

  brel::test::Standalone_Render render{2};
  Effect_Plugin_Host effect;
  brel::Depth_Surface depth;
  brel::Layer_Holder buffer;
  Layer<brel::RGB32f> image;
  std::unique_ptr<brel::Layer_Holder> layer;
};
TYPED_TEST_SUITE(Refraction_Stage, brel::test::Host_Pixel_Types);

// Facing the viewer, the surface bends nothing sideways: the caustics image shows in place
// (away from the first row and column, whose footprints miss their neighbours).
TYPED_TEST(Refraction_Stage, FlatSurfaceShowsTheCausticsImageInPlace) {
  const Layer<brel::RGB32f> refraction = this->refract(this->image);
  ASSERT_NE(refraction.pixels, nullptr);
  EXPECT_EQ(refraction.width, 9);
  EXPECT_EQ(refraction.height, 7);
  for (int64_t y = 1; y < 7; ++y) {
    for (int64_t x = 1; x < 9; ++x) {
      for (int64_t c = 0; c < 3; ++c) {
        EXPECT_EQ(refraction.row(y)[x].channel[c], this->image.row(y)[x].channel[c])
            << x << ", " << y;
      }
    }
  }
}

TYPED_TEST(Refraction_Stage, NoLayerWhenTheRenderLooksAtNothingThrough) {
  EXPECT_EQ(this->refract({}).pixels, nullptr);      // no caustics image
  this->effect.store().set_popup("render mode", 4);  // "highlights only": opaque
  EXPECT_EQ(this->refract(this->image).pixels, nullptr);
  this->effect.store().set_popup("render mode", 1);  // "refraction only": fully transparent
  this->effect.store().set_float("transparency", 0.0);
  EXPECT_NE(this->refract(this->image).pixels, nullptr);
  this->effect.store().set_popup("render mode", 0);
  this->effect.store().set_float("transparency", 0.5);
  this->effect.store().set_float("refraction", 1.0);
  EXPECT_EQ(this->refract(this->image).pixels, nullptr);
  this->effect.store().set_float("blur transparency", 2.0);
  EXPECT_NE(this->refract(this->image).pixels, nullptr);
}

}  // namespace
