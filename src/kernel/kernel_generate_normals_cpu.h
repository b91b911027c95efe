#pragma once

// Per-pixel surface normals, from the slopes of the depth layer or decoded from a normal texture.
// Frame: x to the right, y to the top of the image (against the row order), z towards the viewer.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "base/finite_float.h"
#include "base/kernel.h"
#include "base/layer.h"
#include "base/layer_holder.h"
#include "base/pixel.h"

namespace brel {

template <class L, class Implementation>
class Kernel_Generate_Normals;

template <class P>
class Kernel_Generate_Normals<Layer<P>, Implementation_Cpu>
    : public Kernel_Implementation<Implementation_Cpu> {
 public:
  struct Parameters_In {
    Layer<P> normal_texture;  // empty: the normals come from the depth
    Layer<float> depth;       // the image's w × h inside the bordered depth layer
    bool discontinuity_detection = false;
    float discontinuity_threshold = 20.0f;  // in depth units
    float depth_scale = 0.0f;               // the factor the depth values carry
    float scale_x = 1.0f;                   // the input's downsample factors
    float scale_y = 1.0f;
  };

  Parameters_In parameters_in;
  // The normal layer (Vector_3<float>, w × h, origin 0); the pipeline takes it over.
  std::unique_ptr<Layer_Holder> result;

  std::string name() const override { return "generate normals"; }
  int64_t workload() const override;
  void run(Render_Context context) override;
};

// What the slope-to-normal step needs, fixed for a whole render.
struct Normal_Slope_Settings {
  float scale_x;
  float scale_y;
  float magnitude;        // |depth_scale|
  float divisor;          // |depth_scale|, or 1 when depth_scale is 0
  float threshold;        // discontinuity threshold T
  float merge_threshold;  // 0.95 of T, below which a neighbour's slope replaces the pixel's

  template <class Parameters>
  static Normal_Slope_Settings of(const Parameters& in) {
    Normal_Slope_Settings settings;
    settings.scale_x = in.scale_x;
    settings.scale_y = in.scale_y;
    settings.magnitude = std::fabs(in.depth_scale);
    settings.divisor = in.depth_scale != 0.0f ? settings.magnitude : 1.0f;
    settings.threshold = in.discontinuity_threshold;
    settings.merge_threshold = in.discontinuity_threshold * -0.05f + in.discontinuity_threshold;
    return settings;
  }
};

// The unit normal of a surface whose depth falls by (dx, dy) per pixel to the right and to the
// top: the slopes are scaled to full-resolution pixels, and z is 1 minus the slope of the
// unscaled depth before normalising. A zero vector stays as it is. T is the arithmetic: in
// float the squares overflow for slopes from about 1e19 on, which `overflow` reports; the same
// steps in double then give the normal those slopes have.
template <class T>
Vector_3<float> normal_from_slopes_in(T dx, T dy, const Normal_Slope_Settings& s, bool& overflow) {
  const T sx = dx * static_cast<T>(s.scale_x);
  const T sy = dy * static_cast<T>(s.scale_y);
  const T length = std::sqrt(sx * sx + sy * sy);
  const T nz = (static_cast<T>(s.magnitude) - length) / static_cast<T>(s.divisor);
  const T squared = sx * sx + sy * sy + nz * nz;
  overflow = !(squared <= std::numeric_limits<T>::max());
  // Computed for every pixel and then chosen, so that rows of pixels run without branches.
  const T inverse = static_cast<T>(1) / std::sqrt(squared);
  const bool normalise = squared != static_cast<T>(0);
  return Vector_3<float>{static_cast<float>(normalise ? sx * inverse : sx),
                         static_cast<float>(normalise ? sy * inverse : sy),
                         static_cast<float>(normalise ? nz * inverse : nz)};
}

inline Vector_3<float> normal_from_slopes(float dx, float dy, const Normal_Slope_Settings& s) {
  bool overflow = false;
  return normal_from_slopes_in<float>(dx, dy, s, overflow);
}

// Where a difference spans a depth step larger than the threshold, takes the differences of
// the neighbour left of the pixel, then of the one below, then of the one right of that, so
// silhouettes do not tilt the surface beside them. Only for pixels at least two away from
// every edge, so the neighbours' differences are the forward/backward ones.
template <class T>
void merge_discontinuities(const Layer<float>& depth, int64_t x, int64_t y, T& dx, T& dy,
                           const Normal_Slope_Settings& s) {
  const auto merge = [&](int64_t r, int64_t c) {
    const float* row = depth.row(r);
    const T cx = static_cast<T>(row[c]) - static_cast<T>(row[c + 1]);
    const T cy = static_cast<T>(row[c]) - static_cast<T>(depth.row(r - 1)[c]);
    if (std::fabs(cy) > s.merge_threshold || std::fabs(cx) > s.merge_threshold) {
      dx = (dx + cx) * static_cast<T>(0.5);
      dy = (dy + cy) * static_cast<T>(0.5);
    } else {
      dx = cx;
      dy = cy;
    }
  };
  int64_t k = x;
  int64_t m = y;
  if (std::fabs(dx) > s.threshold) {
    k = x - 1;
    merge(y, k);
  }
  if (std::fabs(dy) > s.threshold) {
    m = y + 1;
    merge(m, k);
  }
  if (std::fabs(dx) > s.threshold) {
    merge(m, k + 1);
  }
}

// The normal at (x, y) of the depth view in arithmetic T (see normal_from_slopes_in).
template <class T>
Vector_3<float> normal_from_depth_in(const Layer<float>& depth, int64_t x, int64_t y,
                                     bool discontinuity_detection, const Normal_Slope_Settings& s,
                                     bool& overflow) {
  const int64_t w = depth.width;
  const int64_t h = depth.height;
  const float* row = depth.row(y);
  const T c0 = row[x];
  // Value to the left minus value to the right; backward in the last column, same sign.
  T dx = 0;
  if (x + 1 < w) {
    dx = c0 - static_cast<T>(row[x + 1]);
  } else if (w > 1) {
    dx = static_cast<T>(row[w - 2]) - c0;
  }
  // Lower value minus upper value; forward in the first row, same sign.
  T dy = 0;
  if (y > 0) {
    dy = c0 - static_cast<T>(depth.row(y - 1)[x]);
  } else if (h > 1) {
    dy = static_cast<T>(depth.row(1)[x]) - c0;
  }
  overflow = false;
  if (dx == 0 && dy == 0) {
    return Vector_3<float>{static_cast<float>(dx), static_cast<float>(dy), 1.0f};
  }
  if (discontinuity_detection && x >= 2 && x < w - 2 && y >= 2 && y < h - 2) {
    merge_discontinuities(depth, x, y, dx, dy, s);
  }
  return normal_from_slopes_in(dx, dy, s, overflow);
}

// The normal at (x, y) of the depth view, pixel by pixel with every edge rule spelled out; in
// double where float overflows. The row body uses it for the edges, the discontinuities and the
// overflows; tests compare whole layers against it.
inline Vector_3<float> normal_from_depth(const Layer<float>& depth, int64_t x, int64_t y,
                                         bool discontinuity_detection,
                                         const Normal_Slope_Settings& s) {
  bool overflow = false;
  const Vector_3<float> normal =
      normal_from_depth_in<float>(depth, x, y, discontinuity_detection, s, overflow);
  return overflow ? normal_from_depth_in<double>(depth, x, y, discontinuity_detection, s, overflow)
                  : normal;
}

// A texture channel from 0 .. white mapped to -1 .. 1, in arithmetic T: divided by half of white
// (127.5, 16384, or for float 0.5, which is exactly twice the value) less 1.
template <class P, class T = float>
T texture_component(T value) {
  return value / static_cast<T>(Pixel_Traits<P>::white_value * 0.5f) - static_cast<T>(1);
}

// Decodes one texture pixel in arithmetic T, with every rule where it is decided: integer pixels
// count only when fully opaque; float pixels with partial alpha are un-premultiplied in z and
// normalised. `overflow` reports a float channel beyond the decoding's range or squares beyond
// it; in double the same steps give the normal those values have, nearest finite floats standing
// for components beyond the float range.
template <class P, class T>
Vector_3<float> normal_from_texture_in(const P& pixel, bool& overflow) {
  using Traits = Pixel_Traits<P>;
  const T ex = texture_component<P, T>(Traits::load(pixel, Traits::red));
  const T ey = texture_component<P, T>(Traits::load(pixel, Traits::green));
  const T ez = texture_component<P, T>(Traits::load(pixel, Traits::blue));
  const T a = Traits::load(pixel, Traits::alpha);
  const auto result = [&overflow](T x, T y, T z) {
    overflow =
        overflow || !within_float_range(x) || !within_float_range(y) || !within_float_range(z);
    return Vector_3<float>{nearest_finite_float(x), nearest_finite_float(y),
                           nearest_finite_float(z)};
  };
  overflow = false;
  if constexpr (Traits::is_integer) {
    if (!(a >= Traits::white_value)) {
      return Vector_3<float>{0.0f, 0.0f, 1.0f};
    }
    return Vector_3<float>{static_cast<float>(ex), static_cast<float>(ey), static_cast<float>(ez)};
  } else {
    if (!(a < 1)) {  // opaque, or a NaN alpha
      return result(ex, ey, ez);
    }
    if (!(a > 0)) {
      return result(ex * a, ey * a, 1);
    }
    const T x = ex * a;
    const T y = ey * a;
    const T z = ez / a;
    const T squared = x * x + y * y + z * z;
    overflow = !(squared <= std::numeric_limits<T>::max());
    if (!(squared > 0)) {
      return result(x, y, 1);
    }
    const T inverse = static_cast<T>(1) / std::sqrt(squared);
    return result(x * inverse, y * inverse, z * inverse);
  }
}

// Decodes one texture pixel, in double where float overflows. The row body decodes blocks of
// pixels without branches and takes this for the overflows; tests compare both.
template <class P>
Vector_3<float> normal_from_texture(const P& pixel) {
  bool overflow = false;
  const Vector_3<float> normal = normal_from_texture_in<P, float>(pixel, overflow);
  return overflow ? normal_from_texture_in<P, double>(pixel, overflow) : normal;
}

namespace generate_normals_detail {

// Decodes n texture pixels a block at a time: the channels are decoded as arrays (loops that
// run as vector code), and the alpha rule picks between values computed for every pixel.
template <class P>
void decode_texture(const P* source, int64_t n, Vector_3<float>* out);

template <class P>
void texture_row(const Layer<P>& texture, const Layer<float>& depth, int64_t y,
                 Vector_3<float>* out) {
  const int64_t w = depth.width;
  const Vector_3<float> facing{0.0f, 0.0f, 1.0f};
  const int64_t ty = y + depth.origin_y - texture.origin_y;
  // Columns x with 0 <= x + shift < texture width read the texture; the rest face the viewer.
  const int64_t shift = depth.origin_x - texture.origin_x;
  int64_t begin = 0;
  int64_t end = 0;
  if (ty >= 0 && ty < texture.height) {
    begin = std::clamp<int64_t>(-shift, 0, w);
    end = std::clamp<int64_t>(texture.width - shift, begin, w);
  }
  for (int64_t x = 0; x < begin; ++x) {
    out[x] = facing;
  }
  if (begin < end) {
    decode_texture(texture.row(ty) + begin + shift, end - begin, out + begin);
  }
  for (int64_t x = end; x < w; ++x) {
    out[x] = facing;
  }
}

// Rows from the second on (the first row and a 1-pixel-high layer take the forward difference):
// every column but the last takes the plain differences, the rest goes pixel by pixel.
void depth_row(const Layer<float>& depth, int64_t y, bool discontinuity_detection,
               const Normal_Slope_Settings& s, Vector_3<float>* out);

}  // namespace generate_normals_detail

// Rows per iteration. The loop hands out bands of rows as workers come free; with one band per
// worker, one that lost its processor for a moment held up the whole stage: on 8 threads of a
// shared machine, in three runs beside the base build, UHD rows went from 62-83 % of memcpy to
// 75-95 % with bands of 8 rows.
inline constexpr int64_t generate_normals_band_rows = 8;

template <class P>
void generate_normals_rows(
    const Iteration& iteration, Render_Context context,
    typename Kernel_Generate_Normals<Layer<P>, Implementation_Cpu>::Parameters_In in,
    Layer<Vector_3<float>> normals) {
  const auto [begin, end] =
      grain_iteration_range(iteration, in.depth.height, generate_normals_band_rows);
  const Normal_Slope_Settings settings = Normal_Slope_Settings::of(in);
  const bool from_texture = in.normal_texture.pixels != nullptr;
  for (int64_t y = begin; y < end; ++y) {
    if (from_texture) {
      generate_normals_detail::texture_row(in.normal_texture, in.depth, y, normals.row(y));
    } else {
      generate_normals_detail::depth_row(in.depth, y, in.discontinuity_detection, settings,
                                         normals.row(y));
    }
    context.check_abort();
  }
}

template <class P>
int64_t Kernel_Generate_Normals<Layer<P>, Implementation_Cpu>::workload() const {
  const Parameters_In& in = parameters_in;
  int64_t bytes =
      in.normal_texture.pixels != nullptr
          ? in.normal_texture.width * in.normal_texture.height * static_cast<int64_t>(sizeof(P))
          : in.depth.width * in.depth.height * 4;
  if (result != nullptr && result->memory != nullptr) {
    bytes += result->memory->width() / 12 * result->memory->height() * 12;
  }
  return bytes;
}

template <class P>
void Kernel_Generate_Normals<Layer<P>, Implementation_Cpu>::run(Render_Context context) {
  const Parameters_In in = parameters_in;
  const int64_t rows = in.depth.height;
  const int64_t iterations = grain_iteration_count(rows, generate_normals_band_rows);
  auto holder = std::make_unique<Layer_Holder>();
  holder->memory = context.allocate_memory_2d(in.depth.width * 12, rows);
  result = std::move(holder);
  const Layer<Vector_3<float>> normals = layer_view<Vector_3<float>>(*result);
  cpu_kernel_launch(iterations, &generate_normals_rows<P>, context, in, normals);
}

extern template class Kernel_Generate_Normals<Layer<ARGB32f>, Implementation_Cpu>;
extern template class Kernel_Generate_Normals<Layer<BGRA32f>, Implementation_Cpu>;
extern template class Kernel_Generate_Normals<Layer<ARGB16>, Implementation_Cpu>;
extern template class Kernel_Generate_Normals<Layer<BGRA16>, Implementation_Cpu>;
extern template class Kernel_Generate_Normals<Layer<ARGB8>, Implementation_Cpu>;
extern template class Kernel_Generate_Normals<Layer<BGRA8>, Implementation_Cpu>;

}  // namespace brel
