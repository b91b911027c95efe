#pragma once

// The caustics: the light of the direct and the point light that the transparent surface bends
// onto the background behind it. For every pixel and light the refracted light ray's landing
// point is found; every square of four neighbouring pixels is then a small patch of surface
// whose light lands on the quadrilateral of their landing points, spread over its area. The
// two triangles of each quadrilateral are added into a buffer as row differences, which the
// caustics fill integrates over the background.

#include <cmath>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "base/kernel.h"
#include "base/layer.h"
#include "base/layer_holder.h"
#include "base/pixel.h"
#include "effect/light.h"
#include "kernel/caustics_rasterizer.h"
#include "kernel/refraction_vector.h"

namespace brel {

template <class T>
struct Caustics_Parameters_In {
  Layer<T> image;  // the surface colour; its size is the image's, its downsampling the render's
  Layer<T> background;
  Layer<T> transparency_texture;
  Layer<T> glossiness_texture;
  Layer<float> depth;  // w × h inside a border of three pixels
  Layer<Vector_3<float>> normals;
  Point_Light point_light;
  Direct_Light direct_light;
  Refraction_Parameter<T, Implementation_Cpu> refraction;
  float falloff_distance = 0.0f;  // distance unit of the point light's falloff; 0 switches it off
  float gamma = 1.0f;             // not read here: the fill takes it
  float caustics_amount = 0.0f;
  int64_t caustics_antialias = 1;  // Caustics_Antialias
  float transparency = 0.0f;
  float glossiness = 0.0f;
  bool alpha_clipping = false;  // cells without depth at their lower-right corner are skipped
  bool discontinuity_detection = false;
  float discontinuity_threshold = 0.0f;
  float colorize = 0.0f;  // 0 white light, 1 the surface colour
};

template <class L, class Implementation>
class Kernel_Caustics;

template <class P>
class Kernel_Caustics<Layer<P>, Implementation_Cpu>
    : public Kernel_Implementation<Implementation_Cpu> {
 public:
  using Parameters_In = Caustics_Parameters_In<P>;

  Parameters_In parameters_in;
  // (w + 4) × h RGB32f, column c for image column c - 2. Empty until a run makes it; the
  // pipeline takes it over after the run.
  std::unique_ptr<Layer_Holder> caustics_buffer;

  std::string name() const override { return "caustics"; }
  int64_t workload() const override {
    const auto& in = parameters_in;
    return 8 * (in.depth.width * in.depth.height + 3 * in.normals.width * in.normals.height);
  }
  void run(Render_Context context) override;
};

// A value counts as set when it compares unequal to 0: not a number is set.
template <class P>
bool caustics_are_drawn(const Caustics_Parameters_In<P>& in) {
  return in.caustics_amount != 0.0f && in.transparency != 0.0f &&
         (in.direct_light.intensity != 0.0f || in.point_light.intensity != 0.0f);
}

template <class P>
bool background_is_seen(const Caustics_Parameters_In<P>& in) {
  return in.background.pixels != nullptr && in.transparency != 0.0f;
}

// Luminance of a texture pixel for the splat: (r + g + b) / (3 a) on the scale where 1 is white,
// clamped to [0, 1]; pixel (x, y) of the image reads the texture at (x - origin x, y - origin y).
// Outside the texture (or without one) 1; alpha 0 gives 1 (0 for a negative colour sum), and so
// does anything that is not a number.
template <class P>
float clamped_texture_luminance(const Layer<P>& texture, int64_t x, int64_t y) {
  using Traits = Pixel_Traits<P>;
  const P* texel = texture_pixel(texture, x, y);
  if (texel == nullptr) {
    return 1.0f;
  }
  const P& pixel = *texel;
  const float scale = 1.0f / Traits::white_value;
  const float sum =
      (Traits::load(pixel, Traits::red) * scale + Traits::load(pixel, Traits::green) * scale) +
      Traits::load(pixel, Traits::blue) * scale;
  const float q = sum / (3.0f * (Traits::load(pixel, Traits::alpha) * scale));
  if (std::isnan(q)) {
    return 1.0f;
  }
  return q < 0.0f ? 0.0f : (q > 1.0f ? 1.0f : q);
}

// The landing points of a cell's four corners, P00, P10, P01, P11 (upper left, upper right,
// lower left, lower right), with their path lengths.
struct Caustics_Patch {
  Blur_Coordinates corner[4];
};

// Reads the cell whose lower-right corner is (x, y). False when a corner does not exist: a
// negative or not-a-number path, or a position or path that is not finite.
bool load_caustics_patch(const Array_2d<Blur_Coordinates>& landing, int64_t x, int64_t y,
                         Caustics_Patch& patch);

// Moves the patch into buffer coordinates (half a row down, two columns right), first widened
// by `spread` times each corner's path length (scaled by the image's downsampling), and returns
// the factor of its light: the landing area A, or 1 / A when A > 1.
float caustics_patch_factor(Caustics_Patch& patch, float spread, float scale_x, float scale_y);

// A run of cells of one row, for a light whose patches are not widened: their corners moved
// into buffer coordinates with their paths, whether all four of each cell's corners landed,
// and each landed cell's factor, the values load_caustics_patch and caustics_patch_factor give
// cell by cell. Corner column x0 - 1 + j of the row above (0) and of the cells' row (1) is
// entry j.
struct Caustics_Patch_Run {
  static constexpr int64_t cells = 128;

  float x[2][cells + 1];
  float y[2][cells + 1];
  float blur[2][cells + 1];
  uint8_t landed[2][cells + 1];
  uint8_t whole[cells];
  float factor[cells];

  // Cell i's patch, as caustics_patch_factor leaves it.
  [[gnu::always_inline]] Caustics_Patch patch(int64_t i) const {
    return {{{x[0][i], y[0][i], blur[0][i]},
             {x[0][i + 1], y[0][i + 1], blur[0][i + 1]},
             {x[1][i], y[1][i], blur[1][i]},
             {x[1][i + 1], y[1][i + 1], blur[1][i + 1]}}};
  }
};

// The cells x0 to x0 + n - 1 of row y (x0, y >= 1, n <= Caustics_Patch_Run::cells) into `run`,
// in loops without branches that vector code runs.
void caustics_patch_run(const Array_2d<Blur_Coordinates>& landing, int64_t x0, int64_t y, int64_t n,
                        Caustics_Patch_Run& run);

// The point light's attenuation over a path of `path` depth units, clamped to [0, 1].
float caustics_point_falloff(float path, float falloff_distance, float falloff);
// Whether the point light falls off at all: else its attenuation is 1 whatever the path (any
// base to the power 0 is 1, a NaN too).
inline bool caustics_point_falls_off(float falloff_distance, float falloff) {
  return falloff_distance != 0.0f && falloff != 0.0f;
}

// Row bodies; the iteration's index is the image row.
template <class P>
void init_direct_coordinates_body(const Iteration& iteration, Render_Context context,
                                  Caustics_Parameters_In<P> in,
                                  Array_2d<Blur_Coordinates> coordinates);
template <class P>
void init_point_coordinates_body(const Iteration& iteration, Render_Context context,
                                 Caustics_Parameters_In<P> in,
                                 Array_2d<Blur_Coordinates> coordinates);
// Splats the cells whose lower-right corner lies in the row; either array may be absent. The
// plain rule: every addition goes atomically into the buffer.
template <class P>
void caustics_splat_body(const Iteration& iteration, Render_Context context,
                         Caustics_Parameters_In<P> in, Layer<RGB32f> buffer,
                         Array_2d<Blur_Coordinates> direct, Array_2d<Blur_Coordinates> point);

// Row y's triangles in their order, as the band bodies hand them to the rasteriser where no
// patch is widened: each cell's T1 = (P00, P10, P01) and T2 = (P01, P10, P11) for the direct,
// then for the point light.
template <class P>
void caustics_row_triangles(int64_t y, const Caustics_Parameters_In<P>& in,
                            const Array_2d<Blur_Coordinates>& direct,
                            const Array_2d<Blur_Coordinates>& point,
                            std::vector<Caustics_Triangle>& triangles);
// Row y's splat where no patch is widened (the blur scale not positive), in the parameters'
// mode: the additions of caustics_row_triangles' triangles in their order into the band (the
// buffer for those it does not hold), worked out eight cells at a time through
// rasterize_triangle_lanes.
template <class P>
void caustics_splat_row_lanes(int64_t y, const Caustics_Parameters_In<P>& in,
                              const Array_2d<Blur_Coordinates>& direct,
                              const Array_2d<Blur_Coordinates>& point, Caustics_Band& band,
                              const Layer<RGB32f>& buffer);

// Image rows a splat iteration takes: enough that its band's flush is small beside its
// splatting, few enough that the workers share a frame's rows evenly.
inline constexpr int64_t caustics_splat_rows = 8;

// The splat of the rows iteration.index * caustics_splat_rows onwards (at most that many),
// each triangle into the band of the iteration's worker when the band holds its rows, else
// straight into the buffer; the band is flushed into the buffer at the end. The same sums as
// caustics_splat_body over those rows, added in another order.
template <class P>
void caustics_splat_band_body(const Iteration& iteration, Render_Context context,
                              Caustics_Parameters_In<P> in, Layer<RGB32f> buffer,
                              Array_2d<Blur_Coordinates> direct, Array_2d<Blur_Coordinates> point,
                              std::span<Caustics_Band> bands);

// The splat of the run: every row through caustics_splat_band_body, with a band for every
// worker.
template <class P>
void launch_caustics_splat(const Render_Context& context, const Caustics_Parameters_In<P>& in,
                           const Layer<RGB32f>& buffer, const Array_2d<Blur_Coordinates>& direct,
                           const Array_2d<Blur_Coordinates>& point);

extern template class Kernel_Caustics<Layer<ARGB32f>, Implementation_Cpu>;
extern template class Kernel_Caustics<Layer<BGRA32f>, Implementation_Cpu>;
extern template class Kernel_Caustics<Layer<ARGB16>, Implementation_Cpu>;
extern template class Kernel_Caustics<Layer<BGRA16>, Implementation_Cpu>;
extern template class Kernel_Caustics<Layer<ARGB8>, Implementation_Cpu>;
extern template class Kernel_Caustics<Layer<BGRA8>, Implementation_Cpu>;

}  // namespace brel
