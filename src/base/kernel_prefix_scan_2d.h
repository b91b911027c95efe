#pragma once

// Turns a colour layer into its summed-area table: every destination pixel holds, per channel,
// the sum of the source pixels above and to the left of it, itself included. Texture gatherers
// average over rectangles with four lookups in it.

#include <cstdint>
#include <string>

#include "base/kernel.h"
#include "base/layer.h"

namespace brel {

template <class S, class D, class Implementation>
class Kernel_Prefix_Scan_2d;

// Channels are summed as stored (8-bit and 16-bit values unscaled, alpha like the colours) in
// running sums of the destination's channel type, and each sum stays at its channel's position.
// Built for the six host pixel types into four floats of the same channel order and for RGB32f
// into RGB32f; and, for the gatherers, whose tables must hold a one-pixel footprint exactly at
// frame size, into doubles of the same channel order.
template <class S, class D>
class Kernel_Prefix_Scan_2d<Layer<S>, Layer<D>, Implementation_Cpu> final
    : public Kernel_Implementation<Implementation_Cpu> {
 public:
  struct Parameters_In {
    Layer<S> source;
    Layer<D> destination;       // as large as the source
    bool vertical_pass = true;  // false: row sums only
  };

  std::string name() const override { return "2d inclusive prefix sum scan"; }
  int64_t workload() const override;
  // Fails an assertion when the destination is narrower or lower than the source.
  void run(Render_Context context) override;

  Parameters_In parameters_in;
};

extern template class Kernel_Prefix_Scan_2d<Layer<ARGB8>, Layer<ARGB32f>, Implementation_Cpu>;
extern template class Kernel_Prefix_Scan_2d<Layer<BGRA8>, Layer<BGRA32f>, Implementation_Cpu>;
extern template class Kernel_Prefix_Scan_2d<Layer<ARGB16>, Layer<ARGB32f>, Implementation_Cpu>;
extern template class Kernel_Prefix_Scan_2d<Layer<BGRA16>, Layer<BGRA32f>, Implementation_Cpu>;
extern template class Kernel_Prefix_Scan_2d<Layer<ARGB32f>, Layer<ARGB32f>, Implementation_Cpu>;
extern template class Kernel_Prefix_Scan_2d<Layer<BGRA32f>, Layer<BGRA32f>, Implementation_Cpu>;
extern template class Kernel_Prefix_Scan_2d<Layer<RGB32f>, Layer<RGB32f>, Implementation_Cpu>;
extern template class Kernel_Prefix_Scan_2d<Layer<ARGB8>, Layer<ARGB64f>, Implementation_Cpu>;
extern template class Kernel_Prefix_Scan_2d<Layer<BGRA8>, Layer<BGRA64f>, Implementation_Cpu>;
extern template class Kernel_Prefix_Scan_2d<Layer<ARGB16>, Layer<ARGB64f>, Implementation_Cpu>;
extern template class Kernel_Prefix_Scan_2d<Layer<BGRA16>, Layer<BGRA64f>, Implementation_Cpu>;
extern template class Kernel_Prefix_Scan_2d<Layer<ARGB32f>, Layer<ARGB64f>, Implementation_Cpu>;
extern template class Kernel_Prefix_Scan_2d<Layer<BGRA32f>, Layer<BGRA64f>, Implementation_Cpu>;
extern template class Kernel_Prefix_Scan_2d<Layer<RGB32f>, Layer<RGB64f>, Implementation_Cpu>;

}  // namespace brel
