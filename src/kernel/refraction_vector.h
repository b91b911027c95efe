#pragma once

// Bending a ray at the relief surface. A light ray (for the caustics) or a view ray (for the
// refracted background) meets the surface at a pixel, is refracted by the surface normal and
// followed down to a plane that lies the pixel's depth below the surface; where it lands, and
// how long its path is, is what the caustics and refraction passes work with.

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "base/kernel.h"
#include "base/layer.h"
#include "base/pixel.h"

namespace brel {

// The refraction settings of one render, copied into the caustics and refraction kernels.
// T is the host pixel type of the textures.
template <class T, class Implementation>
struct Refraction_Parameter {
  Layer<T> refraction_texture;        // scales the bend per pixel by its luminance
  Layer<T> refraction_depth_texture;  // scales the depth per pixel by its luminance
  Layer<T> glossiness_texture;
  float perspective = 0.0f;  // 0 is an orthographic view
  int32_t gather_mode = 1;   // 1 to 4
  float refraction_index = 1.0f;
  float depth_multiplier = 1.0f;
  int64_t refraction_type = 0;  // "accurate", "normalized", "wicked", "whatever"
  bool invert_refraction = false;
  float blur_scale = 0.0f;  // "blur transparency" in depth units
  bool link_blur_to_glossiness = false;
  float glossiness = 0.0f;
};

// Items of "refraction type", 0-based.
enum Refraction_Type : int64_t {
  refraction_type_accurate = 0,
  refraction_type_normalized = 1,
  refraction_type_wicked = 2,
  refraction_type_whatever = 3,
};

// The pixel of a texture that image pixel (x, y) reads: the texture's (x - origin x,
// y - origin y), or null outside the texture and for an absent one.
template <class T>
const T* texture_pixel(const Layer<T>& texture, int64_t x, int64_t y) {
  const int64_t i = x - texture.origin_x;
  const int64_t j = y - texture.origin_y;
  // Unsigned, so that positions left of or above the texture fall outside too.
  if (static_cast<uint64_t>(i) >= static_cast<uint64_t>(texture.width) ||
      static_cast<uint64_t>(j) >= static_cast<uint64_t>(texture.height)) {
    return nullptr;
  }
  return &texture.row(j)[i];
}

// The mean of a texture pixel's colour over its alpha, (r + g + b) / (3 a), with channels on
// the scale where 1 is white; unclamped. Outside the texture, and for an absent one, the pixel
// counts as opaque white and the luminance is 1. An inside pixel of alpha 0 gives a quotient
// that is infinite or not a number.
template <class T>
float texture_luminance(const Layer<T>& texture, int64_t x, int64_t y) {
  using Traits = Pixel_Traits<T>;
  const T* pixel = texture_pixel(texture, x, y);
  if (pixel == nullptr) {
    return 1.0f;
  }
  const float scale = 1.0f / Traits::white_value;  // exactly 1/255 and 2^-15 in float
  const float r = Traits::load(*pixel, Traits::red) * scale;
  const float g = Traits::load(*pixel, Traits::green) * scale;
  const float b = Traits::load(*pixel, Traits::blue) * scale;
  const float a = Traits::load(*pixel, Traits::alpha) * scale;
  return ((r + b) + g) / (a * 3.0f);
}

// Refracts the ray `direction` at pixel (x, y) and returns where it lands on the plane the
// pixel's depth below the surface, with the signed length of its path: negative when the
// refracted ray points back towards the viewer. `depth` and `normals` are read at (x, y)
// without origin and without a bounds test. Reads only; any number of threads may call it.
//
// The refracted direction is r = (2 - eta)(v + c n) - eta c n with c = -n.v: the part of v
// along the surface is scaled by 2 - eta and the part across it by eta, so eta = 1 leaves v
// unchanged. Non-finite results (an alpha-0 texture pixel, r.z = 0 with "accurate") are
// returned as they come; consumers never index memory with them.
template <class T, class Implementation>
Blur_Coordinates refract_light_coordinates(int64_t x, int64_t y,
                                           const Refraction_Parameter<T, Implementation>& parameter,
                                           const Layer<float>& depth,
                                           const Layer<Vector_3<float>>& normals,
                                           const Vector_3<float>& direction) {
  const float k =
      (parameter.refraction_index - 1.0f) * texture_luminance(parameter.refraction_texture, x, y);
  const double eta = 1.0 + static_cast<double>(k);
  const Vector_3<float>& n = normals.row(y)[x];
  const Vector_3<float>& v = direction;
  const double c = static_cast<double>(((-n.y * v.y) - v.x * n.x) - v.z * n.z);

  const double along = 2.0 - eta;
  const double across = eta * c;
  double rx = along * (static_cast<double>(v.x) + c * static_cast<double>(n.x)) -
              across * static_cast<double>(n.x);
  double ry = along * (static_cast<double>(v.y) + c * static_cast<double>(n.y)) -
              across * static_cast<double>(n.y);
  double rz = along * (static_cast<double>(v.z) + c * static_cast<double>(n.z)) -
              across * static_cast<double>(n.z);
  if (parameter.refraction_type == refraction_type_normalized) {
    const double q = rx * rx + ry * ry + rz * rz;
    if (q > 0.0) {
      const double length = std::sqrt(q);
      rx /= length;
      ry /= length;
      rz /= length;
    }
  }

  double d = static_cast<double>(depth.row(y)[x]);
  // Exactly 1 leaves the depth texture unread; a multiplier that is not a number scales.
  if (parameter.depth_multiplier != 1.0f) {
    d *= static_cast<double>(parameter.depth_multiplier) *
         static_cast<double>(texture_luminance(parameter.refraction_depth_texture, x, y));
  }

  float ox = static_cast<float>(static_cast<double>(depth.scale_x) * (d * -rx));
  float oy = static_cast<float>(static_cast<double>(depth.scale_y) * (d * ry));
  const float z = static_cast<float>(rz);
  // Zero components stay as they are: an unmoved point is never divided by r.z.
  const int64_t type = parameter.refraction_type;
  if (type == refraction_type_accurate) {
    ox = ox != 0.0f ? ox / z : ox;
    oy = oy != 0.0f ? oy / z : oy;
  } else if (type == refraction_type_normalized || type < 0 || type == refraction_type_wicked) {
    ox = ox != 0.0f ? ox * z : ox;
    oy = oy != 0.0f ? oy * z : oy;
  } else {
    ox = ox != 0.0f ? -ox : ox;
    oy = oy != 0.0f ? -oy : oy;
  }
  if (parameter.invert_refraction) {
    ox = -ox;
    oy = -oy;
  }

  const float df = static_cast<float>(d);
  float length = std::sqrt(df * df + (ox * ox + oy * oy));
  if (rz > 0.0) {
    length = -length;
  }
  return {static_cast<float>(x) + ox, static_cast<float>(y) + oy, length};
}

// ---- Runs of pixels ------------------------------------------------------------------------
//
// The caustics and refraction passes refract every pixel of the image. Per pixel the rule above
// reads its textures through bounds tests and branches on the type; the run below first gathers
// what a pixel reads into arrays, then does the arithmetic of the rule for the whole run in one
// loop without branches, which the compiler turns into vector code. Every value is computed by
// the same operations in the same order, so the records are the rule's, bit for bit.

// Pixels of one run; a row is cut into runs of at most this many.
constexpr int64_t refraction_run_pixels = 256;

// What the pixels of a run read, one entry per pixel.
struct Refraction_Run {
  float k[refraction_run_pixels];  // (index - 1) times the refraction texture's luminance
  // The depth multiplier times the depth texture's luminance, in double; exactly 1 where the
  // multiplier is exactly 1, so that the depth stays as it is.
  double depth_factor[refraction_run_pixels];
  // The ray that meets the surface.
  float ray_x[refraction_run_pixels];
  float ray_y[refraction_run_pixels];
  float ray_z[refraction_run_pixels];
  // Working space of refract_run.
  float normal_x[refraction_run_pixels];
  float normal_y[refraction_run_pixels];
  float normal_z[refraction_run_pixels];
  float out_x[refraction_run_pixels];
  float out_y[refraction_run_pixels];
  float out_blur[refraction_run_pixels];
};

// The settings of a render that shape the run's arithmetic.
struct Refraction_Run_Settings {
  int64_t type = refraction_type_accurate;
  bool invert = false;
  float scale_x = 1.0f;  // the depth layer's downsample factors
  float scale_y = 1.0f;
};

// The records of pixels x .. x + n - 1 of row y (n at most refraction_run_pixels, x + n and y
// below 2^31), from the run's entries and the row's normals and depths starting at pixel x.
void refract_run(const Refraction_Run_Settings& settings, Refraction_Run& run,
                 const Vector_3<float>* normals, const float* depth, int64_t x, int64_t y,
                 int64_t n, Blur_Coordinates* out);

// The unit rays from pixels x .. x + n - 1 of row y, at the given depths, towards a point light
// at (light_x, light_y, light_z), negated in x and z as the caustics cast them; the zero
// vector where the light sits on the surface point.
void point_light_rays(float light_x, float light_y, float light_z, float scale_x, float scale_y,
                      const float* depth, int64_t x, int64_t y, int64_t n, Refraction_Run& run);

template <class T, class Implementation>
Refraction_Run_Settings refraction_run_settings(
    const Refraction_Parameter<T, Implementation>& parameter, const Layer<float>& depth) {
  return {parameter.refraction_type, parameter.invert_refraction, depth.scale_x, depth.scale_y};
}

// Fills the texture entries of pixels x .. x + n - 1 of row y, as the rule reads them. A row
// outside a texture takes the product with the luminance 1 once for the whole run.
template <class T, class Implementation>
void fill_refraction_run_textures(const Refraction_Parameter<T, Implementation>& parameter,
                                  int64_t x, int64_t y, int64_t n, Refraction_Run& run) {
  const float index = parameter.refraction_index - 1.0f;
  if (outside_on_row(parameter.refraction_texture, y)) {
    std::fill_n(run.k, n, index * 1.0f);
  } else {
    for (int64_t i = 0; i < n; ++i) {
      run.k[i] = index * texture_luminance(parameter.refraction_texture, x + i, y);
    }
  }
  // A multiplier of exactly 1 leaves the depth texture unread.
  if (parameter.depth_multiplier != 1.0f) {
    const double multiplier = static_cast<double>(parameter.depth_multiplier);
    if (outside_on_row(parameter.refraction_depth_texture, y)) {
      std::fill_n(run.depth_factor, n, multiplier * static_cast<double>(1.0f));
    } else {
      for (int64_t i = 0; i < n; ++i) {
        run.depth_factor[i] = multiplier * static_cast<double>(texture_luminance(
                                               parameter.refraction_depth_texture, x + i, y));
      }
    }
  } else {
    std::fill_n(run.depth_factor, n, 1.0);
  }
}

// The records of pixels 0 .. depth.width - 1 of row y into `out`, run by run: rays(x, n, run)
// sets the rays of pixels x .. x + n - 1.
template <class T, class Implementation, class Rays>
void refract_row(const Refraction_Parameter<T, Implementation>& parameter,
                 const Layer<float>& depth, const Layer<Vector_3<float>>& normals, int64_t y,
                 Rays rays, Blur_Coordinates* out) {
  const Refraction_Run_Settings settings = refraction_run_settings(parameter, depth);
  const float* depth_row = depth.row(y);
  const Vector_3<float>* normal_row = normals.row(y);
  Refraction_Run run;
  for (int64_t x = 0; x < depth.width; x += refraction_run_pixels) {
    const int64_t n = std::min(refraction_run_pixels, depth.width - x);
    fill_refraction_run_textures(parameter, x, y, n, run);
    rays(x, n, run);
    refract_run(settings, run, normal_row + x, depth_row + x, x, y, n, out + x);
  }
}

}  // namespace brel
