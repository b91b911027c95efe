#include "kernel/kernel_pre_blur_cpu.h"

#include <limits>

#include "base/kernel_copy.h"
#include "base/layer_holder.h"
#include "util/target_clones.h"

namespace brel {

namespace {

// One neighbour's share, without a branch: a neighbour at or beyond the threshold (and every
// neighbour when the threshold is 0 or not a number) adds exactly nothing.
inline void add_neighbour(float z, float n, float base, float threshold, float& sum,
                          float& weight) {
  const float dz = std::fabs(n - z);
  const bool near = threshold > dz;
  const float omega = (1.0f - dz / threshold) * base;
  const float share = n * omega;
  sum = sum + (near ? share : 0.0f);
  weight = weight + (near ? omega : 0.0f);
}

// The pass at column x; the neighbour columns left and right are given, already clamped.
inline float blur_pixel(const float* up, const float* row, const float* down, int64_t left,
                        int64_t x, int64_t right, float kept, float side, float diagonal,
                        float threshold, float depth_scale) {
  const float z = row[x];
  float sum = z;
  float weight = 1.0f;
  add_neighbour(z, up[left], diagonal, threshold, sum, weight);
  add_neighbour(z, up[x], side, threshold, sum, weight);
  add_neighbour(z, up[right], diagonal, threshold, sum, weight);
  add_neighbour(z, row[left], side, threshold, sum, weight);
  add_neighbour(z, row[right], side, threshold, sum, weight);
  add_neighbour(z, down[left], diagonal, threshold, sum, weight);
  add_neighbour(z, down[x], side, threshold, sum, weight);
  add_neighbour(z, down[right], diagonal, threshold, sum, weight);
  const float mean = sum / weight;
  const float blurred = z > depth_scale ? depth_scale : mean;
  // A pixel without depth keeps what the target holds.
  return z == 0.0f ? kept : blurred;
}

}  // namespace

int64_t pre_blur_passes(int64_t iterations, float scale_x, float scale_y) {
  const float passes = static_cast<float>(iterations) * scale_x * scale_y;
  if (!(passes > 0.0f)) {
    return 0;
  }
  // Beyond any count a render could finish; keeps the conversion defined.
  if (passes >= 9.2e18f) {
    return std::numeric_limits<int64_t>::max();
  }
  return static_cast<int64_t>(passes);
}

namespace {

// One row of a pass; `up` and `down` are the rows above and below, clamped into the image. Eight
// divisions a pixel bound this loop: where the processor has AVX2 it runs eight pixels an
// instruction instead of four, with the same results.
BREL_TARGET_CLONES_AVX2 void blur_row(const float* up, const float* row, const float* down,
                                      float* out, int64_t w, float side, float diagonal,
                                      float threshold, float depth_scale) {
  if (w > 0) {
    out[0] = blur_pixel(up, row, down, 0, 0, w > 1 ? 1 : 0, out[0], side, diagonal, threshold,
                        depth_scale);
  }
  for (int64_t x = 1; x + 1 < w; ++x) {
    out[x] =
        blur_pixel(up, row, down, x - 1, x, x + 1, out[x], side, diagonal, threshold, depth_scale);
  }
  if (w > 1) {
    out[w - 1] = blur_pixel(up, row, down, w - 2, w - 1, w - 1, out[w - 1], side, diagonal,
                            threshold, depth_scale);
  }
}

// Finite depths whose float sums overflowed (depths far below zero) are blurred again in double.
void blur_overflows(const Layer<float>& source, int64_t y, float* out,
                    const Pre_Blur_Parameters_In& in) {
  const float* row = source.row(y);
  int32_t overflows = 0;
  for (int64_t x = 0; x < in.depth.width; ++x) {
    overflows += static_cast<int32_t>(!within_float_range(out[x]) & within_float_range(row[x]));
  }
  if (overflows == 0) {
    return;
  }
  for (int64_t x = 0; x < in.depth.width; ++x) {
    if (!within_float_range(out[x]) && within_float_range(row[x])) {
      out[x] = pre_blur_pixel_reference(source, x, y, out[x], in);
    }
  }
}

}  // namespace

void pre_blur_rows(const Iteration& iteration, Render_Context context, Pre_Blur_Parameters_In in,
                   Layer<float> source, Layer<float> target) {
  const int64_t w = in.depth.width;
  const int64_t h = in.depth.height;
  const auto [begin, end] = thread_iteration_range(iteration, h);
  const float diagonal = in.strength * pre_blur_diagonal_weight;
  for (int64_t y = begin; y < end; ++y) {
    blur_row(source.row(y > 0 ? y - 1 : 0), source.row(y), source.row(y + 1 < h ? y + 1 : h - 1),
             target.row(y), w, in.strength, diagonal, in.threshold, in.depth_scale);
    blur_overflows(source, y, target.row(y), in);
    context.check_abort();
  }
}

template <class P>
void Kernel_Pre_Blur<Layer<P>, Implementation_Cpu>::run(Render_Context context) {
  const Parameters_In in = parameters_in;
  const int64_t passes = pre_blur_passes(in.iterations, in.depth.scale_x, in.depth.scale_y);
  // Without a pass the depth stays as it is: no scratch layer to take, nothing to copy.
  if (passes == 0) {
    return;
  }
  const int64_t w = in.depth.width;
  const int64_t h = in.depth.height;
  Layer_Holder scratch_holder =
      make_temporary_float_layer(context, w, h, 0, 0, 0, 1.0f, 1.0f, 1.0f);
  const Layer<float> scratch = layer_view<float>(scratch_holder);
  copy_layer_pixels(context, in.depth, scratch);
  const int64_t count = context.iteration_count(h / 20);
  Layer<float> source = in.depth;
  Layer<float> target = scratch;
  for (int64_t pass = 0; pass < passes; ++pass) {
    cpu_kernel_launch(count, &pre_blur_rows, context, in, source, target);
    std::swap(source, target);
  }
  if (passes % 2 == 1) {
    copy_layer_pixels(context, scratch, in.depth);
  }
}

template class Kernel_Pre_Blur<Layer<ARGB32f>, Implementation_Cpu>;
template class Kernel_Pre_Blur<Layer<BGRA32f>, Implementation_Cpu>;
template class Kernel_Pre_Blur<Layer<ARGB16>, Implementation_Cpu>;
template class Kernel_Pre_Blur<Layer<BGRA16>, Implementation_Cpu>;
template class Kernel_Pre_Blur<Layer<ARGB8>, Implementation_Cpu>;
template class Kernel_Pre_Blur<Layer<BGRA8>, Implementation_Cpu>;

}  // namespace brel
