#include "demo_scene.h"

#include "float_rounding.h"

#include <algorithm>
#include <cmath>

namespace lumbrix {

namespace {

constexpr float pi = 3.14159265f;

float smoothstep(float edge0, float edge1, float x) {
  const float t = std::clamp((x - edge0) / (edge1 - edge0), 0.0f, 1.0f);
  return t * t * (3.0f - 2.0f * t);
}

// Height of the relief at (u, v), both in units of the frame height, the frame's centre at the
// origin. Smooth shapes (a dome, a ring, ripples) beside sharp ones (a plateau, a pyramid).
float relief(float u, float v, float aspect) {
  float height = 0.12f + 0.02f * std::sin(u * 18.0f) * std::sin(v * 14.0f);

  // A dome: smooth everywhere but at its rim.
  const float du = u + 0.3f * aspect, dv = v + 0.02f;
  const float dome_r = 0.27f;
  const float d2 = du * du + dv * dv;
  if (d2 < dome_r * dome_r) {
    height = std::max(height, 0.12f + 0.55f * std::sqrt(1.0f - d2 / (dome_r * dome_r)));
  }

  // A flat plateau with vertical walls.
  if (std::abs(u - 0.05f * aspect) < 0.16f && std::abs(v + 0.22f) < 0.12f) {
    height = std::max(height, 0.5f);
  }

  // A pyramid: sharp ridges and apex.
  const float pu = std::abs(u - 0.3f * aspect), pv = std::abs(v - 0.18f);
  height = std::max(height, 0.75f - 2.4f * std::max(pu, pv));

  // A ring with a rounded cross-section.
  const float ru = u - 0.02f * aspect, rv = v - 0.24f;
  const float ring = std::abs(std::sqrt(ru * ru + rv * rv) - 0.12f);
  if (ring < 0.045f) {
    height = std::max(height, 0.2f + 0.25f * std::cos(ring / 0.045f * pi * 0.5f));
  }
  return std::clamp(height, 0.0f, 1.0f);
}

void set(float* p, float r, float g, float b, float a = 1.0f) {
  p[0] = r;
  p[1] = g;
  p[2] = b;
  p[3] = a;
}

}  // namespace

void demo_row(Demo_Layer layer, int64_t width, int64_t height, int64_t y, float* rgba) {
  const float aspect = static_cast<float>(width) / static_cast<float>(height);
  const float unit = 1.0f / static_cast<float>(height);

  for (int64_t x = 0; x < width; ++x) {
    const float u = (static_cast<float>(x) + 0.5f) * unit - 0.5f * aspect;
    const float v = (static_cast<float>(y) + 0.5f) * unit - 0.5f;
    float* p = rgba + x * 4;

    switch (layer) {
      case Demo_Layer::depth_pass: {
        const float depth = relief(u, v, aspect);
        set(p, depth, depth, depth);
        break;
      }
      case Demo_Layer::surface: {
        // Warm tiles with a darker grout, the tile hue drifting across the frame.
        const float tu = u * 10.0f, tv = v * 10.0f;
        const bool odd =
            (static_cast<int64_t>(std::floor(tu)) + static_cast<int64_t>(std::floor(tv))) & 1;
        const float grout =
            smoothstep(0.0f, 0.06f, std::min(tu - std::floor(tu), tv - std::floor(tv)));
        const float hue = 0.5f + 0.5f * std::sin(u * 2.0f + 1.0f);
        const float tile = (odd ? 0.85f : 0.7f) * (0.35f + 0.65f * grout);
        set(p, tile * (0.75f + 0.25f * hue), tile * 0.6f, tile * (0.45f - 0.2f * hue));
        break;
      }
      case Demo_Layer::environment: {
        // Sky above a horizon, ground below, and a bright sun.
        const float elevation =
            0.5f - static_cast<float>(y) / static_cast<float>(height - 1 > 0 ? height - 1 : 1);
        float r, g, b;
        if (elevation >= 0.0f) {
          const float t = std::min(1.0f, elevation * 2.0f);
          r = 0.75f - 0.55f * t;
          g = 0.82f - 0.45f * t;
          b = 0.95f - 0.15f * t;
        } else {
          const float t = std::min(1.0f, -elevation * 2.0f);
          r = 0.35f - 0.15f * t;
          g = 0.3f - 0.12f * t;
          b = 0.25f - 0.1f * t;
        }
        const float su = u - 0.25f * aspect, sv = v + 0.3f;
        const float sun = std::exp(-(su * su + sv * sv) / 0.004f);
        set(p, r + 3.0f * sun, g + 2.8f * sun, b + 2.2f * sun);
        break;
      }
      case Demo_Layer::background: {
        // A fine grid on a diagonal gradient: refraction bends its lines visibly.
        const float gu = std::abs(fraction_of(u * 24.0f + 100.0f) - 0.5f);
        const float gv = std::abs(fraction_of(v * 24.0f + 100.0f) - 0.5f);
        const float line = 1.0f - smoothstep(0.38f, 0.46f, std::max(gu, gv));
        const float diagonal = 0.5f + 0.5f * (u / aspect + v);
        set(p, 0.15f + 0.6f * diagonal - 0.1f * line, 0.35f + 0.4f * line,
            0.75f - 0.5f * diagonal + 0.2f * line);
        break;
      }
    }
  }
}

const std::vector<std::pair<std::string, std::string>>& demo_settings() {
  static const std::vector<std::pair<std::string, std::string>> settings = {
      {"render mode", "all"},
      {"depth factor", "40"},
      {"pre blur iterations", "2"},
      {"discontinuity detection", "on"},
      {"direct light/light intensity", "0.7"},
      {"point light/light intensity", "0.5"},
      {"glossiness", "0.4"},
      {"reflection amount", "0.2"},
      {"illumination amount", "0.2"},
      {"surface tint amount", "0.8"},
      {"transparency", "0.35"},
      {"refraction", "1.3"},
      {"caustix", "0.6"},
  };
  return settings;
}

}  // namespace lumbrix
