#pragma once

// The point light's shadow over the depth surface. One ray runs from the light to every pixel of
// the image border; each is marched over the depth with a running horizon (the highest occluder
// seen so far, falling towards the surface at the slope of the line from the light over it), and
// every sample splats, bilinearly, whether it lies below that horizon. The sums are divided by
// the splatted weights and smoothed. Rays fan out from the light, so rays of one launch cross the
// same pixels: every splat is an atomic addition, and sums may differ in their last bits from run
// to run.

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "base/kernel.h"
#include "base/layer.h"
#include "base/layer_holder.h"
#include "effect/light.h"

namespace brel {

struct Point_Shadow_Parameters_In {
  Layer<float> depth;  // the image's w × h depth, at the image origin
  float depth_scale = 0.0f;
  bool skip_zero_depth = false;  // depth 0 is no surface: lit, and no occluder
  float translucency = 0.0f;     // 0: no translucent shadow layer
  float shadow_softness = 0.0f;  // "shadow softness", for the translucent layer's smoothing
  Point_Light light;
};

class Kernel_Point_Shadow : public Kernel_Implementation<Implementation_Cpu> {
 public:
  using Parameters_In = Point_Shadow_Parameters_In;

  Parameters_In parameters_in;
  // Empty until a run makes them, each w × h: 0 lit, 1 fully shadowed; the translucent layer's
  // attenuation 0 .. 1. Declared in this order so that the translucent layer goes first.
  std::unique_ptr<Layer_Holder> shadow_layer;
  std::unique_ptr<Layer_Holder> translucent_shadow_layer;

  std::string name() const override { return "point shadow"; }
  int64_t workload() const override;
  void run(Render_Context context) override;
};

// A point of the image plane, in pixels of the depth layer.
struct Shadow_Point {
  float x;
  float y;
};

// Clips the segment a-b to the rectangle [xmin, xmax] × [ymin, ymax] in place (Cohen and
// Sutherland); false when it lies wholly outside.
bool clip_segment(Shadow_Point& a, Shadow_Point& b, float xmin, float xmax, float ymin, float ymax);

// The layers one ray reads and splats into; `translucent` may be empty.
struct Point_Shadow_Ray_Layers {
  Layer<float> shadow;
  Layer<float> translucent;
  Layer<float> weight;
  Layer<float> depth;
};

// Marches the ray from `start` (the light) to `end` (a border pixel) and splats its samples.
void point_shadow_march_ray(Shadow_Point start, Shadow_Point end,
                            const Point_Shadow_Ray_Layers& layers, bool skip_zero_depth,
                            float light_z, float translucency);

// The image border a launch's rays end on.
enum class Shadow_Edge : int32_t { top, right, bottom, left };

// A launch splits a border's n rays into one band per worker and every band into
// `runs_per_band` runs of neighbouring rays; iteration i takes run i / bands of band i % bands.
// Runs handed out together thus lie in different bands, apart from each other but near the
// light, and a band of long rays does not keep its worker busy after the others are done.
inline constexpr int64_t runs_per_band = 8;
std::pair<int64_t, int64_t> point_shadow_ray_range(const Iteration& iteration, int64_t n);

// The rays of the iteration's share of one border's pixels.
void point_shadow_edge_body(const Iteration& iteration, Render_Context context,
                            Point_Shadow_Ray_Layers layers, Point_Shadow_Parameters_In in,
                            Shadow_Edge edge);

// The four border launches, the division and the two smoothings.
void point_shadow_pass(Render_Context context, Point_Shadow_Parameters_In in, Layer<float> shadow,
                       Layer<float> translucent, Layer<float> weight);

}  // namespace brel
