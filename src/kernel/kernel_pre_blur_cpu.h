#pragma once

// Edge-preserving smoothing of the depth layer, in place: each pass replaces every non-zero
// depth by a weighted mean of itself and those of its eight neighbours that lie within a
// threshold of it, so silhouettes survive while small noise flattens.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>

#include "base/finite_float.h"
#include "base/kernel.h"
#include "base/layer.h"
#include "base/pixel.h"

namespace brel {

// The settings of the blur; the same record for every pixel type.
struct Pre_Blur_Parameters_In {
  Layer<float> depth;        // the image's w × h inside the bordered depth layer; blurred in place
  float strength = 0.0f;     // weight of a side neighbour at zero difference
  float threshold = 0.0f;    // neighbours differing by this much or more are ignored
  float depth_scale = 0.0f;  // the largest depth a pass writes
  int64_t iterations = 0;    // passes at full resolution
};

template <class L, class Implementation>
class Kernel_Pre_Blur;

// The pixel type only selects the instantiation; all six run the same code on float layers.
template <class P>
class Kernel_Pre_Blur<Layer<P>, Implementation_Cpu>
    : public Kernel_Implementation<Implementation_Cpu> {
 public:
  using Parameters_In = Pre_Blur_Parameters_In;

  Parameters_In parameters_in;

  std::string name() const override { return "pre blur"; }
  int64_t workload() const override {
    return parameters_in.depth.width * parameters_in.depth.height * parameters_in.iterations * 40;
  }
  void run(Render_Context context) override;
};

// Passes at the depth layer's resolution: the requested count scaled by the downsample factors
// (a quarter at half resolution), truncated. A count that is not a number makes no pass.
int64_t pre_blur_passes(int64_t iterations, float scale_x, float scale_y);

// A diagonal neighbour weighs this much of a side one.
inline constexpr float pre_blur_diagonal_weight = 0.70710677f;

// One pass at (x, y), read from `source` with neighbours clamped into the image, written as
// the plain rules say, in arithmetic T; `kept` is what the target holds there when the pixel has
// no depth.
template <class T>
T pre_blur_pixel_in(const Layer<float>& source, int64_t x, int64_t y, float kept,
                    const Pre_Blur_Parameters_In& in) {
  const T z = source.row(y)[x];
  if (z == 0) {
    return kept;
  }
  T sum = z;
  T weight = 1;
  const int64_t neighbours[8][2] = {{-1, -1}, {0, -1}, {1, -1}, {-1, 0},
                                    {1, 0},   {-1, 1}, {0, 1},  {1, 1}};
  for (const auto& offset : neighbours) {
    const int64_t nx = std::clamp<int64_t>(x + offset[0], 0, in.depth.width - 1);
    const int64_t ny = std::clamp<int64_t>(y + offset[1], 0, in.depth.height - 1);
    const T n = source.row(ny)[nx];
    const T dz = std::fabs(n - z);
    if (in.threshold > dz) {
      const float base =
          offset[0] != 0 && offset[1] != 0 ? in.strength * pre_blur_diagonal_weight : in.strength;
      const T omega = (1 - dz / in.threshold) * base;
      sum = sum + n * omega;
      weight = weight + omega;
    }
  }
  if (z > in.depth_scale) {
    return in.depth_scale;
  }
  return sum / weight;
}

// The same in float, and in double where the float sums of finite depths overflow (depths far
// below zero); the row body computes the same without branches; tests compare both.
inline float pre_blur_pixel_reference(const Layer<float>& source, int64_t x, int64_t y, float kept,
                                      const Pre_Blur_Parameters_In& in) {
  const float blurred = pre_blur_pixel_in<float>(source, x, y, kept, in);
  if (within_float_range(blurred) || !within_float_range(source.row(y)[x])) {
    return blurred;
  }
  return nearest_finite_float(pre_blur_pixel_in<double>(source, x, y, kept, in));
}

// Rows [begin, end) of one pass from `source` into `target`, distinct layers of at least the
// depth's size; only the depth's width and height bound the loops.
void pre_blur_rows(const Iteration& iteration, Render_Context context, Pre_Blur_Parameters_In in,
                   Layer<float> source, Layer<float> target);

extern template class Kernel_Pre_Blur<Layer<ARGB32f>, Implementation_Cpu>;
extern template class Kernel_Pre_Blur<Layer<BGRA32f>, Implementation_Cpu>;
extern template class Kernel_Pre_Blur<Layer<ARGB16>, Implementation_Cpu>;
extern template class Kernel_Pre_Blur<Layer<BGRA16>, Implementation_Cpu>;
extern template class Kernel_Pre_Blur<Layer<ARGB8>, Implementation_Cpu>;
extern template class Kernel_Pre_Blur<Layer<BGRA8>, Implementation_Cpu>;

}  // namespace brel
