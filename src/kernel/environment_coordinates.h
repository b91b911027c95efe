#pragma once

// Where a pixel looks up the environment: for reflections along the mirrored view ray (bent
// towards the normal as the surface grows dull), for illumination along the normal. "panoramic"
// treats the environment as a sphere around the image, "spherical" maps the normal alone. A row
// of landing points holds, per pixel, the environment position in pixels and the blur of the
// footprint as a share of the environment's size.

#include <cstdint>

#include "base/layer.h"
#include "base/pixel.h"
#include "effect/pipeline_layers.h"

namespace brel {

// The environment position (u, v) in pixels seen from pixel (x, y); g (0 to 1) is the
// glossiness that bends the mirrored ray (0 looks along the normal). Panoramic mapping runs in
// double precision; u and v are clamped to the environment, a position that is not a number
// lands on its last column or row.
template <class T>
void environment_lookup_coordinates(int64_t x, int64_t y, float& u, float& v,
                                    const Environment_Parameter<T>& environment,
                                    const Layer<float>& depth,
                                    const Layer<Vector_3<float>>& normals, float g);

// One row of reflection landing points, one per column of the depth layer (never more than the
// row's `width`): the mirrored view ray with the pixel's glossiness, blurred the more the duller
// the surface.
template <class T>
void init_reflection_coordinates_row(int64_t width, Blur_Coordinates* row, int64_t y,
                                     const Environment_Parameter<T>& environment,
                                     const Layer<float>& depth,
                                     const Layer<Vector_3<float>>& normals);

// One row of illumination landing points: along the normal, blurred by "blur illumination".
template <class T>
void init_illumination_coordinates_row(int64_t width, Blur_Coordinates* row, int64_t y,
                                       const Environment_Parameter<T>& environment,
                                       const Layer<float>& depth,
                                       const Layer<Vector_3<float>>& normals);

// Both rows at once, reflection then illumination, the same bits as the two calls above:
// panoramic rows follow each pixel's view, mirrored ray and position once for the two.
template <class T>
void init_environment_coordinates_rows(int64_t width, Blur_Coordinates* reflection_row,
                                       Blur_Coordinates* illumination_row, int64_t y,
                                       const Environment_Parameter<T>& environment,
                                       const Layer<float>& depth,
                                       const Layer<Vector_3<float>>& normals);

// All four are instantiated for the six host pixel types.

namespace environment_detail {

// The panoramic mapping of pixel (x, y) at depth d, before the clamp: (u, v) from 0 to 1 across
// the environment, or beyond, or not a number. width and height are the depth layer's.
void panoramic(int64_t x, int64_t y, float d, const Vector_3<float>& normal, float perspective,
               float depth_scale, int64_t width, int64_t height, float g, double& u, double& v);

// How many pixels panoramic_run takes at once on this processor: 8 (AVX-512), 4 (AVX2) or 0.
int32_t panoramic_lanes();

// The same for pixels x .. x + n - 1 of row y (depth, normals and glossiness indexed from 0 for
// pixel x) into u[] and v[], `lanes` pixels at a time (0: panoramic_lanes(); never more); returns
// how many leading pixels it did (a multiple of the lanes, 0 without them), the same bits as
// panoramic.
int64_t panoramic_run(int64_t x, int64_t y, int64_t n, const float* depth,
                      const Vector_3<float>* normals, const float* glossiness, float perspective,
                      float depth_scale, int64_t width, int64_t height, double* u, double* v,
                      int32_t lanes = 0);

// panoramic_run for the same n pixels (at most panoramic_pair_run_most) twice: with their
// glossiness into u[] and v[], with glossiness 0 into u0[] and v0[]. Returns the count both did.
constexpr int64_t panoramic_pair_run_most = 64;
int64_t panoramic_pair_run(int64_t x, int64_t y, int64_t n, const float* depth,
                           const Vector_3<float>* normals, const float* glossiness,
                           float perspective, float depth_scale, int64_t width, int64_t height,
                           double* u, double* v, double* u0, double* v0, int32_t lanes = 0);

// A mapping coordinate (0 to 1, beyond, or not a number) as a position on an environment axis
// whose last pixel is `last`: clamped to 0 .. 1 (not a number becomes 1), times `last`, rounded
// to float.
float environment_pixel(double t, double last);

// environment_pixel for t[0 .. n - 1] into out[0 .. n - 1], four at a time in AVX2 where the
// processor has it and `lanes` allows, the same bits.
void environment_pixels(int64_t n, const double* t, double last, float* out, bool lanes = true);

}  // namespace environment_detail

}  // namespace brel
