#pragma once

// Softens a shadow layer in place by repeated five-point averaging that does not mix values
// across depth discontinuities: a soft edge blurs along a surface but does not bleed onto a
// surface at another depth.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>

#include "base/kernel.h"
#include "base/layer.h"

namespace brel {

struct Smooth_Shadows_Parameters_In {
  Layer<float> depth;   // the image's w × h depth; its scales set the pass count
  Layer<float> shadow;  // smoothed in place; at least w × h; empty leaves the kernel idle
  int64_t passes = 0;   // at full resolution
  float depth_scale = 0.0f;
  bool skip_zero_depth = false;  // depth 0 is no surface: never written, never averaged in
  bool opaque = true;            // the rule of a shadow layer; false: that of a translucent one
};

class Kernel_Smooth_Shadows : public Kernel_Implementation<Implementation_Cpu> {
 public:
  using Parameters_In = Smooth_Shadows_Parameters_In;

  Parameters_In parameters_in;

  std::string name() const override { return "smooth shadows"; }
  int64_t workload() const override {
    const Parameters_In& in = parameters_in;
    return (in.depth.width * in.depth.height + in.shadow.width * in.shadow.height) * 4;
  }
  void run(Render_Context context) override;
};

// Passes at the depth layer's resolution: `passes` times the cube of the mean downsample
// factor, in single precision, truncated; a count that is not a number or below 1 makes none.
int64_t smooth_shadows_pass_count(int64_t passes, float scale_x, float scale_y);

// The base counts a light's shadow layers are smoothed with, from its softness, "shadow
// softness" and the vertical downsample factor: 2 softness / (2 scale y) for the shadow layer,
// (2 shadow softness + softness) / (2 scale y) for the translucent one, in single precision and
// truncated; no number gives 0.
int64_t smooth_shadows_opaque_passes(int64_t softness, float scale_y);
int64_t smooth_shadows_translucent_passes(int64_t softness, float shadow_softness, float scale_y);

// Neighbours whose depth lies further than this from the centre's count as another surface.
inline float smooth_shadows_threshold(const Smooth_Shadows_Parameters_In& in) {
  const float sx = in.depth.scale_x;
  const float sy = in.depth.scale_y;
  return in.depth_scale * 0.005f * std::sqrt(sx * sx + sy * sy);
}

// Clamps a translucent neighbour to 0 .. 1; no number counts as 0.
inline float smooth_shadows_unit(float v) {
  return v > 0.0f ? (v < 1.0f ? v : 1.0f) : 0.0f;
}

// One pass at (x, y) from `source` as the plain rules say; `kept` is what the target holds there
// (a pixel without surface keeps it). The row body computes the same without branches; tests
// compare both.
inline float smooth_shadows_pixel_reference(const Layer<float>& source, int64_t x, int64_t y,
                                            float kept, const Smooth_Shadows_Parameters_In& in) {
  const Layer<float>& depth = in.depth;
  const float threshold = smooth_shadows_threshold(in);
  const float dc = depth.row(y)[x];
  if (in.skip_zero_depth && dc == 0.0f) {
    return kept;
  }
  const float c = source.row(y)[x];
  // Right, left, up, down; an edge neighbour is the pixel itself.
  const int64_t nx[4] = {std::min(x + 1, depth.width - 1), std::max<int64_t>(x - 1, 0), x, x};
  const int64_t ny[4] = {y, y, std::max<int64_t>(y - 1, 0), std::min(y + 1, depth.height - 1)};
  float v[4];
  for (int k = 0; k < 4; ++k) {
    v[k] = source.row(ny[k])[nx[k]];
    const float dn = depth.row(ny[k])[nx[k]];
    if (in.skip_zero_depth && dn == 0.0f) {
      v[k] = c;
    }
    if (in.opaque) {
      if (std::fabs(dc - dn) > std::fabs(threshold)) {
        v[k] = c;
      }
    } else {
      if (dn - dc > threshold && c > 0.0f) {
        v[k] = c;
      }
      if (dc - dn > threshold && c == 0.0f) {
        v[k] = 0.0f;
      }
      v[k] = smooth_shadows_unit(v[k]);
    }
  }
  return 0.2f * (((c + (v[1] + v[2])) + v[0]) + v[3]);
}

// Rows of one pass from `source` into `target`, distinct layers of at least the depth's size.
void smooth_shadows_rows(const Iteration& iteration, Render_Context context,
                         Smooth_Shadows_Parameters_In in, Layer<float> source, Layer<float> target);

}  // namespace brel
