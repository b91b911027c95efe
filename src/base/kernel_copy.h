#pragma once

// Copies one float layer into another, shifted, scaled by a factor, with a rule for the source
// positions that fall outside the source.

#include <cstdint>
#include <string>

#include "base/kernel.h"
#include "base/layer.h"

namespace brel {

// How a source position outside the source is read. Any value other than the first three acts
// as Edge_Mode_Border.
enum Edge_Mode : uint32_t {
  Edge_Mode_Clamp = 0,   // the nearest edge pixel
  Edge_Mode_Mirror = 1,  // reflected, the edge pixel repeated: -1 reads 0, width reads width - 1
  Edge_Mode_Wrap = 2,    // periodic
  Edge_Mode_Border = 3,  // the border value
};

// The source coordinate that position s (of a source `size` long) reads under `mode`, or -1 when
// the border value is read instead. Mirror and wrap need size > 0.
int64_t resolve_edge(int64_t s, int64_t size, Edge_Mode mode);

template <class S, class D, class Implementation>
class Kernel_Copy;

// Destination pixel (x, y) takes factor * source(x + shift x, y + shift y), where the shift
// lines the layers up by their origins and adds the offsets.
template <>
class Kernel_Copy<Layer<float>, Layer<float>, Implementation_Cpu> final
    : public Kernel_Implementation<Implementation_Cpu> {
 public:
  struct Parameters_In {
    Layer<float> source;
    Layer<float> destination;
    float factor = 1.0f;
    int64_t offset_x = 0;  // added to the source column
    int64_t offset_y = 0;  // added to the source row
    Edge_Mode edge_mode = Edge_Mode_Border;
    float border_value = 0.0f;
  };

  std::string name() const override { return "Copy"; }
  int64_t workload() const override;
  void run(Render_Context context) override;

  Parameters_In parameters_in;
};

// Copies `source` into `destination` pixel for pixel, whatever their origins: the copy kernel
// with the offset that cancels the origins' difference, so every value stays at its index.
void copy_layer_pixels(const Render_Context& context, const Layer<float>& source,
                       const Layer<float>& destination);

}  // namespace brel
