#include "kernel/gatherer_cpu.h"

#include <algorithm>

#include "base/kernel_prefix_scan_2d.h"

namespace brel {

template <class P>
Gatherer<Layer<P>, Implementation_Cpu>::Gatherer(const Render_Context& context,
                                                 const Layer<P>& source, int32_t mode) {
  set_up(context, source, mode);
}

template <class P>
void Gatherer<Layer<P>, Implementation_Cpu>::set_up(const Render_Context& context,
                                                    const Layer<P>& layer, int32_t gather_mode) {
  // Every read of a gather addresses rows and columns modulo the layer's sides.
  if (layer.pixels == nullptr || layer.width < 1 || layer.height < 1) {
    return;
  }
  source = layer;
  mode = gather_mode;
  pyramids.source = layer;
  if (mode >= 3) {
    pyramids.execute(context);
    return;
  }
  auto holder = std::make_unique<Layer_Holder>(
      make_layer_memory<Cell>(context, layer.width, layer.height, 0, 0, 0, 1.0f, 1.0f, 1.0f));
  sum_table = layer_view<Cell>(*holder);
  sum_table_holder = std::move(holder);
  Kernel_Prefix_Scan_2d<Layer<P>, Layer<Cell>, Implementation_Cpu> scan;
  scan.parameters_in.source = layer;
  scan.parameters_in.destination = sum_table;
  scan.parameters_in.vertical_pass = true;
  scan.execute(context);
}

namespace {

template <class P>
gather::Gather_Source<P> gather_source(const Gatherer<Layer<P>, Implementation_Cpu>& gatherer) {
  gather::Gather_Source<P> source;
  source.source = &gatherer.source;
  source.mode = gatherer.mode;
  source.table = &gatherer.sum_table;
  source.levels = gatherer.pyramids.mip_layers.data();
  source.row_sums = gatherer.pyramids.row_sum_layers.data();
  source.level_count = gatherer.pyramids.level_count;
  source.exact_table = gatherer.mode < 3 && gather::exact_sum_table(gatherer.source);
  return source;
}

}  // namespace

RGB32f gather_pixel(const Gatherer<Layer<RGB32f>, Implementation_Cpu>& gatherer, int64_t x,
                    int64_t y, Footprint_Scale& scale, const Blur_Coordinates* first_row,
                    const Blur_Coordinates* second_row) {
  if (gatherer.empty()) {
    return RGB32f{};
  }
  return gather::footprint_gather<RGB32f, gather::Refraction_Rules>(gather_source(gatherer), x, y,
                                                                    scale, first_row, second_row);
}

void gather_pixels(const Gatherer<Layer<RGB32f>, Implementation_Cpu>& gatherer, int64_t y,
                   int64_t x_begin, int64_t x_end, Footprint_Scale scale,
                   const Blur_Coordinates* first_row, const Blur_Coordinates* second_row,
                   RGB32f* out) {
  if (gatherer.empty()) {
    std::fill(out, out + (x_end - x_begin), RGB32f{});
    return;
  }
  const gather::Gather_Source<RGB32f> source = gather_source(gatherer);
#if BREL_AVX2_ROWS
  if (source.mode < 3 && cpu_has_avx2()) {
    gather::box_footprints_avx2<RGB32f, gather::Refraction_Rules>(source, y, x_begin, x_end, scale,
                                                                  first_row, second_row, out);
    return;
  }
#endif
  for (int64_t x = x_begin; x < x_end; ++x) {
    Footprint_Scale fresh = scale;
    out[x - x_begin] = gather::footprint_gather<RGB32f, gather::Refraction_Rules>(
        source, x, y, fresh, first_row, second_row);
  }
}

template <class P>
typename gather::Gather_Pixel<P>::Result gather_environment_footprint(
    const Gatherer<Layer<P>, Implementation_Cpu>* gatherer, int64_t x, int64_t y,
    Footprint_Scale& scale, const Blur_Coordinates* first_row, const Blur_Coordinates* second_row) {
  if (gatherer == nullptr || gatherer->empty()) {
    return {};
  }
  return gather::footprint_gather<P, gather::Environment_Rules>(gather_source(*gatherer), x, y,
                                                                scale, first_row, second_row);
}

template <class P>
void gather_environment_footprints(const Gatherer<Layer<P>, Implementation_Cpu>* gatherer,
                                   int64_t y, int64_t x_begin, int64_t x_end, Footprint_Scale scale,
                                   const Blur_Coordinates* first_row,
                                   const Blur_Coordinates* second_row,
                                   typename gather::Gather_Pixel<P>::Result* out) {
  using Rules = gather::Environment_Rules;
  if (gatherer == nullptr || gatherer->empty()) {
    std::fill(out, out + (x_end - x_begin), typename gather::Gather_Pixel<P>::Result{});
    return;
  }
  const gather::Gather_Source<P> source = gather_source(*gatherer);
#if BREL_AVX2_ROWS
  if (source.mode == 2 && cpu_has_avx2()) {
    gather::panoramic_four_box_footprints_avx2<P, Rules>(source, y, x_begin, x_end, scale,
                                                         first_row, second_row, out);
    return;
  }
  if (source.mode < 3 && cpu_has_avx2()) {
    gather::panoramic_one_box_footprints_avx2<P, Rules>(source, y, x_begin, x_end, scale, first_row,
                                                        second_row, out);
    return;
  }
#endif
  for (int64_t x = x_begin; x < x_end; ++x) {
    Footprint_Scale fresh = scale;
    out[x - x_begin] =
        gather::footprint_gather<P, Rules>(source, x, y, fresh, first_row, second_row);
  }
}

template class Gatherer<Layer<RGB32f>, Implementation_Cpu>;
template class Gatherer<Layer<ARGB32f>, Implementation_Cpu>;
template class Gatherer<Layer<BGRA32f>, Implementation_Cpu>;
template class Gatherer<Layer<ARGB16>, Implementation_Cpu>;
template class Gatherer<Layer<BGRA16>, Implementation_Cpu>;
template class Gatherer<Layer<ARGB8>, Implementation_Cpu>;
template class Gatherer<Layer<BGRA8>, Implementation_Cpu>;
template typename gather::Gather_Pixel<ARGB32f>::Result gather_environment_footprint<ARGB32f>(
    const Gatherer<Layer<ARGB32f>, Implementation_Cpu>*, int64_t, int64_t, Footprint_Scale&,
    const Blur_Coordinates*, const Blur_Coordinates*);
template typename gather::Gather_Pixel<BGRA32f>::Result gather_environment_footprint<BGRA32f>(
    const Gatherer<Layer<BGRA32f>, Implementation_Cpu>*, int64_t, int64_t, Footprint_Scale&,
    const Blur_Coordinates*, const Blur_Coordinates*);
template typename gather::Gather_Pixel<ARGB16>::Result gather_environment_footprint<ARGB16>(
    const Gatherer<Layer<ARGB16>, Implementation_Cpu>*, int64_t, int64_t, Footprint_Scale&,
    const Blur_Coordinates*, const Blur_Coordinates*);
template typename gather::Gather_Pixel<BGRA16>::Result gather_environment_footprint<BGRA16>(
    const Gatherer<Layer<BGRA16>, Implementation_Cpu>*, int64_t, int64_t, Footprint_Scale&,
    const Blur_Coordinates*, const Blur_Coordinates*);
template typename gather::Gather_Pixel<ARGB8>::Result gather_environment_footprint<ARGB8>(
    const Gatherer<Layer<ARGB8>, Implementation_Cpu>*, int64_t, int64_t, Footprint_Scale&,
    const Blur_Coordinates*, const Blur_Coordinates*);
template typename gather::Gather_Pixel<BGRA8>::Result gather_environment_footprint<BGRA8>(
    const Gatherer<Layer<BGRA8>, Implementation_Cpu>*, int64_t, int64_t, Footprint_Scale&,
    const Blur_Coordinates*, const Blur_Coordinates*);

#define BREL_GATHER_ENVIRONMENT_FOOTPRINTS(P)                                                      \
  template void gather_environment_footprints<P>(const Gatherer<Layer<P>, Implementation_Cpu>*,    \
                                                 int64_t, int64_t, int64_t, Footprint_Scale,       \
                                                 const Blur_Coordinates*, const Blur_Coordinates*, \
                                                 typename gather::Gather_Pixel<P>::Result*);
BREL_GATHER_ENVIRONMENT_FOOTPRINTS(ARGB32f)
BREL_GATHER_ENVIRONMENT_FOOTPRINTS(BGRA32f)
BREL_GATHER_ENVIRONMENT_FOOTPRINTS(ARGB16)
BREL_GATHER_ENVIRONMENT_FOOTPRINTS(BGRA16)
BREL_GATHER_ENVIRONMENT_FOOTPRINTS(ARGB8)
BREL_GATHER_ENVIRONMENT_FOOTPRINTS(BGRA8)
#undef BREL_GATHER_ENVIRONMENT_FOOTPRINTS

}  // namespace brel
