#include "kernel/kernel_final_routine_cpu.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/log.h"
#include "kernel/environment_coordinates.h"
#include "kernel/final_composite.h"
#include "kernel/light_shading.h"
#include "support/host_layer.h"
#include "support/plain_layer.h"
#include "support/standalone_render.h"

namespace {

using brel::Layer;
using brel::Pixel_Traits;
using brel::Vector_3;
using brel::test::Host_Layer;
using brel::test::Plain_Layer;
using brel::test::Standalone_Render;
using brel::test::white_of;

// A w × h surface facing the viewer at depth 10; the output holds the surface colour. Both
// lights are off and there is no environment until a test sets them.
template <class P>
struct Scene {
  Scene(const brel::Render_Context& context, int64_t w, int64_t h)
      : output(context, w, h), depth(w, h, 10.0f), normals(w, h, Vector_3<float>{0, 0, 1}) {
    const float white = white_of<P>();
    output.fill(white, white, white, white);
    in.source.width = w;
    in.source.height = h;
    in.output = output.view;
    in.depth = depth.view;
    in.normals = normals.view;
    in.discontinuity_threshold = 20.0f;
  }

  void render(Standalone_Render& render) const {
    brel::Kernel_Final_Routine<Layer<P>, brel::Implementation_Cpu> kernel;
    kernel.parameters_in = in;
    kernel.execute(render.context);
  }

  // The output's colour channels and alpha as fractions of white.
  std::vector<float> pixel(int64_t x, int64_t y) const {
    const float white = white_of<P>();
    return {output.red(x, y) / white, output.green(x, y) / white, output.blue(x, y) / white,
            output.alpha(x, y) / white};
  }

  Host_Layer<P> output;
  Plain_Layer<float> depth;
  Plain_Layer<Vector_3<float>> normals;
  brel::Final_Routine_Parameters_In<P> in;
};

// Within two units of the integer types (one for the truncating store, one for the surface
// colour read from the output) or a float rounding.
template <class P>
void expect_pixel(const std::vector<float>& actual, const std::vector<float>& expected,
                  const std::string& where) {
  const float unit = Pixel_Traits<P>::is_integer ? 2.0f / white_of<P>() : 1e-5f;
  for (size_t c = 0; c < 4; ++c) {
    EXPECT_NEAR(actual[c], expected[c], unit) << where << ", channel " << c;
  }
}

template <class P>
class Final_Routine_Test : public ::testing::Test {};
TYPED_TEST_SUITE(Final_Routine_Test, brel::test::Host_Pixel_Types);

TYPED_TEST(Final_Routine_Test, FlatSurfaceUnderTheDirectLightAndAConstantAmbient) {
  using P = TypeParam;
  Standalone_Render render(2);
  Scene<P> scene(render.context, 5, 3);
  scene.output.fill(white_of<P>(), white_of<P>() / 2, white_of<P>() / 4, 0);
  scene.in.direct_light.intensity = 0.5f;
  scene.in.direct_light.direction = {0.0f, 0.0f, -1.0f};
  scene.in.direct_light.color = {1.0f, 1.0f, 0.5f};
  // Without an environment the illumination is the constant colour × amount × occlusion.
  scene.in.environment.illumination_amount = 0.5f;
  scene.in.environment.illumination_color = {0.2f, 0.4f, 0.4f};
  Plain_Layer<float> occlusion(5, 3, 1.0f);
  occlusion.at(4, 2) = 0.5f;
  scene.in.occlusion = occlusion.view;
  scene.render(render);
  // D = (0.5, 0.5, 0.25) + (0.1, 0.2, 0.2), times S = (1, 0.5, 0.25); alpha 1 whatever the input.
  expect_pixel<P>(scene.pixel(0, 0), {0.6f, 0.35f, 0.1125f, 1.0f}, "lit");
  expect_pixel<P>(scene.pixel(4, 2), {0.55f, 0.3f, 0.0875f, 1.0f}, "half occluded");
}

// A constant opaque environment reflects and illuminates with its constant in every gather
// mode, however wide the footprint: illumination (1, 1, 0.5) × E × 0.5 on white, plus E.
TYPED_TEST(Final_Routine_Test, ConstantEnvironmentGivesItsColourInEveryGatherMode) {
  using P = TypeParam;
  const float white = white_of<P>();
  Standalone_Render render(3);
  Host_Layer<P> environment(render.context, 8, 4);
  environment.fill(white / 4, white / 2, white * 0.75f, white);
  const float r = environment.red(0, 0) / white;
  const float g = environment.green(0, 0) / white;
  const float b = environment.blue(0, 0) / white;
  const std::vector<float> expected{1.5f * r, 1.5f * g, 1.25f * b, 1.0f};
  for (const int64_t type : {0, 1}) {
    for (int32_t mode = 1; mode <= 4; ++mode) {
      Scene<P> scene(render.context, 6, 4);
      scene.in.perspective = 0.5f;
      scene.normals.at(2, 1) = {0.6f, 0.0f, 0.8f};
      auto& e = scene.in.environment;
      e.environment_texture = environment.view;
      e.gather_mode = mode;
      e.environment_type = type;
      e.reflection_amount = 1.0f;
      e.illumination_amount = 0.5f;
      e.illumination_color = {1.0f, 1.0f, 0.5f};
      e.blur_illumination = 0.8f;
      e.depth_scale = 50.0f;
      scene.render(render);
      for (int64_t y = 0; y < 4; ++y) {
        for (int64_t x = 0; x < 6; ++x) {
          expect_pixel<P>(scene.pixel(x, y), expected,
                          "mode " + std::to_string(mode) + " type " + std::to_string(type) +
                              " at " + std::to_string(x) + ", " + std::to_string(y));
        }
      }
    }
  }
}

// Landing points that sit exactly on the environment's pixels, without blur: both kinds of
// gather return the environment pixel under the current point itself, which shows that the
// rows are handed on with the current image row first.
TEST(Final_Routine, StillFootprintWithoutBlurReadsTheEnvironmentPixelItself) {
  Standalone_Render render(1);
  Host_Layer<brel::ARGB32f> environment(render.context, 5, 4);
  for (int64_t y = 0; y < 4; ++y) {
    for (int64_t x = 0; x < 5; ++x) {
      environment.set(x, y, 0.1f * static_cast<float>(x), 0.1f * static_cast<float>(y), 0.5f, 1);
    }
  }
  std::vector<brel::Blur_Coordinates> row(5);
  std::vector<brel::Blur_Coordinates> previous(5);
  const int64_t y = 2;
  for (int64_t x = 0; x < 5; ++x) {
    row[x] = {static_cast<float>(x), static_cast<float>(y), 0.0f};
    previous[x] = {static_cast<float>(x), static_cast<float>(y - 1), 0.0f};
  }
  brel::Environment_Parameter<brel::ARGB32f> settings;
  settings.environment_texture = environment.view;
  settings.reflection_amount = 1.0f;
  for (const int32_t mode : {1, 3}) {
    brel::Environment_Gatherer<brel::ARGB32f> gatherer;
    gatherer.set_up(render.context, environment.view, mode);
    for (int64_t x = 1; x < 5; ++x) {
      brel::Rgb_Value diffuse{0, 0, 0};
      brel::Rgb_Value specular{0, 0, 0};
      brel::add_environment_light<brel::ARGB32f>(x, y, diffuse, specular, row.data(),
                                                 previous.data(), &gatherer, nullptr, nullptr,
                                                 nullptr, settings, Layer<float>{});
      EXPECT_EQ(specular.red, environment.red(x, y)) << "mode " << mode << " at " << x;
      EXPECT_EQ(specular.green, environment.green(x, y)) << "mode " << mode << " at " << x;
    }
  }
}

// Rows wider than the runs the kernel gathers at a time, with clipped pixels scattered over
// them: every pixel that is not clipped takes the environment its own lookup gives
// (add_environment_light over its landing rows), at 1, 2 and 8 threads.
TEST(Final_Routine, EveryUnclippedPixelTakesItsOwnEnvironment) {
  using P = brel::ARGB32f;
  constexpr int64_t w = 150;
  constexpr int64_t h = 3;
  for (const int64_t threads : {1, 2, 8}) {
    Standalone_Render render(threads);
    Host_Layer<P> environment(render.context, 23, 11);
    for (int64_t y = 0; y < 11; ++y) {
      for (int64_t x = 0; x < 23; ++x) {
        environment.set(x, y, 0.04f * static_cast<float>(x), 0.09f * static_cast<float>(y),
                        static_cast<float>((x * y) % 7) * 0.1f, 1.0f);
      }
    }
    Scene<P> scene(render.context, w, h);
    for (int64_t y = 0; y < h; ++y) {
      for (int64_t x = 0; x < w; ++x) {
        const float a = 0.1f * static_cast<float>((x * 5 + y * 3) % 13) - 0.6f;
        scene.depth.at(x, y) = (x * 7 + y * 5) % 9 == 0 ? 0.0f : 5.0f + static_cast<float>(x % 4);
        scene.normals.at(x, y) = {a, 0.3f * a, std::sqrt(1.0f - 1.09f * a * a)};
      }
    }
    scene.in.alpha_clipping = 1;
    auto& e = scene.in.environment;
    e.environment_texture = environment.view;
    e.gather_mode = 1;
    e.reflection_amount = 0.6f;
    e.illumination_amount = 0.4f;
    e.illumination_color = {1.0f, 1.0f, 1.0f};
    e.blur_illumination = 0.3f;
    e.glossiness = 0.7f;
    e.depth_scale = 40.0f;
    e.perspective = 0.4f;
    scene.render(render);

    brel::Environment_Gatherer<P> gatherer;
    gatherer.set_up(render.context, environment.view, 1);
    std::vector<brel::Blur_Coordinates> reflection[2];
    std::vector<brel::Blur_Coordinates> illumination[2];
    int64_t unclipped = 0;
    for (int64_t y = 0; y < h; ++y) {
      for (int64_t k = 0; k < 2; ++k) {
        const int64_t image_row = std::max<int64_t>(y - 1 + k, 0);
        reflection[k].resize(w);
        illumination[k].resize(w);
        brel::init_reflection_coordinates_row(w, reflection[k].data(), image_row, e, scene.in.depth,
                                              scene.in.normals);
        brel::init_illumination_coordinates_row(w, illumination[k].data(), image_row, e,
                                                scene.in.depth, scene.in.normals);
      }
      for (int64_t x = 0; x < w; ++x) {
        if (scene.depth.at(x, y) == 0.0f) {
          continue;
        }
        brel::Rgb_Value diffuse{0, 0, 0};
        brel::Rgb_Value specular{0, 0, 0};
        brel::add_environment_light<P>(x, y, diffuse, specular, reflection[1].data(),
                                       reflection[0].data(), &gatherer, illumination[1].data(),
                                       illumination[0].data(), &gatherer, e, Layer<float>{});
        // A white surface, neither lit nor transparent: the diffuse and specular sums.
        expect_pixel<P>(scene.pixel(x, y),
                        {diffuse.red + specular.red, diffuse.green + specular.green,
                         diffuse.blue + specular.blue, 1.0f},
                        std::to_string(threads) + " threads at " + std::to_string(x) + ", " +
                            std::to_string(y));
        ++unclipped;
      }
    }
    EXPECT_GT(unclipped, 350);
  }
}

// The gatherer lines logged since the last marker.
std::vector<std::string> gatherer_lines(const std::string& marker) {
  std::vector<std::string> lines;
  for (const std::string& m : brel::global_log().recent_messages()) {
    if (m == marker) {
      lines.clear();
    } else if (m.rfind("init ", 0) == 0) {
      lines.push_back(m);
    }
  }
  return lines;
}

TEST(Final_Routine, GatherersAreBuiltOnlyWhereTheSettingsNeedThem) {
  const std::string reflections = "init reflections gatherer\n";
  const std::string illumination = "init environmental illumination gatherer\n";
  Standalone_Render render(2);
  brel::test::Active_Log log;
  Host_Layer<brel::ARGB8> environment(render.context, 4, 4);
  environment.fill(100, 150, 200, 255);
  struct Case {
    bool with_environment;
    float reflection;
    float illumination;
    float bias;
    float gamma;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases{
      {false, 0.0f, 0.0f, 0.0f, 1.0f, {}},
      {false, 1.0f, 0.0f, 0.0f, 1.0f, {illumination}},  // logged, but nothing to build over
      {false, 1.0f, 1.0f, 0.5f, 1.0f, {}},
      {true, 0.0f, 0.0f, 0.5f, 2.0f, {}},
      {true, 1.0f, 0.0f, 0.0f, 1.0f, {illumination}},
      {true, 1.0f, 1.0f, 0.5f, 1.0f, {reflections, illumination}},
      {true, 1.0f, 0.0f, 0.0f, 2.0f, {reflections}},
      {true, 0.0f, 1.0f, 0.0f, 2.0f, {illumination}},
  };
  for (const Case& c : cases) {
    Scene<brel::ARGB8> scene(render.context, 3, 2);
    auto& e = scene.in.environment;
    e.environment_texture = c.with_environment ? environment.view : Layer<brel::ARGB8>{};
    e.reflection_amount = c.reflection;
    e.illumination_amount = c.illumination;
    e.reflection_bias = c.bias;
    e.gamma = c.gamma;
    const std::string marker = "final routine gates\n";
    brel::global_log().write(marker, brel::Log::information);
    scene.render(render);
    EXPECT_EQ(gatherer_lines(marker), c.lines) << c.with_environment << " " << c.reflection << " "
                                               << c.illumination << " " << c.bias << " " << c.gamma;
  }
}

TEST(Final_Routine, AlphaClippingShowsTheBackgroundAndFadingFollowsTheDepth) {
  Standalone_Render render(1);
  Scene<brel::ARGB32f> scene(render.context, 4, 1);
  Host_Layer<brel::ARGB32f> background(render.context, 4, 1);
  background.fill(0.2f, 0.4f, 0.6f, 0.5f);
  scene.in.background = background.view;
  scene.in.alpha_clipping = 1;
  scene.in.colorize = 0.5f;
  scene.depth.at(1, 0) = 0.0f;
  scene.depth.at(2, 0) = 2.5f;
  scene.render(render);
  expect_pixel<brel::ARGB32f>(scene.pixel(1, 0), {0.2f, 0.4f, 0.6f, 0.0f}, "clipped, opaque");
  // A transparent surface shows the plain background there, opaque.
  scene.in.transparency = 0.5f;
  scene.render(render);
  expect_pixel<brel::ARGB32f>(scene.pixel(1, 0), {0.2f, 0.4f, 0.6f, 1.0f}, "clipped, transparent");
  // Fading over 5: nothing at depth 0, half at 2.5, all at 10.
  scene.in.alpha_fading = 5.0f;
  scene.render(render);
  EXPECT_EQ(scene.pixel(1, 0)[3], 0.0f);
  EXPECT_EQ(scene.pixel(2, 0)[3], 0.5f);
  EXPECT_EQ(scene.pixel(3, 0)[3], 1.0f);
}

TEST(Final_Routine, RefractedImageIsReadByItsOriginAndRaisedByGamma) {
  Standalone_Render render(1);
  Scene<brel::BGRA16> scene(render.context, 3, 1);
  Plain_Layer<brel::RGB32f> refracted(2, 1, brel::RGB32f{{0.25f, 0.5f, 1.0f}});
  refracted.at(1, 0) = {{0.0f, 0.04f, 0.16f}};
  refracted.view.origin_x = 1;
  scene.in.refracted_image = refracted.view;
  // A background layer is not read while there is a refracted image.
  Host_Layer<brel::BGRA16> background(render.context, 3, 1);
  background.fill(32768, 32768, 32768, 32768);
  scene.in.background = background.view;
  scene.in.transparency = 1.0f;
  scene.in.gamma = 2.0f;
  scene.render(render);
  expect_pixel<brel::BGRA16>(scene.pixel(0, 0), {0.0f, 0.0f, 0.0f, 1.0f}, "outside");
  expect_pixel<brel::BGRA16>(scene.pixel(1, 0), {0.5f, 0.70710677f, 1.0f, 1.0f}, "first");
  expect_pixel<brel::BGRA16>(scene.pixel(2, 0), {0.0f, 0.2f, 0.4f, 1.0f}, "second");
}

TEST(Final_Routine, HighlightsOnlyWritesTheSpecularSumOpaque) {
  Standalone_Render render(1);
  Scene<brel::ARGB8> scene(render.context, 2, 1);
  scene.in.highlights_only = 1;
  scene.in.direct_light.intensity = 2.0f;
  scene.in.direct_light.direction = {0.0f, 0.0f, -1.0f};
  scene.in.direct_light.color = {1.0f, 0.25f, 0.0f};
  scene.in.glossiness = 1.0f;  // a straight-on highlight of strength 1
  scene.in.alpha_clipping = 1;
  scene.depth.at(1, 0) = 0.0f;
  scene.render(render);
  expect_pixel<brel::ARGB8>(scene.pixel(0, 0), {1.0f, 0.5f, 0.0f, 1.0f}, "lit");
  expect_pixel<brel::ARGB8>(scene.pixel(1, 0), {0.0f, 0.0f, 0.0f, 1.0f}, "clipped");
}

// A scene with everything on: both lights, supersampling, textures, an environment in a
// triangle mode. Rows run in any order on any worker; the frame must not depend on it, also when
// it has fewer rows than there are workers.
// Both lights, glossiness, translucency, supersampling and an environment to reflect and be lit
// by, over a surface of varying depth and slope.
template <class P>
void light_everything(Scene<P>& scene, const Layer<P>& environment, int32_t gather_mode) {
  const int64_t w = scene.in.output.width;
  for (int64_t y = 0; y < scene.in.output.height; ++y) {
    for (int64_t x = 0; x < w; ++x) {
      const float a = 0.3f * static_cast<float>((x * 7 + y * 3) % 5) - 0.6f;
      scene.depth.at(x, y) = static_cast<float>((x * x + y) % 11) * 3.0f;
      scene.normals.at(x, y) = {a, 0.2f * a, std::sqrt(1.0f - 1.04f * a * a)};
    }
  }
  auto& in = scene.in;
  in.oversampling = 4;
  in.glossiness = 0.7f;
  in.translucency = 0.3f;
  in.perspective = 0.4f;
  in.depth_scale = 40.0f;
  in.direct_light = {0.8f, 1.0f, {0.3f, 0.3f, -0.9f}, {1.0f, 0.9f, 0.8f}, true, 0};
  in.point_light.intensity = 1.5f;
  in.point_light.falloff = 1.0f;
  in.point_light.position_x = 4.0f;
  in.point_light.position_z = 60.0f;
  in.point_light.color = {1.0f, 1.0f, 1.0f};
  in.environment.environment_texture = environment;
  in.environment.gather_mode = gather_mode;
  in.environment.reflection_amount = 0.6f;
  in.environment.illumination_amount = 0.4f;
  in.environment.illumination_color = {1.0f, 1.0f, 1.0f};
  in.environment.blur_illumination = 0.3f;
  in.environment.glossiness = 0.7f;
  in.environment.depth_scale = 40.0f;
  in.environment.perspective = 0.4f;
}

template <class P>
std::vector<uint8_t> frame_bytes(const Scene<P>& scene) {
  std::vector<uint8_t> frame;
  const Layer<P>& view = scene.output.view;
  for (int64_t y = 0; y < view.height; ++y) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(view.row(y));
    frame.insert(frame.end(), bytes, bytes + view.width * static_cast<int64_t>(sizeof(P)));
  }
  return frame;
}

TEST(Final_Routine, FrameIsTheSameAtEveryThreadCountAndForFewRows) {
  // Also with one sample a pixel and no translucency, where the lights go eight pixels at a time.
  for (const auto& [height, one_sample] : {std::pair{3, false}, {17, false}, {17, true}}) {
    std::vector<std::vector<uint8_t>> frames;
    for (const int64_t threads : {1, 2, 8}) {
      Standalone_Render render(threads);
      Scene<brel::ARGB16> scene(render.context, 13, height);
      Host_Layer<brel::ARGB16> environment(render.context, 7, 5);
      for (int64_t y = 0; y < 5; ++y) {
        for (int64_t x = 0; x < 7; ++x) {
          environment.set(x, y, 4000.0f * x, 6000.0f * y, 20000, 32768);
        }
      }
      light_everything(scene, environment.view, 3);
      if (one_sample) {
        scene.in.oversampling = 1;
        scene.in.translucency = 0.0f;
      }
      scene.render(render);
      frames.push_back(frame_bytes(scene));
    }
    EXPECT_EQ(frames[1], frames[0]) << height << " rows";
    EXPECT_EQ(frames[2], frames[0]) << height << " rows";
  }
}

// The kernel shades groups of rows that share their landing rows; every row, at every place in
// a group and in a last group cut short, comes out bit for bit as the one-row body shades it.
TEST(Final_Routine, RowGroupsShadeEveryRowAsTheOneRowBodyDoes) {
  using P = brel::ARGB32f;
  constexpr int64_t w = 11;
  constexpr int64_t h = 2 * brel::final_routine_rows + 5;
  for (const int64_t threads : brel::test::thread_counts) {
    Standalone_Render render(threads);
    Host_Layer<P> environment(render.context, 9, 6);
    for (int64_t y = 0; y < 6; ++y) {
      for (int64_t x = 0; x < 9; ++x) {
        environment.set(x, y, 0.1f * x, 0.15f * y, 0.6f, 1.0f);
      }
    }
    Scene<P> grouped(render.context, w, h);
    light_everything(grouped, environment.view, 1);
    grouped.render(render);

    Scene<P> single(render.context, w, h);
    light_everything(single, environment.view, 1);
    brel::Environment_Gatherer<P> gatherer;
    gatherer.set_up(render.context, environment.view, 1);
    const auto landing = brel::make_blur_coordinates_array(render.context, w, 4 * threads);
    brel::cpu_kernel_launch(h, &brel::final_routine_body<P>, render.context, single.in, &gatherer,
                            &gatherer, brel::array_2d_view<brel::Blur_Coordinates>(*landing));
    EXPECT_EQ(frame_bytes(grouped), frame_bytes(single)) << threads << " threads";
  }
}

// Every pixel of `output`, which holds the surface colour, shaded by the pixel rules of the
// lights and the compositing as the kernel shades it without an environment.
template <class P>
void shade_by_pixel_rules(const brel::Final_Routine_Parameters_In<P>& in, const Layer<P>& output) {
  brel::Final_Routine_Parameters_In<P> lit = in;
  lit.output = output;
  lit.direct_light.color = {in.direct_light.color.red * in.direct_light.intensity,
                            in.direct_light.color.green * in.direct_light.intensity,
                            in.direct_light.color.blue * in.direct_light.intensity};
  for (int64_t y = 0; y < output.height; ++y) {
    for (int64_t x = 0; x < output.width; ++x) {
      brel::Rgb_Value diffuse{0, 0, 0};
      brel::Rgb_Value specular{0, 0, 0};
      const brel::Rgb_Value none{0, 0, 0};
      brel::shade_lights_pixel(x, y, diffuse, specular, lit);
      brel::composite_pixel(x, y, 0, lit, {&diffuse, &specular, &none, &none, false, false});
    }
  }
}

// Renders `scene`, whose output holds the surface colour, and expects the frame the pixel rules
// give each of its pixels.
template <class P>
void expect_frame_of_pixel_rules(const Scene<P>& scene, Standalone_Render& render,
                                 const testing::Message& label) {
  const int64_t w = scene.output.view.width;
  const int64_t h = scene.output.view.height;
  Scene<P> expected(render.context, w, h);
  for (int64_t y = 0; y < h; ++y) {
    for (int64_t x = 0; x < w; ++x) {
      expected.output.at(x, y) = scene.output.at(x, y);
    }
  }
  scene.render(render);

  shade_by_pixel_rules(scene.in, expected.output.view);
  EXPECT_EQ(frame_bytes(scene), frame_bytes(expected)) << label;
}

// With one sample a pixel, a refracted background and no environment to gather, the lights and
// the compositing run in vector lanes; at any thread count the frame is what the pixel rules
// give each pixel.
TEST(Final_Routine, LitAndCompositedRunsGiveThePixelRulesAtEveryThreadCount) {
  using P = brel::ARGB16;
  constexpr int64_t w = 37;
  constexpr int64_t h = 19;
  for (const int64_t threads : brel::test::thread_counts) {
    Standalone_Render render(threads);
    Host_Layer<P> environment(render.context, 2, 2);
    Scene<P> scene(render.context, w, h);
    light_everything(scene, environment.view, 1);
    Plain_Layer<brel::RGB32f> refracted(w, h);
    Plain_Layer<float> occlusion(w, h);
    for (int64_t y = 0; y < h; ++y) {
      for (int64_t x = 0; x < w; ++x) {
        const float v = static_cast<float>((x * 13 + y * 7) % 17) / 16.0f;
        refracted.at(x, y) = {{v, 1.0f - v, 0.5f * v}};
        occlusion.at(x, y) = 1.0f - 0.5f * v;
        scene.output.set(x, y, 30000.0f * v, 20000.0f, 1000.0f * y, 32768.0f);
      }
    }
    auto& in = scene.in;
    in.oversampling = 1;
    in.translucency = 0.0f;
    in.environment.environment_texture = Layer<P>{};
    in.refracted_image = refracted.view;
    in.occlusion = occlusion.view;
    in.transparency = 0.35f;
    in.colorize = 0.3f;
    expect_frame_of_pixel_rules(scene, render, testing::Message() << threads << " threads");
  }
}

// Textures over parts of the frame, a gamma correction, highlights only and clipped pixels, at
// every oversampling: at any thread count the frame is what the pixel rules give each pixel, in
// every pixel type.
TYPED_TEST(Final_Routine_Test, TexturedGammaAndHighlightFramesGiveThePixelRules) {
  using P = TypeParam;
  constexpr int64_t w = 37;
  constexpr int64_t h = 19;
  uint32_t state = 77;
  const auto next = [&]() {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
  };
  const auto texture = [&](int64_t width, int64_t height, int64_t x, int64_t y) {
    auto layer = std::make_unique<Plain_Layer<P>>(width, height);
    const float white = white_of<P>();
    for (auto& p : layer->data) {
      for (auto& c : p.channel) {
        c = static_cast<typename Pixel_Traits<P>::Channel>(
            white * static_cast<float>(next() % 1000) / 800.0f);
      }
    }
    layer->view.origin_x = x;
    layer->view.origin_y = y;
    return layer;
  };
  // Each texture ends inside the frame, some of them one column before a group of eight does.
  const auto gloss = texture(14, 7, 9, 3);
  const auto translucency = texture(25, 19, -4, 0);
  const auto transparency = texture(30, 10, 11, 8);
  const auto specular_color = texture(40, 5, 2, 12);
  const auto background = texture(28, 12, 3, 5);
  Plain_Layer<brel::RGB32f> refracted(26, 15);
  for (auto& p : refracted.data) {
    p = {{static_cast<float>(next() % 1000) / 700.0f, 0.3f, static_cast<float>(next() % 9) / 8.0f}};
  }
  refracted.view.origin_x = 6;
  refracted.view.origin_y = 2;
  for (int32_t setting = 0; setting < 16; ++setting) {
    for (const int64_t threads : brel::test::thread_counts) {
      Standalone_Render render(threads);
      Host_Layer<P> environment(render.context, 2, 2);
      Scene<P> scene(render.context, w, h);
      light_everything(scene, environment.view, 1);
      for (int64_t y = 0; y < h; ++y) {
        for (int64_t x = 0; x < w; ++x) {
          const float v = static_cast<float>((x * 13 + y * 7) % 17) / 16.0f;
          const float white = white_of<P>();
          scene.output.set(x, y, white * v, 0.6f * white, white * static_cast<float>(y) / 19.0f,
                           white);
        }
      }
      auto& in = scene.in;
      in.oversampling = setting / 4 + 1;
      in.environment.environment_texture = Layer<P>{};
      in.glossiness_texture = gloss->view;
      in.translucency_texture = translucency->view;
      in.transparency_texture = transparency->view;
      in.specular_color_texture = specular_color->view;
      in.specular_tint = 0.7f;
      in.transparency = 0.6f;
      in.colorize = 0.3f;
      in.gamma = std::array{1.0f, 1.7f, 1.0f, 0.6f}[setting % 4];
      in.highlights_only = setting % 4 == 2 ? 1 : 0;
      in.alpha_clipping = setting % 4 == 3 ? 1 : 0;
      if (setting % 2 == 1) {
        in.refracted_image = refracted.view;
      } else {
        in.background = background->view;
      }
      expect_frame_of_pixel_rules(scene, render,
                                  testing::Message()
                                      << "setting " << setting << ", " << threads << " threads");
    }
  }
}

TEST(Final_Routine, EmptyOutputWritesNothing) {
  Standalone_Render render(4);
  Scene<brel::BGRA8> scene(render.context, 3, 2);
  scene.in.direct_light.intensity = 1.0f;
  scene.in.direct_light.color = {0.0f, 0.0f, 0.0f};
  Host_Layer<brel::BGRA8> environment(render.context, 2, 2);
  environment.fill(1, 2, 3, 4);
  scene.in.environment.environment_texture = environment.view;
  scene.in.environment.illumination_amount = 1.0f;
  for (const auto& [width, height] : {std::pair<int64_t, int64_t>{3, 0}, {0, 2}}) {
    scene.in.output.width = width;
    scene.in.output.height = height;
    scene.render(render);
    EXPECT_EQ(scene.pixel(0, 0), (std::vector<float>{1, 1, 1, 1})) << width << " × " << height;
  }
}

}  // namespace
