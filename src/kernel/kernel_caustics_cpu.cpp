#include "kernel/kernel_caustics_cpu.h"

#include <algorithm>
#include <array>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "base/exception.h"
#include "util/target_clones.h"

#include "base/kernel_clear.h"
#include "kernel/caustics_rasterizer.h"

namespace brel {

namespace {

struct Point_2 {
  float x;
  float y;
};

// Half the longest edge times the third vertex's distance from it; 0 without a longest edge.
// The distance is the cross product with the edge's unit vector; the edge's length is taken
// out of both factors, so that a patch landing on exactly one pixel of area has area 1 in
// float, not one rounding below it.
float triangle_area(Point_2 a, Point_2 b, Point_2 c) {
  const auto squared_length = [](Point_2 from, Point_2 to) {
    const float dx = to.x - from.x;
    const float dy = to.y - from.y;
    return dx * dx + dy * dy;
  };
  Point_2 start = a;
  Point_2 end = b;
  Point_2 third = c;
  float longest = squared_length(a, b);
  if (const float bc = squared_length(b, c); bc > longest) {
    longest = bc;
    start = b;
    end = c;
    third = a;
  }
  if (const float ca = squared_length(c, a); ca > longest) {
    longest = ca;
    start = c;
    end = a;
    third = b;
  }
  if (!(longest > 0.0f)) {
    return 0.0f;
  }
  const float ex = end.x - start.x;
  const float ey = end.y - start.y;
  return 0.5f * std::fabs(ex * (third.y - start.y) - ey * (third.x - start.x));
}

float sign_of(float q) {
  return q > 0.0f ? 1.0f : (q < 0.0f ? -1.0f : 0.0f);
}

}  // namespace

bool load_caustics_patch(const Array_2d<Blur_Coordinates>& landing, int64_t x, int64_t y,
                         Caustics_Patch& patch) {
  const Blur_Coordinates* upper = landing.row(y - 1);
  const Blur_Coordinates* lower = landing.row(y);
  patch.corner[0] = upper[x - 1];
  patch.corner[1] = upper[x];
  patch.corner[2] = lower[x - 1];
  patch.corner[3] = lower[x];
  for (const Blur_Coordinates& c : patch.corner) {
    // A negative path marks a ray that leaves towards the viewer; the rest never lands.
    if (!(c.blur >= 0.0f) || !std::isfinite(c.blur) || !std::isfinite(c.x) || !std::isfinite(c.y)) {
      return false;
    }
  }
  return true;
}

float caustics_patch_factor(Caustics_Patch& patch, float spread, float scale_x, float scale_y) {
  Blur_Coordinates& p00 = patch.corner[0];
  Blur_Coordinates& p10 = patch.corner[1];
  Blur_Coordinates& p01 = patch.corner[2];
  Blur_Coordinates& p11 = patch.corner[3];
  for (Blur_Coordinates& c : patch.corner) {
    c.y += 0.5f;
  }
  if (spread > 0.0f) {
    // Widen: the diagonal's ends move outward along it, the other two corners away from it,
    // each by its own path length times the spread.
    float dx = p10.x - p01.x;
    float dy = p10.y - p01.y;
    const float length = std::sqrt(dx * dx + dy * dy);
    if (length > 0.0f) {
      dx /= length;
      dy /= length;
    }
    const float nx = -dy;
    const float ny = dx;
    float q00 = nx * (p00.x - p10.x) + ny * (p00.y - p10.y);
    float q11 = nx * (p11.x - p10.x) + ny * (p11.y - p10.y);
    // A folded patch has both corners on one side: the nearer one is moved to the other side.
    if ((q00 > 0.0f && q11 > 0.0f) || (q00 < 0.0f && q11 < 0.0f)) {
      if (std::fabs(q00) < std::fabs(q11)) {
        q00 = -q00;
      } else {
        q11 = -q11;
      }
    }
    const float s00 = sign_of(q00);
    const float s11 = sign_of(q11);
    const float along10 = spread * p10.blur;
    const float along01 = -spread * p01.blur;
    p10.x += along10 * dx * scale_x;
    p10.y += along10 * dy * scale_y;
    p01.x += along01 * dx * scale_x;
    p01.y += along01 * dy * scale_y;
    const float across00 = s00 * spread * p00.blur;
    const float across11 = s11 * spread * p11.blur;
    p00.x += across00 * nx * scale_x;
    p00.y += across00 * ny * scale_y;
    p11.x += across11 * nx * scale_x;
    p11.y += across11 * ny * scale_y;
  }
  for (Blur_Coordinates& c : patch.corner) {
    c.x += 2.0f;
  }
  const float area = triangle_area({p00.x, p00.y}, {p10.x, p10.y}, {p01.x, p01.y}) +
                     triangle_area({p01.x, p01.y}, {p10.x, p10.y}, {p11.x, p11.y});
  return area > 1.0f ? 1.0f / area : area;
}

namespace {

// triangle_area with the longest edge chosen by selections, which vector code runs: the same
// operations on the same values.
inline float triangle_area_selected(float ax, float ay, float bx, float by, float cx, float cy) {
  const auto squared_length = [](float from_x, float from_y, float to_x, float to_y) {
    const float dx = to_x - from_x;
    const float dy = to_y - from_y;
    return dx * dx + dy * dy;
  };
  const float ab = squared_length(ax, ay, bx, by);
  const float bc = squared_length(bx, by, cx, cy);
  const float ca = squared_length(cx, cy, ax, ay);
  const bool bc_longer = bc > ab;
  const float longest_ab_bc = bc_longer ? bc : ab;
  const bool ca_longer = ca > longest_ab_bc;
  const float longest = ca_longer ? ca : longest_ab_bc;
  const float start_x = ca_longer ? cx : (bc_longer ? bx : ax);
  const float start_y = ca_longer ? cy : (bc_longer ? by : ay);
  const float end_x = ca_longer ? ax : (bc_longer ? cx : bx);
  const float end_y = ca_longer ? ay : (bc_longer ? cy : by);
  const float third_x = ca_longer ? bx : (bc_longer ? ax : cx);
  const float third_y = ca_longer ? by : (bc_longer ? ay : cy);
  const float ex = end_x - start_x;
  const float ey = end_y - start_y;
  const float area = 0.5f * std::fabs(ex * (third_y - start_y) - ey * (third_x - start_x));
  return longest > 0.0f ? area : 0.0f;
}

}  // namespace

BREL_TARGET_CLONES_AVX2 void caustics_patch_run(const Array_2d<Blur_Coordinates>& landing,
                                                int64_t x0, int64_t y, int64_t n,
                                                Caustics_Patch_Run& run) {
  BREL_ASSERT(x0 >= 1 && y >= 1 && n >= 0 && n <= Caustics_Patch_Run::cells);
  constexpr float largest = std::numeric_limits<float>::max();
  for (int32_t side = 0; side < 2; ++side) {
    const Blur_Coordinates* corners = landing.row(y - 1 + side) + (x0 - 1);
    for (int64_t j = 0; j <= n; ++j) {
      const Blur_Coordinates& c = corners[j];
      run.landed[side][j] = c.blur >= 0.0f && c.blur <= largest && std::fabs(c.x) <= largest &&
                            std::fabs(c.y) <= largest;
      run.x[side][j] = c.x + 2.0f;
      run.y[side][j] = c.y + 0.5f;
      run.blur[side][j] = c.blur;
    }
  }
  for (int64_t i = 0; i < n; ++i) {
    run.whole[i] =
        run.landed[0][i] & run.landed[0][i + 1] & run.landed[1][i] & run.landed[1][i + 1];
  }
  const auto& px = run.x;
  const auto& py = run.y;
  for (int64_t i = 0; i < n; ++i) {
    const float area =
        triangle_area_selected(px[0][i], py[0][i], px[0][i + 1], py[0][i + 1], px[1][i], py[1][i]) +
        triangle_area_selected(px[1][i], py[1][i], px[0][i + 1], py[0][i + 1], px[1][i + 1],
                               py[1][i + 1]);
    run.factor[i] = area > 1.0f ? 1.0f / area : area;
  }
}

float caustics_point_falloff(float path, float falloff_distance, float falloff) {
  // The default falloff of 0 needs no call.
  if (!caustics_point_falls_off(falloff_distance, falloff)) {
    return 1.0f;
  }
  const float f = std::pow(1.0f / (path / falloff_distance + 1.0f), falloff);
  // A path shorter than minus the unit gives a negative base: no light rather than none a
  // number.
  if (std::isnan(f)) {
    return 0.0f;
  }
  return std::clamp(f, 0.0f, 1.0f);
}

namespace {

// Both triangles of the patch, T1 = (P00, P10, P01) first, then T2 = (P01, P10, P11), each
// through draw(colour, x0, y0, x1, y1, x2, y2).
template <class Draw>
[[gnu::always_inline]] inline void splat_patch(const Caustics_Patch& patch, const RGB32f& k,
                                               Draw& draw) {
  const Blur_Coordinates& p00 = patch.corner[0];
  const Blur_Coordinates& p10 = patch.corner[1];
  const Blur_Coordinates& p01 = patch.corner[2];
  const Blur_Coordinates& p11 = patch.corner[3];
  draw(k, p00.x, p00.y, p10.x, p10.y, p01.x, p01.y);
  draw(k, p01.x, p01.y, p10.x, p10.y, p11.x, p11.y);
}

// The tint times the patch factor, the falloff, the light's intensity and its colour.
RGB32f light_color(const RGB32f& tint, float factor, float falloff, float intensity,
                   const Rgb_Value& color) {
  return {{tint.channel[0] * factor * falloff * intensity * color.red,
           tint.channel[1] * factor * falloff * intensity * color.green,
           tint.channel[2] * factor * falloff * intensity * color.blue}};
}

}  // namespace

template <class P>
void init_direct_coordinates_body(const Iteration& iteration, Render_Context context,
                                  Caustics_Parameters_In<P> in,
                                  Array_2d<Blur_Coordinates> coordinates) {
  const int64_t y = iteration.index;
  const Vector_3<float> direction = in.direct_light.direction;
  const auto rays = [&](int64_t, int64_t n, Refraction_Run& run) {
    std::fill_n(run.ray_x, n, direction.x);
    std::fill_n(run.ray_y, n, direction.y);
    std::fill_n(run.ray_z, n, direction.z);
  };
  refract_row(in.refraction, in.depth, in.normals, y, rays, coordinates.row(y));
  context.check_abort();
}

template <class P>
void init_point_coordinates_body(const Iteration& iteration, Render_Context context,
                                 Caustics_Parameters_In<P> in,
                                 Array_2d<Blur_Coordinates> coordinates) {
  const int64_t y = iteration.index;
  const float* depth = in.depth.row(y);
  const Point_Light& light = in.point_light;
  const auto rays = [&](int64_t x, int64_t n, Refraction_Run& run) {
    point_light_rays(light.position_x, light.position_y, light.position_z, in.image.scale_x,
                     in.image.scale_y, depth + x, x, y, n, run);
  };
  refract_row(in.refraction, in.depth, in.normals, y, rays, coordinates.row(y));
  context.check_abort();
}

namespace {

// What the cells of row y share: whether a cell splats at all, its tint, and the point light's
// falloff over its corners' paths.
template <class P>
struct Cell_Row {
  using Traits = Pixel_Traits<P>;

  Cell_Row(const Caustics_Parameters_In<P>& in, int64_t y)
      : in(in),
        y(y),
        depth(in.depth.row(y)),
        depth_above(in.depth.row(y - 1)),
        image(in.image.row(y)),
        falls_off(caustics_point_falls_off(in.falloff_distance, in.point_light.falloff)),
        untextured(in.transparency_texture.width == 0 ||
                   static_cast<uint64_t>(y - in.transparency_texture.origin_y) >=
                       static_cast<uint64_t>(in.transparency_texture.height)) {}

  // False for a cell that splats nothing; else its tint.
  bool tint(int64_t x, RGB32f& tint) const {
    const float threshold = in.discontinuity_threshold;
    float m = clamped_texture_luminance(in.transparency_texture, x, y) * in.transparency;
    if (in.alpha_clipping && depth[x] == 0.0f) {
      return false;
    }
    if (in.discontinuity_detection) {
      // A step along any side of the cell; not a number passes.
      if (std::fabs(depth[x] - depth[x - 1]) > threshold ||
          std::fabs(depth[x] - depth_above[x]) > threshold ||
          std::fabs(depth_above[x] - depth_above[x - 1]) > threshold ||
          std::fabs(depth[x - 1] - depth_above[x - 1]) > threshold) {
        return false;
      }
    }
    if (!(m > 0.0f)) {
      return false;
    }
    m = m * in.caustics_amount;
    const float channel_scale = 1.0f / Traits::white_value;
    const int32_t positions[3] = {Traits::red, Traits::green, Traits::blue};
    for (int32_t c = 0; c < 3; ++c) {
      const float channel = Traits::load(image[x], positions[c]) * channel_scale;
      tint.channel[c] = (channel * in.colorize + (1.0f - in.colorize)) * m;
    }
    return true;
  }

  // tint() for the n cells from x0 on, in a row without transparency texture (whose luminance
  // is 1 everywhere), in loops without branches that vector code runs: whether each cell
  // splats, and its tint, of use only where it does.
  template <size_t cells>
  void tints(int64_t x0, int64_t n, uint8_t* lit, float (&tint)[3][cells]) const {
    const float threshold = in.discontinuity_threshold;
    const float m = 1.0f * in.transparency;
    const bool any = m > 0.0f;
    const bool clipping = in.alpha_clipping;
    const bool detection = in.discontinuity_detection;
    const float* d = depth + x0;
    const float* a = depth_above + x0;
    for (int64_t i = 0; i < n; ++i) {
      const bool clipped = clipping & (d[i] == 0.0f);
      // A step along any side of the cell; not a number passes.
      const bool stepped =
          detection &
          ((std::fabs(d[i] - d[i - 1]) > threshold) | (std::fabs(d[i] - a[i]) > threshold) |
           (std::fabs(a[i] - a[i - 1]) > threshold) | (std::fabs(d[i - 1] - a[i - 1]) > threshold));
      lit[i] = any & !clipped & !stepped;
    }
    const float scaled = m * in.caustics_amount;
    const float channel_scale = 1.0f / Traits::white_value;
    const int32_t positions[3] = {Traits::red, Traits::green, Traits::blue};
    for (int32_t c = 0; c < 3; ++c) {
      for (int64_t i = 0; i < n; ++i) {
        const float channel = Traits::load(image[x0 + i], positions[c]) * channel_scale;
        tint[c][i] = (channel * in.colorize + (1.0f - in.colorize)) * scaled;
      }
    }
  }

  // The point light's attenuation for cell x whose corners' paths are b00, b10, b01, b11 (the
  // patch factor moves the corners but leaves their paths); 1 without a falloff, where the path
  // is not needed.
  float point_falloff(int64_t x, float b00, float b10, float b01, float b11) const {
    if (!falls_off) {
      return 1.0f;
    }
    const Point_Light& light = in.point_light;
    const float mean = (((b00 + b10) + b01) + b11) / 4.0f;
    const float lx = (light.position_x - static_cast<float>(x)) / in.image.scale_x;
    const float ly = (light.position_y - static_cast<float>(y)) / in.image.scale_y;
    const float lz = light.position_z - depth[x];
    const float q = lx * lx + ly * ly + lz * lz;
    const float path = q > 0.0f ? mean + std::sqrt(q) : mean;
    return caustics_point_falloff(path, in.falloff_distance, light.falloff);
  }

  const Caustics_Parameters_In<P>& in;
  int64_t y;
  const float* depth;
  const float* depth_above;
  const P* image;
  bool falls_off;
  // No transparency texture on the row: every cell's luminance is 1.
  bool untextured;
};

// The cells of row y, their triangles handed to `draw` (see splat_patch). With `runs`, the
// cells' corners and factors come a run at a time from caustics_patch_run where no patch is
// widened, else cell by cell.
template <class P, class Draw>
void splat_row(int64_t y, const Caustics_Parameters_In<P>& in,
               const Array_2d<Blur_Coordinates>& direct, const Array_2d<Blur_Coordinates>& point,
               Draw& draw, bool runs = false) {
  const int64_t w = in.image.width;
  if (y == 0 || w <= 0) {
    return;
  }
  const float sx = in.image.scale_x;
  const float sy = in.image.scale_y;
  const Cell_Row<P> cells(in, y);
  // A spread is (1 - g) times the blur scale with 1 - g > 0 where it counts: without a
  // positive scale no patch is widened.
  runs = runs && !(in.refraction.blur_scale > 0.0f);
  Caustics_Patch_Run direct_run;
  Caustics_Patch_Run point_run;
  int64_t x0 = 1;
  // The patch of cell x for one light and its factor; false when a corner did not land.
  const auto landed = [&](const Array_2d<Blur_Coordinates>& landing, const Caustics_Patch_Run& run,
                          int64_t x, float spread, Caustics_Patch& patch, float& r) {
    if (runs) {
      const int64_t i = x - x0;
      if (!run.whole[i]) {
        return false;
      }
      patch = run.patch(i);
      r = run.factor[i];
      return true;
    }
    if (!load_caustics_patch(landing, x, y, patch)) {
      return false;
    }
    r = caustics_patch_factor(patch, spread, sx, sy);
    return true;
  };
  for (int64_t x = 1; x < w; ++x) {
    if (runs && (x - 1) % Caustics_Patch_Run::cells == 0) {
      x0 = x;
      const int64_t n = std::min(Caustics_Patch_Run::cells, w - x);
      if (direct.elements != nullptr) {
        caustics_patch_run(direct, x0, y, n, direct_run);
      }
      if (point.elements != nullptr) {
        caustics_patch_run(point, x0, y, n, point_run);
      }
    }
    RGB32f tint;
    if (!cells.tint(x, tint)) {
      continue;
    }
    const float g = clamped_texture_luminance(in.glossiness_texture, x, y) * in.glossiness;
    const float spread = (g < 1.0f ? 1.0f - g : 0.0f) * in.refraction.blur_scale;

    Caustics_Patch patch;
    float r = 0.0f;
    if (direct.elements != nullptr && landed(direct, direct_run, x, spread, patch, r) && r > 0.0f) {
      splat_patch(patch,
                  light_color(tint, r, 1.0f, in.direct_light.intensity, in.direct_light.color),
                  draw);
    }
    if (point.elements != nullptr && landed(point, point_run, x, spread, patch, r) && r > 0.0f) {
      const Blur_Coordinates* c = patch.corner;
      const float f = cells.point_falloff(x, c[0].blur, c[1].blur, c[2].blur, c[3].blur);
      splat_patch(patch, light_color(tint, r, f, in.point_light.intensity, in.point_light.color),
                  draw);
    }
  }
}

}  // namespace

// A run's colours are worked out first, each in a loop of its own that vector code runs; then
// its cells' triangles go to the rasteriser straight from the run's corners.
template <class P>
void caustics_splat_row_lanes(int64_t y, const Caustics_Parameters_In<P>& in,
                              const Array_2d<Blur_Coordinates>& direct,
                              const Array_2d<Blur_Coordinates>& point, Caustics_Band& band,
                              const Layer<RGB32f>& buffer) {
  constexpr int64_t cells = Caustics_Patch_Run::cells;
  constexpr int32_t lanes = Caustics_Triangle_Lanes::lanes;
  static_assert(cells % lanes == 0);
  const int64_t w = in.image.width;
  if (y == 0 || w <= 0) {
    return;
  }
  const Cell_Row<P> row(in, y);

  // The lights in their order (direct, then point): the landing points, the run of their cells,
  // intensity and colour, and each cell's colour and whether it is drawn.
  struct Light_Cells {
    const Array_2d<Blur_Coordinates>* landing = nullptr;
    bool point = false;
    float intensity = 0.0f;
    Rgb_Value color{0.0f, 0.0f, 0.0f};
    Caustics_Patch_Run run;
    alignas(32) float falloff[cells];
    alignas(32) float k[3][cells];
    uint8_t drawn[cells];
  };
  Light_Cells lights[2];
  lights[0].landing = &direct;
  lights[0].point = false;
  lights[0].intensity = in.direct_light.intensity;
  lights[0].color = in.direct_light.color;
  lights[1].landing = &point;
  lights[1].point = true;
  lights[1].intensity = in.point_light.intensity;
  lights[1].color = in.point_light.color;
  const int32_t first_light = direct.elements != nullptr ? 0 : 1;
  const int32_t end_light = point.elements != nullptr ? 2 : 1;
  alignas(32) float tint[3][cells];
  uint8_t lit[cells];

  for (int64_t x0 = 1; x0 < w; x0 += cells) {
    const int64_t n = std::min(cells, w - x0);
    for (int32_t l = first_light; l < end_light; ++l) {
      Light_Cells& cells_of = lights[l];
      caustics_patch_run(*cells_of.landing, x0, y, n, cells_of.run);
      // The lanes past a short run's end are read, not drawn: zeros rather than stale values.
      for (int32_t side = 0; side < 2; ++side) {
        std::fill(cells_of.run.x[side] + n + 1, cells_of.run.x[side] + cells + 1, 0.0f);
        std::fill(cells_of.run.y[side] + n + 1, cells_of.run.y[side] + cells + 1, 0.0f);
      }
      for (int32_t c = 0; c < 3; ++c) {
        std::fill(cells_of.k[c] + n, cells_of.k[c] + cells, 0.0f);
      }
    }
    // The cells that splat at all, and their tint.
    if (row.untextured) {
      row.tints(x0, n, lit, tint);
    } else {
      for (int64_t i = 0; i < n; ++i) {
        RGB32f t{{0.0f, 0.0f, 0.0f}};
        lit[i] = row.tint(x0 + i, t);
        for (int32_t c = 0; c < 3; ++c) {
          tint[c][i] = t.channel[c];
        }
      }
    }
    for (int32_t l = first_light; l < end_light; ++l) {
      Light_Cells& cells_of = lights[l];
      const Caustics_Patch_Run& run = cells_of.run;
      for (int64_t i = 0; i < n; ++i) {
        cells_of.drawn[i] = lit[i] && run.whole[i] && run.factor[i] > 0.0f;
        cells_of.falloff[i] = 1.0f;
      }
      if (cells_of.point && row.falls_off) {
        for (int64_t i = 0; i < n; ++i) {
          if (cells_of.drawn[i]) {
            cells_of.falloff[i] = row.point_falloff(x0 + i, run.blur[0][i], run.blur[0][i + 1],
                                                    run.blur[1][i], run.blur[1][i + 1]);
          }
        }
      }
      // light_color, channel by channel.
      const float channel_color[3] = {cells_of.color.red, cells_of.color.green,
                                      cells_of.color.blue};
      for (int32_t c = 0; c < 3; ++c) {
        for (int64_t i = 0; i < n; ++i) {
          cells_of.k[c][i] = tint[c][i] * run.factor[i] * cells_of.falloff[i] * cells_of.intensity *
                             channel_color[c];
        }
      }
    }
    // Each cell's triangles T1 = (P00, P10, P01) and T2 = (P01, P10, P11) per light, cell by
    // cell, eight cells at a time.
    for (int64_t i = 0; i < n; i += lanes) {
      Caustics_Triangle_Lanes groups[Caustics_Triangle_Lanes::most_groups];
      size_t count = 0;
      for (int32_t l = first_light; l < end_light; ++l) {
        const Light_Cells& cells_of = lights[l];
        const Caustics_Patch_Run& run = cells_of.run;
        uint32_t drawn = 0;
        for (int32_t j = 0; j < lanes && i + j < n; ++j) {
          drawn |= static_cast<uint32_t>(cells_of.drawn[i + j]) << j;
        }
        const float* k0 = cells_of.k[0] + i;
        const float* k1 = cells_of.k[1] + i;
        const float* k2 = cells_of.k[2] + i;
        groups[count++] = {run.x[0] + i, run.y[0] + i, run.x[0] + i + 1, run.y[0] + i + 1,
                           run.x[1] + i, run.y[1] + i, {k0, k1, k2},     drawn};
        groups[count++] = {run.x[1] + i,     run.y[1] + i,     run.x[0] + i + 1, run.y[0] + i + 1,
                           run.x[1] + i + 1, run.y[1] + i + 1, {k0, k1, k2},     drawn};
      }
      rasterize_triangle_lanes(std::span<const Caustics_Triangle_Lanes>(groups, count), band,
                               buffer, in.caustics_antialias);
    }
  }
}

template <class P>
void caustics_row_triangles(int64_t y, const Caustics_Parameters_In<P>& in,
                            const Array_2d<Blur_Coordinates>& direct,
                            const Array_2d<Blur_Coordinates>& point,
                            std::vector<Caustics_Triangle>& triangles) {
  auto draw = [&](const RGB32f& k, float x0, float y0, float x1, float y1, float x2, float y2) {
    triangles.push_back({k, x0, y0, x1, y1, x2, y2});
  };
  splat_row(y, in, direct, point, draw, true);
}

template <class P>
void caustics_splat_body(const Iteration& iteration, Render_Context context,
                         Caustics_Parameters_In<P> in, Layer<RGB32f> buffer,
                         Array_2d<Blur_Coordinates> direct, Array_2d<Blur_Coordinates> point) {
  const int64_t mode = in.caustics_antialias;
  auto draw = [&](const RGB32f& k, float x0, float y0, float x1, float y1, float x2, float y2) {
    rasterize_triangle_edges(k, buffer, mode, x0, y0, x1, y1, x2, y2);
  };
  splat_row(iteration.index, in, direct, point, draw);
  context.check_abort();
}

template <class P>
void caustics_splat_band_body(const Iteration& iteration, Render_Context context,
                              Caustics_Parameters_In<P> in, Layer<RGB32f> buffer,
                              Array_2d<Blur_Coordinates> direct, Array_2d<Blur_Coordinates> point,
                              std::span<Caustics_Band> bands) {
  BREL_ASSERT_MSG(
      iteration.worker_index >= 0 && iteration.worker_index < static_cast<int64_t>(bands.size()),
      "a band for every worker");
  Caustics_Band& band = bands[static_cast<size_t>(iteration.worker_index)];
  const int64_t first = iteration.index * caustics_splat_rows;
  const int64_t end = std::min(first + caustics_splat_rows, in.image.height);
  // The rows of the cells and the band's margin above and below them, for the light that
  // refraction moves off its own rows.
  band.place(first - (Caustics_Band::rows - caustics_splat_rows) / 2);
  // The triangles are gathered and rasterised in batches, in their order: the cells' loop and
  // the rasteriser's each stay in a tight loop of their own.
  Caustics_Triangle_Batch batch;
  const auto rasterize = [&] {
    rasterize_triangles(batch, band, buffer, in.caustics_antialias);
    batch.count = 0;
  };
  auto draw = [&](const RGB32f& k, float x0, float y0, float x1, float y1, float x2, float y2) {
    batch.push(k, x0, y0, x1, y1, x2, y2);
    if (batch.full()) {
      rasterize();
    }
  };
  // Unwidened patches go eight cells at a time straight to the rasteriser.
  const bool lanes = !(in.refraction.blur_scale > 0.0f);
  for (int64_t y = first; y < end; ++y) {
    if (lanes) {
      caustics_splat_row_lanes(y, in, direct, point, band, buffer);
    } else {
      splat_row(y, in, direct, point, draw, true);
    }
    context.check_abort();
  }
  rasterize();
  band.flush(buffer);
}

template <class P>
void Kernel_Caustics<Layer<P>, Implementation_Cpu>::run(Render_Context context) {
  const Parameters_In in = parameters_in;
  const bool drawn = caustics_are_drawn(in);
  if (!drawn && !background_is_seen(in)) {
    return;
  }
  const int64_t w = in.image.width;
  const int64_t h = in.image.height;
  caustics_buffer = std::make_unique<Layer_Holder>(
      make_rgb32f_layer(context, w + 4, h, 0, 0, 0, 1.0f, 1.0f, 1.0f));
  const Layer<RGB32f> buffer = layer_view<RGB32f>(*caustics_buffer);
  // Only a buffer that is splatted into needs zeros: the fill overwrites the other unread.
  if (drawn) {
    Kernel_Clear<Layer<RGB32f>, Implementation_Cpu> clear;
    clear.parameters_in.layer = buffer;
    clear.execute(context);
  }

  const auto area = [](const auto& layer) { return layer.width * layer.height; };
  const int64_t pixel_size = static_cast<int64_t>(sizeof(P));
  const int64_t input_bytes = 4 * area(in.depth) + 12 * area(in.normals) +
                              pixel_size * (area(in.refraction.refraction_texture) +
                                            area(in.refraction.refraction_depth_texture));
  const auto coordinates_pass = [&](const char* name, auto body) {
    std::shared_ptr<Mapped_Memory_2d> memory = make_blur_coordinates_array(context, w, h);
    const Array_2d<Blur_Coordinates> coordinates = array_2d_view<Blur_Coordinates>(*memory);
    std::shared_ptr<Timing_Table::Scope_Timer> scope =
        context.scope_timer(name, input_bytes + 12 * w * h);
    cpu_kernel_launch(h, body, context, in, coordinates);
    scope.reset();
    return memory;
  };
  std::shared_ptr<Mapped_Memory_2d> direct_memory;
  std::shared_ptr<Mapped_Memory_2d> point_memory;
  Array_2d<Blur_Coordinates> direct;
  Array_2d<Blur_Coordinates> point;
  if (in.direct_light.intensity != 0.0f) {
    direct_memory = coordinates_pass("init direct coordinates", &init_direct_coordinates_body<P>);
    direct = array_2d_view<Blur_Coordinates>(*direct_memory);
  }
  if (in.point_light.intensity != 0.0f) {
    point_memory = coordinates_pass("init point coordinates", &init_point_coordinates_body<P>);
    point = array_2d_view<Blur_Coordinates>(*point_memory);
  }
  if (drawn) {
    launch_caustics_splat(context, in, buffer, direct, point);
  }
}

template <class P>
void launch_caustics_splat(const Render_Context& context, const Caustics_Parameters_In<P>& in,
                           const Layer<RGB32f>& buffer, const Array_2d<Blur_Coordinates>& direct,
                           const Array_2d<Blur_Coordinates>& point) {
  // One band for every worker the loop can hand out, made ready by its worker.
  const int64_t h = in.image.height;
  const int64_t iterations = (h + caustics_splat_rows - 1) / caustics_splat_rows;
  const int64_t workers = std::max(context.iteration_count(iterations), context.iteration_count(0));
  const Layer_Holder scratch = make_rgb32f_layer(
      context, buffer.width, Caustics_Band::rows * workers, 0, 0, 0, 1.0f, 1.0f, 1.0f);
  // Workers that share the buffer add into it plainly under locks of its row groups: a locked
  // (atomic) addition per value cost more than a lock per group of rows.
  Caustics_Row_Locks locks(buffer.height);
  std::vector<Caustics_Band> bands;
  bands.reserve(static_cast<size_t>(workers));
  for (int64_t k = 0; k < workers; ++k) {
    Layer<RGB32f> rows = layer_view<RGB32f>(scratch);
    rows.pixels = advance_bytes(rows.pixels, k * Caustics_Band::rows * rows.row_bytes);
    rows.height = Caustics_Band::rows;
    // A worker alone adds into the buffer without atomics or locks.
    if (workers == 1) {
      bands.emplace_back(rows, buffer.width, buffer.height, true);
    } else {
      bands.emplace_back(rows, buffer.width, buffer.height, locks);
    }
  }
  cpu_kernel_launch(iterations, &caustics_splat_band_body<P>, context, in, buffer, direct, point,
                    std::span<Caustics_Band>(bands));
}

#define BREL_CAUSTICS_INSTANCES(P)                                                                \
  template class Kernel_Caustics<Layer<P>, Implementation_Cpu>;                                   \
  template void init_direct_coordinates_body<P>(                                                  \
      const Iteration&, Render_Context, Caustics_Parameters_In<P>, Array_2d<Blur_Coordinates>);   \
  template void init_point_coordinates_body<P>(                                                   \
      const Iteration&, Render_Context, Caustics_Parameters_In<P>, Array_2d<Blur_Coordinates>);   \
  template void caustics_splat_body<P>(const Iteration&, Render_Context,                          \
                                       Caustics_Parameters_In<P>, Layer<RGB32f>,                  \
                                       Array_2d<Blur_Coordinates>, Array_2d<Blur_Coordinates>);   \
  template void caustics_splat_band_body<P>(                                                      \
      const Iteration&, Render_Context, Caustics_Parameters_In<P>, Layer<RGB32f>,                 \
      Array_2d<Blur_Coordinates>, Array_2d<Blur_Coordinates>, std::span<Caustics_Band>);          \
  template void caustics_splat_row_lanes<P>(                                                      \
      int64_t, const Caustics_Parameters_In<P>&, const Array_2d<Blur_Coordinates>&,               \
      const Array_2d<Blur_Coordinates>&, Caustics_Band&, const Layer<RGB32f>&);                   \
  template void caustics_row_triangles<P>(                                                        \
      int64_t, const Caustics_Parameters_In<P>&, const Array_2d<Blur_Coordinates>&,               \
      const Array_2d<Blur_Coordinates>&, std::vector<Caustics_Triangle>&);                        \
  template void launch_caustics_splat<P>(const Render_Context&, const Caustics_Parameters_In<P>&, \
                                         const Layer<RGB32f>&, const Array_2d<Blur_Coordinates>&, \
                                         const Array_2d<Blur_Coordinates>&);

BREL_CAUSTICS_INSTANCES(ARGB32f)
BREL_CAUSTICS_INSTANCES(BGRA32f)
BREL_CAUSTICS_INSTANCES(ARGB16)
BREL_CAUSTICS_INSTANCES(BGRA16)
BREL_CAUSTICS_INSTANCES(ARGB8)
BREL_CAUSTICS_INSTANCES(BGRA8)

#undef BREL_CAUSTICS_INSTANCES

}  // namespace brel
