#pragma once

// Light of the direct and the point light on the surface at one pixel: a diffuse sum (Lambert
// term with a softened terminator, plus light passing through translucent parts) and a specular
// sum (a highlight around the mirrored view ray), both shadowed. Where the normals turn sharply
// between neighbours the pixel is shaded at up to 5 × 5 sub-pixel positions with interpolated
// depth and normal; flat parts cost one sample.

#include <cstdint>

#include "base/parameter.h"
#include "base/pixel.h"
#include "kernel/final_routine_parameters.h"

namespace brel {

// base^exponent in single precision, except that a negative base whose power is not a number
// (a fractional exponent) gives 0: rounding can push 1 - cos slightly below 0, and no such
// value may turn a pixel into NaN.
float shading_power(float base, float exponent);

// shading_power for `count` pairs of bases and exponents, as the row bodies take them, eight at a
// time in vector lanes.
void shading_powers(const float* base, const float* exponent, float* power, int64_t count);

// The unit view ray through pixel (x, y) of a width × height image: straight into the image
// without perspective, fanning out with it (x to the right, y upwards).
Vector_3<float> view_direction(float perspective, int64_t x, int64_t y, int64_t width,
                               int64_t height);

// One light on one normal. N, L and V are unit vectors: the normal, the direction the light
// travels and the view ray. s is the light's size (it softens the terminator and the highlight),
// col its colour with the intensity, t its shadow (0 none, 1 all), g the glossiness, m the
// specular tint amount (above 1 it strengthens the highlight), tau the translucency, u the
// light's secondary shadow and K the translucency colour. Adds into diffuse and specular.
void shade_light(const Vector_3<float>& N, const Vector_3<float>& L, const Vector_3<float>& V,
                 Rgb_Value& diffuse, Rgb_Value& specular, float s, const Rgb_Value& col, float t,
                 float g, float m, float tau, float u, const Rgb_Value& K);

// The point light as seen from a surface point: the unit direction it travels to the point and
// its colour there, weakened by the distance with the falloff and tinted by the attenuation
// colour where it has grown weak.
struct Point_Light_Sample {
  Vector_3<float> direction;
  Rgb_Value color;
};

// For the sample position (qx, qy) in image pixels at depth d; the horizontal distances are
// divided by the input's downsample factors, depth_scale sets the falloff's unit distance.
Point_Light_Sample point_light_sample(const Point_Light& light, float qx, float qy, float d,
                                      float scale_x, float scale_y, float depth_scale);

// Adds both lights at pixel (x, y) into diffuse and specular, which the caller clears first:
// the supersampling divides and the gamma correction raises the whole sums. The direct light's
// colour must already include its intensity.
template <class T>
void shade_lights_pixel(int64_t x, int64_t y, Rgb_Value& diffuse, Rgb_Value& specular,
                        const Final_Routine_Parameters_In<T>& in);

// shade_lights_pixel for pixels x0 .. x0 + n - 1 of row y, their sums cleared first: the same
// bits, eight pixels at a time in vector registers where they take one sample, and eight samples
// of a pixel at a time where it takes more.
template <class T>
void shade_lights_row(int64_t x0, int64_t n, int64_t y, Rgb_Value* diffuse, Rgb_Value* specular,
                      const Final_Routine_Parameters_In<T>& in);

// Sub-pixel samples a side for oversampling 1 to 4 and the bend measure of the neighbourhood
// (the sum of 1 - max(0, Na · Nb) over six pairs of neighbouring normals): 1, 3 or 5.
int64_t light_samples_per_side(int32_t oversampling, float bend);

extern template void shade_lights_pixel<ARGB8>(int64_t, int64_t, Rgb_Value&, Rgb_Value&,
                                               const Final_Routine_Parameters_In<ARGB8>&);
extern template void shade_lights_pixel<ARGB16>(int64_t, int64_t, Rgb_Value&, Rgb_Value&,
                                                const Final_Routine_Parameters_In<ARGB16>&);
extern template void shade_lights_pixel<ARGB32f>(int64_t, int64_t, Rgb_Value&, Rgb_Value&,
                                                 const Final_Routine_Parameters_In<ARGB32f>&);
extern template void shade_lights_pixel<BGRA8>(int64_t, int64_t, Rgb_Value&, Rgb_Value&,
                                               const Final_Routine_Parameters_In<BGRA8>&);
extern template void shade_lights_pixel<BGRA16>(int64_t, int64_t, Rgb_Value&, Rgb_Value&,
                                                const Final_Routine_Parameters_In<BGRA16>&);
extern template void shade_lights_pixel<BGRA32f>(int64_t, int64_t, Rgb_Value&, Rgb_Value&,
                                                 const Final_Routine_Parameters_In<BGRA32f>&);

}  // namespace brel
