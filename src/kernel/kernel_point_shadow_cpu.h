#pragma once

// The point light's shadow over the depth surface. One ray runs from the light to every pixel of
// the image border; each is marched over the depth with a running horizon (the highest occluder
// seen so far, falling towards the surface at the slope of the line from the light over it), and
// every sample splats, bilinearly, whether it lies below that horizon. The sums are divided by
// the splatted weights and smoothed. Rays fan out from the light, so rays marched at once cross
// the same pixels near it: splats there are atomic additions, and sums may differ in their last
// bits from run to run.

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

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
// Samples at least `exclusive_from` away from the light add plainly, nearer ones atomically.
void point_shadow_march_ray(Shadow_Point start, Shadow_Point end,
                            const Point_Shadow_Ray_Layers& layers, bool skip_zero_depth,
                            float light_z, float translucency, float exclusive_from);

// The image border a launch's rays end on.
enum class Shadow_Edge : int32_t { top, right, bottom, left };

// The number of rays that end on an edge of a w × h image: one a border pixel.
inline int64_t point_shadow_ray_count(Shadow_Edge edge, int64_t w, int64_t h) {
  return edge == Shadow_Edge::top || edge == Shadow_Edge::bottom ? w : h;
}

// The border pixel ray i of an edge ends on, in a w × h image.
Shadow_Point point_shadow_ray_end(Shadow_Edge edge, int64_t i, int64_t w, int64_t h);

// A border's rays are marched in groups of neighbouring rays, each group by one worker. With
// more than one group the even groups go in one launch and the odd ones in the next, so that any
// two groups marched at once have a whole group between them: their rays leave the light at an
// angle apart, and beyond some distance from the light their splats reach no common pixel and
// need no atomics. One worker marches one group, so its rays keep their plain order.
inline constexpr int64_t point_shadow_groups_per_worker = 8;
int64_t point_shadow_group_count(int64_t workers, int64_t n);

// Rays [begin, end) of group g of `groups` over a border of n rays.
std::pair<int64_t, int64_t> point_shadow_group_rays(int64_t g, int64_t groups, int64_t n);

// The distance from the light beyond which group g's samples share no pixel with any ray of the
// other groups of its launch: 0 when none runs beside it, infinity where no such distance can be
// vouched for (a light on the border's own line, too far away or not a number).
float point_shadow_exclusive_distance(Shadow_Point light, Shadow_Edge edge, int64_t w, int64_t h,
                                      int64_t g, int64_t groups);

// The groups of launch `phase` (0: the even groups, 1: the odd ones; 0 alone for one group),
// costliest first. Groups differ in cost by an order of magnitude (their rays' lengths inside
// the image), and a costly group handed out last keeps one worker busy after the others are
// done. A group's cost is its ray count times the steps of its first, middle and last rays.
std::vector<int64_t> point_shadow_launch_order(Shadow_Point light, Shadow_Edge edge, int64_t w,
                                               int64_t h, int64_t groups, int64_t phase);

// The rays of group order[iteration's index] of one border.
void point_shadow_edge_body(const Iteration& iteration, Render_Context context,
                            Point_Shadow_Ray_Layers layers, Point_Shadow_Parameters_In in,
                            Shadow_Edge edge, int64_t groups, const int64_t* order);

// The four border launches, the division and the two smoothings.
void point_shadow_pass(Render_Context context, Point_Shadow_Parameters_In in, Layer<float> shadow,
                       Layer<float> translucent, Layer<float> weight);

}  // namespace brel
