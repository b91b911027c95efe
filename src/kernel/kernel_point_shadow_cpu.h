#pragma once

// The point light's shadow over the depth surface. One ray runs from the light to every pixel of
// the image border; each is marched over the depth with a running horizon (the highest occluder
// seen so far, falling towards the surface at the slope of the line from the light over it), and
// every sample splats, bilinearly, whether it lies below that horizon. The sums are divided by
// the splatted weights and smoothed. Rays fan out from the light, so rays marched at once cross
// the same pixels near it: splats there go into each worker's own sums around the light, added
// into the layers afterwards (atomically past those sums' reach), and sums may differ in their
// last bits from run to run.

#include <array>
#include <atomic>
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

// Where a worker's samples splatted shadow or translucent attenuation: bit k of row y's word is
// set by a sample whose first pixel (the top left of its 2 × 2) lies in pixels
// [k << shift, (k + 1) << shift) of row y. Elsewhere those two sums keep the +0 they were
// cleared to, which the division would leave as it is, so it divides near the marks alone.
// The division scaled worst of the stages, being bound by memory: with the benchmark's light
// inside a 1920 × 1080 frame it now divides 17 % of the pixels, in 3.3 runs a row, and took
// 0.32-0.68 ms on 8 threads instead of 0.53-1.07 (fastest of 20-40 frames, five alternated
// runs, 8-core VM under load). On 1 thread the short runs take as long as whole rows
// (1.1-1.5 ms).
struct Point_Shadow_Marks {
  uint64_t* rows = nullptr;  // one word a row of the image; null: nothing is marked
  int64_t shift = 0;
};

// The least shift that cuts a row of w pixels into at most 64 parts.
int64_t point_shadow_mark_shift(int64_t w);

// The layers one ray reads and splats into; `translucent` may be empty.
struct Point_Shadow_Ray_Layers {
  Layer<float> shadow;
  Layer<float> translucent;
  Layer<float> weight;
  Layer<float> depth;
};

// A worker's private sums over pixels [x, x + width) × [y, y + height) of the layers (the
// layers' own size), around the light: samples near it, which the other groups of a launch can
// reach, add here plainly instead of atomically into the shared layers. `translucent` may be
// empty, as the shared one. The worker clears its sums when it takes its first group, while
// they go into its own cache; a worker that takes none leaves them uncleared and unused.
struct Point_Shadow_Tile {
  Point_Shadow_Ray_Layers sums;  // no depth
  int64_t x = 0;
  int64_t y = 0;
  bool used = false;  // cleared and added into; the tile's worker alone sets it
};

// Marches the ray from `start` (the light) to `end` (a border pixel) and splats its samples.
// Samples at least `exclusive_from` away from the light add plainly; nearer ones add into the
// tile if it holds their pixels, else atomically. Their shadow and translucent splats are
// marked in `marks` when it has rows.
void point_shadow_march_ray(Shadow_Point start, Shadow_Point end,
                            const Point_Shadow_Ray_Layers& layers, bool skip_zero_depth,
                            float light_z, float translucency, float exclusive_from,
                            const Point_Shadow_Tile* tile = nullptr,
                            const Point_Shadow_Marks& marks = {});

// The image border a launch's rays end on.
enum class Shadow_Edge : int32_t { top, right, bottom, left };

// The number of rays that end on an edge of a w × h image: one a border pixel.
inline int64_t point_shadow_ray_count(Shadow_Edge edge, int64_t w, int64_t h) {
  return edge == Shadow_Edge::top || edge == Shadow_Edge::bottom ? w : h;
}

// The border pixel ray i of an edge ends on, in a w × h image.
Shadow_Point point_shadow_ray_end(Shadow_Edge edge, int64_t i, int64_t w, int64_t h);

// The borders' rays are marched in groups of neighbouring rays, each group by one worker. The
// groups of all four borders form one cycle around the image (top left to right, right top to
// bottom, bottom right to left, left bottom to top), each border holding an even number of them.
// No group is marched while a neighbour of it in the cycle is (Point_Shadow_Schedule), so that
// any two groups marched at once have a whole group between them: their rays leave the light at
// an angle apart, and beyond some distance from the light their splats reach no common pixel and
// need no atomics. One worker marches the four borders whole, in order: the plain order.
// A group's first ray finds its pixels' cache lines cold, and lines at a group's edges are
// shared with the next groups': 4 groups a worker in place of 8 took about 10 % less processor
// time a frame on 8 threads for a light far outside. 2 or 3 a worker left the workers 1 to 3 %
// idle at the end of the rays in a replay of measured group times, for no clear saving.
inline constexpr int64_t point_shadow_groups_per_worker = 4;

// Rays [begin, end) of group g of `groups` of equal size over a border of n rays.
std::pair<int64_t, int64_t> point_shadow_group_rays(int64_t g, int64_t groups, int64_t n);

// Rays [begin, end) of one border, marched in ascending order.
struct Shadow_Group {
  Shadow_Edge edge;
  int64_t begin;
  int64_t end;
};

// Marches rays [group.begin, group.end) of a group as point_shadow_march_ray does, in one of two
// orders: with `stretch` 0 each ray whole, one after another (the plain order); else every ray
// through its first `stretch` coarse steps, then every ray through the next, and so on. The
// additions into a pixel then come in another order, which only groups marched on several
// workers may take.
void point_shadow_march_group(Render_Context context, const Point_Shadow_Ray_Layers& layers,
                              const Point_Shadow_Parameters_In& in, const Shadow_Group& group,
                              float exclusive_from, const Point_Shadow_Tile* tile, int64_t stretch,
                              const Point_Shadow_Marks& marks = {});

// The coarse steps a group's rays march at a time on more than one worker when the light lies
// outside the image. Such rays are long and run side by side: one ray crosses more cache lines
// than a core's own cache keeps, so the next ray, a pixel away, found its lines gone; a stretch
// at a time it finds them still there. With the light far outside, 8 threads took 9-15 % less
// processor time a frame at 1920 × 1080 with 64 (6-10 % with 256) and 26 % less at 3840 × 2160;
// one worker marching the same groups 4-10 % and 11-16 % less (8-core VM under load,
// alternated runs). For a light inside they changed nothing measurable (0-4 % more on 8
// threads), so its rays march whole.
inline constexpr int64_t point_shadow_stretch = 64;

// Every group of a w × h image in the order of the cycle; one worker (or an image a pixel wide
// or high) gets the four borders whole, one group each. Else the borders share
// 4 × point_shadow_groups_per_worker groups per worker in proportion to the turn their rays
// make seen from the light (at least 2 each, an even count), and a border's groups turn through
// equal angles: the exclusive distance is about the same for every group, and small enough
// everywhere for the workers' tiles.
std::vector<Shadow_Group> point_shadow_groups(int64_t workers, Shadow_Point light, int64_t w,
                                              int64_t h);

// For each group of the cycle, the distance from the light beyond which its samples share no
// pixel with any ray of a group that may be marched with it (any but its two neighbours): 0 where
// none can meet it, infinity where no such distance can be vouched for (a light on a border's own
// line, too far away or not a number).
std::vector<float> point_shadow_exclusive_distances(Shadow_Point light,
                                                    const std::vector<Shadow_Group>& groups,
                                                    int64_t w, int64_t h);

// The places in the cycle of launch `phase` (0: the even places, 1: the odd ones), costliest
// first. Groups differ in cost by an order of magnitude (their rays' lengths inside the image),
// and a costly group handed out last keeps one worker busy after the others are done. A group's
// cost is its ray count times the steps of its first, middle and last rays.
std::vector<int64_t> point_shadow_launch_order(Shadow_Point light,
                                               const std::vector<Shadow_Group>& groups, int64_t w,
                                               int64_t h, int64_t phase);

// One parity's places, given costliest first (point_shadow_launch_order), reordered so that the
// groups `workers` march at once lie apart round the cycle of `cycle` places: each next place is,
// of the 2 × `workers` costliest still left, the one farthest round the cycle from the last
// `workers` - 1 handed out (the costliest of equals), unless the costliest left has already
// waited `workers` places, which then goes. Groups two places apart, as costliest first often
// hands out together, splat into the same cache lines out to about 16 pixels over the angle
// across one group from the light (some 300 pixels beyond the workers' tiles at 1920 × 1080,
// 8 workers), and every store there moves the line between the two cores. A costly group goes
// out at most `workers` places later than costliest first, so the end of the launch stays as
// balanced.
std::vector<int64_t> point_shadow_spread_order(const std::vector<int64_t>& costliest_first,
                                               int64_t cycle, int64_t workers);

// Hands the groups of the cycle out to the workers of one launch, so that no group is marched
// while a neighbour of it in the cycle is: every even place first, then the odd ones, each as soon
// as both its neighbours are done. Any two groups marched at once then have a whole group between
// them, as in a launch of one parity, but without a barrier between the parities: the odd groups
// fill the time in which two launches would have waited for the even ones' last group. Each
// parity goes costliest first (point_shadow_launch_order).
class Point_Shadow_Schedule {
 public:
  // `even` and `odd`: the cycle's places of either parity, in the order to hand them out.
  Point_Shadow_Schedule(std::vector<int64_t> even, std::vector<int64_t> odd);

  // The next place to march, or -1 when every place is taken or the schedule was abandoned.
  // Waits while every free place has a neighbour that is not done.
  int64_t claim();
  // The group at `place` is marched: its sums are visible to whoever claims a neighbour next.
  void finish(int64_t place);
  // A group failed and will not be finished: waiting workers give up.
  void abandon();

 private:
  enum : int32_t { free_place, taken, done };
  bool take_if_ready(int64_t odd_place);

  std::vector<int64_t> even_;
  std::vector<int64_t> odd_;
  std::unique_ptr<std::atomic<int32_t>[]> state_;  // per place of the cycle
  std::atomic<int64_t> next_even_{0};
  std::atomic<bool> abandoned_{false};
};

// What one launch marches: with a schedule, the places it hands out, one iteration per worker;
// else group order[iteration's index]; samples beyond exclusive_from[the group] add plainly. Or,
// for `whole`, every group in order on one iteration with plain additions.
struct Point_Shadow_Launch {
  const Shadow_Group* groups;
  const float* exclusive_from;
  const int64_t* order;
  int64_t count;
  bool whole;
  Point_Shadow_Tile* tiles;  // one per worker, or none
  int64_t tile_count;
  Point_Shadow_Schedule* schedule = nullptr;
  int64_t stretch = 0;  // coarse steps a group's rays march at a time (point_shadow_march_group)
  const Point_Shadow_Marks* marks = nullptr;  // one per worker of the pool, or none
  int64_t mark_count = 0;
};

// The square of pixels around the light that holds every pixel a sample nearer than `reach`
// splats into, clipped to the w × h image (empty if none): {x, y, width, height}.
std::array<int64_t, 4> point_shadow_tile_rect(Shadow_Point light, float reach, int64_t w,
                                              int64_t h);

// Tiles reach at most this far from the light: nearer samples of groups with a larger exclusive
// distance add atomically. It keeps the tiles' clearing and reduction a small part of a frame.
inline constexpr float point_shadow_tile_reach = 160.0f;

void point_shadow_groups_body(const Iteration& iteration, Render_Context context,
                              Point_Shadow_Ray_Layers layers, Point_Shadow_Parameters_In in,
                              Point_Shadow_Launch launch);

// Row iteration's index of the layers: adds the used tiles' sums on that row into the layers,
// in worker order, then divides the row's sums by its weights, while the row is in the cache:
// with `mark_count` workers' marks (all of one shift), only the parts any of them marked.
void point_shadow_finish_body(const Iteration& iteration, Render_Context context,
                              Point_Shadow_Ray_Layers layers, const Point_Shadow_Tile* tiles,
                              int64_t count, const Point_Shadow_Marks* marks = nullptr,
                              int64_t mark_count = 0);

// Into cleared layers: the rays in one scheduled launch (one group for one worker; a light
// outside the image has each group's rays marched `stretch` coarse steps at a time), the
// workers' tiles, which reach at most `tile_reach` from the light, added in and the sums divided
// in one row launch, and the two smoothings.
void point_shadow_pass(Render_Context context, Point_Shadow_Parameters_In in, Layer<float> shadow,
                       Layer<float> translucent, Layer<float> weight,
                       float tile_reach = point_shadow_tile_reach,
                       int64_t stretch = point_shadow_stretch);

}  // namespace brel
