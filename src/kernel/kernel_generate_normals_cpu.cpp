#include "kernel/kernel_generate_normals_cpu.h"

#include "util/target_clones.h"

namespace brel {

namespace generate_normals_detail {

// Conversions, square roots and divisions bound this loop: where the processor has AVX2 it
// runs eight pixels an instruction instead of four, with the same results. Integer pixels are
// read as one word each.
template <class P>
BREL_TARGET_CLONES_AVX2 void decode_texture(const P* source, int64_t n, Vector_3<float>* out) {
  using Traits = Pixel_Traits<P>;
  constexpr int64_t block = 64;
  float ex[block];
  float ey[block];
  float ez[block];
  float a[block];
  float nx[block];
  float ny[block];
  float nz[block];
  int32_t overflow[block];
  int32_t overflows = 0;
  for (int64_t x0 = 0; x0 < n; x0 += block) {
    const int64_t m = std::min(block, n - x0);
    if constexpr (Traits::is_integer) {
      for (int64_t i = 0; i < m; ++i) {
        typename Traits::Word word;
        std::memcpy(&word, source + x0 + i, sizeof(word));
        ex[i] = texture_component<P>(Traits::load_word(word, Traits::red));
        ey[i] = texture_component<P>(Traits::load_word(word, Traits::green));
        ez[i] = texture_component<P>(Traits::load_word(word, Traits::blue));
        a[i] = Traits::load_word(word, Traits::alpha);
      }
    } else {
      for (int64_t i = 0; i < m; ++i) {
        const P& pixel = source[x0 + i];
        ex[i] = texture_component<P>(Traits::load(pixel, Traits::red));
        ey[i] = texture_component<P>(Traits::load(pixel, Traits::green));
        ez[i] = texture_component<P>(Traits::load(pixel, Traits::blue));
        a[i] = Traits::load(pixel, Traits::alpha);
      }
    }
    for (int64_t i = 0; i < m; ++i) {
      if constexpr (Traits::is_integer) {
        const bool opaque = a[i] >= Traits::white_value;
        nx[i] = opaque ? ex[i] : 0.0f;
        ny[i] = opaque ? ey[i] : 0.0f;
        nz[i] = opaque ? ez[i] : 1.0f;
      } else {
        const bool opaque = !(a[i] < 1.0f);
        const bool empty = !(a[i] > 0.0f);
        const float px = ex[i] * a[i];
        const float py = ey[i] * a[i];
        const float pz = ez[i] / a[i];
        const float squared = px * px + py * py + pz * pz;
        const float inverse = 1.0f / std::sqrt(squared);
        const bool scaled = !empty && squared > 0.0f;
        nx[i] = opaque ? ex[i] : (scaled ? px * inverse : px);
        ny[i] = opaque ? ey[i] : (scaled ? py * inverse : py);
        nz[i] = opaque ? ez[i] : (scaled ? pz * inverse : 1.0f);
        // Bitwise, not short-circuit: the loop then runs as vector code.
        const bool partial = !opaque & !empty;
        overflow[i] = static_cast<int32_t>(!within_float_range(nx[i])) |
                      static_cast<int32_t>(!within_float_range(ny[i])) |
                      static_cast<int32_t>(!within_float_range(nz[i])) |
                      static_cast<int32_t>(partial & !within_float_range(squared));
        overflows += overflow[i];
      }
    }
    for (int64_t i = 0; i < m; ++i) {
      out[x0 + i] = Vector_3<float>{nx[i], ny[i], nz[i]};
    }
    if constexpr (!Traits::is_integer) {
      if (overflows != 0) {
        for (int64_t i = 0; i < m; ++i) {
          if (overflow[i] != 0) {
            out[x0 + i] = normal_from_texture(source[x0 + i]);
          }
        }
        overflows = 0;
      }
    }
  }
}

template void decode_texture(const ARGB32f*, int64_t, Vector_3<float>*);
template void decode_texture(const BGRA32f*, int64_t, Vector_3<float>*);
template void decode_texture(const ARGB16*, int64_t, Vector_3<float>*);
template void decode_texture(const BGRA16*, int64_t, Vector_3<float>*);
template void decode_texture(const ARGB8*, int64_t, Vector_3<float>*);
template void decode_texture(const BGRA8*, int64_t, Vector_3<float>*);

// Square roots and divisions bound this loop: where the processor has AVX2 it runs eight pixels
// an instruction instead of four, with the same results.
BREL_TARGET_CLONES_AVX2 void depth_row(const Layer<float>& depth, int64_t y,
                                       bool discontinuity_detection, const Normal_Slope_Settings& s,
                                       Vector_3<float>* out) {
  const int64_t w = depth.width;
  const int64_t h = depth.height;
  if (y == 0) {
    for (int64_t x = 0; x < w; ++x) {
      out[x] = normal_from_depth(depth, x, y, discontinuity_detection, s);
    }
    return;
  }
  const float* row = depth.row(y);
  const float* up = depth.row(y - 1);
  // Rows where discontinuities are looked at; in them only columns 2 .. w - 3.
  const bool merging = discontinuity_detection && y >= 2 && y < h - 2;
  // Inside the row the differences need no edge rule. A block of normals is computed into one
  // array per component and then spread over the pixels; alongside, each pixel notes whether a
  // difference beyond the threshold starts a merge, and only such pixels are computed again
  // with the full rule.
  constexpr int64_t block = 64;
  float nx[block];
  float ny[block];
  float nz[block];
  int32_t merge[block];
  const float threshold = s.threshold;
  for (int64_t x0 = 0; x0 + 1 < w; x0 += block) {
    const int64_t n = std::min(block, w - 1 - x0);
    int32_t overflows = 0;
    for (int64_t i = 0; i < n; ++i) {
      const int64_t x = x0 + i;
      const float dx = row[x] - row[x + 1];
      const float dy = row[x] - up[x];
      bool overflow = false;
      const Vector_3<float> sloped = normal_from_slopes_in(dx, dy, s, overflow);
      const bool flat = dx == 0.0f && dy == 0.0f;
      nx[i] = flat ? dx : sloped.x;
      ny[i] = flat ? dy : sloped.y;
      nz[i] = flat ? 1.0f : sloped.z;
      // The merge flags double as overflow flags until the merges are looked at.
      merge[i] = static_cast<int32_t>(overflow & !flat);
      overflows += merge[i];
    }
    for (int64_t i = 0; i < n; ++i) {
      out[x0 + i] = Vector_3<float>{nx[i], ny[i], nz[i]};
    }
    if (overflows != 0) {
      for (int64_t i = 0; i < n; ++i) {
        if (merge[i] != 0) {
          out[x0 + i] = normal_from_depth(depth, x0 + i, y, discontinuity_detection, s);
        }
      }
    }
    if (!merging) {
      continue;
    }
    int32_t merges = 0;
    for (int64_t i = 0; i < n; ++i) {
      const int64_t x = x0 + i;
      const float dx = row[x] - row[x + 1];
      const float dy = row[x] - up[x];
      // Bitwise, not short-circuit: the loop then runs as vector code.
      const int32_t sloped = static_cast<int32_t>(dx != 0.0f) | static_cast<int32_t>(dy != 0.0f);
      const int32_t beyond = static_cast<int32_t>(std::fabs(dx) > threshold) |
                             static_cast<int32_t>(std::fabs(dy) > threshold);
      merge[i] = sloped & beyond;
      merges += merge[i];
    }
    if (merges == 0) {
      continue;
    }
    for (int64_t i = 0; i < n; ++i) {
      const int64_t x = x0 + i;
      if (merge[i] != 0 && x >= 2 && x < w - 2) {
        out[x] = normal_from_depth(depth, x, y, true, s);
      }
    }
  }
  if (w > 0) {
    out[w - 1] = normal_from_depth(depth, w - 1, y, discontinuity_detection, s);
  }
}

}  // namespace generate_normals_detail

template class Kernel_Generate_Normals<Layer<ARGB32f>, Implementation_Cpu>;
template class Kernel_Generate_Normals<Layer<BGRA32f>, Implementation_Cpu>;
template class Kernel_Generate_Normals<Layer<ARGB16>, Implementation_Cpu>;
template class Kernel_Generate_Normals<Layer<BGRA16>, Implementation_Cpu>;
template class Kernel_Generate_Normals<Layer<ARGB8>, Implementation_Cpu>;
template class Kernel_Generate_Normals<Layer<BGRA8>, Implementation_Cpu>;

}  // namespace brel
