#include "kernel/kernel_point_shadow_cpu.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>

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
// there are atomic. Adding 0 to a sum that starts at +0 changes nothing, so it is skipped: samples
// on a pixel's row or column (every coarse sample of a ray from a light at whole pixel
// coordinates) have two zero weights, and an atomic addition costs far more than the test.
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
  const Point_Shadow_Ray_Layers& layers;
  bool skip_zero_depth;
  bool translucent;
  Shadow_Point light;
  float exclusive_from_squared;  // samples this far from the light (squared) add plainly
  float light_z;
  float step;                // length of a coarse step
  float attenuation_factor;  // 0.003 per depth unit below the horizon, at full resolution
  float translucency;
};

// One sample at q with splat weight f. Coarse samples first run the quick test: one that looks
// like a change of state, or whose cell straddles the horizon, reports the opposite of the
// current state and does nothing else, so that the ray refines there. Returns whether the sample
// lies in shadow.
bool sample(const Ray& ray, Ray_State& state, Shadow_Point q, float f, bool coarse) {
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
    if (coarse) {
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
  const auto splat_all = [&](auto add) {
    const auto splat = [&](const Layer<float>& layer, float scale) {
      float* r0 = layer.row(y0);
      float* r1 = layer.row(y1);
      add(r0[x0], w00 * scale);
      add(r0[x1], w10 * scale);
      add(r1[x0], w01 * scale);
      add(r1[x1], w11 * scale);
    };
    if (ray.translucent && state.acc != 0.0) {
      splat(ray.layers.translucent, static_cast<float>(state.acc));
    }
    if (shadowed) {
      splat(ray.layers.shadow, 1.0f);
    }
    splat(ray.layers.weight, 1.0f);
  };
  const float lx = ray.light.x - q.x;
  const float ly = ray.light.y - q.y;
  if (lx * lx + ly * ly >= ray.exclusive_from_squared) {
    splat_all(Plain_Add{});
  } else {
    splat_all(Atomic_Add{});
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

void point_shadow_march_ray(Shadow_Point start, Shadow_Point end,
                            const Point_Shadow_Ray_Layers& layers, bool skip_zero_depth,
                            float light_z, float translucency, float exclusive_from) {
  const Shadow_Point light = start;
  const Layer<float>& depth = layers.depth;
  if (!clip_segment(start, end, 0.0f, static_cast<float>(depth.width - 1), 0.0f,
                    static_cast<float>(depth.height - 1))) {
    return;
  }
  const float dx = end.x - start.x;
  const float dy = end.y - start.y;
  const float span = std::max(std::fabs(dx), std::fabs(dy));
  // Shorter than a pixel, or not a number in either axis (a light position that is not
  // finite): no ray. A clipped ray is never longer than the image, so the count converts.
  if (!(span >= 1.0f && std::isfinite(dx) && std::isfinite(dy))) {
    return;
  }
  const int64_t n = static_cast<int64_t>(span);
  const float sx = depth.scale_x;
  const float sy = depth.scale_y;
  const Ray ray{layers,
                skip_zero_depth,
                layers.translucent.pixels != nullptr,
                light,
                exclusive_from * exclusive_from,
                light_z,
                std::sqrt(dx * dx + dy * dy) / static_cast<float>(n),
                1.4142135f / std::sqrt(sx * sx + sy * sy),
                translucency};
  const auto at = [&](float fraction) {
    return Shadow_Point{start.x + dx * fraction, start.y + dy * fraction};
  };
  Ray_State state;
  for (int64_t i = 0;; ++i) {
    state.horizon = state.horizon - state.slope * ray.step;
    const float fraction = static_cast<float>(i) / static_cast<float>(n);
    if (sample(ray, state, at(fraction), 1.0f, true) != state.shadowed) {
      // Refine in fifth steps from the previous coarse sample to two steps beyond this one; the
      // coarse march then resumes three steps on.
      int64_t j0 = 0;
      if (i > 0) {
        state.horizon = state.horizon + state.slope * ray.step;
        j0 = 5 * i - 5;
      }
      const int64_t j1 = std::min(5 * n, 5 * (i + 2));
      const float fine_steps = static_cast<float>(5 * n);
      for (int64_t j = j0; j < j1; ++j) {
        state.horizon = state.horizon - state.slope * ray.step * 0.2;
        state.shadowed = sample(ray, state, at(static_cast<float>(j) / fine_steps), 0.2f, false);
      }
      i += 2;
    }
    if (i >= n) {
      return;
    }
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

int64_t point_shadow_group_count(int64_t workers, int64_t n) {
  return workers > 1 ? std::max<int64_t>(1, std::min(n, workers * point_shadow_groups_per_worker))
                     : 1;
}

std::pair<int64_t, int64_t> point_shadow_group_rays(int64_t g, int64_t groups, int64_t n) {
  return thread_iteration_range(Iteration{g, groups, 0, 1}, n);
}

float point_shadow_exclusive_distance(Shadow_Point light, Shadow_Edge edge, int64_t w, int64_t h,
                                      int64_t g, int64_t groups) {
  const bool left_neighbour = g >= 2;
  const bool right_neighbour = g + 2 < groups;
  if (!left_neighbour && !right_neighbour) {
    return 0.0f;
  }
  constexpr float unbounded = std::numeric_limits<float>::infinity();
  // From a point off the border's line the rays' directions turn one way along the border,
  // through less than a half turn, so the angle between two groups' rays is at least the angle
  // across the group between them. The positions of a far light's clipped rays carry rounding
  // of its coordinates; up to 2^16 pixels away it stays a small fraction of a pixel.
  constexpr float farthest = 65536.0f;
  const bool across = edge == Shadow_Edge::top || edge == Shadow_Edge::bottom;
  const float line = edge == Shadow_Edge::top || edge == Shadow_Edge::left ? 0.0f
                     : across ? static_cast<float>(h - 1)
                              : static_cast<float>(w - 1);
  if (!(std::fabs(light.x) <= farthest && std::fabs(light.y) <= farthest) ||
      (across ? light.y : light.x) == line) {
    return unbounded;
  }
  const int64_t n = point_shadow_ray_count(edge, w, h);
  // Every sample lies within a small fraction of a pixel of its ray's line. One whose distance
  // from another ray's half-line is at least 3 pixels is more than 2 pixels from any sample of
  // it in x or in y, so the two splats' 2 × 2 pixels are apart. A sample at distance r from the
  // light on a ray at angle a from another is r sin a from it (r beyond a quarter turn).
  const auto distance_for = [&](int64_t ray_a, int64_t ray_b) {
    const Shadow_Point a = point_shadow_ray_end(edge, ray_a, w, h);
    const Shadow_Point b = point_shadow_ray_end(edge, ray_b, w, h);
    const double ax = static_cast<double>(a.x) - light.x;
    const double ay = static_cast<double>(a.y) - light.y;
    const double bx = static_cast<double>(b.x) - light.x;
    const double by = static_cast<double>(b.y) - light.y;
    const double lengths = std::sqrt((ax * ax + ay * ay) * (bx * bx + by * by));
    const double sine = ax * bx + ay * by <= 0.0 ? 1.0 : std::fabs(ax * by - ay * bx) / lengths;
    return static_cast<float>(3.0 / sine);
  };
  float distance = 0.0f;
  if (left_neighbour) {
    distance = std::max(distance, distance_for(point_shadow_group_rays(g - 2, groups, n).second - 1,
                                               point_shadow_group_rays(g, groups, n).first));
  }
  if (right_neighbour) {
    distance = std::max(distance, distance_for(point_shadow_group_rays(g, groups, n).second - 1,
                                               point_shadow_group_rays(g + 2, groups, n).first));
  }
  return distance;
}

std::vector<int64_t> point_shadow_launch_order(Shadow_Point light, Shadow_Edge edge, int64_t w,
                                               int64_t h, int64_t groups, int64_t phase) {
  const int64_t n = point_shadow_ray_count(edge, w, h);
  // Coarse steps of ray i inside the image; 0 for none (or a light that is not a number).
  const auto steps = [&](int64_t i) {
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
  for (int64_t g = phase; g < groups; g += 2) {
    const auto [begin, end] = point_shadow_group_rays(g, groups, n);
    const float rays = static_cast<float>(end - begin);
    costs.emplace_back((steps(begin) + steps(begin + (end - begin) / 2) + steps(end - 1)) * rays,
                       g);
  }
  std::stable_sort(costs.begin(), costs.end(),
                   [](const auto& a, const auto& b) { return a.first > b.first; });
  std::vector<int64_t> order;
  order.reserve(costs.size());
  for (const auto& [cost, g] : costs) {
    order.push_back(g);
  }
  return order;
}

void point_shadow_edge_body(const Iteration& iteration, Render_Context context,
                            Point_Shadow_Ray_Layers layers, Point_Shadow_Parameters_In in,
                            Shadow_Edge edge, int64_t groups, const int64_t* order) {
  const int64_t w = in.depth.width;
  const int64_t h = in.depth.height;
  const int64_t n = point_shadow_ray_count(edge, w, h);
  const int64_t g = order[iteration.index];
  const auto [begin, end] = point_shadow_group_rays(g, groups, n);
  const Shadow_Point light{in.light.position_x, in.light.position_y};
  const float exclusive_from = point_shadow_exclusive_distance(light, edge, w, h, g, groups);
  for (int64_t i = begin; i < end; ++i) {
    point_shadow_march_ray(light, point_shadow_ray_end(edge, i, w, h), layers, in.skip_zero_depth,
                           in.light.position_z, in.translucency, exclusive_from);
    context.check_abort();
  }
}

void point_shadow_pass(Render_Context context, Point_Shadow_Parameters_In in, Layer<float> shadow,
                       Layer<float> translucent, Layer<float> weight) {
  const Point_Shadow_Ray_Layers layers{shadow, translucent, weight, in.depth};
  const int64_t workers = context.iteration_count(std::max(in.depth.width, in.depth.height));
  for (const Shadow_Edge edge :
       {Shadow_Edge::top, Shadow_Edge::right, Shadow_Edge::bottom, Shadow_Edge::left}) {
    const int64_t n = point_shadow_ray_count(edge, in.depth.width, in.depth.height);
    const int64_t groups = point_shadow_group_count(workers, n);
    for (int64_t phase = 0; phase < std::min<int64_t>(groups, 2); ++phase) {
      const std::vector<int64_t> order =
          point_shadow_launch_order({in.light.position_x, in.light.position_y}, edge,
                                    in.depth.width, in.depth.height, groups, phase);
      cpu_kernel_launch(static_cast<int64_t>(order.size()), &point_shadow_edge_body, context,
                        layers, in, edge, groups, order.data());
    }
  }

  Kernel_Div_Shadow division;
  division.parameters_in = {shadow, weight, translucent};
  division.execute(context);

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
  for (const Layer<float>& layer : {weight, shadow, translucent}) {
    if (layer.pixels != nullptr) {
      Kernel_Clear<Layer<float>, Implementation_Cpu> clear;
      clear.parameters_in.layer = layer;
      clear.execute(context);
    }
  }
  const auto scope = context.scope_timer("point shadows", w * h * 8);
  point_shadow_pass(context, in, shadow, translucent, weight);
}

}  // namespace brel
