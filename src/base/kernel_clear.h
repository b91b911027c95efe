#pragma once

// Sets every pixel of a working layer to zero. Working memory is never cleared when it is
// allocated, so a stage that accumulates into a layer runs this first.

#include <cstdint>
#include <string>
#include <type_traits>

#include "base/kernel.h"
#include "base/layer.h"

namespace brel {

template <class L, class Implementation>
class Kernel_Clear;

// Zeroes rows [begin, end) of `layer` (nothing for a layer without pixels), as the clear kernel
// does its share: rows without padding as one span, which one large memset may write past the
// cache. For stages that clear a layer inside launches of their own. Float and RGB32f layers.
template <class P>
void clear_layer_rows(const Layer<P>& layer, int64_t begin, int64_t end);

// Zeroes the first width * sizeof(P) bytes of every row; a row's padding is left as it is.
// Built for float layers and RGB32f layers.
template <class P>
class Kernel_Clear<Layer<P>, Implementation_Cpu> final
    : public Kernel_Implementation<Implementation_Cpu> {
  static_assert(std::is_same_v<P, float> || std::is_same_v<P, RGB32f>);

 public:
  struct Parameters_In {
    Layer<P> layer;
  };

  std::string name() const override { return "Clear"; }
  int64_t workload() const override {
    return parameters_in.layer.width * parameters_in.layer.height * static_cast<int64_t>(sizeof(P));
  }
  void run(Render_Context context) override;

  Parameters_In parameters_in;
};

extern template class Kernel_Clear<Layer<float>, Implementation_Cpu>;
extern template class Kernel_Clear<Layer<RGB32f>, Implementation_Cpu>;

}  // namespace brel
