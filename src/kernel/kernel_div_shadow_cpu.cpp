#include "kernel/kernel_div_shadow_cpu.h"

namespace brel {

namespace {

// Selects instead of branching, so the loop runs as vector code; x / 0 is computed but dropped.
void divide_row(float* values, const float* weight, int64_t w) {
  for (int64_t x = 0; x < w; ++x) {
    const float divided = values[x] / weight[x];
    values[x] = weight[x] != 0.0f ? divided : values[x];
  }
}

}  // namespace

void div_shadow_row(const Kernel_Div_Shadow::Parameters_In& in, int64_t y) {
  div_shadow_row_part(in, y, 0, in.shadow.width);
}

void div_shadow_row_part(const Kernel_Div_Shadow::Parameters_In& in, int64_t y, int64_t begin,
                         int64_t end) {
  const float* weight = in.weight.row(y) + begin;
  divide_row(in.shadow.row(y) + begin, weight, end - begin);
  if (in.translucent_shadow.pixels != nullptr) {
    divide_row(in.translucent_shadow.row(y) + begin, weight, end - begin);
  }
}

void div_shadow_body(const Iteration& iteration, Render_Context context,
                     Kernel_Div_Shadow::Parameters_In in) {
  const auto [begin, end] = thread_iteration_range(iteration, in.shadow.height);
  for (int64_t y = begin; y < end; ++y) {
    div_shadow_row(in, y);
    context.check_abort();
  }
}

void Kernel_Div_Shadow::run(Render_Context context) {
  const Parameters_In in = parameters_in;
  cpu_kernel_launch(context.iteration_count(in.shadow.height), &div_shadow_body, context, in);
}

}  // namespace brel
