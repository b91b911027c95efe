#include "kernel/kernel_directional_shadow_cpu.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <tuple>
#include <vector>

#include "base/memory_pool_2d.h"
#include "support/float_layer.h"
#include "support/standalone_render.h"

namespace {

using brel::Kernel_Directional_Shadow;
using brel::Transformation_Information;
using brel::test::Float_Layer;
using brel::test::Standalone_Render;

// Sheared layers and their resampling written out plainly: one line after another, a sample
// at a time, into vectors that start as zeros.
class Plain_Directional_Shadow {
 public:
  Plain_Directional_Shadow(const Kernel_Directional_Shadow::Parameters_In& in,
                           const Transformation_Information& t)
      : in_(in), t_(t), W_(in.depth_with_border.width), H_(in.depth_with_border.height) {
    const int64_t length = t.along_x != 0 ? W_ : H_;
    sheared_.assign(length * t.line_count, 0.0f);
    sheared_translucent_.assign(length * t.line_count, 0.0f);
    for (int64_t i = 0; i < t.line_count; ++i) {
      if (t.along_x != 0) {
        line(i, {t.x0, t.y0 + i}, {t.x1, t.y1 + i}, true, W_, H_);
      } else {
        line(i, {t.x0 + i, t.y0}, {t.x1 + i, t.y1}, false, H_, W_);
      }
    }
    shadow_.assign(W_ * H_, 0.0f);
    translucent_.assign(W_ * H_, 0.0f);
    unshear(shadow_, sheared_, length);
    unshear(translucent_, sheared_translucent_, length);
  }

  float shadow(int64_t x, int64_t y) const { return shadow_[y * W_ + x]; }
  float translucent(int64_t x, int64_t y) const { return translucent_[y * W_ + x]; }

  // The pixels a run writes: output columns (lines along y) or rows (along x) past the last line
  // are not written.
  int64_t written_width() const { return t_.along_x != 0 ? W_ : std::min(t_.line_count, W_); }
  int64_t written_height() const { return t_.along_x != 0 ? std::min(t_.line_count, H_) : H_; }

  // Written pixels of a run's two layers whose bits differ from these.
  int64_t mismatches(const brel::Layer<float>& shadow,
                     const brel::Layer<float>& translucent) const {
    int64_t count = 0;
    for (int64_t y = 0; y < written_height(); ++y) {
      for (int64_t x = 0; x < written_width(); ++x) {
        count += std::bit_cast<uint32_t>(shadow.row(y)[x]) !=
                 std::bit_cast<uint32_t>(this->shadow(x, y));
        count += std::bit_cast<uint32_t>(translucent.row(y)[x]) !=
                 std::bit_cast<uint32_t>(this->translucent(x, y));
      }
    }
    return count;
  }

 private:
  struct Point {
    float x;
    float y;
  };

  float depth(float qx, float qy) const {
    const brel::Layer<float>& d = in_.depth_with_border;
    const int64_t x0 = static_cast<int64_t>(std::floor(qx));
    const int64_t y0 = static_cast<int64_t>(std::floor(qy));
    const float fx = qx - std::floor(qx);
    const float fy = qy - std::floor(qy);
    const int64_t xa = std::min(std::max<int64_t>(x0, 0), W_ - 1);
    const int64_t xb = std::min(std::max<int64_t>(x0, -1) + 1, W_ - 1);
    const int64_t ya = std::min(std::max<int64_t>(y0, 0), H_ - 1);
    const int64_t yb = std::min(std::max<int64_t>(y0, -1) + 1, H_ - 1);
    return ((1.0f - fx) * d.row(ya)[xa] + fx * d.row(ya)[xb]) * (1.0f - fy) +
           ((1.0f - fx) * d.row(yb)[xa] + fx * d.row(yb)[xb]) * fy;
  }

  // Line i from `start` to `end`, stepping along x or along y; (ax, ay) is 1 on the stepping
  // axis and m on the other.
  void line(int64_t i, Point start, Point end, bool along_x, int64_t steps, int64_t across) {
    const float dx = end.x - start.x;
    const float dy = end.y - start.y;
    const float s0 = along_x ? start.x : start.y;
    const float s1 = along_x ? end.x : end.y;
    const float c0 = along_x ? start.y : start.x;
    const float dir = s0 <= s1 ? 1.0f : -1.0f;
    const float m = along_x ? dy / dx : dx / dy;
    const float ax = along_x ? 1.0f : m;
    const float ay = along_x ? m : 1.0f;
    // 0.51 <= c0 + dir m k <= across - 1.51
    float k_low = -std::numeric_limits<float>::infinity();
    float k_high = std::numeric_limits<float>::infinity();
    const float slope_k = dir * m;
    if (slope_k != 0.0f) {
      const float k_a = (0.51f - c0) / slope_k;
      const float k_b = (static_cast<float>(across) - 1.51f - c0) / slope_k;
      k_low = std::min(k_a, k_b);
      k_high = std::max(k_a, k_b);
    }
    const float top = static_cast<float>(steps) - 1.51f;
    const int64_t a = static_cast<int64_t>(std::min(std::max(k_low, 0.51f), top));
    const int64_t b = static_cast<int64_t>(std::min(std::max(k_high, 0.51f), top));
    const float drop = std::sqrt(dx * dx + dy * dy) / std::fabs(along_x ? dx : dy) * t_.slope;
    const float sx = in_.depth_with_border.scale_x;
    const float sy = in_.depth_with_border.scale_y;
    const float k_scale = 1.4142135f / std::sqrt(sx * sx + sy * sy);
    const float t = in_.translucency;
    double h = -999999999.9;
    bool lit = false;
    double acc = 0.0;
    const int64_t length = along_x ? W_ : H_;
    for (int64_t k = a; k < b; ++k) {
      float value;
      h = h - drop;
      const float kk = static_cast<float>(k + 1);
      const float z = depth(kk * dir * ax + start.x - 0.5f, kk * dir * ay + start.y - 0.5f);
      if (in_.skip_zero_depth && z == 0.0f) {
        value = 1.0f;
      } else if (lit == (z > h)) {
        if (z > h) {
          h = z;
          acc = 0.0;
          lit = true;
          value = 0.0f;
        } else {
          acc = std::min(1.0, std::max(0.0, acc + static_cast<float>((h - z) * 0.003) * k_scale /
                                                      (t * t * t)));
          lit = false;
          value = 1.0f;
        }
      } else {
        h = h + drop;
        value = 1.0f;
        bool above = false;
        for (float f = 0.0f; f <= 1.0f; f += 0.1f) {
          h = h - static_cast<double>(drop * 0.1f);
          const float zs = depth((f + static_cast<float>(k)) * dir * ax + start.x - 0.5f,
                                 (f + static_cast<float>(k)) * dir * ay + start.y - 0.5f);
          above = zs > h;
          if (above) {
            h = zs;
            value = value - 0.1f;
            acc = 0.0;
          } else {
            acc = std::min(1.0, std::max(0.0, acc + static_cast<float>((h - zs) * 0.003) * k_scale *
                                                        0.1f / (t * t * t)));
          }
        }
        lit = above;
      }
      const int64_t index = static_cast<int64_t>(static_cast<float>(k) * dir + s0);
      sheared_[i * length + index] = value;
      sheared_translucent_[i * length + index] = static_cast<float>(acc);
    }
  }

  void unshear(std::vector<float>& out, const std::vector<float>& sheared, int64_t length) {
    const bool along_x = t_.along_x != 0;
    const float dx = t_.x1 - t_.x0;
    const float dy = t_.y1 - t_.y0;
    const bool flip = along_x ? (dy < 0.0f) != (dx < 0.0f) : (dx < 0.0f) != (dy < 0.0f);
    const float shift = std::fabs(along_x ? dy : dx);
    const int64_t n = t_.line_count;
    for (int64_t o = 0; o < std::min(n, along_x ? H_ : W_); ++o) {
      const int64_t inner = along_x ? W_ : H_;
      for (int64_t p = 0; p < inner; ++p) {
        float t = static_cast<float>(p) / static_cast<float>(inner - 1);
        if (!flip) {
          t = 1.0f - t;
        }
        const float u = t * shift + static_cast<float>(o);
        const int64_t l = static_cast<int64_t>(std::floor(u));
        const float a = l < n ? sheared[l * length + p] : 0.0f;
        float value = a;
        if (l + 1 < n) {
          const float g = static_cast<float>(l) - u + 1.0f;
          value = a * g + sheared[(l + 1) * length + p] * (1.0f - g);
        }
        out[along_x ? o * W_ + p : p * W_ + o] = value;
      }
    }
  }

  Kernel_Directional_Shadow::Parameters_In in_;
  Transformation_Information t_;
  int64_t W_;
  int64_t H_;
  std::vector<float> sheared_;
  std::vector<float> sheared_translucent_;
  std::vector<float> shadow_;
  std::vector<float> translucent_;
};

brel::Direct_Light light_along(brel::Vector_3<float> direction) {
  brel::Direct_Light light;
  light.intensity = 1.0f;
  light.direction = direction;
  light.shadows = true;
  return light;
}

Kernel_Directional_Shadow::Parameters_In settings(const brel::Layer<float>& depth,
                                                  brel::Vector_3<float> direction,
                                                  float translucency = 0.0f) {
  Kernel_Directional_Shadow::Parameters_In in;
  in.depth_with_border = depth;
  in.depth_scale = 100.0f;
  in.translucency = translucency;
  in.light = light_along(direction);
  return in;
}

// The default light (angle 135, forward angle 0.5), 30 degrees at a lower elevation, lights
// along each axis and from every quadrant.
const brel::Vector_3<float> directions[] = {
    brel::direct_light_direction(135.0, 0.5), brel::direct_light_direction(30.0, 0.9),
    brel::direct_light_direction(90.0, 1.2),  brel::direct_light_direction(0.0, 1.0),
    brel::direct_light_direction(200.0, 0.7), brel::direct_light_direction(290.0, 0.4),
    brel::direct_light_direction(250.0, 1.5), {-0.3f, 0.5f, -0.2f},
};

// Rolling depth with noise, a tenth of it without surface (depth 0).
void fill_rough(Float_Layer& depth, std::mt19937& random) {
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  depth.fill([&](int64_t x, int64_t y) {
    const float r = unit(random);
    return r < 0.1f ? 0.0f : 10.0f + 8.0f * std::sin(0.4f * x) * std::cos(0.3f * y) + r;
  });
}

// The layers the pipeline reads are the inner views, 3 pixels in from every side: they match
// the plain sweep bit for bit at every thread count.
TEST(Directional_Shadow, InnerLayersMatchThePlainSweepAtEveryThreadCount) {
  std::mt19937 random(3);
  // The wider and the taller layer give lines along y several bands, whose workers march into
  // rows of their own and reuse them band after band.
  for (const auto& [width, height, threads] :
       std::vector<std::tuple<int64_t, int64_t, int64_t>>{{45, 31, 1},
                                                          {45, 31, 2},
                                                          {45, 31, 8},
                                                          {203, 41, 1},
                                                          {203, 41, 2},
                                                          {203, 41, 8},
                                                          {61, 157, 1},
                                                          {61, 157, 2},
                                                          {61, 157, 8}}) {
    Standalone_Render render(threads);
    Float_Layer depth(render.context, width, height, 0.75f);
    fill_rough(depth, random);
    for (const auto& direction : directions) {
      for (const bool skip : {false, true}) {
        Kernel_Directional_Shadow kernel;
        kernel.parameters_in = settings(depth.view, direction, 0.4f);
        kernel.parameters_in.skip_zero_depth = skip;
        kernel.execute(render.context);
        const Plain_Directional_Shadow plain(kernel.parameters_in,
                                             brel::directional_light_setup(kernel.parameters_in));
        ASSERT_NE(kernel.shadow_layer, nullptr);
        ASSERT_NE(kernel.translucent_shadow_layer, nullptr);
        const brel::Layer<float> shadow = brel::layer_view<float>(*kernel.shadow_layer);
        const brel::Layer<float> translucent =
            brel::layer_view<float>(*kernel.translucent_shadow_layer);
        int64_t mismatches = 0;
        for (int64_t y = 3; y < height - 3; ++y) {
          for (int64_t x = 3; x < width - 3; ++x) {
            mismatches += shadow.row(y)[x] != plain.shadow(x, y);
            mismatches += translucent.row(y)[x] != plain.translucent(x, y);
          }
        }
        EXPECT_EQ(mismatches, 0) << threads << " threads, direction " << direction.x << ", "
                                 << direction.y << ", skip " << skip;
      }
    }
  }
}

// Every step samples the depth halfway between two of its rows (lines along y) or columns
// (along x), the first and last steps next to the layer's edges: on bordered layers from one
// to a few pixels inside, and on a larger one, every pixel the run writes, the border included,
// matches the plain sweep bit for bit at every thread count.
TEST(Directional_Shadow, EveryWrittenPixelMatchesThePlainSweepUpToTheEdges) {
  std::mt19937 random(11);
  std::vector<std::pair<int64_t, int64_t>> sizes = {{37, 23}};
  for (int64_t width = 2; width <= 10; ++width) {
    for (int64_t height = 2; height <= 10; ++height) {
      sizes.push_back({width, height});
    }
  }
  for (const int64_t threads : {1, 2, 8}) {
    Standalone_Render render(threads);
    for (const auto& [width, height] : sizes) {
      Float_Layer depth(render.context, width, height, 0.75f);
      fill_rough(depth, random);
      for (const auto& direction : directions) {
        Kernel_Directional_Shadow kernel;
        kernel.parameters_in = settings(depth.view, direction, 0.4f);
        kernel.execute(render.context);
        const Transformation_Information t = brel::directional_light_setup(kernel.parameters_in);
        const Plain_Directional_Shadow plain(kernel.parameters_in, t);
        if (kernel.shadow_layer == nullptr) {
          EXPECT_EQ(t.line_count, 0) << width << " x " << height;
          continue;
        }
        const brel::Layer<float> shadow = brel::layer_view<float>(*kernel.shadow_layer);
        const brel::Layer<float> translucent =
            brel::layer_view<float>(*kernel.translucent_shadow_layer);
        EXPECT_EQ(plain.mismatches(shadow, translucent), 0)
            << width << " x " << height << ", " << threads << " threads, direction " << direction.x
            << ", " << direction.y;
      }
    }
  }
}

// A layer one pixel high or wide has one position along its lines, where the resampling's
// place along the line, position over positions - 1, is 0 / 0: the run still ends, and what it
// writes are shadow values, not NaNs.
TEST(Directional_Shadow, ALayerOnePixelAcrossEndsWithShadowValues) {
  std::mt19937 random(12);
  Standalone_Render render(2);
  for (const auto& [width, height] : {std::pair<int64_t, int64_t>{1, 9}, {9, 1}, {1, 1}}) {
    Float_Layer depth(render.context, width, height, 0.75f);
    fill_rough(depth, random);
    for (const auto& direction : directions) {
      Kernel_Directional_Shadow kernel;
      kernel.parameters_in = settings(depth.view, direction, 0.4f);
      kernel.execute(render.context);
      if (kernel.shadow_layer == nullptr) {
        continue;
      }
      const Transformation_Information t = brel::directional_light_setup(kernel.parameters_in);
      const brel::Layer<float> shadow = brel::layer_view<float>(*kernel.shadow_layer);
      const int64_t written = std::min(t.line_count, t.along_x != 0 ? height : width);
      for (int64_t y = 0; y < (t.along_x != 0 ? written : height); ++y) {
        for (int64_t x = 0; x < (t.along_x != 0 ? width : written); ++x) {
          EXPECT_TRUE(shadow.row(y)[x] >= 0.0f && shadow.row(y)[x] <= 1.0f)
              << width << " x " << height << " at " << x << ", " << y << ": " << shadow.row(y)[x];
        }
      }
    }
  }
}

// A layer's values as bits, so that the sign of a zero and the payload of a NaN count.
std::vector<uint32_t> bits(const brel::Layer<float>& layer) {
  std::vector<uint32_t> values;
  for (const float v : brel::test::values_of(layer)) {
    values.push_back(std::bit_cast<uint32_t>(v));
  }
  return values;
}

// The plain passes on one thread: the sweep into the sheared layers, then the unshear from them.
// Layers 0 and 1 are sheared (shadow and translucent), 2 and 3 the output layers they resample
// into; the translucent ones may be empty.
void sweep_and_unshear(const brel::Render_Context& context, const Transformation_Information& t,
                       const Kernel_Directional_Shadow::Parameters_In& in,
                       const std::vector<Float_Layer>& layers) {
  brel::directional_shadow_sweep_body({0, 1, 0, 1}, context, t, in, layers[0].view, layers[1].view);
  brel::directional_shadow_unshear_body({0, 1, 0, 1}, context, t, layers[2].view, layers[0].view,
                                        layers[3].view, layers[1].view);
}

// The run's band body over the same layers, `lines_per_band` lines a band.
void march_in_bands(const brel::Render_Context& context, const Transformation_Information& t,
                    const Kernel_Directional_Shadow::Parameters_In& in,
                    const std::vector<Float_Layer>& layers, int64_t lines_per_band) {
  const brel::Directional_Shadow_Bands bands(context, t, layers[2].view, lines_per_band,
                                             layers[1].view.pixels != nullptr);
  brel::cpu_kernel_launch(bands.group_count(), &brel::directional_shadow_band_body, context, &bands,
                          t, in, layers[0].view, layers[1].view, layers[2].view, layers[3].view);
}

// With lines along y the run marches and resamples them in bands, handed out in groups of
// neighbours, each band's output pixels right after its lines from its worker's rows, and the
// pixels between two bands after the second of them from the lines the bands copied into the
// sheared layers. At every band size (one line a band makes every pixel such a seam pixel) and
// thread count, every pixel of both output layers, the border included, holds what the sweep
// and unshear bodies write, bit for bit, and pixels those leave alone stay as they were.
TEST(Directional_Shadow, BandsWriteEveryPixelTheSweepAndUnshearWrite) {
  std::mt19937 random(5);
  const float untouched = -12345.0f;
  std::set<std::pair<bool, bool>> leanings;
  for (const auto& [width, height] :
       std::vector<std::pair<int64_t, int64_t>>{{45, 31}, {23, 64}, {203, 41}}) {
    Standalone_Render plain_render(1);
    Float_Layer depth(plain_render.context, width, height, 0.75f);
    fill_rough(depth, random);
    for (const auto& direction : directions) {
      for (const float translucency : {0.0f, 0.4f}) {
        const Kernel_Directional_Shadow::Parameters_In in =
            settings(depth.view, direction, translucency);
        const Transformation_Information t = brel::directional_light_setup(in);
        if (t.along_x != 0) {
          continue;
        }
        leanings.insert({t.y0 < t.y1, t.x0 < t.x1});
        const int64_t sheared_width = height;
        const auto layers = [&](Standalone_Render& render) {
          std::vector<Float_Layer> made;
          for (int i = 0; i < 2; ++i) {
            made.emplace_back(render.context, sheared_width, t.line_count)
                .fill([](int64_t, int64_t) { return 0.0f; });
          }
          for (int i = 0; i < 2; ++i) {
            made.emplace_back(render.context, width, height).fill([&](int64_t, int64_t) {
              return untouched;
            });
          }
          if (translucency == 0.0f) {
            made[1].view = brel::empty_layer<float>();
            made[3].view = brel::empty_layer<float>();
          }
          return made;
        };
        const std::vector<Float_Layer> plain = layers(plain_render);
        sweep_and_unshear(plain_render.context, t, in, plain);
        for (const int64_t threads : {1, 2, 8}) {
          Standalone_Render render(threads);
          for (const int64_t lines_per_band : {1, 2, 5, 16, 1000}) {
            const std::vector<Float_Layer> banded = layers(render);
            march_in_bands(render.context, t, in, banded, lines_per_band);
            const auto where = [&] {
              return testing::Message()
                     << width << " x " << height << ", direction " << direction.x << ", "
                     << direction.y << ", translucency " << translucency << ", " << threads
                     << " threads, " << lines_per_band << " lines a band";
            };
            EXPECT_EQ(bits(banded[2].view), bits(plain[2].view)) << where();
            if (translucency != 0.0f) {
              EXPECT_EQ(bits(banded[3].view), bits(plain[3].view)) << where();
            }
          }
        }
      }
    }
  }
  // Lines running down and up the layer, each leaning either way.
  EXPECT_EQ(leanings.size(), 4u);
}

// Bands resample their pixels eight output rows at a time where the processor has AVX2, from
// their columns of the band's rows turned side by side, for bands of up to 128 lines; wider
// bands and the rows left over below a multiple of eight take the plain rule. Either way every
// pixel is the plain unshear's: bands just under, at and over that width, rows left over at
// both ends as bands go up and down, and slopes that are not whole, whose rounding now and then
// repeats or skips a line within eight pixels.
TEST(Directional_Shadow, WideBandsWriteEveryPixelTheSweepAndUnshearWrite) {
  std::mt19937 random(17);
  const float untouched = -12345.0f;
  constexpr int64_t width = 300;
  constexpr int64_t height = 203;
  Standalone_Render plain_render(1);
  Float_Layer depth(plain_render.context, width, height, 0.75f);
  fill_rough(depth, random);
  int64_t along_y = 0;
  for (const auto& direction : directions) {
    const Kernel_Directional_Shadow::Parameters_In in = settings(depth.view, direction, 0.4f);
    const Transformation_Information t = brel::directional_light_setup(in);
    if (t.along_x != 0) {
      continue;
    }
    ++along_y;
    const auto layers = [&](Standalone_Render& render) {
      std::vector<Float_Layer> made;
      for (int i = 0; i < 2; ++i) {
        made.emplace_back(render.context, height, t.line_count).fill([](int64_t, int64_t) {
          return 0.0f;
        });
      }
      for (int i = 0; i < 2; ++i) {
        made.emplace_back(render.context, width, height).fill([&](int64_t, int64_t) {
          return untouched;
        });
      }
      return made;
    };
    const std::vector<Float_Layer> plain = layers(plain_render);
    sweep_and_unshear(plain_render.context, t, in, plain);
    for (const int64_t threads : {1, 8}) {
      Standalone_Render render(threads);
      for (const int64_t lines_per_band : {8, 9, 127, 128, 129}) {
        const std::vector<Float_Layer> banded = layers(render);
        march_in_bands(render.context, t, in, banded, lines_per_band);
        EXPECT_EQ(bits(banded[2].view), bits(plain[2].view))
            << "direction " << direction.x << ", " << direction.y << ", " << threads << " threads, "
            << lines_per_band << " lines a band";
        EXPECT_EQ(bits(banded[3].view), bits(plain[3].view))
            << "direction " << direction.x << ", " << direction.y << ", " << threads << " threads, "
            << lines_per_band << " lines a band";
      }
    }
  }
  EXPECT_GE(along_y, 3);
}

// Where the processor has AVX2, lines march eight at a time, one in each lane, a lane whose lit
// state changes refining on its own: lines along y in the bands, lines along x in the sweep.
// Whatever the lanes meet, every pixel is the one-line-at-a-time march's, bit for bit: lanes
// whose lines start or end at other steps (every layer's first and last lines), neighbouring
// lines that do not sample neighbouring cells (narrow layers, slopes that are not whole), steps
// without surface with and without skipping them, translucency low enough that the attenuation
// saturates, and walls whose shadows change the state in several lanes at one step.
TEST(Directional_Shadow, LinesMarchedSideBySideMatchTheOneAtATimeMarch) {
  std::mt19937 random(11);
  // The default light and lights whose lines run along y, or along x, at whole and broken
  // slopes, each way.
  const brel::Vector_3<float> along_y[] = {brel::direct_light_direction(135.0, 0.5),
                                           {0.3f, -0.9f, -0.4f},
                                           {-0.5f, 0.7f, -0.3f},
                                           {-0.1f, -0.95f, -0.3f},
                                           {0.45f, 0.6f, -0.5f},
                                           {-0.6f, -0.65f, -0.5f}};
  const brel::Vector_3<float> along_x[] = {
      {0.9f, 0.3f, -0.4f}, {-0.95f, -0.1f, -0.3f}, {0.85f, -0.4f, -0.5f}, {-0.8f, 0.35f, -0.2f}};
  int64_t runs = 0;
  for (const auto& [width, height] :
       std::vector<std::pair<int64_t, int64_t>>{{9, 40}, {64, 48}, {131, 57}}) {
    Standalone_Render render(1);
    Float_Layer depth(render.context, width, height, 0.75f);
    fill_rough(depth, random);
    depth.fill([&, rough = depth](int64_t x, int64_t y) {
      return x % 17 == 5 && y % 11 < 6 ? 60.0f : rough.view.row(y)[x];
    });
    // Two sheared layers of `lines` rows `length` long, then the two output layers, all 0.
    const auto layers = [&](int64_t length, int64_t lines) {
      std::vector<Float_Layer> made;
      for (int i = 0; i < 4; ++i) {
        made.emplace_back(render.context, i < 2 ? length : width, i < 2 ? lines : height)
            .fill([](int64_t, int64_t) { return 0.0f; });
      }
      return made;
    };
    // Each direction with translucency saturating and not, skipping empty steps and not.
    const auto each_setting = [&](const auto& directions, const auto& check) {
      for (const auto& direction : directions) {
        for (const float translucency : {0.02f, 0.5f}) {
          for (const bool skip : {false, true}) {
            Kernel_Directional_Shadow::Parameters_In in =
                settings(depth.view, direction, translucency);
            in.skip_zero_depth = skip;
            check(in, brel::directional_light_setup(in), direction, translucency, skip);
          }
        }
      }
    };
    each_setting(
        along_y,
        [&](const Kernel_Directional_Shadow::Parameters_In& in, const Transformation_Information& t,
            const brel::Vector_3<float>& direction, float translucency, bool skip) {
          if (t.along_x != 0) {
            return;
          }
          const std::vector<Float_Layer> plain = layers(height, t.line_count);
          sweep_and_unshear(render.context, t, in, plain);
          for (const int64_t lines_per_band : {8, 24, 128}) {
            const std::vector<Float_Layer> lanes = layers(height, t.line_count);
            march_in_bands(render.context, t, in, lanes, lines_per_band);
            ++runs;
            for (int i = 2; i < 4; ++i) {
              EXPECT_EQ(bits(lanes[i].view), bits(plain[i].view))
                  << width << " x " << height << ", direction " << direction.x << ", "
                  << direction.y << ", translucency " << translucency << ", skip " << skip << ", "
                  << lines_per_band << " lines a band, layer " << i;
            }
          }
        });
    each_setting(
        along_x,
        [&](const Kernel_Directional_Shadow::Parameters_In& in, const Transformation_Information& t,
            const brel::Vector_3<float>& direction, float translucency, bool skip) {
          ASSERT_NE(t.along_x, 0);
          const std::vector<Float_Layer> made = layers(width, t.line_count);
          sweep_and_unshear(render.context, t, in, made);
          const Plain_Directional_Shadow plain(in, t);
          ++runs;
          EXPECT_EQ(plain.mismatches(made[2].view, made[3].view), 0)
              << width << " x " << height << ", direction " << direction.x << ", " << direction.y
              << ", translucency " << translucency << ", skip " << skip;
        });
  }
  EXPECT_EQ(runs, 3 * 6 * 2 * 2 * 3 + 3 * 4 * 2 * 2);
}

// On a layer the size of a small frame, lines run hundreds of steps, bands have the lines the
// run gives them and eight workers share them out: at the angles the benchmarks take (the
// default, 30 and 70 degrees, and one along each axis), translucent, every pixel the run writes
// is the plain march's, bit for bit.
TEST(Directional_Shadow, AFrameMatchesThePlainMarchAtEightThreads) {
  std::mt19937 random(13);
  Standalone_Render render(8);
  constexpr int64_t width = 643;
  constexpr int64_t height = 359;
  Float_Layer depth(render.context, width, height, 0.75f);
  fill_rough(depth, random);
  for (const auto& direction :
       {brel::direct_light_direction(135.0, 0.5), brel::direct_light_direction(30.0, 0.5),
        brel::direct_light_direction(70.0, 0.5), brel::direct_light_direction(0.0, 0.8),
        brel::direct_light_direction(270.0, 0.8)}) {
    Kernel_Directional_Shadow kernel;
    kernel.parameters_in = settings(depth.view, direction, 0.3f);
    kernel.execute(render.context);
    const Transformation_Information t = brel::directional_light_setup(kernel.parameters_in);
    const Plain_Directional_Shadow plain(kernel.parameters_in, t);
    ASSERT_NE(kernel.shadow_layer, nullptr);
    const brel::Layer<float> shadow = brel::layer_view<float>(*kernel.shadow_layer);
    const brel::Layer<float> translucent =
        brel::layer_view<float>(*kernel.translucent_shadow_layer);
    int64_t shadowed = 0;
    for (int64_t y = 0; y < plain.written_height(); ++y) {
      for (int64_t x = 0; x < plain.written_width(); ++x) {
        shadowed += shadow.row(y)[x] > 0.0f && shadow.row(y)[x] < 1.0f;
      }
    }
    EXPECT_EQ(plain.mismatches(shadow, translucent), 0)
        << "direction " << direction.x << ", " << direction.y;
    // Partly shadowed pixels come from refined steps and from the resampling between lines.
    EXPECT_GT(shadowed, width * height / 100) << "direction " << direction.x << ", " << direction.y;
  }
}

// A worker does a group of neighbouring bands one after the other, so that each band finds the
// output lines it shares with the last still in the worker's caches: the groups cover the bands
// in order, the first a share of them for every worker, narrowing to single bands at the end so
// that the workers finish together; one worker takes all bands at once.
TEST(Directional_Shadow, BandsGoOutInNarrowingGroupsOfNeighbours) {
  for (const int64_t threads : {1, 2, 8}) {
    Standalone_Render render(threads);
    Float_Layer depth(render.context, 60, 40);
    const Transformation_Information t =
        brel::directional_light_setup(settings(depth.view, directions[0]));
    ASSERT_EQ(t.along_x, 0);
    for (const int64_t lines_per_band : {1, 2, 7}) {
      const brel::Directional_Shadow_Bands bands(render.context, t, depth.view, lines_per_band,
                                                 false);
      const std::vector<int64_t>& first = bands.group_first_bands;
      ASSERT_GE(first.size(), 2u);
      EXPECT_EQ(first.front(), 0);
      EXPECT_EQ(first.back(), bands.count);
      std::vector<int64_t> widths;
      for (size_t g = 0; g + 1 < first.size(); ++g) {
        widths.push_back(first[g + 1] - first[g]);
      }
      const auto where = [&] {
        return testing::Message() << threads << " threads, " << lines_per_band << " lines a band";
      };
      EXPECT_EQ(widths.front(), std::max<int64_t>(bands.count / threads, 1)) << where();
      EXPECT_TRUE(std::is_sorted(widths.rbegin(), widths.rend())) << where();
      if (threads == 1) {
        EXPECT_EQ(widths.size(), 1u) << where();
      } else {
        ASSERT_GE(bands.count, threads) << where();
        EXPECT_EQ(std::count(widths.end() - threads, widths.end(), 1), threads) << where();
      }
    }
  }
}

// With lines along x the run resamples output rows from the offsets it computes once, without
// the last-line test on rows that are wholly below the last line: every pixel of both output
// layers, the border included, holds what the unshear body writes, bit for bit, at every thread
// count, and rows past the lines stay as they were.
TEST(Directional_Shadow, RowsUnshearWritesEveryPixelTheUnshearBodyWrites) {
  std::mt19937 random(7);
  const float untouched = -12345.0f;
  int64_t runs = 0;
  for (const auto& [width, height] :
       std::vector<std::pair<int64_t, int64_t>>{{45, 31}, {23, 64}, {203, 41}}) {
    Standalone_Render plain_render(1);
    Float_Layer depth(plain_render.context, width, height, 0.75f);
    fill_rough(depth, random);
    for (const auto& direction : directions) {
      const Kernel_Directional_Shadow::Parameters_In in = settings(depth.view, direction, 0.4f);
      const Transformation_Information t = brel::directional_light_setup(in);
      if (t.along_x == 0) {
        continue;
      }
      ++runs;
      std::vector<Float_Layer> sheared;
      for (int i = 0; i < 2; ++i) {
        sheared.emplace_back(plain_render.context, width, t.line_count).fill([](int64_t, int64_t) {
          return 0.0f;
        });
      }
      brel::directional_shadow_sweep_body({0, 1, 0, 1}, plain_render.context, t, in,
                                          sheared[0].view, sheared[1].view);
      const auto outputs = [&](Standalone_Render& render) {
        std::vector<Float_Layer> made;
        for (int i = 0; i < 2; ++i) {
          made.emplace_back(render.context, width, height).fill([&](int64_t, int64_t) {
            return untouched;
          });
        }
        return made;
      };
      const std::vector<Float_Layer> plain = outputs(plain_render);
      brel::directional_shadow_unshear_body({0, 1, 0, 1}, plain_render.context, t, plain[0].view,
                                            sheared[0].view, plain[1].view, sheared[1].view);
      const std::vector<float> offsets = brel::directional_shadow_offsets(t, plain[0].view);
      for (const int64_t threads : {1, 2, 8}) {
        Standalone_Render render(threads);
        const std::vector<Float_Layer> rows = outputs(render);
        brel::cpu_kernel_launch(brel::grain_iteration_count(height, 8),
                                &brel::directional_shadow_unshear_rows_body, render.context, t,
                                offsets.data(), rows[0].view, sheared[0].view, rows[1].view,
                                sheared[1].view);
        for (int i = 0; i < 2; ++i) {
          EXPECT_EQ(bits(rows[i].view), bits(plain[i].view))
              << width << " x " << height << ", direction " << direction.x << ", " << direction.y
              << ", layer " << i << ", " << threads << " threads";
        }
      }
    }
  }
  EXPECT_GT(runs, 6);
}

// The sweep leaves the sheared cells that no line reaches and the unshear never reads as they
// were. On reused memory full of NaN every pixel the unshear writes, the border included, is
// what a run on fresh memory gives. (Output rows or columns beyond the last line are not
// written at all.)
TEST(Directional_Shadow, ReusedMemoryGivesEveryPixelOfAFreshRun) {
  const int64_t w = 45;
  const int64_t h = 31;
  for (const int64_t threads : {1, 8}) {
    Standalone_Render fresh(threads);
    Standalone_Render reused(threads);
    brel::pool_memory_2d(reused.context);
    Float_Layer depth(fresh.context, w, h, 0.75f);
    depth.fill([](int64_t x, int64_t y) {
      return (x * 5 + y * 3) % 17 == 0 ? 0.0f
                                       : 10.0f + 8.0f * std::sin(0.4f * x) * std::cos(0.3f * y);
    });
    for (const auto& direction : directions) {
      {
        // Blocks that hold any layer of the run, released to the pool full of NaN.
        std::vector<Float_Layer> dirty;
        for (int i = 0; i < 4; ++i) {
          dirty.emplace_back(reused.context, 80, 80).fill([](int64_t, int64_t) {
            return std::numeric_limits<float>::quiet_NaN();
          });
        }
      }
      const Kernel_Directional_Shadow::Parameters_In in = settings(depth.view, direction, 0.4f);
      const Transformation_Information t = brel::directional_light_setup(in);
      const int64_t written = std::min(t.line_count, t.along_x != 0 ? h : w);
      // The written pixels of both layers.
      const auto cast = [&](Standalone_Render& render) {
        Kernel_Directional_Shadow kernel;
        kernel.parameters_in = in;
        kernel.execute(render.context);
        std::vector<float> values;
        for (const auto& layer :
             {kernel.shadow_layer.get(), kernel.translucent_shadow_layer.get()}) {
          const brel::Layer<float> view = brel::layer_view<float>(*layer);
          for (int64_t y = 0; y < (t.along_x != 0 ? written : h); ++y) {
            values.insert(values.end(), view.row(y), view.row(y) + (t.along_x != 0 ? w : written));
          }
        }
        return values;
      };
      EXPECT_EQ(cast(reused), cast(fresh))
          << threads << " threads, direction " << direction.x << ", " << direction.y;
    }
  }
}

TEST(Directional_Shadow, LinesFollowTheLightsDirectionInTheImage) {
  Standalone_Render render(1);
  Float_Layer depth(render.context, 26, 16);
  // The default light is exactly diagonal: lines step in y, one per column and row.
  const Transformation_Information diagonal =
      brel::directional_light_setup(settings(depth.view, brel::direct_light_direction(135.0, 0.5)));
  EXPECT_EQ(diagonal.along_x, 0);
  EXPECT_EQ(diagonal.line_count, 15 + 25);
  EXPECT_FLOAT_EQ(diagonal.slope, 0.8775826f / (0.339005f * std::sqrt(2.0f)) * 1.4142135f);
  // Light travelling to the right in the image plane: lines are the rows, the last row is no
  // line's; travelling up and to the left at a shallow angle, lines start at the right.
  const Transformation_Information across =
      brel::directional_light_setup(settings(depth.view, {0.8f, 0.0f, -0.6f}));
  EXPECT_EQ(across.along_x, 1);
  EXPECT_EQ(across.line_count, 15);
  EXPECT_EQ(std::vector<float>({across.x0, across.y0, across.x1, across.y1}),
            std::vector<float>({0.0f, 0.0f, 25.0f, 0.0f}));
  const Transformation_Information up_left =
      brel::directional_light_setup(settings(depth.view, {-0.8f, 0.2f, -0.5f}));
  EXPECT_EQ(up_left.along_x, 1);
  EXPECT_EQ(std::vector<float>({up_left.x0, up_left.x1, up_left.y0}),
            std::vector<float>({25.0f, 0.0f, 0.0f}));
  EXPECT_FLOAT_EQ(up_left.y1, -25.0f * 0.25f);
  EXPECT_EQ(up_left.line_count, static_cast<int64_t>(25.0f * 0.25f + 15.0f));
}

// Over flat depth every step is a new occluder and casts nothing; only each line's first step
// refines, over ten sub-samples that all rise above the horizon: 1 - 10 × 0.1 in single
// precision, -1.25 × 2^-24 (-7.450581e-08 to seven digits).
TEST(Directional_Shadow, FlatDepthIsLitButForEachLinesFirstStep) {
  const float first_step = -1.25f * std::ldexp(1.0f, -24);
  Standalone_Render render(1);
  Float_Layer depth(render.context, 20, 14);
  depth.fill([](int64_t, int64_t) { return 7.0f; });
  for (const auto& direction : directions) {
    const Kernel_Directional_Shadow::Parameters_In in = settings(depth.view, direction);
    const Transformation_Information t = brel::directional_light_setup(in);
    ASSERT_GT(t.slope, 0.0f);
    // Cells that no line reaches and the unshear never reads are left as they are: zeros here.
    Float_Layer sheared(render.context, t.along_x != 0 ? 20 : 14, t.line_count);
    sheared.fill([](int64_t, int64_t) { return 0.0f; });
    brel::directional_shadow_sweep_body({0, 1, 0, 1}, render.context, t, in, sheared.view,
                                        brel::empty_layer<float>());
    int64_t lines_marched = 0;
    for (int64_t i = 0; i < t.line_count; ++i) {
      std::vector<float> nonzero;
      for (int64_t x = 0; x < sheared.view.width; ++x) {
        if (sheared.at(x, i) != 0.0f) {
          nonzero.push_back(sheared.at(x, i));
        }
      }
      lines_marched += nonzero.empty() ? 0 : 1;
      EXPECT_LE(nonzero.size(), 1u);
      for (const float v : nonzero) {
        EXPECT_EQ(v, first_step) << "line " << i;
      }
    }
    EXPECT_GT(lines_marched, t.line_count / 2) << direction.x << ", " << direction.y;
  }
}

// Light travelling right over flat ground with a hole of no surface at columns 8 to 11: when
// depth 0 means no surface the hole's steps are shadowed outright and the ground after it is a
// new occluder at once; otherwise the hole is a drop that the march refines into and out of.
TEST(Directional_Shadow, StepsWithoutSurfaceAreShadowedAndNoOccluder) {
  Standalone_Render render(1);
  Float_Layer depth(render.context, 20, 8);
  depth.fill([](int64_t x, int64_t) { return x >= 8 && x < 12 ? 0.0f : 7.0f; });
  for (const bool skip : {true, false}) {
    Kernel_Directional_Shadow::Parameters_In in = settings(depth.view, {0.8f, 0.0f, -0.6f});
    in.skip_zero_depth = skip;
    const Transformation_Information t = brel::directional_light_setup(in);
    Float_Layer sheared(render.context, 20, t.line_count);
    brel::directional_shadow_sweep_body({0, 1, 0, 1}, render.context, t, in, sheared.view,
                                        brel::empty_layer<float>());
    // Step k samples column k + 0.5 and is stored at index k: steps 8 to 10 lie wholly in the
    // hole, step 11 straddles its edge.
    for (const int64_t k : {8, 9, 10}) {
      EXPECT_EQ(sheared.at(k, 4), 1.0f) << k << (skip ? " skipping" : "");
    }
    if (skip) {
      EXPECT_EQ(sheared.at(12, 4), 0.0f);
    } else {
      EXPECT_GT(sheared.at(7, 4), 0.0f);
      EXPECT_LT(sheared.at(7, 4), 1.0f);
    }
  }
}

// A wall of height 20 under light falling at 0.6 per 0.8 across: the horizon drops 0.6 / 0.8
// × 1.4142135 ≈ 1.0607 a pixel, so the shadow runs 20 / 1.0607 ≈ 18.9 pixels past the wall.
TEST(Directional_Shadow, WallShadowsTheFarSideAsFarAsTheElevationGives) {
  Standalone_Render render(2);
  Float_Layer depth(render.context, 70, 20);
  depth.fill([](int64_t x, int64_t) { return x >= 23 && x < 27 ? 30.0f : 10.0f; });
  for (const float sign : {1.0f, -1.0f}) {
    Kernel_Directional_Shadow kernel;
    kernel.parameters_in = settings(depth.view, {0.8f * sign, 0.0f, -0.6f});
    kernel.execute(render.context);
    const brel::Layer<float> shadow = brel::layer_view<float>(*kernel.shadow_layer);
    // Column positions measured from the wall's far side, in the direction of the light.
    const float far_side = sign > 0.0f ? 26.5f : 23.5f;
    const float length = 20.0f / (0.6f / 0.8f * 1.4142135f);
    for (int64_t x = 3; x < 67; ++x) {
      const float behind = (static_cast<float>(x) - far_side) * sign;
      const float value = shadow.row(10)[x];
      if (behind > length + 1.5f || behind < -5.5f) {
        EXPECT_EQ(value, 0.0f) << x << " with the light going " << sign;
      } else if (behind > 1.0f && behind < length - 1.0f) {
        EXPECT_EQ(value, 1.0f) << x << " with the light going " << sign;
      }
    }
  }
}

TEST(Directional_Shadow, NoLayersWithoutShadowsOrADirectionInTheImage) {
  Standalone_Render render(2);
  Float_Layer depth(render.context, 12, 10);
  depth.fill([](int64_t, int64_t) { return 5.0f; });
  // One kernel runs every case in turn: a run leaves none of the last run's layers behind.
  Kernel_Directional_Shadow reused;
  const auto made = [&](const Kernel_Directional_Shadow::Parameters_In& in) {
    reused.parameters_in = in;
    reused.execute(render.context);
    return std::make_pair(reused.shadow_layer != nullptr,
                          reused.translucent_shadow_layer != nullptr);
  };
  const float nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(made(settings(depth.view, {0.2f, 0.1f, -0.9f}, 0.5f)), std::make_pair(true, true));
  EXPECT_EQ(made(settings(depth.view, {0.2f, 0.1f, -0.9f})), std::make_pair(true, false));
  // A forward angle of 0 leaves a direction down the view axis, up to rounding.
  EXPECT_EQ(made(settings(depth.view, brel::direct_light_direction(135.0, 0.0))).first, false);
  EXPECT_EQ(made(settings(depth.view, {0.02f, 0.02f, -0.9f})).first, false);
  EXPECT_EQ(made(settings(depth.view, {nan, 0.5f, -0.5f})).first, false);
  EXPECT_EQ(made(settings(depth.view, {0.5f, 0.5f, nan})).first, false);
  Kernel_Directional_Shadow::Parameters_In off = settings(depth.view, {0.2f, 0.1f, -0.9f}, 0.5f);
  off.light.shadows = false;
  EXPECT_EQ(made(off), std::make_pair(false, false));
  off.light.shadows = true;
  off.light.intensity = 0.0f;
  EXPECT_EQ(made(off), std::make_pair(false, false));
  // Estimate: the bordered layer 32 bytes a pixel, made or not.
  Kernel_Directional_Shadow kernel;
  kernel.parameters_in = off;
  EXPECT_EQ(kernel.workload(), 12 * 10 * 32);
}

}  // namespace
