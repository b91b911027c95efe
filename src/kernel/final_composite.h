#pragma once

// The last steps of a shaded pixel: the lit surface laid over the background seen through it,
// the highlights on top, the alpha of clipping and fading, and the store into the host pixel.

#include <algorithm>
#include <cstdint>
#include <limits>

#include "base/parameter.h"
#include "base/pixel.h"
#include "kernel/final_routine_parameters.h"

namespace brel {

// out = (1 - t) D S + P + t B ((1 - k) + k S), channel by channel: the surface S lit by the
// diffuse sum D covers the background B by 1 - t, the background is tinted towards the surface
// by the colorize amount k, and the specular sum P lies on top.
inline Rgb_Value composite_color(const Rgb_Value& D, const Rgb_Value& S, const Rgb_Value& P,
                                 float t, const Rgb_Value& B, float k) {
  const auto channel = [&](float d, float s, float p, float b) {
    return (1.0f - t) * d * s + p + t * b * ((1.0f - k) + k * s);
  };
  return {channel(D.red, S.red, P.red, B.red), channel(D.green, S.green, P.green, B.green),
          channel(D.blue, S.blue, P.blue, B.blue)};
}

// Alpha fading: with a fading distance f other than 0, a pixel nearer than f (depth d below f)
// fades out in proportion to its depth.
inline float faded_alpha(float a, float d, float f) {
  if (f == 0.0f) {
    return a;
  }
  return f >= d ? a * (d / f) : a;
}

namespace final_store {

// 0 to 1; not a number gives 0.
inline float unit(float v) {
  return v > 0.0f ? (v < 1.0f ? v : 1.0f) : 0.0f;
}

// 0 up to the largest float; not a number gives 0. Finite pixels and settings can still drive a
// sum past the float range (light through a surface squares a term of a normal texture's
// length), and an infinity is no colour a host can composite.
inline float non_negative(float v) {
  return v > 0.0f ? std::min(v, std::numeric_limits<float>::max()) : 0.0f;
}

// Finite values as they are, infinite ones the largest float of their sign; not a number gives
// 0. For the highlights, which keep their sign: a colour without alpha in a glossiness texture has
// an infinite mean, and no glossiness times it is not a number.
inline float finite(float v) {
  constexpr float largest = std::numeric_limits<float>::max();
  return v == v ? std::clamp(v, -largest, largest) : 0.0f;
}

}  // namespace final_store

// A shaded pixel into the host type: float channels keep values above white (negative ones and
// NaN become 0, infinite ones the largest float); integer channels take the colour and alpha
// clamped to 0..1 times white, truncated (0.999 in 8 bits is 254).
template <class T>
void store_shaded_pixel(T& pixel, const Rgb_Value& color, float alpha) {
  using Traits = Pixel_Traits<T>;
  if constexpr (Traits::is_integer) {
    const auto put = [&](int32_t position, float v) {
      Traits::store_truncated(pixel, position, final_store::unit(v) * Traits::white_value);
    };
    put(Traits::alpha, alpha);
    put(Traits::red, color.red);
    put(Traits::green, color.green);
    put(Traits::blue, color.blue);
  } else {
    pixel.channel[Traits::alpha] = final_store::non_negative(alpha);
    pixel.channel[Traits::red] = final_store::non_negative(color.red);
    pixel.channel[Traits::green] = final_store::non_negative(color.green);
    pixel.channel[Traits::blue] = final_store::non_negative(color.blue);
  }
}

// "highlights only": the specular sum on opaque alpha. Float channels take it as it is where it
// is finite (NaN gives 0, an infinity the largest float of its sign).
template <class T>
void store_highlight_pixel(T& pixel, const Rgb_Value& specular) {
  using Traits = Pixel_Traits<T>;
  if constexpr (Traits::is_integer) {
    store_shaded_pixel(pixel, specular, 1.0f);
  } else {
    pixel.channel[Traits::alpha] = 1.0f;
    pixel.channel[Traits::red] = final_store::finite(specular.red);
    pixel.channel[Traits::green] = final_store::finite(specular.green);
    pixel.channel[Traits::blue] = final_store::finite(specular.blue);
  }
}

// The environment's part of pixel (x, y), its colours gathered beforehand: the illumination
// colour (times the gathered `illuminated` colour where `illuminate`) by the illumination amount
// and the occlusion into `diffuse`; where `reflect`, the `reflected` colour (raised by the
// environment's gamma) weighted by the glossiness above 1, the occlusion, the reflection amount
// and its texture into `specular`.
template <class T>
void add_environment_colors(int64_t x, int64_t y, Rgb_Value& diffuse, Rgb_Value& specular,
                            const Rgb_Value& illuminated, const Rgb_Value& reflected,
                            bool illuminate, bool reflect,
                            const Environment_Parameter<T>& environment,
                            const Layer<float>& occlusion);

// What the lights and the environment brought to a run of pixels of a row; element i belongs to
// the run's pixel i. The environment's colours are read only where they are used: where the
// pixel is not clipped, and `illuminated` with illumination, `reflected` with reflections.
struct Lit_Run {
  const Rgb_Value* diffuse;      // both lights' diffuse sum
  const Rgb_Value* specular;     // both lights' specular sum
  const Rgb_Value* illuminated;  // the environment gathered for the illumination
  const Rgb_Value* reflected;    // the environment gathered for the reflection
  bool illuminate = false;
  bool reflect = false;
};

// The last steps of output pixel (x, y), run element i: the environment's light, the specular
// tint, the surface over the background by the transparency, clipping and fading, and the store
// over the surface colour the output holds. The direct light plays no part here.
template <class T>
void composite_pixel(int64_t x, int64_t y, int64_t i, const Final_Routine_Parameters_In<T>& in,
                     const Lit_Run& run);

// composite_pixel for pixels x0 .. x0 + n - 1 of row y (run elements 0 .. n - 1): the same bits,
// eight pixels at a time in vector lanes where the settings and the pixels allow.
template <class T>
void composite_run(int64_t x0, int64_t n, int64_t y, const Final_Routine_Parameters_In<T>& in,
                   const Lit_Run& run);

}  // namespace brel
