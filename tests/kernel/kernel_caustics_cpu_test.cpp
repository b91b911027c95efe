#include "kernel/kernel_caustics_cpu.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "base/layer_holder.h"
#include "kernel/caustics_rasterizer.h"
#include "support/host_layer.h"
#include "support/standalone_render.h"

namespace {

using brel::Array_2d;
using brel::Blur_Coordinates;
using brel::Layer;
using brel::RGB32f;
using brel::Vector_3;
using brel::test::Host_Layer;
using brel::test::Standalone_Render;
using Names = std::vector<std::string>;

const float nan = std::numeric_limits<float>::quiet_NaN();

// The layers a caustics kernel reads, for an image of w × h: the surface colour, a depth inside
// its 3-pixel border and the normals, all facing the viewer at depth `z`.
template <class P>
struct Scene {
  Scene(Standalone_Render& render, int64_t w, int64_t h, float z = 10.0f)
      : image(render.context, w, h),
        depth_holder(brel::make_temporary_float_layer(render.context, w + 6, h + 6, 0, 0, 0, 1.0f,
                                                      1.0f, 1.0f)),
        normal_holder(
            brel::make_temporary_float_layer(render.context, 3 * w, h, 0, 0, 0, 1.0f, 1.0f, 1.0f)) {
    const float white = brel::test::white_of<P>();
    image.fill(white, white, white, white);
    const Layer<float> bordered = brel::layer_view<float>(depth_holder);
    for (int64_t y = 0; y < bordered.height; ++y) {
      for (int64_t x = 0; x < bordered.width; ++x) {
        bordered.row(y)[x] = z;
      }
    }
    depth = bordered;
    depth.width = w;
    depth.height = h;
    depth.pixels = brel::advance_bytes(bordered.pixels, 3 * bordered.row_bytes + 12);
    normals = brel::layer_view<Vector_3<float>>(normal_holder);
    for (int64_t y = 0; y < h; ++y) {
      for (int64_t x = 0; x < w; ++x) {
        normals.row(y)[x] = {0.0f, 0.0f, 1.0f};
      }
    }
    // Unbent white light straight into the image, splatted without antialiasing.
    in.image = image.view;
    in.depth = depth;
    in.normals = normals;
    in.direct_light.intensity = 1.0f;
    in.direct_light.direction = {0.0f, 0.0f, -1.0f};
    in.direct_light.color = {1.0f, 1.0f, 1.0f};
    in.point_light.color = {1.0f, 1.0f, 1.0f};
    in.caustics_amount = 1.0f;
    in.transparency = 1.0f;
    in.caustics_antialias = 1;
  }

  // Runs the kernel; returns the kernels and passes it ran, in order of their start.
  Names run(Standalone_Render& render) {
    brel::test::Active_Log log;
    render.timing_table.reset();
    kernel.parameters_in = in;
    kernel.execute(render.context);
    Names names;
    for (const auto& kernel_scope : render.timing_table.root().children) {
      for (const auto& child : kernel_scope->children) {
        names.push_back(child->name);
      }
    }
    return names;
  }

  Layer<RGB32f> buffer() const { return brel::layer_view<RGB32f>(*kernel.caustics_buffer); }

  Host_Layer<P> image;
  brel::Layer_Holder depth_holder;
  brel::Layer_Holder normal_holder;
  Layer<float> depth;
  Layer<Vector_3<float>> normals;
  brel::Caustics_Parameters_In<P> in;
  brel::Kernel_Caustics<Layer<P>, brel::Implementation_Cpu> kernel;
};

// Row y of the buffer after the fill's running sum, channel c.
std::vector<double> light_row(const Layer<RGB32f>& buffer, int64_t y, int32_t c = 0) {
  std::vector<double> light;
  double sum = 0.0;
  for (int64_t x = 0; x < buffer.width; ++x) {
    sum += buffer.row(y)[x].channel[c];
    light.push_back(sum);
  }
  return light;
}

const std::string clear = "Clear (Cpu)";
const std::string direct_pass = "init direct coordinates (Cpu)";
const std::string point_pass = "init point coordinates (Cpu)";

using Caustics_32f = brel::Kernel_Caustics<Layer<brel::ARGB32f>, brel::Implementation_Cpu>;

TEST(Kernel_Caustics, RunsOnlyForCausticsOrABackgroundSeenThroughTheSurface) {
  Standalone_Render render(2);
  Host_Layer<brel::ARGB32f> background(render.context, 6, 5);
  struct Case {
    float amount;
    float transparency;
    bool background;
    float direct;
    float point;
    bool buffer;
    Names names;
  };
  const Case cases[] = {
      {0.0f, 1.0f, false, 1.0f, 1.0f, false, {}},
      {1.0f, 0.0f, true, 1.0f, 1.0f, false, {}},
      {1.0f, 1.0f, false, 0.0f, 0.0f, false, {}},
      // A background alone: allocated, neither cleared nor splatted; the passes still run
      // for the lights that shine.
      {0.0f, 1.0f, true, 1.0f, 0.0f, true, {direct_pass}},
      {0.0f, 1.0f, true, 0.0f, 0.0f, true, {}},
      {1.0f, 1.0f, false, 0.0f, 2.0f, true, {clear, point_pass}},
      {1.0f, 1.0f, false, 1.0f, 2.0f, true, {clear, direct_pass, point_pass}},
      // Not a number is not 0.
      {nan, nan, false, nan, 0.0f, true, {clear, direct_pass}},
  };
  for (const Case& c : cases) {
    Scene<brel::ARGB32f> scene(render, 6, 5);
    scene.in.caustics_amount = c.amount;
    scene.in.transparency = c.transparency;
    scene.in.direct_light.intensity = c.direct;
    scene.in.point_light.intensity = c.point;
    if (c.background) {
      scene.in.background = background.view;
    }
    EXPECT_EQ(scene.run(render), c.names) << c.amount << " " << c.transparency;
    ASSERT_EQ(scene.kernel.caustics_buffer != nullptr, c.buffer);
    if (c.buffer) {
      EXPECT_EQ(scene.buffer().width, 10);
      EXPECT_EQ(scene.buffer().height, 5);
    }
  }
}

template <class P>
class Kernel_Caustics_Test : public ::testing::Test {};
TYPED_TEST_SUITE(Kernel_Caustics_Test, brel::test::Host_Pixel_Types);

// Every landing point at its own pixel: each cell covers one pixel of area, factor 1, and in
// mode 1 lights exactly image pixel (x - 1, y - 1): +colour at buffer column x + 1 and -colour
// at x + 2 of row y - 1, the neighbours' crossings cancelling in between.
TYPED_TEST(Kernel_Caustics_Test, UnrefractedGridLightsEachPixelOnceWithItsFullColour) {
  using P = TypeParam;
  const float white = brel::test::white_of<P>();
  for (const int64_t threads : brel::test::thread_counts) {
    Standalone_Render render(threads);
    Scene<P> scene(render, 7, 5);
    scene.image.fill(white, 0.0f, white, white);  // magenta tint at full colorize
    scene.in.colorize = 1.0f;
    scene.in.direct_light.color = {0.5f, 1.0f, 2.0f};
    scene.run(render);
    const Layer<RGB32f> buffer = scene.buffer();
    for (int64_t y = 0; y < 5; ++y) {
      for (int64_t x = 0; x < 11; ++x) {
        const bool lit_row = y < 4;
        const float expected = !lit_row ? 0.0f : (x == 2 ? 1.0f : (x == 8 ? -1.0f : 0.0f));
        EXPECT_EQ(buffer.row(y)[x].channel[0], 0.5f * expected) << x << ", " << y;
        EXPECT_EQ(buffer.row(y)[x].channel[1], 0.0f) << x << ", " << y;
        EXPECT_EQ(buffer.row(y)[x].channel[2], 2.0f * expected) << x << ", " << y;
      }
    }
  }
}

// The point light's falloff: light at (3, 2) four units above a surface of depth 0, with a
// falloff distance of 4 and exponent 1, reaches the cell under it at half strength, the cell
// beside it at 1 / (sqrt(17) / 4 + 1).
TYPED_TEST(Kernel_Caustics_Test, PointLightFallsOffWithItsDistance) {
  using P = TypeParam;
  Standalone_Render render(2);
  Scene<P> scene(render, 7, 5, 0.0f);
  scene.in.direct_light.intensity = 0.0f;
  scene.in.point_light.intensity = 2.0f;
  scene.in.point_light.falloff = 1.0f;
  scene.in.point_light.position_x = 3.0f;
  scene.in.point_light.position_y = 2.0f;
  scene.in.point_light.position_z = 4.0f;
  scene.in.falloff_distance = 4.0f;
  scene.run(render);
  const Layer<RGB32f> buffer = scene.buffer();
  // Cell (3, 2) lights image pixel (2, 1), buffer column 4 of row 1.
  EXPECT_FLOAT_EQ(light_row(buffer, 1)[4], 1.0f);
  EXPECT_FLOAT_EQ(light_row(buffer, 1)[5], 2.0f / (std::sqrt(17.0f) / 4.0f + 1.0f));
  // Without a falloff distance the light is not attenuated.
  scene.in.falloff_distance = 0.0f;
  scene.run(render);
  EXPECT_FLOAT_EQ(light_row(scene.buffer(), 1)[5], 2.0f);
}

// Cells are weighted by the clamped luminance of the transparency texture at their lower-right
// corner, placed by its origin, and skipped where it is 0, at an empty depth under alpha
// clipping, or across a depth step under discontinuity detection.
TYPED_TEST(Kernel_Caustics_Test, CellWeightsAndSkips) {
  using P = TypeParam;
  const float white = brel::test::white_of<P>();
  Standalone_Render render(2);
  Host_Layer<P> transparency(render.context, 2, 1, 5, 3);
  transparency.set(0, 0, 0.0f, 0.0f, 0.0f, white);     // cell (5, 3): skipped
  transparency.set(1, 0, white, white, white, white);  // cell (6, 3): full
  Scene<P> scene(render, 7, 5, 0.0f);
  scene.in.transparency_texture = transparency.view;
  scene.in.transparency = 0.5f;
  scene.in.alpha_clipping = true;
  scene.depth.row(1)[2] = 5.0f;  // cells (2, 1) and (2, 2) are not empty...
  scene.depth.row(2)[2] = 5.0f;
  scene.depth.row(2)[3] = 5.0f;
  scene.in.discontinuity_detection = true;
  scene.in.discontinuity_threshold = 5.0f;  // ...and a step of 5 passes
  scene.run(render);
  const Layer<RGB32f> buffer = scene.buffer();
  EXPECT_FLOAT_EQ(light_row(buffer, 0)[3], 0.5f);  // cell (2, 1): depth 5, steps of 5
  EXPECT_FLOAT_EQ(light_row(buffer, 1)[3], 0.5f);  // cell (2, 2)
  EXPECT_FLOAT_EQ(light_row(buffer, 1)[4], 0.5f);  // cell (3, 2)
  EXPECT_EQ(light_row(buffer, 0)[4], 0.0f);        // cell (3, 1): empty depth, clipped

  scene.in.discontinuity_threshold = 4.0f;
  scene.in.alpha_clipping = false;
  scene.run(render);
  EXPECT_EQ(light_row(scene.buffer(), 0)[3], 0.0f);  // cell (2, 1) straddles a step of 5
  EXPECT_FLOAT_EQ(light_row(scene.buffer(), 0)[2], 0.5f);
  EXPECT_FLOAT_EQ(light_row(scene.buffer(), 0)[6], 0.5f);  // cell (5, 1), unclipped
  EXPECT_EQ(light_row(scene.buffer(), 2)[6], 0.0f);        // cell (5, 3): luminance 0
  EXPECT_FLOAT_EQ(light_row(scene.buffer(), 2)[7], 0.5f);  // cell (6, 3): 1 times 0.5
}

TYPED_TEST(Kernel_Caustics_Test, ClampedLuminanceOfTextures) {
  using P = TypeParam;
  const float white = brel::test::white_of<P>();
  Standalone_Render render(1);
  Host_Layer<P> texture(render.context, 4, 1, -1, 2);
  texture.set(0, 0, white, white, 0.0f, white);       // 2/3
  texture.set(1, 0, white, white, white, 0.0f);       // alpha 0: 1
  texture.set(2, 0, 0.0f, 0.0f, 0.0f, 0.0f);          // 0 / 0: 1
  texture.set(3, 0, white, white, white, white / 2);  // above 1: 1
  const auto luminance = [&](int64_t x, int64_t y) {
    return brel::clamped_texture_luminance(texture.view, x, y);
  };
  EXPECT_FLOAT_EQ(luminance(-1, 2), 2.0f / 3.0f);
  EXPECT_EQ(luminance(0, 2), 1.0f);
  EXPECT_EQ(luminance(1, 2), 1.0f);
  EXPECT_EQ(luminance(2, 2), 1.0f);
  EXPECT_EQ(luminance(3, 2), 1.0f);  // right of the texture
  EXPECT_EQ(luminance(0, 1), 1.0f);  // above it
  EXPECT_EQ(brel::clamped_texture_luminance(Layer<P>{}, 0, 0), 1.0f);
  if constexpr (!brel::Pixel_Traits<P>::is_integer) {
    texture.set(0, 0, -1.0f, 0.0f, 0.0f, 0.0f);  // a negative sum over alpha 0
    EXPECT_EQ(luminance(-1, 2), 0.0f);
    texture.set(0, 0, -1.0f, 0.0f, 0.0f, 1.0f);
    EXPECT_EQ(luminance(-1, 2), 0.0f);
    texture.set(0, 0, nan, 0.0f, 0.0f, 1.0f);
    EXPECT_EQ(luminance(-1, 2), 1.0f);
  }
}

// A square patch of side a in image pixels, corners in the order P00, P10, P01, P11.
brel::Caustics_Patch square(float a, float blur = 0.0f) {
  return {{{0.0f, 0.0f, blur}, {a, 0.0f, blur}, {0.0f, a, blur}, {a, a, blur}}};
}

TEST(Caustics_Patch, FactorIsTheAreaOrItsInverseAboveOne) {
  for (const auto& [side, factor] : std::vector<std::pair<float, float>>{
           {1.0f, 1.0f}, {2.0f, 0.25f}, {0.5f, 0.25f}, {0.0f, 0.0f}}) {
    brel::Caustics_Patch patch = square(side);
    EXPECT_FLOAT_EQ(brel::caustics_patch_factor(patch, 0.0f, 1.0f, 1.0f), factor) << side;
    // Moved into buffer coordinates: two columns right, half a row down.
    EXPECT_EQ(patch.corner[3].x, side + 2.0f);
    EXPECT_EQ(patch.corner[3].y, side + 0.5f);
  }
}

// With a spread the diagonal's corners move outward along it and the other two away from it,
// each by spread times its own path length, scaled by the downsampling.
TEST(Caustics_Patch, SpreadWidensTheQuadrilateral) {
  brel::Caustics_Patch patch = square(1.0f, 1.0f);
  patch.corner[1].blur = 2.0f;
  const float r = 0.5f * 0.70710677f;  // spread 0.5 along unit diagonals
  brel::caustics_patch_factor(patch, 0.5f, 1.0f, 0.5f);
  const float expected[4][2] = {{-r, -r * 0.5f},
                                {1.0f + 2.0f * r, -2.0f * r * 0.5f},
                                {-r, 1.0f + r * 0.5f},
                                {1.0f + r, 1.0f + r * 0.5f}};
  for (int32_t i = 0; i < 4; ++i) {
    EXPECT_NEAR(patch.corner[i].x, expected[i][0] + 2.0f, 1e-6f) << i;
    EXPECT_NEAR(patch.corner[i].y, expected[i][1] + 0.5f, 1e-6f) << i;
  }
  // Folded: P11 lies on P00's side of the diagonal, nearer to it, and is sent across.
  brel::Caustics_Patch folded = square(1.0f, 1.0f);
  folded.corner[3] = {0.2f, 0.2f, 1.0f};
  brel::caustics_patch_factor(folded, 0.5f, 1.0f, 1.0f);
  EXPECT_NEAR(folded.corner[3].x, 0.2f + r + 2.0f, 1e-6f);
  EXPECT_NEAR(folded.corner[3].y, 0.2f + r + 0.5f, 1e-6f);
  EXPECT_NEAR(folded.corner[0].x, -r + 2.0f, 1e-6f);
}

// A run of cells gives, bit for bit, each cell's landing, corners and factor as the cell gives
// them alone: over jittered patches, grid squares whose edges tie for the longest, corners
// that do not land (negative, infinite or not-a-number paths, positions not finite), a path of
// -0, and positions so far off that squared lengths overflow; runs of every length up to a
// full one, starting anywhere in the row.
TEST(Caustics_Patch, RunsGiveWhatEachCellGives) {
  constexpr int64_t w = 300;
  constexpr int64_t h = 4;
  constexpr float inf = std::numeric_limits<float>::infinity();
  Standalone_Render render(1);
  const auto memory = brel::make_blur_coordinates_array(render.context, w, h);
  const auto landing = brel::array_2d_view<Blur_Coordinates>(*memory);
  std::mt19937 random(5);
  std::uniform_real_distribution<float> jitter(-0.7f, 0.7f);
  std::uniform_int_distribution<int32_t> kind(0, 99);
  for (int64_t y = 0; y < h; ++y) {
    for (int64_t x = 0; x < w; ++x) {
      const float fx = static_cast<float>(x);
      const float fy = static_cast<float>(y);
      Blur_Coordinates c{fx + jitter(random), fy + jitter(random), 5.0f + 4.0f * jitter(random)};
      const int32_t k = kind(random);
      if (k < 25) {
        c = {fx, fy, 1.0f};
      } else if (k < 28) {
        c.blur = k == 25 ? -1.0f : (k == 26 ? nan : inf);
      } else if (k < 31) {
        (k == 28 ? c.x : c.y) = k == 30 ? -inf : nan;
      } else if (k < 33) {
        c.blur = -0.0f;
      } else if (k < 36) {
        c.x = k == 33 ? 3e30f : -3e30f;
      } else if (k < 38) {
        c.y = 2e19f;
      }
      landing.row(y)[x] = c;
    }
  }
  const auto bits = [](float v) { return std::bit_cast<uint32_t>(v); };
  brel::Caustics_Patch_Run run;
  int64_t lit = 0;
  for (int64_t y = 1; y < h; ++y) {
    for (const int64_t x0 : {1, 2, 77, 171}) {
      for (const int64_t n :
           {int64_t{1}, int64_t{7}, int64_t{16}, int64_t{33}, brel::Caustics_Patch_Run::cells}) {
        brel::caustics_patch_run(landing, x0, y, n, run);
        for (int64_t i = 0; i < n; ++i) {
          brel::Caustics_Patch patch;
          const bool whole = brel::load_caustics_patch(landing, x0 + i, y, patch);
          ASSERT_EQ(run.whole[i] != 0, whole) << x0 + i << ", " << y;
          if (!whole) {
            continue;
          }
          ++lit;
          const float factor = brel::caustics_patch_factor(patch, 0.0f, 1.5f, 0.5f);
          EXPECT_EQ(bits(run.factor[i]), bits(factor)) << x0 + i << ", " << y;
          const brel::Caustics_Patch moved = run.patch(i);
          for (int32_t c = 0; c < 4; ++c) {
            EXPECT_EQ(bits(moved.corner[c].x), bits(patch.corner[c].x)) << x0 + i << ", " << c;
            EXPECT_EQ(bits(moved.corner[c].y), bits(patch.corner[c].y)) << x0 + i << ", " << c;
            EXPECT_EQ(bits(moved.corner[c].blur), bits(patch.corner[c].blur)) << x0 + i;
          }
        }
      }
    }
  }
  EXPECT_GT(lit, 1000);
}

TEST(Caustics_Patch, PointFalloff) {
  EXPECT_EQ(brel::caustics_point_falloff(100.0f, 0.0f, 3.0f), 1.0f);
  EXPECT_EQ(brel::caustics_point_falloff(100.0f, 10.0f, 0.0f), 1.0f);
  // A falloff of 0 is 1 whatever the path, as the power gives it.
  for (const float path :
       {-10.0f, -30.0f, std::nanf(""), -std::numeric_limits<float>::infinity()}) {
    EXPECT_EQ(brel::caustics_point_falloff(path, 10.0f, 0.0f),
              std::pow(1.0f / (path / 10.0f + 1.0f), 0.0f));
  }
  EXPECT_FLOAT_EQ(brel::caustics_point_falloff(10.0f, 10.0f, 1.0f), 0.5f);
  EXPECT_FLOAT_EQ(brel::caustics_point_falloff(30.0f, 10.0f, 2.0f), 1.0f / 16.0f);
  // Clamped: a negative path brightens up to 1 only; a negative base under a fractional
  // exponent gives no light instead of not a number.
  EXPECT_EQ(brel::caustics_point_falloff(-5.0f, 10.0f, 1.0f), 1.0f);
  EXPECT_EQ(brel::caustics_point_falloff(-30.0f, 10.0f, 0.5f), 0.0f);
}

// Landing points on their own pixels, path 0, for a w × h image.
std::shared_ptr<brel::Mapped_Memory_2d> grid(Standalone_Render& render, int64_t w, int64_t h) {
  auto memory = brel::make_blur_coordinates_array(render.context, w, h);
  const auto view = brel::array_2d_view<Blur_Coordinates>(*memory);
  for (int64_t y = 0; y < h; ++y) {
    for (int64_t x = 0; x < w; ++x) {
      view.row(y)[x] = {static_cast<float>(x), static_cast<float>(y), 0.0f};
    }
  }
  return memory;
}

// A corner that does not exist (negative or not-a-number path, position not finite) takes its
// four cells out for its own light only.
TEST(Kernel_Caustics, InvalidCornersSplatNothingForTheirLight) {
  Standalone_Render render(2);
  Scene<brel::ARGB32f> scene(render, 8, 6);
  scene.in.point_light.intensity = 1.0f;
  scene.in.point_light.color = {0.0f, 0.0f, 1.0f};  // the point light in blue only
  scene.in.direct_light.color = {1.0f, 0.0f, 0.0f};
  const auto direct_memory = grid(render, 8, 6);
  const auto point_memory = grid(render, 8, 6);
  const auto direct = brel::array_2d_view<Blur_Coordinates>(*direct_memory);
  const auto point = brel::array_2d_view<Blur_Coordinates>(*point_memory);
  direct.row(1)[2].blur = -1.0f;
  direct.row(4)[5].x = std::numeric_limits<float>::infinity();
  point.row(3)[6].blur = nan;
  const auto buffer_holder =
      brel::make_rgb32f_layer(render.context, 12, 6, 0, 0, 0, 1.0f, 1.0f, 1.0f);
  const auto buffer = brel::layer_view<RGB32f>(buffer_holder);
  for (int64_t y = 0; y < 6; ++y) {
    for (int64_t x = 0; x < 12; ++x) {
      buffer.row(y)[x] = {{0.0f, 0.0f, 0.0f}};
    }
  }
  brel::cpu_kernel_launch(6, &brel::caustics_splat_body<brel::ARGB32f>, render.context, scene.in,
                          buffer, direct, point);
  for (int64_t y = 0; y < 5; ++y) {
    const std::vector<double> red = light_row(buffer, y, 0);
    const std::vector<double> blue = light_row(buffer, y, 2);
    for (int64_t x = 0; x < 7; ++x) {
      // Image pixel (x, y) is the cell (x + 1, y + 1), whose corners are (x .. x + 1, y .. y + 1).
      const auto touches = [&](int64_t cx, int64_t cy) {
        return (cx == x || cx == x + 1) && (cy == y || cy == y + 1);
      };
      EXPECT_EQ(red[x + 2], touches(2, 1) || touches(5, 4) ? 0.0 : 1.0) << x << ", " << y;
      EXPECT_EQ(blue[x + 2], touches(6, 3) ? 0.0 : 1.0) << x << ", " << y;
    }
  }
}

// A refraction texture pixel of alpha 0 makes its landing point not a number; the cells that
// share it splat nothing, and nothing is read or written out of place.
TEST(Kernel_Caustics, NonFiniteLandingPointsNeverIndexTheBuffer) {
  Standalone_Render render(2);
  Host_Layer<brel::ARGB32f> texture(render.context, 7, 5);
  texture.fill(1.0f, 1.0f, 1.0f, 1.0f);
  texture.set(3, 2, 1.0f, 1.0f, 1.0f, 0.0f);
  Scene<brel::ARGB32f> scene(render, 7, 5);
  scene.in.refraction.refraction_index = 1.5f;
  scene.in.refraction.refraction_texture = texture.view;
  scene.run(render);
  for (int64_t y = 0; y < 4; ++y) {
    const std::vector<double> light = light_row(scene.buffer(), y);
    for (int64_t x = 0; x < 6; ++x) {
      const bool shares = (x == 2 || x == 3) && (y == 1 || y == 2);
      EXPECT_EQ(light[x + 2], shares ? 0.0 : 1.0) << x << ", " << y;
    }
  }
}

TEST(Kernel_Caustics, EmptyImagesOnlyPoll) {
  Standalone_Render render(2);
  for (const auto& [w, h] : std::vector<std::pair<int64_t, int64_t>>{{0, 3}, {3, 0}, {1, 1}}) {
    Scene<brel::ARGB32f> scene(render, w, h);
    scene.in.point_light.intensity = 1.0f;
    scene.run(render);
    EXPECT_EQ(scene.buffer().width, w + 4);
    for (int64_t y = 0; y < h; ++y) {
      for (int64_t x = 0; x < w + 4; ++x) {
        EXPECT_EQ(scene.buffer().row(y)[x].channel[0], 0.0f);
      }
    }
  }
}

// The splat in bands of rows, at every thread count, adds what the plain row body adds: light
// landing far above its rows, beyond a band's margin, goes straight into the buffer; the rest
// goes through the bands, in every mode. Unit patches add whole colours in mode 1 and halves and
// quarters of them in mode 2, so every order gives the same sums.
TEST(Kernel_Caustics, BandsAddWhatThePlainRowsAdd) {
  constexpr int64_t w = 9;
  constexpr int64_t h = 150;
  const auto zeroed_buffer = [&](Standalone_Render& render) {
    auto holder = brel::make_rgb32f_layer(render.context, w + 4, h, 0, 0, 0, 1.0f, 1.0f, 1.0f);
    const auto view = brel::layer_view<RGB32f>(holder);
    for (int64_t y = 0; y < h; ++y) {
      for (int64_t x = 0; x < w + 4; ++x) {
        view.row(y)[x] = {{0.0f, 0.0f, 0.0f}};
      }
    }
    return holder;
  };
  Standalone_Render plain_render(1);
  Scene<brel::ARGB32f> scene(plain_render, w, h);
  scene.in.point_light.intensity = 1.0f;
  scene.in.point_light.color = {0.0f, 0.0f, 1.0f};
  scene.in.alpha_clipping = true;
  const auto direct_memory = grid(plain_render, w, h);
  const auto point_memory = grid(plain_render, w, h);
  const auto direct = brel::array_2d_view<Blur_Coordinates>(*direct_memory);
  const auto point = brel::array_2d_view<Blur_Coordinates>(*point_memory);
  // Rows 60 to 119 land 55 rows higher, the point light's rows 30 to 89 two columns to the left
  // and 20 rows lower; the cells across each jump are clipped away.
  for (int64_t y = 0; y < h; ++y) {
    for (int64_t x = 0; x < w; ++x) {
      direct.row(y)[x].y -= y >= 60 && y < 120 ? 55.0f : 0.0f;
      point.row(y)[x].x -= y >= 30 && y < 90 ? 2.0f : 0.0f;
      point.row(y)[x].y += y >= 30 && y < 90 ? 20.0f : 0.0f;
    }
  }
  for (const int64_t y : {30, 60, 90, 120}) {
    for (int64_t x = 0; x < w; ++x) {
      scene.depth.row(y)[x] = 0.0f;
    }
  }
  for (const int64_t mode : {1, 2, 3}) {
    scene.in.caustics_antialias = mode;
    const auto plain_holder = zeroed_buffer(plain_render);
    const auto plain = brel::layer_view<RGB32f>(plain_holder);
    brel::cpu_kernel_launch(h, &brel::caustics_splat_body<brel::ARGB32f>, plain_render.context,
                            scene.in, plain, direct, point);
    // Mode 3's thirds round: its sums may differ by a few units in the last place with their
    // order, and the light of a pixel is at most 2.
    const float tolerance = mode == 3 ? 1e-5f : 0.0f;
    ASSERT_NEAR(light_row(plain, 3)[4], 1.0, tolerance);       // lit in place only
    ASSERT_NEAR(light_row(plain, 10)[4], 2.0, tolerance);      // ...and by the cells of row 66
    ASSERT_NEAR(light_row(plain, 100)[4], 0.0, tolerance);     // moved away
    ASSERT_NEAR(light_row(plain, 100, 2)[4], 2.0, tolerance);  // the point light, also from row 81
    for (const int64_t threads : brel::test::thread_counts) {
      Standalone_Render render(threads);
      const auto holder = zeroed_buffer(render);
      const auto banded = brel::layer_view<RGB32f>(holder);
      brel::launch_caustics_splat(render.context, scene.in, banded, direct, point);
      for (int64_t y = 0; y < h; ++y) {
        for (int64_t x = 0; x < w + 4; ++x) {
          for (int32_t c = 0; c < 3; ++c) {
            ASSERT_NEAR(banded.row(y)[x].channel[c], plain.row(y)[x].channel[c], tolerance)
                << x << ", " << y << ", channel " << c << " at " << threads << " threads in mode "
                << mode;
          }
        }
      }
    }
  }
}

// Whether two buffers hold the same bits in every value.
bool same_bits(const Layer<RGB32f>& a, const Layer<RGB32f>& b) {
  for (int64_t y = 0; y < a.height; ++y) {
    for (int64_t x = 0; x < a.width; ++x) {
      for (int32_t c = 0; c < 3; ++c) {
        if (std::bit_cast<uint32_t>(a.row(y)[x].channel[c]) !=
            std::bit_cast<uint32_t>(b.row(y)[x].channel[c])) {
          ADD_FAILURE() << "differs at " << x << ", " << y << ", channel " << c;
          return false;
        }
      }
    }
  }
  return true;
}

// Eight cells at a time, a row's splat adds into the band and the buffer, bit for bit, what its
// triangles add one at a time by the plain rule of its mode, in their order: over jittered landing
// points, some thrown beyond the band (into the buffer) and some that do not land, both lights
// landing on the same points so that their additions meet in the same pixels, a point light that
// falls off with its path, coloured pixels, cells skipped by depth steps, alpha clipping or a
// transparency texture over some of the rows, and rows ending anywhere in a group of eight cells or
// a run.
TYPED_TEST(Kernel_Caustics_Test, RowsEightCellsAtATimeAddWhatTheirTrianglesAddInTurn) {
  using P = TypeParam;
  constexpr int64_t h = 100;
  std::mt19937 random(11);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::uniform_int_distribution<int32_t> kind(0, 99);
  for (const int64_t w : {1, 2, 9, 131, 300}) {
    Standalone_Render render(1);
    Scene<P> scene(render, w, h);
    Host_Layer<P> texture(render.context, w, h);
    const float white = brel::test::white_of<P>();
    for (int64_t y = 0; y < h; ++y) {
      for (int64_t x = 0; x < w; ++x) {
        scene.image.set(x, y, white * unit(random), white * unit(random), white * unit(random),
                        white);
        texture.set(x, y, white, white, white, kind(random) < 5 ? 0.0f : white * unit(random));
        const int32_t k = kind(random);
        // Steps on either side of the threshold, each side of a cell telling on its own.
        scene.depth.row(y)[x] = k < 3 ? 0.0f : 10.0f + 3.0f * unit(random);
      }
    }
    auto& in = scene.in;
    in.direct_light.intensity = 0.7f;
    in.direct_light.color = {1.0f, 0.9f, 0.3f};
    in.point_light.intensity = 0.45f;
    in.point_light.color = {0.2f, 1.0f, 0.6f};
    in.point_light.position_x = 3.0f;
    in.point_light.position_y = 2.0f;
    in.point_light.position_z = 20.0f;
    in.point_light.falloff = 1.5f;
    in.falloff_distance = 7.0f;
    in.caustics_amount = 0.6f;
    in.transparency = 0.35f;
    in.colorize = 0.4f;
    in.discontinuity_detection = true;
    in.discontinuity_threshold = 2.0f;
    in.alpha_clipping = true;
    // Over rows 30 to 69 only: the others' luminance is 1.
    in.transparency_texture = texture.view;
    in.transparency_texture.origin_y = 30;
    in.transparency_texture.height = 40;

    const auto memory = brel::make_blur_coordinates_array(render.context, w, h);
    const auto landing = brel::array_2d_view<Blur_Coordinates>(*memory);
    for (int64_t y = 0; y < h; ++y) {
      for (int64_t x = 0; x < w; ++x) {
        Blur_Coordinates c{static_cast<float>(x) + 1.4f * unit(random) - 0.7f,
                           static_cast<float>(y) + 1.4f * unit(random) - 0.7f, 5.0f * unit(random)};
        const int32_t k = kind(random);
        if (k < 4) {
          c.y += k < 2 ? 60.0f : -60.0f;
        } else if (k < 6) {
          c.blur = k == 4 ? -1.0f : nan;
        }
        landing.row(y)[x] = c;
      }
    }
    const Array_2d<Blur_Coordinates> none;
    for (const auto& [mode, direct, point] :
         {std::tuple{1, landing, landing}, std::tuple{1, landing, none},
          std::tuple{1, none, landing}, std::tuple{2, landing, landing},
          std::tuple{3, landing, landing}, std::tuple{3, none, landing}}) {
      in.caustics_antialias = mode;
      const auto buffer_of = [&](Standalone_Render& r) {
        auto holder = brel::make_rgb32f_layer(r.context, w + 4, h, 0, 0, 0, 1.0f, 1.0f, 1.0f);
        const auto view = brel::layer_view<RGB32f>(holder);
        for (int64_t y = 0; y < h; ++y) {
          std::fill_n(view.row(y), w + 4, RGB32f{{0.0f, 0.0f, 0.0f}});
        }
        return holder;
      };
      const auto rows_of = [&] {
        return brel::make_rgb32f_layer(render.context, w + 4, brel::Caustics_Band::rows, 0, 0, 0,
                                       1.0f, 1.0f, 1.0f);
      };
      const auto one_at_a_time_holder = buffer_of(render);
      const auto lanes_holder = buffer_of(render);
      const auto one_at_a_time = brel::layer_view<RGB32f>(one_at_a_time_holder);
      const auto lanes = brel::layer_view<RGB32f>(lanes_holder);
      const auto one_at_a_time_rows = rows_of();
      const auto lanes_rows = rows_of();
      brel::Caustics_Band one_at_a_time_band(brel::layer_view<RGB32f>(one_at_a_time_rows), w + 4, h,
                                             true);
      brel::Caustics_Band lanes_band(brel::layer_view<RGB32f>(lanes_rows), w + 4, h, true);
      int64_t triangles = 0;
      for (int64_t y = 1; y < h; ++y) {
        std::vector<brel::Caustics_Triangle> row;
        brel::caustics_row_triangles(y, in, direct, point, row);
        triangles += static_cast<int64_t>(row.size());
        one_at_a_time_band.place(y - 44);
        for (const brel::Caustics_Triangle& t : row) {
          const float top = std::min({t.y0, t.y1, t.y2});
          const float bottom = std::max({t.y0, t.y1, t.y2});
          if (one_at_a_time_band.holds(top, bottom)) {
            brel::rasterize_triangle_edges(t.k, one_at_a_time_band, in.caustics_antialias, t.x0,
                                           t.y0, t.x1, t.y1, t.x2, t.y2);
          } else {
            brel::rasterize_triangle_edges(t.k, one_at_a_time, in.caustics_antialias, t.x0, t.y0,
                                           t.x1, t.y1, t.x2, t.y2);
          }
        }
        one_at_a_time_band.flush(one_at_a_time);
        lanes_band.place(y - 44);
        brel::caustics_splat_row_lanes(y, in, direct, point, lanes_band, lanes);
        lanes_band.flush(lanes);
      }
      EXPECT_GE(triangles, (w - 1) * h / 2);
      ASSERT_TRUE(same_bits(lanes, one_at_a_time))
          << "width " << w << " in mode " << in.caustics_antialias;
    }
  }
}

}  // namespace
