#include "kernel/kernel_smooth_shadows_cpu.h"

#include <limits>
#include <utility>

#include "base/kernel_copy.h"
#include "base/layer_holder.h"
#include "util/target_clones.h"

namespace brel {

namespace {

// A float count truncated, with no number and everything below 1 giving 0 and counts beyond any
// render finishing saturating, so the conversion stays defined.
int64_t truncated_count(float count) {
  if (!(count >= 1.0f)) {
    return 0;
  }
  if (count >= 9.2e18f) {
    return std::numeric_limits<int64_t>::max();
  }
  return static_cast<int64_t>(count);
}

// The settings a row body needs, fixed for a whole pass.
struct Pass_Rule {
  float threshold;
  float abs_threshold;
  bool skip_zero_depth;
};

// One neighbour under the opaque rule: another surface, or no surface, gives the centre.
inline float opaque_neighbour(float c, float dc, float v, float dn, const Pass_Rule& rule) {
  const bool empty = rule.skip_zero_depth && dn == 0.0f;
  const bool far = std::fabs(dc - dn) > rule.abs_threshold;
  return empty || far ? c : v;
}

// One neighbour under the translucent rule: a surface above a shadowed centre gives the centre,
// one below a lit centre gives 0, and the result is clamped to 0 .. 1.
inline float translucent_neighbour(float c, float dc, float v, float dn, const Pass_Rule& rule) {
  const bool empty = rule.skip_zero_depth && dn == 0.0f;
  float n = empty ? c : v;
  n = dn - dc > rule.threshold && c > 0.0f ? c : n;
  n = dc - dn > rule.threshold && c == 0.0f ? 0.0f : n;
  return smooth_shadows_unit(n);
}

template <bool opaque, bool skip_zero_depth>
inline float smooth_pixel(const float* s_up, const float* s_row, const float* s_down,
                          const float* d_up, const float* d_row, const float* d_down, int64_t left,
                          int64_t x, int64_t right, const float* out, const Pass_Rule& rule) {
  const auto neighbour = [&](float c, float dc, float v, float dn) {
    if constexpr (opaque) {
      return opaque_neighbour(c, dc, v, dn, rule);
    } else {
      return translucent_neighbour(c, dc, v, dn, rule);
    }
  };
  const float c = s_row[x];
  const float dc = d_row[x];
  const float r = neighbour(c, dc, s_row[right], d_row[right]);
  const float l = neighbour(c, dc, s_row[left], d_row[left]);
  const float u = neighbour(c, dc, s_up[x], d_up[x]);
  const float d = neighbour(c, dc, s_down[x], d_down[x]);
  const float smoothed = 0.2f * (((c + (l + u)) + r) + d);
  // Only a pass that skips pixels without surface reads what the target holds.
  if constexpr (skip_zero_depth) {
    return dc == 0.0f ? out[x] : smoothed;
  } else {
    return smoothed;
  }
}

// One row; the columns at either end clamp their outer neighbour to themselves. The inner loop
// has no branch, so where the processor has AVX2 it runs eight pixels an instruction.
template <bool opaque, bool skip_zero_depth>
BREL_TARGET_CLONES_AVX2 void smooth_row(const float* s_up, const float* s_row, const float* s_down,
                                        const float* d_up, const float* d_row, const float* d_down,
                                        float* out, int64_t w, Pass_Rule rule) {
  const auto pixel = [&](int64_t left, int64_t x, int64_t right) {
    return smooth_pixel<opaque, skip_zero_depth>(s_up, s_row, s_down, d_up, d_row, d_down, left, x,
                                                 right, out, rule);
  };
  if (w == 1) {
    out[0] = pixel(0, 0, 0);
    return;
  }
  out[0] = pixel(0, 0, 1);
  for (int64_t x = 1; x + 1 < w; ++x) {
    out[x] = pixel(x - 1, x, x + 1);
  }
  out[w - 1] = pixel(w - 2, w - 1, w - 1);
}

using Smooth_Row = void (*)(const float*, const float*, const float*, const float*, const float*,
                            const float*, float*, int64_t, Pass_Rule);

Smooth_Row smooth_row_for(bool opaque, bool skip_zero_depth) {
  if (opaque) {
    return skip_zero_depth ? &smooth_row<true, true> : &smooth_row<true, false>;
  }
  return skip_zero_depth ? &smooth_row<false, true> : &smooth_row<false, false>;
}

// Rows of a pass handed out at a time: small enough for the workers to finish together.
constexpr int64_t rows_per_iteration = 16;

}  // namespace

int64_t smooth_shadows_pass_count(int64_t passes, float scale_x, float scale_y) {
  const float m = (scale_x + scale_y) * 0.5f;
  return truncated_count(static_cast<float>(passes) * m * m * m);
}

int64_t smooth_shadows_opaque_passes(int64_t softness, float scale_y) {
  // 2 × softness rounded to float is softness rounded and doubled: no 64-bit product to overflow.
  return truncated_count(static_cast<float>(softness) * 2.0f / (2.0f * scale_y));
}

int64_t smooth_shadows_translucent_passes(int64_t softness, float shadow_softness, float scale_y) {
  return truncated_count((2.0f * shadow_softness + static_cast<float>(softness)) /
                         (2.0f * scale_y));
}

void smooth_shadows_rows(const Iteration& iteration, Render_Context context,
                         Smooth_Shadows_Parameters_In in, Layer<float> source,
                         Layer<float> target) {
  const Layer<float>& depth = in.depth;
  const int64_t w = depth.width;
  const int64_t h = depth.height;
  const float threshold = smooth_shadows_threshold(in);
  const Pass_Rule rule{threshold, std::fabs(threshold), in.skip_zero_depth};
  const Smooth_Row row = smooth_row_for(in.opaque, in.skip_zero_depth);
  const auto [begin, end] = grain_iteration_range(iteration, h, rows_per_iteration);
  for (int64_t y = begin; y < end; ++y) {
    const int64_t up = y > 0 ? y - 1 : 0;
    const int64_t down = y + 1 < h ? y + 1 : h - 1;
    if (w > 0) {
      row(source.row(up), source.row(y), source.row(down), depth.row(up), depth.row(y),
          depth.row(down), target.row(y), w, rule);
    }
    context.check_abort();
  }
}

void Kernel_Smooth_Shadows::run(Render_Context context) {
  const Parameters_In in = parameters_in;
  if (in.shadow.pixels == nullptr || in.depth.pixels == nullptr) {
    return;
  }
  const int64_t passes = smooth_shadows_pass_count(in.passes, in.depth.scale_x, in.depth.scale_y);
  // No pass leaves the layer as it is: no scratch layer and no copy.
  if (passes == 0) {
    return;
  }
  const Layer<float>& shadow = in.shadow;
  Layer_Holder scratch_holder = make_temporary_float_layer(
      context, shadow.width, shadow.height, shadow.flag, shadow.origin_x, shadow.origin_y,
      shadow.pixel_aspect_ratio, shadow.scale_x, shadow.scale_y);
  const Layer<float> scratch = layer_view<float>(scratch_holder);
  // Passes alternate between the layer and the scratch layer and must end in the layer: an odd
  // count starts from a copy in the scratch layer. Pixels without surface keep what the target
  // holds, which is then the layer's value in both, so an even count that skips them copies too.
  Layer<float> source = shadow;
  Layer<float> target = scratch;
  if (passes % 2 == 1 || in.skip_zero_depth) {
    copy_layer_pixels(context, shadow, scratch);
  }
  if (passes % 2 == 1) {
    std::swap(source, target);
  }
  const int64_t count = grain_iteration_count(in.depth.height, rows_per_iteration);
  for (int64_t pass = 0; pass < passes; ++pass) {
    cpu_kernel_launch(count, &smooth_shadows_rows, context, in, source, target);
    std::swap(source, target);
  }
}

}  // namespace brel
