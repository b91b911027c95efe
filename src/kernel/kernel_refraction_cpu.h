#pragma once

// The refraction: for every pixel, the colour seen through the transparent relief. The view ray
// is bent at the surface, followed down to where it lands on the lit background (the background
// with the caustic light added), and the background is averaged over a footprint that grows
// with the ray's path and with "blur transparency".

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>

#include "base/kernel.h"
#include "base/layer.h"
#include "base/layer_holder.h"
#include "base/pixel.h"
#include "kernel/gatherer_cpu.h"
#include "kernel/refraction_vector.h"
#include "util/row_bands.h"
#include "util/stream_copy.h"

namespace brel {

// The view ray through pixel (x, y) of a w × h image, towards the scene: (0, 0, -1) for the
// orthographic view (perspective 0); with perspective p the unnormalised ray runs from -p to p
// across the image and from p h / w at the top to minus that at the bottom, at unit depth, and
// is returned normalised.
inline Vector_3<float> view_ray(int64_t x, int64_t y, int64_t width, int64_t height,
                                float perspective) {
  const float p = perspective;
  if (p == 0.0f) {
    return {0.0f, 0.0f, -1.0f};
  }
  const float w = static_cast<float>(width);
  const float h = static_cast<float>(height);
  const float xc = static_cast<float>(x) + 0.5f;
  const float yc = static_cast<float>(y) + 0.5f;
  const float a = 2.0f * ((0.5f - yc / h) * p) * (h / w);
  const float b = (p * (xc / w - 0.5f)) * 2.0f;
  const float s = std::sqrt((b * b + a * a) + 1.0f);
  return {b / s, a / s, -1.0f / s};
}

// The view rays of pixels x .. x + n - 1 of row y (n at most refraction_run_pixels, x + n and y
// below 2^31) into the run's rays: view_ray's values, bit for bit, in a loop that vector code
// takes eight pixels at a time.
void view_rays(int64_t x, int64_t y, int64_t n, int64_t width, int64_t height, float perspective,
               Refraction_Run& run);

// The share of the path length that blurs the footprint: 1, or with "link blur to glossiness"
// 1 less the glossiness at the pixel (the glossiness texture's luminance times "glossiness"),
// down to 0.
template <class P>
float refraction_blur_weight(const Refraction_Parameter<P, Implementation_Cpu>& parameter,
                             int64_t x, int64_t y) {
  if (!parameter.link_blur_to_glossiness) {
    return 1.0f;
  }
  const float g = texture_luminance(parameter.glossiness_texture, x, y) * parameter.glossiness;
  const float m = std::max(0.0f, g);
  return m < 1.0f ? 1.0f - m : 0.0f;
}

template <class L, class Implementation>
class Kernel_Refraction;

template <class P>
class Kernel_Refraction<Layer<P>, Implementation_Cpu>
    : public Kernel_Implementation<Implementation_Cpu> {
 public:
  struct Parameters_In {
    // The filled caustics image, w × h: the background's colour with the caustic light added.
    // No pixels when the render has neither caustics nor a background.
    Layer<RGB32f> lit_background;
    Layer<float> depth;  // the image's w × h inside the bordered depth layer
    Layer<Vector_3<float>> normals;
    float transparency = 0.0f;
    Refraction_Parameter<P, Implementation_Cpu> refraction;
  };

  Parameters_In parameters_in;
  // RGB32f of the depth's size, origin 0; empty until a run with work makes it. The pipeline
  // takes it over for the final shading.
  std::unique_ptr<Layer_Holder> refraction_layer;

  std::string name() const override { return "refraction"; }
  int64_t workload() const override;
  void run(Render_Context context) override;
};

// False when nothing would be seen through the surface (transparency 0), nothing bends or
// blurs (refraction index exactly 1 and no blur), or there is no lit background. A value that
// is not a number counts as different from 0 and 1.
template <class Parameters>
bool refraction_has_work(const Parameters& in) {
  const bool unbent = in.refraction.refraction_index == 1.0f && in.refraction.blur_scale == 0.0f;
  return in.transparency != 0.0f && !unbent && in.lit_background.pixels != nullptr;
}

// Row `iteration.index` of the landing points: where the view ray through each pixel lands on
// the lit background, with its path length weighted for the footprint.
template <class P>
void init_refraction_coordinates_row(const Iteration& iteration, Render_Context context,
                                     const Refraction_Parameter<P, Implementation_Cpu>& parameter,
                                     Layer<float> depth, Layer<Vector_3<float>> normals,
                                     Array_2d<Blur_Coordinates> coordinates) {
  const int64_t y = iteration.index;
  Blur_Coordinates* row = coordinates.row(y);
  const auto rays = [&](int64_t x, int64_t n, Refraction_Run& run) {
    view_rays(x, y, n, depth.width, depth.height, parameter.perspective, run);
  };
  refract_row(parameter, depth, normals, y, rays, row);
  if (parameter.link_blur_to_glossiness) {
    for (int64_t x = 0; x < depth.width; ++x) {
      row[x].blur = refraction_blur_weight(parameter, x, y) * row[x].blur;
    }
  }
  context.check_abort();
}

// Each iteration gathers a tile of the refraction layer: rows of a band, one after the other,
// over a span of their columns. The footprints of a row read the source (its table or pyramid)
// around their landing points, above and below them, and those of the next row nearly the same:
// a worker that keeps a tall band and a few hundred columns finds that part of the source in its
// own cache, where short bands make every tile fetch its footprints' rows again. The last bands
// are short, enough for a tile per worker, so that the workers finish together.
inline constexpr int64_t refraction_tile_rows = 64;
inline constexpr int64_t refraction_last_tile_rows = 8;
inline constexpr int64_t refraction_tile_columns = 256;

// The tiles of a w x h refraction layer for `workers` workers: bands of rows, each cut into
// spans of columns.
struct Refraction_Tiles {
  Refraction_Tiles(int64_t width, int64_t height, int64_t workers)
      : spans(std::max<int64_t>(grain_iteration_count(width, refraction_tile_columns), 1)),
        bands(height, refraction_tile_rows, refraction_last_tile_rows,
              refraction_tile_rows * grain_iteration_count(std::max<int64_t>(workers, 1), spans)),
        width(width) {}

  int64_t count() const { return bands.count() * spans; }

  int64_t spans;
  Row_Bands bands;
  int64_t width;
};

// The tile of this iteration: the lit background averaged over the footprint that the landing
// points of each pixel and its left, upper and upper-left neighbours span.
template <class P>
void gather_refraction_tile(
    const Iteration& iteration, Render_Context context,
    typename Kernel_Refraction<Layer<P>, Implementation_Cpu>::Parameters_In in,
    Refraction_Tiles tiles, Layer<RGB32f> refraction,
    const Gatherer<Layer<RGB32f>, Implementation_Cpu>* gatherer,
    Array_2d<Blur_Coordinates> coordinates) {
  const auto [y0, y1] = tiles.bands.range(iteration.index / tiles.spans);
  const int64_t x0 = iteration.index % tiles.spans * refraction_tile_columns;
  const int64_t x1 = std::min(x0 + refraction_tile_columns, tiles.width);
  const float blur = in.refraction.blur_scale;
  // Where several workers write the layer at once, the memory's bandwidth is what they wait
  // for, and a store into a line that is not in the cache reads it in first: each row of the
  // tile is gathered into the worker's buffer and written past the cache. Nothing of this stage
  // reads the layer again. A single worker writes in place.
  const bool streamed = iteration.worker_count > 1;
  RGB32f line[refraction_tile_columns];
  for (int64_t y = y0; y < y1; ++y) {
    const Blur_Coordinates* first = coordinates.row(y);
    const Blur_Coordinates* second = coordinates.row(y > 0 ? y - 1 : 0);
    RGB32f* const out = refraction.row(y) + x0;
    // The box gathers scale the pair in place: each pixel takes a fresh one.
    gather_pixels(*gatherer, y, x0, x1,
                  Footprint_Scale{in.depth.scale_x * blur, blur * in.depth.scale_y}, first, second,
                  streamed ? line : out);
    if (streamed) {
      copy_past_the_cache(out, line, static_cast<size_t>(x1 - x0) * sizeof(RGB32f));
    }
    context.check_abort();
  }
  finish_copies_past_the_cache();
}

extern template class Kernel_Refraction<Layer<ARGB32f>, Implementation_Cpu>;
extern template class Kernel_Refraction<Layer<BGRA32f>, Implementation_Cpu>;
extern template class Kernel_Refraction<Layer<ARGB16>, Implementation_Cpu>;
extern template class Kernel_Refraction<Layer<BGRA16>, Implementation_Cpu>;
extern template class Kernel_Refraction<Layer<ARGB8>, Implementation_Cpu>;
extern template class Kernel_Refraction<Layer<BGRA8>, Implementation_Cpu>;

}  // namespace brel
