#pragma once

// The "normalmap" render mode: every normal component from -1 to 1 becomes a colour channel
// from black to white (x drives red, y green, z blue).

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "base/kernel.h"
#include "base/layer.h"
#include "base/pixel.h"

namespace brel {

template <class L, class Implementation>
class Kernel_Show_Render_Mode_Normals;

template <class P>
class Kernel_Show_Render_Mode_Normals<Layer<P>, Implementation_Cpu>
    : public Kernel_Implementation<Implementation_Cpu> {
 public:
  struct Parameters_In {
    Layer<Vector_3<float>> normals;  // read at the output's coordinates; at least as large
    Layer<P> output;
  };

  Parameters_In parameters_in;

  std::string name() const override { return "show render mode normals"; }
  int64_t workload() const override;
  void run(Render_Context context) override;
};

namespace show_render_mode_normals_detail {

// Integer pixels of n normals, each built as one word in registers and stored at once: the
// loop runs as vector code with no per-channel stores. Float pixels are written straight from
// the normals, with no copy between.
template <class P>
void normals_to_integer_pixels(const Vector_3<float>* normals, P* output, int64_t n);
template <class P>
void normals_to_float_pixels(const Vector_3<float>* normals, P* output, int64_t n);

}  // namespace show_render_mode_normals_detail

// Writes output row iteration.index.
template <class P>
void show_render_mode_normals_rows(
    const Iteration& iteration, Render_Context context,
    typename Kernel_Show_Render_Mode_Normals<Layer<P>, Implementation_Cpu>::Parameters_In in) {
  using Traits = Pixel_Traits<P>;
  const int64_t y = iteration.index;
  const Vector_3<float>* normals = in.normals.row(y);
  P* output = in.output.row(y);
  if constexpr (Traits::is_integer) {
    show_render_mode_normals_detail::normals_to_integer_pixels(normals, output, in.output.width);
  } else {
    show_render_mode_normals_detail::normals_to_float_pixels(normals, output, in.output.width);
  }
  context.check_abort();
}

template <class P>
int64_t Kernel_Show_Render_Mode_Normals<Layer<P>, Implementation_Cpu>::workload() const {
  return parameters_in.normals.width * parameters_in.normals.height * 12 +
         parameters_in.output.width * parameters_in.output.height * static_cast<int64_t>(sizeof(P));
}

template <class P>
void Kernel_Show_Render_Mode_Normals<Layer<P>, Implementation_Cpu>::run(Render_Context context) {
  const Parameters_In in = parameters_in;
  cpu_kernel_launch(in.output.height, &show_render_mode_normals_rows<P>, context, in);
}

extern template class Kernel_Show_Render_Mode_Normals<Layer<ARGB32f>, Implementation_Cpu>;
extern template class Kernel_Show_Render_Mode_Normals<Layer<BGRA32f>, Implementation_Cpu>;
extern template class Kernel_Show_Render_Mode_Normals<Layer<ARGB16>, Implementation_Cpu>;
extern template class Kernel_Show_Render_Mode_Normals<Layer<BGRA16>, Implementation_Cpu>;
extern template class Kernel_Show_Render_Mode_Normals<Layer<ARGB8>, Implementation_Cpu>;
extern template class Kernel_Show_Render_Mode_Normals<Layer<BGRA8>, Implementation_Cpu>;

}  // namespace brel
