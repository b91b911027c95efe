#pragma once

// The "depthmap" render mode: the depth layer written into the output frame as grey, scaled so
// that the depth range shows as white.

#include <algorithm>
#include <cstdint>
#include <string>

#include "base/finite_float.h"
#include "base/kernel.h"
#include "base/layer.h"
#include "base/pixel.h"
#include "kernel/grey_row.h"

namespace brel {

template <class L, class Implementation>
class Kernel_Show_Render_Mode_Depth;

template <class P>
class Kernel_Show_Render_Mode_Depth<Layer<P>, Implementation_Cpu>
    : public Kernel_Implementation<Implementation_Cpu> {
 public:
  struct Parameters_In {
    Layer<float> depth;  // read at the output's coordinates; at least as large as the output
    Layer<P> output;
    float depth_scale = 0.0f;  // the depth shown as white; 0 shows depth × white unscaled
  };

  Parameters_In parameters_in;

  std::string name() const override { return "show render mode depth"; }
  int64_t workload() const override;
  void run(Render_Context context) override;
};

// The grey value of a finite depth whose float value overflowed (a depth range too small for
// its reciprocal, or a depth far beyond it), in double; the largest float stands for values
// beyond the float range. Every other value is kept.
inline float show_depth_overflowed(float depth, float white, float depth_scale, float value) {
  if (within_float_range(value) || !within_float_range(depth) || depth_scale != depth_scale) {
    return value;
  }
  const double grey = static_cast<double>(depth) * white;
  return nearest_finite_float(depth_scale != 0.0f ? grey / depth_scale : grey);
}

namespace show_render_mode_depth_detail {

// Where the processor has AVX2, the 8-bit pixels of a row's first depths, eight at a time, with
// the plain loop's words: the same products in the same order, clamped in float. Stops before
// the first eight of which one needs the double steps of an overflowed grey. Returns how many
// pixels it wrote (a multiple of 8); 0 where AVX2 rows are not built or not supported.
template <class P>
int64_t byte_pixels(const float* depth, P* output, int64_t n, float factor, float depth_scale);

}  // namespace show_render_mode_depth_detail

// Writes output row iteration.index.
template <class P>
void show_render_mode_depth_rows(
    const Iteration& iteration, Render_Context context,
    typename Kernel_Show_Render_Mode_Depth<Layer<P>, Implementation_Cpu>::Parameters_In in) {
  const float* depth = in.depth.row(iteration.index);
  const float white = Pixel_Traits<P>::white_value;
  // A range of +0 or -0 shows depth × white unscaled; a NaN range scales (to NaN) like any
  // other. Multiplying by 1 is exact, so the unscaled case needs no branch in the loop.
  const float factor = in.depth_scale != 0.0f ? 1.0f / in.depth_scale : 1.0f;
  P* output = in.output.row(iteration.index);
  int64_t done = 0;
  if constexpr (sizeof(typename Pixel_Traits<P>::Channel) == 1) {
    done = show_render_mode_depth_detail::byte_pixels(depth, output, in.output.width, factor,
                                                      in.depth_scale);
    depth += done;
  }
  write_grey_row(output + done, in.output.width - done, [&](int64_t x0, int64_t n, float* values) {
    int32_t overflows = 0;
    for (int64_t i = 0; i < n; ++i) {
      values[i] = depth[x0 + i] * white * factor;
      overflows += static_cast<int32_t>(!within_float_range(values[i]));
    }
    for (int64_t i = 0; overflows != 0 && i < n; ++i) {
      values[i] = show_depth_overflowed(depth[x0 + i], white, in.depth_scale, values[i]);
    }
  });
  context.check_abort();
}

template <class P>
int64_t Kernel_Show_Render_Mode_Depth<Layer<P>, Implementation_Cpu>::workload() const {
  return parameters_in.depth.width * parameters_in.depth.height * 4 +
         parameters_in.output.width * parameters_in.output.height * static_cast<int64_t>(sizeof(P));
}

template <class P>
void Kernel_Show_Render_Mode_Depth<Layer<P>, Implementation_Cpu>::run(Render_Context context) {
  const Parameters_In in = parameters_in;
  cpu_kernel_launch(in.output.height, &show_render_mode_depth_rows<P>, context, in);
}

extern template class Kernel_Show_Render_Mode_Depth<Layer<ARGB32f>, Implementation_Cpu>;
extern template class Kernel_Show_Render_Mode_Depth<Layer<BGRA32f>, Implementation_Cpu>;
extern template class Kernel_Show_Render_Mode_Depth<Layer<ARGB16>, Implementation_Cpu>;
extern template class Kernel_Show_Render_Mode_Depth<Layer<BGRA16>, Implementation_Cpu>;
extern template class Kernel_Show_Render_Mode_Depth<Layer<ARGB8>, Implementation_Cpu>;
extern template class Kernel_Show_Render_Mode_Depth<Layer<BGRA8>, Implementation_Cpu>;

}  // namespace brel
