#pragma once

// Mip and row-sum pyramids of a layer, for averaging it over footprints of any polygonal shape:
// level 0 is the layer itself, every further level halves both sides with alpha-weighted 2 x 2
// means, and every level has a layer of running sums along its rows. A footprint is integrated
// on the level where it spans only a few pixels, each scanline span being the difference of two
// row sums.

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "base/kernel.h"
#include "base/layer.h"
#include "base/layer_holder.h"
#include "kernel/gather_core.h"

namespace brel {

template <class L, class Implementation>
class PolygonGather;

// Built for RGB32f (plain means, no alpha) and the six host pixel types. Mip levels are stored
// in P: straight colour, 8-bit and 16-bit rounded to their channels. Row sums are doubles in P's
// channel order: (alpha, colour x alpha / white) per pixel, summed from the values before any
// rounding (RGB32f: the colour alone).
template <class P>
class PolygonGather<Layer<P>, Implementation_Cpu> final
    : public Kernel_Implementation<Implementation_Cpu> {
 public:
  using Sum_Pixel = typename gather::Gather_Pixel<P>::Cell;
  static constexpr int64_t max_levels = 32;

  ~PolygonGather() override;

  std::string name() const override { return "Polygon Gather Mipmap"; }
  int64_t workload() const override { return 0; }
  // Builds both pyramids of `source`, which must have pixels and stay alive while they are read.
  void run(Render_Context context) override;

  Layer<P> source;
  int64_t level_count = 0;
  std::array<std::unique_ptr<Layer_Holder>, max_levels> mip_holders;  // entry 0 stays empty
  std::array<Layer<P>, max_levels> mip_layers;                        // entry 0 is `source`
  std::array<std::unique_ptr<Layer_Holder>, max_levels> row_sum_holders;
  std::array<Layer<Sum_Pixel>, max_levels> row_sum_layers;

 private:
  // Gives back the layers of an earlier run (the row sums first, each from the last level) and
  // leaves no level.
  void release_layers();
};

// The plain rules, pixel by pixel, that the row bodies follow with the same results. Pixel x of
// a level from the block of columns c0, c1 of rows `row0`, `row1` of the level above (c1 = c0 at
// an odd last column): the stored pixel and the float values its row sums add.
template <class P>
void polygon_gather_block(const P* row0, const P* row1, int64_t c0, int64_t c1, P& pixel,
                          float (&sums)[Pixel_Traits<P>::channel_count]);

// The float values a source pixel adds to the row sums of level 0.
template <class P>
void polygon_gather_source_values(const P& pixel, float (&values)[Pixel_Traits<P>::channel_count]);

// Row y = the iteration's index of mip level k and of its row sums, from level k - 1; reads
// only level k - 1.
template <class P>
void polygon_gather_downsample_row(
    const Iteration& iteration, Render_Context context, const Layer<P>* mip_layers,
    const Layer<typename PolygonGather<Layer<P>, Implementation_Cpu>::Sum_Pixel>* row_sum_layers,
    int64_t k);

// Row y = the iteration's index of row-sum level 0, from the source.
template <class P>
void polygon_gather_prefix_row(
    const Iteration& iteration, Render_Context context, Layer<P> source,
    const Layer<typename PolygonGather<Layer<P>, Implementation_Cpu>::Sum_Pixel>* row_sum_layers);

extern template class PolygonGather<Layer<RGB32f>, Implementation_Cpu>;
extern template class PolygonGather<Layer<ARGB32f>, Implementation_Cpu>;
extern template class PolygonGather<Layer<BGRA32f>, Implementation_Cpu>;
extern template class PolygonGather<Layer<ARGB16>, Implementation_Cpu>;
extern template class PolygonGather<Layer<BGRA16>, Implementation_Cpu>;
extern template class PolygonGather<Layer<ARGB8>, Implementation_Cpu>;
extern template class PolygonGather<Layer<BGRA8>, Implementation_Cpu>;

}  // namespace brel
