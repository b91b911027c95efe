#pragma once

// The gatherer: a layer prepared for averaging over pixel footprints, and the footprint gathers
// of its two users. The refraction averages its lit background (RGB32f) with `gather_pixel`; the
// final shading averages the environment layer (the six host pixel types) with
// `gather_environment_footprint`. Both run the one gather core; they differ in the edge rules
// and details that gather_core.h names.

#include <cstdint>
#include <memory>

#include "base/kernel.h"
#include "base/layer.h"
#include "base/layer_holder.h"
#include "kernel/gather_core.h"
#include "kernel/kernel_polygon_gather_cpu.h"

namespace brel {

using gather::Footprint_Scale;

template <class L, class Implementation>
class Gatherer;

// Modes 1 and 2 (and anything below 3) average boxes from a summed-area table of the source;
// modes 3 and above integrate triangles over the source's mip pyramid, mode 3 with the sharp and
// 4 and above with the smooth edge rule. Set up once on the calling thread, then only read, by
// any number of threads.
template <class P>
class Gatherer<Layer<P>, Implementation_Cpu> {
 public:
  using Cell = typename gather::Gather_Pixel<P>::Cell;
  using Result = typename gather::Gather_Pixel<P>::Result;

  // Empty: no source, mode 1. Users treat an empty gatherer as absent.
  Gatherer() = default;
  // Set up over `source` at once.
  Gatherer(const Render_Context& context, const Layer<P>& source, int32_t mode);
  Gatherer(const Gatherer&) = delete;
  Gatherer& operator=(const Gatherer&) = delete;
  // The summed-area table goes first, then the pyramids.
  ~Gatherer() { sum_table_holder.reset(); }

  // Builds what the mode needs over `source`: the summed-area table (in double) for the box
  // modes, the pyramids for the triangle modes. A source without pixels, or with a side below 1,
  // leaves the gatherer empty. The source must stay alive while the gatherer is read.
  void set_up(const Render_Context& context, const Layer<P>& source, int32_t mode);

  bool empty() const { return source.pixels == nullptr; }

  Layer<P> source;
  int32_t mode = 1;
  Layer<Cell> sum_table;
  PolygonGather<Layer<P>, Implementation_Cpu> pyramids;
  std::unique_ptr<Layer_Holder> sum_table_holder;
};

// The mean colour of the refraction's lit background over the footprint of pixel (x, y):
// `first_row` holds the landing points of image row y, `second_row` those of row y - 1 (row 0
// again for y = 0), each at least x + 1 long. The box modes scale `scale` by 0.70710677 in
// place, so callers pass a fresh pair for every pixel. An empty gatherer, and a footprint whose
// coordinates are not finite or reach 2^31, gather 0. Never allocates; thread-safe.
RGB32f gather_pixel(const Gatherer<Layer<RGB32f>, Implementation_Cpu>& gatherer, int64_t x,
                    int64_t y, Footprint_Scale& scale, const Blur_Coordinates* first_row,
                    const Blur_Coordinates* second_row);

// gather_pixel for pixels x_begin .. x_end - 1 of row y, each from a fresh copy of `scale`, into
// out[0 .. x_end - x_begin - 1]. In the box modes the footprints are set up and averaged a row at a
// time where the processor has AVX2; the results are gather_pixel's, bit for bit.
void gather_pixels(const Gatherer<Layer<RGB32f>, Implementation_Cpu>& gatherer, int64_t y,
                   int64_t x_begin, int64_t x_end, Footprint_Scale scale,
                   const Blur_Coordinates* first_row, const Blur_Coordinates* second_row,
                   RGB32f* out);

// The mean of the environment over the footprint of pixel (x, y), in P's channel order with
// white 1: alpha, and colour x alpha in the triangle modes, the raw channels' mean in the box
// modes. `first_row` holds the landing points of image row y, `second_row` those of row y - 1
// (row 0 again for y = 0), so that the pixel's own point is first_row[x]. x repeats around the
// panorama, y reflects. Scale and failure rules as for gather_pixel.
template <class P>
typename gather::Gather_Pixel<P>::Result gather_environment_footprint(
    const Gatherer<Layer<P>, Implementation_Cpu>* gatherer, int64_t x, int64_t y,
    Footprint_Scale& scale, const Blur_Coordinates* first_row, const Blur_Coordinates* second_row);

// gather_environment_footprint for pixels x_begin .. x_end - 1 of row y, each from a fresh copy
// of `scale`, into out[0 .. x_end - x_begin - 1]. In the box mode of one box the footprints are
// set up and averaged a run at a time where the processor has AVX2; the results are
// gather_environment_footprint's, bit for bit.
template <class P>
void gather_environment_footprints(const Gatherer<Layer<P>, Implementation_Cpu>* gatherer,
                                   int64_t y, int64_t x_begin, int64_t x_end, Footprint_Scale scale,
                                   const Blur_Coordinates* first_row,
                                   const Blur_Coordinates* second_row,
                                   typename gather::Gather_Pixel<P>::Result* out);

extern template class Gatherer<Layer<RGB32f>, Implementation_Cpu>;
extern template class Gatherer<Layer<ARGB32f>, Implementation_Cpu>;
extern template class Gatherer<Layer<BGRA32f>, Implementation_Cpu>;
extern template class Gatherer<Layer<ARGB16>, Implementation_Cpu>;
extern template class Gatherer<Layer<BGRA16>, Implementation_Cpu>;
extern template class Gatherer<Layer<ARGB8>, Implementation_Cpu>;
extern template class Gatherer<Layer<BGRA8>, Implementation_Cpu>;
extern template typename gather::Gather_Pixel<ARGB32f>::Result
gather_environment_footprint<ARGB32f>(const Gatherer<Layer<ARGB32f>, Implementation_Cpu>*, int64_t,
                                      int64_t, Footprint_Scale&, const Blur_Coordinates*,
                                      const Blur_Coordinates*);
extern template typename gather::Gather_Pixel<BGRA32f>::Result
gather_environment_footprint<BGRA32f>(const Gatherer<Layer<BGRA32f>, Implementation_Cpu>*, int64_t,
                                      int64_t, Footprint_Scale&, const Blur_Coordinates*,
                                      const Blur_Coordinates*);
extern template typename gather::Gather_Pixel<ARGB16>::Result gather_environment_footprint<ARGB16>(
    const Gatherer<Layer<ARGB16>, Implementation_Cpu>*, int64_t, int64_t, Footprint_Scale&,
    const Blur_Coordinates*, const Blur_Coordinates*);
extern template typename gather::Gather_Pixel<BGRA16>::Result gather_environment_footprint<BGRA16>(
    const Gatherer<Layer<BGRA16>, Implementation_Cpu>*, int64_t, int64_t, Footprint_Scale&,
    const Blur_Coordinates*, const Blur_Coordinates*);
extern template typename gather::Gather_Pixel<ARGB8>::Result gather_environment_footprint<ARGB8>(
    const Gatherer<Layer<ARGB8>, Implementation_Cpu>*, int64_t, int64_t, Footprint_Scale&,
    const Blur_Coordinates*, const Blur_Coordinates*);
extern template typename gather::Gather_Pixel<BGRA8>::Result gather_environment_footprint<BGRA8>(
    const Gatherer<Layer<BGRA8>, Implementation_Cpu>*, int64_t, int64_t, Footprint_Scale&,
    const Blur_Coordinates*, const Blur_Coordinates*);

#define BREL_GATHER_ENVIRONMENT_FOOTPRINTS(P)                                                    \
  extern template void gather_environment_footprints<P>(                                         \
      const Gatherer<Layer<P>, Implementation_Cpu>*, int64_t, int64_t, int64_t, Footprint_Scale, \
      const Blur_Coordinates*, const Blur_Coordinates*,                                          \
      typename gather::Gather_Pixel<P>::Result*);
BREL_GATHER_ENVIRONMENT_FOOTPRINTS(ARGB32f)
BREL_GATHER_ENVIRONMENT_FOOTPRINTS(BGRA32f)
BREL_GATHER_ENVIRONMENT_FOOTPRINTS(ARGB16)
BREL_GATHER_ENVIRONMENT_FOOTPRINTS(BGRA16)
BREL_GATHER_ENVIRONMENT_FOOTPRINTS(ARGB8)
BREL_GATHER_ENVIRONMENT_FOOTPRINTS(BGRA8)
#undef BREL_GATHER_ENVIRONMENT_FOOTPRINTS

}  // namespace brel
