#pragma once

// Turns the caustics buffer in place into the lit background: every row becomes the
// background's colour, raised to "gamma correction", plus the running sum of the light
// differences the splat left in that row.

#include <cstdint>
#include <string>

#include "base/kernel.h"
#include "base/layer.h"
#include "base/pixel.h"

namespace brel {

template <class T>
struct Fill_Caustics_Parameters_In {
  Layer<T> background;  // absent: black
  // The whole (w + 4) × h buffer; its column c shows background column c - 2 - origin x, so
  // background and caustics of one image column meet in one pixel.
  Layer<RGB32f> caustics_buffer;
  float gamma = 1.0f;
  // True when the buffer holds splatted differences; otherwise its contents are never read.
  bool integrate = false;
};

template <class L, class Implementation>
class Kernel_Fill_Caustics;

template <class P>
class Kernel_Fill_Caustics<Layer<P>, Implementation_Cpu>
    : public Kernel_Implementation<Implementation_Cpu> {
 public:
  using Parameters_In = Fill_Caustics_Parameters_In<P>;

  Parameters_In parameters_in;

  std::string name() const override { return "fill caustics buffer"; }
  int64_t workload() const override {
    const auto& in = parameters_in;
    const int64_t background =
        in.background.pixels != nullptr
            ? in.background.width * in.background.height * static_cast<int64_t>(sizeof(P))
            : 0;
    return 12 * in.caustics_buffer.width * in.caustics_buffer.height + background;
  }
  void run(Render_Context context) override;
};

// The background's colour for buffer pixel (column, row) on the scale where 1 is white, raised
// to gamma unless gamma is exactly 1 (then negative float channels stay as they are).
// The plain rule the row body follows.
template <class P>
RGB32f caustics_background(const Fill_Caustics_Parameters_In<P>& in, int64_t column, int64_t row);

// The rows of the iteration's share of the buffer.
template <class P>
void fill_caustics_body(const Iteration& iteration, Render_Context context,
                        Fill_Caustics_Parameters_In<P> in);

extern template class Kernel_Fill_Caustics<Layer<ARGB32f>, Implementation_Cpu>;
extern template class Kernel_Fill_Caustics<Layer<BGRA32f>, Implementation_Cpu>;
extern template class Kernel_Fill_Caustics<Layer<ARGB16>, Implementation_Cpu>;
extern template class Kernel_Fill_Caustics<Layer<BGRA16>, Implementation_Cpu>;
extern template class Kernel_Fill_Caustics<Layer<ARGB8>, Implementation_Cpu>;
extern template class Kernel_Fill_Caustics<Layer<BGRA8>, Implementation_Cpu>;

}  // namespace brel
