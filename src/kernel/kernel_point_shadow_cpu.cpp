#include "kernel/kernel_point_shadow_cpu.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <exception>
#include <limits>
#include <numbers>
#include <optional>
#include <thread>

#include "base/exception.h"
#include "base/kernel_clear.h"
#include "kernel/kernel_div_shadow_cpu.h"
#include "kernel/kernel_smooth_shadows_cpu.h"

namespace brel {

namespace {

int32_t outcode(const Shadow_Point& p, float xmin, float xmax, float ymin, float ymax) {
  int32_t code = 0;
  if (p.x < xmin) {
    code |= 1;
  } else if (p.x > xmax) {
    code |= 2;
  }
  if (p.y < ymin) {
    code |= 4;
  } else if (p.y > ymax) {
    code |= 8;
  }
  return code;
}

// Rays marched at once on other threads may cross the same pixels near the light, so splats
// there that no worker's tile holds are atomic. Adding 0 to a sum that starts at +0 changes
// nothing, so it is skipped: samples on a pixel's row or column (every coarse sample of a ray from
// a light at whole pixel coordinates) have two zero weights, and an atomic addition costs far more
// than the test.
struct Atomic_Add {
  void operator()(float& target, float value) const {
    if (value != 0.0f) {
      std::atomic_ref<float>(target).fetch_add(value, std::memory_order_relaxed);
    }
  }
};

// Pixels no other thread reaches meanwhile. A sum never holds -0, so adding a zero leaves its
// bits as they are, as the skipped atomic addition does.
struct Plain_Add {
  void operator()(float& target, float value) const { target += value; }
};

// One ray's running state.
struct Ray_State {
  double horizon = -999999999.9;  // far below any surface: the first sample is an occluder
  double slope = 1e8;
  double acc = 0.0;  // translucent attenuation, 0 .. 1
  bool shadowed = false;
};

// What a ray keeps fixed while it marches.
struct Ray {
  Point_Shadow_Ray_Layers layers;  // a copy: a march keeps their addresses in registers
  bool skip_zero_depth;
  bool translucent;
  Shadow_Point light;
  float exclusive_from_squared;   // samples this far from the light (squared) add plainly
  const Point_Shadow_Tile* tile;  // nearer ones it holds add plainly there; may be null
  Point_Shadow_Marks marks;       // where shadow splats are marked; may have no rows
  float light_z;
  float step;                // length of a coarse step
  float attenuation_factor;  // 0.003 per depth unit below the horizon, at full resolution
  float translucency;
};

// One sample at q with splat weight f. Coarse samples first run the quick test: one that looks
// like a change of state, or whose cell straddles the horizon, reports the opposite of the
// current state and does nothing else, so that the ray refines there. Returns whether the sample
// lies in shadow.
template <bool coarse>
[[gnu::always_inline]] inline bool sample(const Ray& ray, Ray_State& state, Shadow_Point q,
                                          float f) {
  const Layer<float>& depth = ray.layers.depth;
  const int64_t w = depth.width;
  const int64_t h = depth.height;
  // q lies inside the image (up to rounding), so truncation is the floor.
  const int64_t x0 = std::min(static_cast<int64_t>(q.x), w - 1);
  const int64_t y0 = std::min(static_cast<int64_t>(q.y), h - 1);
  const int64_t x1 = std::min(x0 + 1, w - 1);
  const int64_t y1 = std::min(y0 + 1, h - 1);
  const float fx = q.x - static_cast<float>(x0);
  const float fy = q.y - static_cast<float>(y0);
  const float* row0 = depth.row(y0);
  const float* row1 = depth.row(y1);
  const float d00 = row0[x0];
  const float d10 = row0[x1];
  const float d01 = row1[x0];
  const float d11 = row1[x1];
  const float z =
      (d00 * (1.0f - fx) + d10 * fx) * (1.0f - fy) + (d01 * (1.0f - fx) + d11 * fx) * fy;

  bool shadowed = false;
  if (!(ray.skip_zero_depth && z == 0.0f)) {
    const double horizon = state.horizon;
    if constexpr (coarse) {
      const int32_t above = (d00 > horizon) + (d10 > horizon) + (d01 > horizon) + (d11 > horizon);
      if ((z <= horizon) != state.shadowed || (above >= 1 && above <= 3)) {
        return !state.shadowed;
      }
    }
    if (z > horizon) {
      state.horizon = z;
      state.acc = 0.0;
      const float dx = ray.light.x - q.x;
      const float dy = ray.light.y - q.y;
      state.slope = (ray.light_z - z) / (std::sqrt(dx * dx + dy * dy) + 0.0001f);
    } else {
      shadowed = true;
      const float t = ray.translucency;
      const float increment = static_cast<float>((horizon - z) * 0.003) * ray.attenuation_factor *
                              ray.step * f / (t * t) / t;
      const double acc = state.acc + increment;
      // Clamped to 0 .. 1; no number counts as 0.
      state.acc = acc > 0.0 ? (acc < 1.0 ? acc : 1.0) : 0.0;
    }
  }

  const float w00 = (1.0f - fx) * (1.0f - fy) * f;
  const float w10 = fx * (1.0f - fy) * f;
  const float w01 = (1.0f - fx) * fy * f;
  const float w11 = fx * fy * f;
  // Into pixels (x0 - ox, y0 - oy) and on of `into`.
  const auto splat_all = [&](const Point_Shadow_Ray_Layers& into, int64_t ox, int64_t oy,
                             auto add) {
    const auto splat = [&](const Layer<float>& layer, float scale) {
      float* r0 = layer.row(y0 - oy);
      float* r1 = layer.row(y1 - oy);
      add(r0[x0 - ox], w00 * scale);
      add(r0[x1 - ox], w10 * scale);
      add(r1[x0 - ox], w01 * scale);
      add(r1[x1 - ox], w11 * scale);
    };
    if (ray.translucent && state.acc != 0.0) {
      splat(into.translucent, static_cast<float>(state.acc));
    }
    if (shadowed) {
      splat(into.shadow, 1.0f);
    }
    splat(into.weight, 1.0f);
  };
  // The splat's first pixel alone is marked: the division takes every mark to reach a row and
  // a part further.
  const Point_Shadow_Marks& marks = ray.marks;
  if ((shadowed || (ray.translucent && state.acc != 0.0)) && marks.rows != nullptr) {
    marks.rows[y0] |= uint64_t{1} << (x0 >> marks.shift);
  }
  const float lx = ray.light.x - q.x;
  const float ly = ray.light.y - q.y;
  const Point_Shadow_Tile* tile = ray.tile;
  if (lx * lx + ly * ly >= ray.exclusive_from_squared) {
    splat_all(ray.layers, 0, 0, Plain_Add{});
  } else if (tile != nullptr && x0 >= tile->x && y0 >= tile->y &&
             x1 < tile->x + tile->sums.weight.width && y1 < tile->y + tile->sums.weight.height) {
    splat_all(tile->sums, tile->x, tile->y, Plain_Add{});
  } else {
    splat_all(ray.layers, 0, 0, Atomic_Add{});
  }
  return shadowed;
}

}  // namespace

bool clip_segment(Shadow_Point& a, Shadow_Point& b, float xmin, float xmax, float ymin,
                  float ymax) {
  int32_t code_a = outcode(a, xmin, xmax, ymin, ymax);
  int32_t code_b = outcode(b, xmin, xmax, ymin, ymax);
  while ((code_a | code_b) != 0) {
    if ((code_a & code_b) != 0) {
      return false;
    }
    const bool move_a = code_a > code_b;
    const int32_t code = move_a ? code_a : code_b;
    Shadow_Point p;
    if ((code & 8) != 0) {
      p = {a.x + (b.x - a.x) * (ymax - a.y) / (b.y - a.y), ymax};
    } else if ((code & 4) != 0) {
      p = {a.x + (b.x - a.x) * (ymin - a.y) / (b.y - a.y), ymin};
    } else if ((code & 2) != 0) {
      p = {xmax, a.y + (b.y - a.y) * (xmax - a.x) / (b.x - a.x)};
    } else {
      p = {xmin, a.y + (b.y - a.y) * (xmin - a.x) / (b.x - a.x)};
    }
    if (move_a) {
      a = p;
      code_a = outcode(a, xmin, xmax, ymin, ymax);
    } else {
      b = p;
      code_b = outcode(b, xmin, xmax, ymin, ymax);
    }
  }
  return true;
}

namespace {

// One ray's march, which can stop before any coarse step and go on later from there.
class Ray_March {
 public:
  Ray_March(const Ray& ray, Shadow_Point start, float dx, float dy, int64_t n)
      : ray_(ray), start_(start), dx_(dx), dy_(dy), n_(n) {}

  // Marches on while the next coarse step is below `until`; false once the ray has ended.
  bool march(int64_t until) {
    constexpr int64_t ended = std::numeric_limits<int64_t>::max();
    if (next_ == ended) {
      return false;
    }
    const auto at = [&](float fraction) {
      return Shadow_Point{start_.x + dx_ * fraction, start_.y + dy_ * fraction};
    };
    // The march works on copies, which stay in registers.
    const Ray ray = ray_;
    const int64_t n = n_;
    Ray_State state = state_;
    int64_t i = next_;
    for (; i < until; ++i) {
      state.horizon = state.horizon - state.slope * ray.step;
      const float fraction = static_cast<float>(i) / static_cast<float>(n);
      if (sample<true>(ray, state, at(fraction), 1.0f) != state.shadowed) {
        // Refine in fifth steps from the previous coarse sample to two steps beyond this one;
        // the coarse march then resumes three steps on.
        int64_t j0 = 0;
        if (i > 0) {
          state.horizon = state.horizon + state.slope * ray.step;
          j0 = 5 * i - 5;
        }
        const int64_t j1 = std::min(5 * n, 5 * (i + 2));
        const float fine_steps = static_cast<float>(5 * n);
        for (int64_t j = j0; j < j1; ++j) {
          state.horizon = state.horizon - state.slope * ray.step * 0.2;
          state.shadowed = sample<false>(ray, state, at(static_cast<float>(j) / fine_steps), 0.2f);
        }
        i += 2;
      }
      if (i >= n) {
        next_ = ended;
        return false;
      }
    }
    state_ = state;
    next_ = i;
    return true;
  }

 private:
  Ray ray_;
  Shadow_Point start_;
  float dx_;
  float dy_;
  int64_t n_;
  Ray_State state_;
  int64_t next_ = 0;
};

// The march of the ray from `start` (the light) to `end`, or none where the ray misses the image
// or is shorter than a pixel.
std::optional<Ray_March> start_ray(Shadow_Point start, Shadow_Point end,
                                   const Point_Shadow_Ray_Layers& layers, bool skip_zero_depth,
                                   float light_z, float translucency, float exclusive_from,
                                   const Point_Shadow_Tile* tile, const Point_Shadow_Marks& marks) {
  const Shadow_Point light = start;
  const Layer<float>& depth = layers.depth;
  if (!clip_segment(start, end, 0.0f, static_cast<float>(depth.width - 1), 0.0f,
                    static_cast<float>(depth.height - 1))) {
    return std::nullopt;
  }
  const float dx = end.x - start.x;
  const float dy = end.y - start.y;
  const float span = std::max(std::fabs(dx), std::fabs(dy));
  // Shorter than a pixel, or not a number in either axis (a light position that is not
  // finite): no ray. A clipped ray is never longer than the image, so the count converts.
  if (!(span >= 1.0f && std::isfinite(dx) && std::isfinite(dy))) {
    return std::nullopt;
  }
  const int64_t n = static_cast<int64_t>(span);
  const float sx = depth.scale_x;
  const float sy = depth.scale_y;
  const Ray ray{layers,
                skip_zero_depth,
                layers.translucent.pixels != nullptr,
                light,
                exclusive_from * exclusive_from,
                tile,
                marks,
                light_z,
                std::sqrt(dx * dx + dy * dy) / static_cast<float>(n),
                1.4142135f / std::sqrt(sx * sx + sy * sy),
                translucency};
  return Ray_March(ray, start, dx, dy, n);
}

}  // namespace

void point_shadow_march_ray(Shadow_Point start, Shadow_Point end,
                            const Point_Shadow_Ray_Layers& layers, bool skip_zero_depth,
                            float light_z, float translucency, float exclusive_from,
                            const Point_Shadow_Tile* tile, const Point_Shadow_Marks& marks) {
  if (std::optional<Ray_March> ray = start_ray(start, end, layers, skip_zero_depth, light_z,
                                               translucency, exclusive_from, tile, marks)) {
    ray->march(std::numeric_limits<int64_t>::max());
  }
}

Shadow_Point point_shadow_ray_end(Shadow_Edge edge, int64_t i, int64_t w, int64_t h) {
  const float f = static_cast<float>(i);
  switch (edge) {
    case Shadow_Edge::top:
      return {f, 0.0f};
    case Shadow_Edge::right:
      return {static_cast<float>(w - 1), f};
    case Shadow_Edge::bottom:
      return {f, static_cast<float>(h - 1)};
    case Shadow_Edge::left:
      break;
  }
  return {0.0f, f};
}

std::pair<int64_t, int64_t> point_shadow_group_rays(int64_t g, int64_t groups, int64_t n) {
  return thread_iteration_range(Iteration{g, groups, 0, 1}, n);
}

namespace {

constexpr Shadow_Edge cycle_edges[] = {Shadow_Edge::top, Shadow_Edge::right, Shadow_Edge::bottom,
                                       Shadow_Edge::left};

// The bottom and left borders' rays run against the cycle.
bool runs_backwards(Shadow_Edge edge) {
  return edge == Shadow_Edge::bottom || edge == Shadow_Edge::left;
}

// Where the light lies from a border's line: strictly on the image's side, on the line, or
// strictly beyond it, where every ray to the border meets the image only at its end and
// marches nothing.
enum class Edge_Side { inner, on_line, beyond };

Edge_Side edge_side(Shadow_Point light, Shadow_Edge edge, int64_t w, int64_t h) {
  // The light's distance from the line, positive on the image's side.
  float inward = 0.0f;
  switch (edge) {
    case Shadow_Edge::top:
      inward = light.y;
      break;
    case Shadow_Edge::right:
      inward = static_cast<float>(w - 1) - light.x;
      break;
    case Shadow_Edge::bottom:
      inward = static_cast<float>(h - 1) - light.y;
      break;
    case Shadow_Edge::left:
      inward = light.x;
      break;
  }
  return inward > 0.0f ? Edge_Side::inner : inward < 0.0f ? Edge_Side::beyond : Edge_Side::on_line;
}

}  // namespace

std::vector<Shadow_Group> point_shadow_groups(int64_t workers, Shadow_Point light, int64_t w,
                                              int64_t h) {
  std::vector<Shadow_Group> groups;
  // Every border needs an even count for the cycle's even and odd places to alternate across
  // the corners.
  if (workers <= 1 || std::min(w, h) < 2) {
    for (const Shadow_Edge edge : cycle_edges) {
      groups.push_back({edge, 0, point_shadow_ray_count(edge, w, h)});
    }
    return groups;
  }
  // The turn of each border's rays seen from the light: a border whose line holds the light sends
  // its rays both ways along it, half a turn; one beyond the light marches nothing. A light too
  // far away or not a number has no turn to share out: each border gets the same count.
  constexpr double farthest = 65536.0;
  const double lx = light.x;
  const double ly = light.y;
  const bool near = std::fabs(lx) <= farthest && std::fabs(ly) <= farthest;
  const auto direction = [&](Shadow_Edge edge, int64_t i) {
    const Shadow_Point end = point_shadow_ray_end(edge, i, w, h);
    return std::pair{end.x - lx, end.y - ly};
  };
  double turns[4] = {};
  double total = 0.0;
  for (const Shadow_Edge edge : cycle_edges) {
    double& turn = turns[static_cast<size_t>(edge)];
    const Edge_Side side = near ? edge_side(light, edge, w, h) : Edge_Side::beyond;
    if (side == Edge_Side::inner) {
      const auto [ax, ay] = direction(edge, 0);
      const auto [bx, by] = direction(edge, point_shadow_ray_count(edge, w, h) - 1);
      turn = std::atan2(std::fabs(ax * by - ay * bx), ax * bx + ay * by);
    } else if (side == Edge_Side::on_line) {
      turn = std::numbers::pi;
    }
    total += turn;
  }
  const int64_t all = 4 * workers * point_shadow_groups_per_worker;
  for (const Shadow_Edge edge : cycle_edges) {
    const int64_t n = point_shadow_ray_count(edge, w, h);
    const double turn = turns[static_cast<size_t>(edge)];
    int64_t count = workers * point_shadow_groups_per_worker;
    if (total > 0.0) {
      count = 2 * std::llround(static_cast<double>(all) * turn / total / 2.0);
    }
    count = std::clamp<int64_t>(count, 2, n / 2 * 2);
    // Group boundaries: the same number of rays each, or, where the rays turn one way, the rays
    // nearest the same turn each, so that the groups two places away from every group are about
    // the same angle away and its exclusive distance is about every other's.
    std::vector<int64_t> bounds(static_cast<size_t>(count + 1), n);
    const bool by_turn = near && edge_side(light, edge, w, h) == Edge_Side::inner;
    const auto [ax, ay] = direction(edge, 0);
    const auto [bx, by] = direction(edge, n - 1);
    const double length = std::sqrt(ax * ax + ay * ay);
    const double sign = ax * by - ay * bx < 0.0 ? -1.0 : 1.0;
    bounds[0] = 0;
    for (int64_t g = 1; g < count; ++g) {
      int64_t bound = point_shadow_group_rays(g, count, n).first;
      if (by_turn) {
        // The direction turned from ray 0's by the g-th part of the border's turn, and where it
        // meets the border's line.
        const double angle = sign * turn * static_cast<double>(g) / static_cast<double>(count);
        const double dx = (ax * std::cos(angle) - ay * std::sin(angle)) / length;
        const double dy = (ax * std::sin(angle) + ay * std::cos(angle)) / length;
        const Shadow_Point line = point_shadow_ray_end(edge, 0, w, h);
        const bool across = edge == Shadow_Edge::top || edge == Shadow_Edge::bottom;
        const double at = across ? lx + (line.y - ly) * dx / dy : ly + (line.x - lx) * dy / dx;
        bound = std::isfinite(at)
                    ? static_cast<int64_t>(std::clamp(std::ceil(at), 0.0, static_cast<double>(n)))
                    : bound;
      }
      // Every group holds a ray.
      bounds[static_cast<size_t>(g)] =
          std::clamp(bound, bounds[static_cast<size_t>(g - 1)] + 1, n - (count - g));
    }
    for (int64_t k = 0; k < count; ++k) {
      const int64_t g = runs_backwards(edge) ? count - 1 - k : k;
      groups.push_back({edge, bounds[static_cast<size_t>(g)], bounds[static_cast<size_t>(g + 1)]});
    }
  }
  return groups;
}

std::vector<float> point_shadow_exclusive_distances(Shadow_Point light,
                                                    const std::vector<Shadow_Group>& groups,
                                                    int64_t w, int64_t h) {
  const auto count = static_cast<int64_t>(groups.size());
  constexpr float unbounded = std::numeric_limits<float>::infinity();
  // The positions of a far light's clipped rays carry rounding of its coordinates; up to 2^16
  // pixels away it stays a small fraction of a pixel.
  constexpr float farthest = 65536.0f;
  if (!(std::fabs(light.x) <= farthest && std::fabs(light.y) <= farthest)) {
    return std::vector<float>(static_cast<size_t>(count), unbounded);
  }
  // Along a border whose line has the light strictly on the image's side, the rays' directions
  // turn one way, and they turn the same way along the next such border past the corner. These
  // borders follow one another in the cycle, and their rays turn through a whole turn (a light
  // inside) or less than a half turn (outside). So two groups with a group between them either
  // way round, as any two marched at once, are at least the angle across one group apart: across
  // the group between one of them and the group two places from it. Borders beyond the light
  // march nothing; along a border whose line holds the light, rays run together and nothing is
  // vouched for.
  // Every sample lies within a small fraction of a pixel of its ray's line. One whose distance
  // from another ray's half-line is at least 3 pixels is more than 2 pixels from any sample of
  // it in x or in y, so the two splats' 2 × 2 pixels are apart. A sample at distance r from the
  // light on a ray at angle a from another is r sin a from it (r beyond a quarter turn).
  const auto distance_for = [&](Shadow_Point a, Shadow_Point b) {
    const double ax = static_cast<double>(a.x) - light.x;
    const double ay = static_cast<double>(a.y) - light.y;
    const double bx = static_cast<double>(b.x) - light.x;
    const double by = static_cast<double>(b.y) - light.y;
    const double lengths = std::sqrt((ax * ax + ay * ay) * (bx * bx + by * by));
    const double sine = ax * bx + ay * by <= 0.0 ? 1.0 : std::fabs(ax * by - ay * bx) / lengths;
    return static_cast<float>(3.0 / sine);
  };
  // The ends of a group's first and last rays going round the cycle.
  const auto first_end = [&](const Shadow_Group& group) {
    return point_shadow_ray_end(group.edge,
                                runs_backwards(group.edge) ? group.end - 1 : group.begin, w, h);
  };
  const auto last_end = [&](const Shadow_Group& group) {
    return point_shadow_ray_end(group.edge,
                                runs_backwards(group.edge) ? group.begin : group.end - 1, w, h);
  };
  std::vector<float> distances(static_cast<size_t>(count), 0.0f);
  if (count < 8) {
    return distances;  // the four borders whole, on one worker
  }
  for (int64_t p = 0; p < count; ++p) {
    const Shadow_Group& group = groups[static_cast<size_t>(p)];
    const Edge_Side side = edge_side(light, group.edge, w, h);
    float& distance = distances[static_cast<size_t>(p)];
    if (side == Edge_Side::beyond) {
      continue;
    }
    for (const int64_t q : {(p + count - 2) % count, (p + 2) % count}) {
      const Shadow_Group& other = groups[static_cast<size_t>(q)];
      const Edge_Side other_side = edge_side(light, other.edge, w, h);
      if (other_side == Edge_Side::beyond) {
        continue;
      }
      if (side == Edge_Side::on_line || other_side == Edge_Side::on_line) {
        distance = unbounded;
      } else {
        distance = std::max(distance, q == (p + 2) % count
                                          ? distance_for(last_end(group), first_end(other))
                                          : distance_for(last_end(other), first_end(group)));
      }
    }
  }
  return distances;
}

std::vector<int64_t> point_shadow_launch_order(Shadow_Point light,
                                               const std::vector<Shadow_Group>& groups, int64_t w,
                                               int64_t h, int64_t phase) {
  // Coarse steps of a ray inside the image; 0 for none (or a light that is not a number).
  const auto steps = [&](Shadow_Edge edge, int64_t i) {
    Shadow_Point start = light;
    Shadow_Point end = point_shadow_ray_end(edge, i, w, h);
    if (!clip_segment(start, end, 0.0f, static_cast<float>(w - 1), 0.0f,
                      static_cast<float>(h - 1))) {
      return 0.0f;
    }
    const float span = std::max(std::fabs(end.x - start.x), std::fabs(end.y - start.y));
    return std::isfinite(span) ? span : 0.0f;
  };
  std::vector<std::pair<float, int64_t>> costs;
  for (auto p = static_cast<size_t>(phase); p < groups.size(); p += 2) {
    const auto [edge, begin, end] = groups[p];
    const float rays = static_cast<float>(end - begin);
    costs.emplace_back(
        (steps(edge, begin) + steps(edge, begin + (end - begin) / 2) + steps(edge, end - 1)) * rays,
        static_cast<int64_t>(p));
  }
  std::stable_sort(costs.begin(), costs.end(),
                   [](const auto& a, const auto& b) { return a.first > b.first; });
  std::vector<int64_t> order;
  order.reserve(costs.size());
  for (const auto& [cost, p] : costs) {
    order.push_back(p);
  }
  return order;
}

std::vector<int64_t> point_shadow_spread_order(const std::vector<int64_t>& costliest_first,
                                               int64_t cycle, int64_t workers) {
  const auto count = static_cast<int64_t>(costliest_first.size());
  const int64_t window = 2 * workers;
  // Places not yet handed out, as indices into costliest_first, in its order.
  std::vector<int64_t> left(static_cast<size_t>(count));
  for (int64_t k = 0; k < count; ++k) {
    left[static_cast<size_t>(k)] = k;
  }
  std::vector<int64_t> order;
  order.reserve(static_cast<size_t>(count));
  const auto apart = [&](int64_t place) {
    int64_t nearest = cycle;
    const auto recent = static_cast<int64_t>(order.size());
    for (int64_t j = std::max<int64_t>(0, recent - (workers - 1)); j < recent; ++j) {
      const int64_t d = std::abs(place - order[static_cast<size_t>(j)]) % cycle;
      nearest = std::min(nearest, std::min(d, cycle - d));
    }
    return nearest;
  };
  for (int64_t k = 0; k < count; ++k) {
    size_t pick = 0;
    if (left.front() > k - workers) {
      int64_t farthest = -1;
      for (size_t c = 0; c < left.size() && c < static_cast<size_t>(window); ++c) {
        const int64_t d = apart(costliest_first[static_cast<size_t>(left[c])]);
        if (d > farthest) {
          farthest = d;
          pick = c;
        }
      }
    }
    order.push_back(costliest_first[static_cast<size_t>(left[pick])]);
    left.erase(left.begin() + static_cast<std::ptrdiff_t>(pick));
  }
  return order;
}

Point_Shadow_Schedule::Point_Shadow_Schedule(std::vector<int64_t> even, std::vector<int64_t> odd)
    : even_(std::move(even)),
      odd_(std::move(odd)),
      state_(std::make_unique<std::atomic<int32_t>[]>(even_.size() + odd_.size())) {
  BREL_ASSERT_MSG(even_.size() == odd_.size() && !even_.empty(), "a cycle of an even count");
  for (size_t p = 0; p < even_.size() + odd_.size(); ++p) {
    state_[p].store(free_place, std::memory_order_relaxed);
  }
}

bool Point_Shadow_Schedule::take_if_ready(int64_t odd_place) {
  const auto count = static_cast<int64_t>(even_.size() + odd_.size());
  const auto state = [&](int64_t place) -> std::atomic<int32_t>& {
    return state_[static_cast<size_t>((place + count) % count)];
  };
  // Acquiring the neighbours' ends makes their sums visible to this worker's additions.
  if (state(odd_place - 1).load(std::memory_order_acquire) != done ||
      state(odd_place + 1).load(std::memory_order_acquire) != done) {
    return false;
  }
  int32_t expected = free_place;
  return state(odd_place).compare_exchange_strong(expected, taken, std::memory_order_relaxed);
}

int64_t Point_Shadow_Schedule::claim() {
  const auto evens = static_cast<int64_t>(even_.size());
  for (;;) {
    if (abandoned_.load(std::memory_order_acquire)) {
      return -1;
    }
    if (next_even_.load(std::memory_order_relaxed) < evens) {
      const int64_t k = next_even_.fetch_add(1, std::memory_order_relaxed);
      if (k < evens) {
        const int64_t place = even_[static_cast<size_t>(k)];
        state_[static_cast<size_t>(place)].store(taken, std::memory_order_relaxed);
        return place;
      }
    }
    // Every even place is taken, so an odd one waits only for groups being marched now.
    bool left = false;
    for (const int64_t place : odd_) {
      if (state_[static_cast<size_t>(place)].load(std::memory_order_relaxed) == free_place) {
        left = true;
        if (take_if_ready(place)) {
          return place;
        }
      }
    }
    if (!left) {
      return -1;
    }
    std::this_thread::yield();
  }
}

void Point_Shadow_Schedule::finish(int64_t place) {
  state_[static_cast<size_t>(place)].store(done, std::memory_order_release);
}

void Point_Shadow_Schedule::abandon() {
  abandoned_.store(true, std::memory_order_release);
}

void point_shadow_march_group(Render_Context context, const Point_Shadow_Ray_Layers& layers,
                              const Point_Shadow_Parameters_In& in, const Shadow_Group& group,
                              float exclusive_from, const Point_Shadow_Tile* tile, int64_t stretch,
                              const Point_Shadow_Marks& marks) {
  const Shadow_Point light{in.light.position_x, in.light.position_y};
  const auto start = [&](int64_t i) {
    return start_ray(light, point_shadow_ray_end(group.edge, i, in.depth.width, in.depth.height),
                     layers, in.skip_zero_depth, in.light.position_z, in.translucency,
                     exclusive_from, tile, marks);
  };
  if (stretch <= 0) {
    for (int64_t i = group.begin; i < group.end; ++i) {
      if (std::optional<Ray_March> ray = start(i)) {
        ray->march(std::numeric_limits<int64_t>::max());
      }
      context.check_abort();
    }
    return;
  }
  std::vector<Ray_March> rays;
  rays.reserve(static_cast<size_t>(group.end - group.begin));
  for (int64_t i = group.begin; i < group.end; ++i) {
    if (std::optional<Ray_March> ray = start(i)) {
      rays.push_back(*ray);
    }
  }
  for (int64_t until = stretch;; until += stretch) {
    bool going = false;
    for (Ray_March& ray : rays) {
      going = ray.march(until) || going;
    }
    context.check_abort();
    if (!going) {
      return;
    }
  }
}

void point_shadow_groups_body(const Iteration& iteration, Render_Context context,
                              Point_Shadow_Ray_Layers layers, Point_Shadow_Parameters_In in,
                              Point_Shadow_Launch launch) {
  Point_Shadow_Marks marks;
  if (launch.marks != nullptr) {
    BREL_ASSERT_MSG(iteration.worker_index >= 0 && iteration.worker_index < launch.mark_count,
                    "marks for every worker");
    marks = launch.marks[iteration.worker_index];
  }
  Point_Shadow_Tile* tile = nullptr;
  if (launch.tile_count > 0) {
    BREL_ASSERT_MSG(iteration.worker_index >= 0 && iteration.worker_index < launch.tile_count,
                    "a tile for every worker");
    tile = &launch.tiles[iteration.worker_index];
  }
  const auto march = [&](int64_t p, float exclusive_from) {
    if (tile != nullptr && !tile->used) {
      for (const Layer<float>& sums :
           {tile->sums.shadow, tile->sums.translucent, tile->sums.weight}) {
        clear_layer_rows(sums, 0, sums.height);
      }
      tile->used = true;
    }
    point_shadow_march_group(context, layers, in, launch.groups[p], exclusive_from, tile,
                             launch.whole ? 0 : launch.stretch, marks);
  };
  if (launch.schedule != nullptr) {
    Point_Shadow_Schedule& schedule = *launch.schedule;
    // A group that fails is never finished: its neighbours' workers must not wait for it.
    struct Abandon_On_Failure {
      Point_Shadow_Schedule& schedule;
      int uncaught = std::uncaught_exceptions();
      ~Abandon_On_Failure() {
        if (std::uncaught_exceptions() > uncaught) {
          schedule.abandon();
        }
      }
    } abandon_on_failure{schedule};
    for (int64_t p = schedule.claim(); p >= 0; p = schedule.claim()) {
      march(p, launch.exclusive_from[p]);
      schedule.finish(p);
    }
    return;
  }
  const int64_t first = launch.whole ? 0 : iteration.index;
  const int64_t last = launch.whole ? launch.count : first + 1;
  for (int64_t k = first; k < last; ++k) {
    const int64_t p = launch.order[k];
    march(p, launch.whole ? 0.0f : launch.exclusive_from[p]);
  }
}

std::array<int64_t, 4> point_shadow_tile_rect(Shadow_Point light, float reach, int64_t w,
                                              int64_t h) {
  if (!(reach > 0.0f && std::isfinite(light.x) && std::isfinite(light.y))) {
    return {0, 0, 0, 0};
  }
  // A sample nearer than reach lies in (c - reach, c + reach) on either axis and splats into the
  // pixels at the floor of its coordinate and one on; a pixel's margin covers the rounding.
  const auto span = [&](float c, int64_t n) {
    const double low = std::floor(static_cast<double>(c) - reach) - 1.0;
    const double high = std::floor(static_cast<double>(c) + reach) + 3.0;
    const auto begin = static_cast<int64_t>(std::clamp(low, 0.0, static_cast<double>(n)));
    const auto end = static_cast<int64_t>(std::clamp(high, 0.0, static_cast<double>(n)));
    return std::pair{begin, std::max(begin, end)};
  };
  const auto [x0, x1] = span(light.x, w);
  const auto [y0, y1] = span(light.y, h);
  return x1 > x0 && y1 > y0 ? std::array<int64_t, 4>{x0, y0, x1 - x0, y1 - y0}
                            : std::array<int64_t, 4>{0, 0, 0, 0};
}

int64_t point_shadow_mark_shift(int64_t w) {
  int64_t shift = 0;
  while (((w - 1) >> shift) >= 64) {
    ++shift;
  }
  return shift;
}

void point_shadow_finish_body(const Iteration& iteration, Render_Context context,
                              Point_Shadow_Ray_Layers layers, const Point_Shadow_Tile* tiles,
                              int64_t count, const Point_Shadow_Marks* marks, int64_t mark_count) {
  const int64_t y = iteration.index;
  // Every tile covers the same rectangle.
  const int64_t tile_row = count > 0 ? y - tiles[0].y : -1;
  if (tile_row >= 0 && tile_row < tiles[0].sums.weight.height) {
    const int64_t x = tiles[0].x;
    const int64_t width = tiles[0].sums.weight.width;
    for (Layer<float> Point_Shadow_Ray_Layers::*sums :
         {&Point_Shadow_Ray_Layers::shadow, &Point_Shadow_Ray_Layers::translucent,
          &Point_Shadow_Ray_Layers::weight}) {
      if ((layers.*sums).pixels == nullptr) {
        continue;
      }
      float* out = (layers.*sums).row(y) + x;
      for (int64_t k = 0; k < count; ++k) {
        // An unused tile holds nothing to add (and was never cleared).
        if (!tiles[k].used) {
          continue;
        }
        const float* in = (tiles[k].sums.*sums).row(tile_row);
        for (int64_t i = 0; i < width; ++i) {
          out[i] += in[i];
        }
      }
    }
  }
  const Kernel_Div_Shadow::Parameters_In division{layers.shadow, layers.weight, layers.translucent};
  if (marks == nullptr) {
    div_shadow_row(division, y);
  } else {
    // A sample marks the first of the 2 × 2 pixels it splats into, which reach a row below it
    // and a pixel to its right, into the next part at most.
    uint64_t marked = 0;
    for (int64_t k = 0; k < mark_count; ++k) {
      marked |= marks[k].rows[y] | (y > 0 ? marks[k].rows[y - 1] : 0);
    }
    marked |= marked << 1;
    // Each run of marked parts at once.
    const int64_t shift = mark_count > 0 ? marks[0].shift : 0;
    int64_t part = 0;
    while (marked != 0) {
      const int skipped = std::countr_zero(marked);
      part += skipped;
      marked >>= skipped;
      const int run = std::countr_one(marked);
      div_shadow_row_part(division, y, part << shift,
                          std::min((part + run) << shift, layers.shadow.width));
      part += run;
      marked = run < 64 ? marked >> run : 0;
    }
  }
  context.check_abort();
}

void point_shadow_pass(Render_Context context, Point_Shadow_Parameters_In in, Layer<float> shadow,
                       Layer<float> translucent, Layer<float> weight, float tile_reach,
                       int64_t stretch) {
  const Point_Shadow_Ray_Layers layers{shadow, translucent, weight, in.depth};
  const int64_t w = in.depth.width;
  const int64_t h = in.depth.height;
  const Shadow_Point light{in.light.position_x, in.light.position_y};
  const std::vector<Shadow_Group> groups =
      point_shadow_groups(context.iteration_count(std::max(w, h)), light, w, h);
  // Rays from a light inside the image are short and part soon: stretches save them nothing.
  // They mark their shadow splats for the division: with the benchmark's light at (0.4, 0.45)
  // of a 1920 × 1080 frame that took 1 % fewer instructions a frame on 1 thread. From a light
  // far outside, whose shadows covered three quarters of it, the marks saved the division a
  // tenth of its instructions and cost the rays 3.5 % more.
  const bool inside = light.x >= 0.0f && light.x <= static_cast<float>(w - 1) && light.y >= 0.0f &&
                      light.y <= static_cast<float>(h - 1);
  // Marks of every worker of the pool, whichever runs a launch's iterations, cleared here.
  const int64_t mark_count = inside ? context.iteration_count(0) : 0;
  std::vector<uint64_t> mark_rows(static_cast<size_t>(mark_count * h), 0);
  std::vector<Point_Shadow_Marks> marks;
  for (int64_t k = 0; k < mark_count; ++k) {
    marks.push_back({mark_rows.data() + k * h, point_shadow_mark_shift(w)});
  }
  const Point_Shadow_Marks* const worker_marks = mark_count > 0 ? marks.data() : nullptr;
  Layer_Holder tile_memory;
  std::vector<Point_Shadow_Tile> tiles;
  if (groups.size() == 4) {
    const int64_t order[] = {0, 1, 2, 3};
    cpu_kernel_launch(1, &point_shadow_groups_body, context, layers, in,
                      Point_Shadow_Launch{groups.data(), nullptr, order, 4, true, nullptr, 0,
                                          nullptr, 0, worker_marks, mark_count});
  } else {
    const std::vector<float> exclusive_from = point_shadow_exclusive_distances(light, groups, w, h);
    // Every worker's tile reaches as far as the farthest exclusive distance, within a bound.
    float reach = 0.0f;
    for (const float distance : exclusive_from) {
      if (std::isfinite(distance)) {
        reach = std::max(reach, distance);
      }
    }
    const auto [tile_x, tile_y, tile_w, tile_h] =
        point_shadow_tile_rect(light, std::min(reach, tile_reach), w, h);
    const auto count = static_cast<int64_t>(groups.size());
    const int64_t workers = std::max(context.iteration_count(count), context.iteration_count(0));
    if (tile_w > 0) {
      const int64_t sums = translucent.pixels != nullptr ? 3 : 2;
      tile_memory = make_temporary_float_layer(context, tile_w, tile_h * sums * workers, 0, 0, 0,
                                               1.0f, 1.0f, 1.0f);
      const Layer<float> all = layer_view<float>(tile_memory);
      int64_t next = 0;
      const auto piece = [&] {
        Layer<float> rows = all;
        rows.pixels = advance_bytes(all.pixels, next * tile_h * all.row_bytes);
        rows.height = tile_h;
        ++next;
        return rows;
      };
      for (int64_t k = 0; k < workers; ++k) {
        Point_Shadow_Tile& tile = tiles.emplace_back();
        tile.sums.shadow = piece();
        tile.sums.translucent = sums == 3 ? piece() : empty_layer<float>();
        tile.sums.weight = piece();
        tile.x = tile_x;
        tile.y = tile_y;
      }
    }
    Point_Shadow_Schedule schedule(
        point_shadow_spread_order(point_shadow_launch_order(light, groups, w, h, 0), count,
                                  workers),
        point_shadow_spread_order(point_shadow_launch_order(light, groups, w, h, 1), count,
                                  workers));
    cpu_kernel_launch(
        workers, &point_shadow_groups_body, context, layers, in,
        Point_Shadow_Launch{groups.data(), exclusive_from.data(), nullptr, count, false,
                            tiles.data(), static_cast<int64_t>(tiles.size()), &schedule,
                            inside ? 0 : stretch, worker_marks, mark_count});
  }
  {
    // The division's launch also adds the tiles; the timing report keeps its entry.
    const auto scope =
        context.scope_timer("div shadow", (w * h + weight.width * weight.height) * 4);
    cpu_kernel_launch(h, &point_shadow_finish_body, context, layers,
                      static_cast<const Point_Shadow_Tile*>(tiles.data()),
                      static_cast<int64_t>(tiles.size()), worker_marks, mark_count);
  }

  Kernel_Smooth_Shadows smoothing;
  Smooth_Shadows_Parameters_In& smooth = smoothing.parameters_in;
  smooth.depth = in.depth;
  smooth.depth_scale = in.depth_scale;
  smooth.skip_zero_depth = in.skip_zero_depth;
  smooth.shadow = shadow;
  smooth.opaque = true;
  smooth.passes = smooth_shadows_opaque_passes(in.light.softness, in.depth.scale_y);
  smoothing.execute(context);
  smooth.shadow = translucent;
  smooth.opaque = false;
  smooth.passes =
      smooth_shadows_translucent_passes(in.light.softness, in.shadow_softness, in.depth.scale_y);
  smoothing.execute(context);
}

namespace {

// Row iteration's index of the three sums' layers, cleared in one launch. Rows one at a time
// let the workers that wake first clear more of them: with one band a worker, at 1920 × 1080 on
// 8 threads, workers started up to 0.35 ms apart and some cleared two bands. The clearing took
// 0.58-0.66 ms so and 0.48-0.54 ms by rows (fastest of 40 frames, three alternated runs, 8-core
// VM under load), though later runs of both varied as widely (0.28-0.61 ms).
void clear_sums_body(const Iteration& iteration, Render_Context context,
                     Point_Shadow_Ray_Layers layers) {
  const int64_t y = iteration.index;
  for (const Layer<float>& layer : {layers.shadow, layers.translucent, layers.weight}) {
    clear_layer_rows(layer, y, y + 1);
  }
  context.check_abort();
}

}  // namespace

int64_t Kernel_Point_Shadow::workload() const {
  const auto size = [](const std::unique_ptr<Layer_Holder>& layer) -> int64_t {
    return layer != nullptr ? layer->memory->width() * layer->memory->height() : 0;
  };
  const Layer<float>& depth = parameters_in.depth;
  return 4 * (depth.width * depth.height * 4 + size(shadow_layer) + size(translucent_shadow_layer));
}

void Kernel_Point_Shadow::run(Render_Context context) {
  // A run's layers replace the last run's, which go first: their memory can serve this run, and
  // a run that casts nothing leaves none behind.
  shadow_layer.reset();
  translucent_shadow_layer.reset();
  const Parameters_In in = parameters_in;
  const int64_t w = in.depth.width;
  const int64_t h = in.depth.height;
  const auto make_layer = [&] {
    return make_temporary_float_layer(context, w, h, 0, 0, 0, 1.0f, 1.0f, 1.0f);
  };
  const Layer_Holder weight_holder = make_layer();
  if (!in.light.shadows || in.light.intensity == 0.0f) {
    return;
  }
  shadow_layer = std::make_unique<Layer_Holder>(make_layer());
  if (in.translucency != 0.0f) {
    translucent_shadow_layer = std::make_unique<Layer_Holder>(make_layer());
  }
  const Layer<float> weight = layer_view<float>(weight_holder);
  const Layer<float> shadow = layer_view<float>(*shadow_layer);
  const Layer<float> translucent = translucent_shadow_layer != nullptr
                                       ? layer_view<float>(*translucent_shadow_layer)
                                       : empty_layer<float>();
  {
    // One launch clears all three layers; the timing report keeps its entry for the clearing.
    const int64_t layers = translucent.pixels != nullptr ? 3 : 2;
    const auto scope = context.scope_timer("Clear", layers * w * h * 4);
    cpu_kernel_launch(h, &clear_sums_body, context,
                      Point_Shadow_Ray_Layers{shadow, translucent, weight, in.depth});
  }
  const auto scope = context.scope_timer("point shadows", w * h * 8);
  point_shadow_pass(context, in, shadow, translucent, weight);
}

}  // namespace brel
