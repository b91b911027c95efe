#pragma once

// The settings of the final shading, shared by the final routine kernel and the per-pixel
// routines it calls (light shading, environment coordinates), and the few reads of host-type
// pixels they all make: a colour on the scale where white is 1, a texture placed by its origin.

#include <cstdint>

#include "base/layer.h"
#include "base/parameter.h"
#include "base/pixel.h"
#include "effect/light.h"
#include "effect/pipeline_layers.h"

namespace brel {

// Everything the final routine reads, for the host pixel type T. A view without pixels stands
// for an absent input; the routines then use that input's neutral value.
template <class T>
struct Final_Routine_Parameters_In {
  Layer<T> source;  // the effect's input; bounds the supersampling neighbourhood
  Layer<T> output;  // holds the surface colour on entry, the shaded frame on return
  Layer<T> background;
  Layer<T> transparency_texture;
  Layer<T> glossiness_texture;
  Layer<T> translucency_texture;
  Layer<T> translucency_color_texture;
  Layer<T> specular_color_texture;
  Layer<RGB32f> refracted_image;  // the background seen through the surface, read at (x, y)
  Layer<float> depth;
  Layer<Vector_3<float>> normals;
  Layer<float> directional_translucency_shadow;
  Layer<float> point_translucency_shadow;
  Layer<float> directional_shadow;
  Layer<float> point_shadow;
  Layer<float> occlusion;
  Environment_Parameter<T> environment;
  Point_Light point_light;
  Direct_Light direct_light;
  int32_t oversampling = 1;    // 1 to 4; 1 shades one sample a pixel
  int32_t alpha_clipping = 0;  // 1 removes pixels without depth
  float alpha_fading = 0.0f;   // the depth below which alpha fades out; 0 does not fade
  float transparency = 0.0f;
  float blur_transparency = 0.0f;
  float colorize = 0.0f;
  Rgb_Value surface_color{1.0f, 1.0f, 1.0f};
  float depth_scale = 0.0f;
  float perspective = 0.0f;
  float translucency = 0.0f;
  float glossiness = 0.0f;
  float specular_tint = 0.0f;
  float discontinuity_threshold = 0.0f;
  float gamma = 1.0f;
  uint8_t highlights_only = 0;
  Rgb_Value translucency_color{1.0f, 1.0f, 1.0f};
};

// A colour with alpha on the scale where white is 1.
struct Shading_Color {
  float r;
  float g;
  float b;
  float a;
};

inline constexpr Shading_Color shading_white{1.0f, 1.0f, 1.0f, 1.0f};
inline constexpr Shading_Color shading_black{0.0f, 0.0f, 0.0f, 0.0f};

// A host pixel on the scale where white is 1: each channel times the reciprocal of the type's
// white (the float nearest 1/255 for 8 bits, 1/32768 for 16 bits).
template <class T>
Shading_Color shading_color(const T& pixel) {
  using Traits = Pixel_Traits<T>;
  constexpr float unit = 1.0f / Traits::white_value;
  return {Traits::load(pixel, Traits::red) * unit, Traits::load(pixel, Traits::green) * unit,
          Traits::load(pixel, Traits::blue) * unit, Traits::load(pixel, Traits::alpha) * unit};
}

// The texture's pixel that lies at image pixel (x, y): a texture is placed by its origin. Where
// it does not reach (and for an absent texture, whose size is 0) the read gives `outside`.
template <class T>
Shading_Color texture_at(const Layer<T>& texture, int64_t x, int64_t y, Shading_Color outside) {
  const uint64_t tx = static_cast<uint64_t>(x - texture.origin_x);
  const uint64_t ty = static_cast<uint64_t>(y - texture.origin_y);
  if (tx >= static_cast<uint64_t>(texture.width) || ty >= static_cast<uint64_t>(texture.height)) {
    return outside;
  }
  return shading_color(texture.row(static_cast<int64_t>(ty))[tx]);
}

// Mean of the colour channels of a straight-alpha pixel, (r + g + b) / (3 a). A coloured pixel
// of alpha 0 gives infinity, which its users clamp; one that is black as well would give 0 / 0
// and counts as 0, so that no NaN spreads from an empty texture pixel into the frame.
inline float texture_mean(const Shading_Color& c) {
  const float mean = (c.r + c.g + c.b) / (3.0f * c.a);
  return mean == mean ? mean : 0.0f;
}

// A value of a float layer at (x, y), or `absent` when the layer has no pixels.
inline float float_at(const Layer<float>& layer, int64_t x, int64_t y, float absent) {
  return layer.pixels != nullptr ? layer.row(y)[x] : absent;
}

}  // namespace brel
