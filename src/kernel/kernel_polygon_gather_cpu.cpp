#include "kernel/kernel_polygon_gather_cpu.h"

#include <algorithm>
#include <cstring>

#include "util/target_clones.h"

namespace brel {

namespace {

template <class P>
using Sum_Pixel = typename PolygonGather<Layer<P>, Implementation_Cpu>::Sum_Pixel;

// Alpha over white, as the pyramid weighs a pixel's colour: 8-bit divides by 255 (16-bit by
// 32768, the same as multiplying by 1 / 32768; float alpha stays as it is).
template <class P>
float alpha_weight(float alpha) {
  return alpha / Pixel_Traits<P>::white_value;
}

// 8-bit weights looked up rather than divided: a / 255 for every alpha a, and 1 / (A / 255) for
// every mean A of four alphas (a multiple of 0.25). The same values the divisions give.
struct Byte_Weights {
  Byte_Weights() {
    for (int32_t a = 0; a < 256; ++a) {
      weight[a] = static_cast<float>(a) / 255.0f;
    }
    for (int32_t quarters = 1; quarters <= 1020; ++quarters) {
      inverse[quarters] = 1.0f / (static_cast<float>(quarters) * 0.25f / 255.0f);
    }
  }
  float weight[256];
  float inverse[1021] = {};
};
const Byte_Weights byte_weights;

// A channel of an integer level: value + 0.5, clamped to 0 .. white, truncated.
template <class P>
typename Pixel_Traits<P>::Channel level_channel(float value) {
  using Traits = Pixel_Traits<P>;
  if constexpr (Traits::is_integer) {
    return Traits::to_channel_truncated(std::min(value + 0.5f, Traits::white_value));
  } else {
    return value;
  }
}

}  // namespace

template <class P>
void polygon_gather_block(const P* row0, const P* row1, int64_t c0, int64_t c1, P& pixel,
                          float (&sums)[Pixel_Traits<P>::channel_count]) {
  using Traits = Pixel_Traits<P>;
  const P* const samples[4] = {&row0[c0], &row0[c1], &row1[c0], &row1[c1]};
  if constexpr (!Traits::has_alpha) {
    for (int32_t c = 0; c < Traits::channel_count; ++c) {
      const float mean = (samples[0]->channel[c] + samples[1]->channel[c] + samples[2]->channel[c] +
                          samples[3]->channel[c]) *
                         0.25f;
      pixel.channel[c] = mean;
      sums[c] = mean;
    }
  } else {
    constexpr int32_t a = Traits::alpha;
    constexpr int32_t r = Traits::red;
    constexpr int32_t g = Traits::green;
    constexpr int32_t b = Traits::blue;
    const P& p00 = *samples[0];
    const P& p01 = *samples[1];
    const P& p10 = *samples[2];
    const P& p11 = *samples[3];
    const float a00 = Traits::load(p00, a);
    const float a01 = Traits::load(p01, a);
    const float a10 = Traits::load(p10, a);
    const float a11 = Traits::load(p11, a);
    const float mean_alpha = (a00 + a01 + a10 + a11) * 0.25f;
    float w00, w01, w10, w11;
    if constexpr (sizeof(typename Traits::Channel) == 1) {
      w00 = byte_weights.weight[p00.channel[a]];
      w01 = byte_weights.weight[p01.channel[a]];
      w10 = byte_weights.weight[p10.channel[a]];
      w11 = byte_weights.weight[p11.channel[a]];
    } else {
      w00 = alpha_weight<P>(a00);
      w01 = alpha_weight<P>(a01);
      w10 = alpha_weight<P>(a10);
      w11 = alpha_weight<P>(a11);
    }
    const auto mean = [&](int32_t c) {
      return (w00 * Traits::load(p00, c) + w01 * Traits::load(p01, c) + w10 * Traits::load(p10, c) +
              w11 * Traits::load(p11, c)) *
             0.25f;
    };
    const float mean_red = mean(r);
    const float mean_green = mean(g);
    const float mean_blue = mean(b);
    sums[a] = mean_alpha;
    sums[r] = mean_red;
    sums[g] = mean_green;
    sums[b] = mean_blue;
    pixel.channel[a] = level_channel<P>(mean_alpha);
    if (mean_alpha > 0.0f) {
      float inverse;
      if constexpr (sizeof(typename Traits::Channel) == 1) {
        inverse =
            byte_weights.inverse[p00.channel[a] + p01.channel[a] + p10.channel[a] + p11.channel[a]];
      } else {
        inverse = 1.0f / alpha_weight<P>(mean_alpha);
      }
      pixel.channel[r] = level_channel<P>(mean_red * inverse);
      pixel.channel[g] = level_channel<P>(mean_green * inverse);
      pixel.channel[b] = level_channel<P>(mean_blue * inverse);
    } else {
      pixel.channel[r] = level_channel<P>(mean_red);
      pixel.channel[g] = level_channel<P>(mean_green);
      pixel.channel[b] = level_channel<P>(mean_blue);
    }
  }
}

template <class P>
void polygon_gather_source_values(const P& pixel, float (&values)[Pixel_Traits<P>::channel_count]) {
  using Traits = Pixel_Traits<P>;
  if constexpr (Traits::has_alpha) {
    const float alpha = Traits::load(pixel, Traits::alpha);
    const float weight = alpha_weight<P>(alpha);
    values[Traits::alpha] = alpha;
    for (const int32_t c : {Traits::red, Traits::green, Traits::blue}) {
      values[c] = weight * Traits::load(pixel, c);
    }
  } else {
    for (int32_t c = 0; c < Traits::channel_count; ++c) {
      values[c] = pixel.channel[c];
    }
  }
}

namespace {

#if defined(__SSE2__)
// The 8-bit row bodies work on a whole pixel at once, its four channels in the lanes of one
// register. Per-channel factors make alpha and colour one operation: a pixel's channels are
// multiplied by its alpha weight, except alpha itself by 1; a block's means by the inverse of
// its mean alpha weight, except alpha by 1, and a transparent block's by 1 throughout. x * 1 is
// x, so every lane computes what the plain rule does.
struct Byte_Lane_Factors {
  explicit Byte_Lane_Factors(int32_t alpha) {
    for (int32_t a = 0; a < 256; ++a) {
      for (int32_t c = 0; c < 4; ++c) {
        weight[a][c] = c == alpha ? 1.0f : byte_weights.weight[a];
      }
    }
    for (int32_t quarters = 0; quarters <= 1020; ++quarters) {
      for (int32_t c = 0; c < 4; ++c) {
        inverse[quarters][c] = c == alpha || quarters == 0 ? 1.0f : byte_weights.inverse[quarters];
      }
    }
  }
  alignas(16) float weight[256][4];
  alignas(16) float inverse[1021][4];
};

template <class P>
const Byte_Lane_Factors& byte_lane_factors() {
  static const Byte_Lane_Factors factors(Pixel_Traits<P>::alpha);
  return factors;
}

// The four channels of the 8-bit pixel at `pixel`, as floats; and of the two at `pair`.
inline __m128 byte_pixel_floats(const uint8_t* pixel) {
  int32_t bytes;
  std::memcpy(&bytes, pixel, 4);
  const __m128i zero = _mm_setzero_si128();
  return _mm_cvtepi32_ps(
      _mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(bytes), zero), zero));
}

inline void byte_pair_floats(const uint8_t* pair, __m128& first, __m128& second) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i words =
      _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(pair)), zero);
  first = _mm_cvtepi32_ps(_mm_unpacklo_epi16(words, zero));
  second = _mm_cvtepi32_ps(_mm_unpackhi_epi16(words, zero));
}

// The running sums of a pixel's four channels, in double, stored at `cell`: written as generic
// vectors, so that with AVX2 one conversion and one addition take all four.
using Float_Quad = float __attribute__((vector_size(16)));
using Double_Quad = double __attribute__((vector_size(32)));

inline void add_to_running(Double_Quad& running, __m128 values, double* cell) {
  running += __builtin_convertvector(reinterpret_cast<Float_Quad>(values), Double_Quad);
  std::memcpy(cell, &running, sizeof(running));
}

// Pixels 0 .. count - 1 of a level row whose blocks all have two columns, 8-bit with alpha at
// byte `alpha`; `running` holds the row sums so far and carries them on.
BREL_TARGET_CLONES_AVX2 void downsample_byte_blocks(const uint8_t* row0, const uint8_t* row1,
                                                    uint8_t* out, double* sums, int64_t count,
                                                    int32_t alpha, const Byte_Lane_Factors& f,
                                                    double* running) {
  const __m128 quarter = _mm_set1_ps(0.25f);
  const __m128 half = _mm_set1_ps(0.5f);
  const __m128 white = _mm_set1_ps(255.0f);
  Double_Quad sum;
  std::memcpy(&sum, running, sizeof(sum));
  for (int64_t x = 0; x < count; ++x) {
    const uint8_t* const top = row0 + 8 * x;
    const uint8_t* const bottom = row1 + 8 * x;
    __m128 c00, c01, c10, c11;
    byte_pair_floats(top, c00, c01);
    byte_pair_floats(bottom, c10, c11);
    const __m128 p00 = _mm_mul_ps(c00, _mm_load_ps(f.weight[top[alpha]]));
    const __m128 p01 = _mm_mul_ps(c01, _mm_load_ps(f.weight[top[4 + alpha]]));
    const __m128 p10 = _mm_mul_ps(c10, _mm_load_ps(f.weight[bottom[alpha]]));
    const __m128 p11 = _mm_mul_ps(c11, _mm_load_ps(f.weight[bottom[4 + alpha]]));
    const __m128 mean = _mm_mul_ps(_mm_add_ps(_mm_add_ps(_mm_add_ps(p00, p01), p10), p11), quarter);
    const int32_t quarters = top[alpha] + top[4 + alpha] + bottom[alpha] + bottom[4 + alpha];
    const __m128 straight = _mm_mul_ps(mean, _mm_load_ps(f.inverse[quarters]));
    // Means of channels and weights of 0 and more are not below 0: only white limits them.
    const __m128 level = _mm_min_ps(_mm_add_ps(straight, half), white);
    const __m128i words = _mm_cvttps_epi32(level);
    const __m128i packed = _mm_packus_epi16(_mm_packs_epi32(words, words), words);
    const int32_t pixel = _mm_cvtsi128_si32(packed);
    std::memcpy(out + 4 * x, &pixel, 4);
    add_to_running(sum, mean, sums + 4 * x);
  }
  std::memcpy(running, &sum, sizeof(sum));
}

// Row sums of `count` 8-bit source pixels with alpha at byte `alpha`, from 0.
BREL_TARGET_CLONES_AVX2 void prefix_byte_row(const uint8_t* in, double* sums, int64_t count,
                                             int32_t alpha, const Byte_Lane_Factors& f) {
  Double_Quad sum = {};
  for (int64_t x = 0; x < count; ++x) {
    const __m128 values =
        _mm_mul_ps(byte_pixel_floats(in + 4 * x), _mm_load_ps(f.weight[in[4 * x + alpha]]));
    add_to_running(sum, values, sums + 4 * x);
  }
}
#endif

// 8-bit pixels with alpha take the row bodies above.
template <class P>
constexpr bool byte_rows = Pixel_Traits<P>::has_alpha && sizeof(P) == 4;

}  // namespace

// Row y (the iteration's index) of mip level k and of its row sums, from level k - 1.
template <class P>
void polygon_gather_downsample_row(
    const Iteration& iteration, Render_Context context, const Layer<P>* mip_layers,
    const Layer<typename PolygonGather<Layer<P>, Implementation_Cpu>::Sum_Pixel>* row_sum_layers,
    int64_t k) {
  using Traits = Pixel_Traits<P>;
  constexpr int32_t channels = Traits::channel_count;
  const Layer<P>& above = mip_layers[k - 1];
  const Layer<P>& level = mip_layers[k];
  const int64_t y = iteration.index;
  const int64_t r0 = 2 * y;
  const int64_t r1 = r0 + 1 < above.height ? r0 + 1 : r0;
  const P* const row0 = above.row(r0);
  const P* const row1 = above.row(r1);
  P* const out = level.row(y);
  Sum_Pixel<P>* const out_sums = row_sum_layers[k].row(y);
  double running[channels] = {};
  int64_t x = 0;
#if defined(__SSE2__)
  if constexpr (byte_rows<P>) {
    x = above.width / 2;  // every block but an odd last column's
    downsample_byte_blocks(reinterpret_cast<const uint8_t*>(row0),
                           reinterpret_cast<const uint8_t*>(row1), reinterpret_cast<uint8_t*>(out),
                           &out_sums[0].channel[0], x, Traits::alpha, byte_lane_factors<P>(),
                           running);
  }
#endif
  for (; x < level.width; ++x) {
    const int64_t c0 = 2 * x;
    const int64_t c1 = c0 + 1 < above.width ? c0 + 1 : c0;
    float sums[channels];
    polygon_gather_block<P>(row0, row1, c0, c1, out[x], sums);
    for (int32_t c = 0; c < channels; ++c) {
      running[c] += static_cast<double>(sums[c]);
      out_sums[x].channel[c] = running[c];
    }
  }
  context.check_abort();
}

// Row y (the iteration's index) of row-sum level 0, from the source.
template <class P>
void polygon_gather_prefix_row(
    const Iteration& iteration, Render_Context context, Layer<P> source,
    const Layer<typename PolygonGather<Layer<P>, Implementation_Cpu>::Sum_Pixel>* row_sum_layers) {
  using Traits = Pixel_Traits<P>;
  constexpr int32_t channels = Traits::channel_count;
  const int64_t y = iteration.index;
  const P* const in = source.row(y);
  Sum_Pixel<P>* const out = row_sum_layers[0].row(y);
#if defined(__SSE2__)
  if constexpr (byte_rows<P>) {
    prefix_byte_row(reinterpret_cast<const uint8_t*>(in), &out[0].channel[0], source.width,
                    Traits::alpha, byte_lane_factors<P>());
    context.check_abort();
    return;
  }
#endif
  double running[channels] = {};
  for (int64_t x = 0; x < source.width; ++x) {
    float values[channels];
    polygon_gather_source_values<P>(in[x], values);
    for (int32_t c = 0; c < channels; ++c) {
      running[c] += static_cast<double>(values[c]);
      out[x].channel[c] = running[c];
    }
  }
  context.check_abort();
}

template <class P>
PolygonGather<Layer<P>, Implementation_Cpu>::~PolygonGather() {
  release_layers();
}

template <class P>
void PolygonGather<Layer<P>, Implementation_Cpu>::release_layers() {
  for (int64_t k = max_levels - 1; k >= 0; --k) {
    row_sum_holders[k].reset();
    row_sum_layers[k] = {};
  }
  for (int64_t k = max_levels - 1; k >= 0; --k) {
    mip_holders[k].reset();
    mip_layers[k] = {};
  }
  level_count = 0;
}

template <class P>
void PolygonGather<Layer<P>, Implementation_Cpu>::run(Render_Context context) {
  const auto make = [&](auto pixel, int64_t width, int64_t height) {
    using Pixel = decltype(pixel);
    return std::make_unique<Layer_Holder>(
        make_layer_memory<Pixel>(context, width, height, 0, 0, 0, 1.0f, 1.0f, 1.0f));
  };
  // A layer replaced one at a time left the pool a single block, which went to the next, smaller
  // request; the next row-sum layer then found no block and took fresh memory: a UHD 8-bit build
  // over the same pyramids faulted in about 90 MB of new pages each time and took twice as long.
  // With every earlier layer given back first, each request finds the block it had last time.
  release_layers();
  row_sum_holders[0] = make(Sum_Pixel{}, source.width, source.height);
  mip_layers[0] = source;
  row_sum_layers[0] = layer_view<Sum_Pixel>(*row_sum_holders[0]);
  level_count = 1;
  int64_t w = source.width;
  int64_t h = source.height;
  if (w >= 3 && h >= 3) {
    // Levels are added while the newest is at least 3 pixels each way, so the last one has a
    // side of 1 or 2; all of them exist before the first pass runs.
    while (level_count < max_levels) {
      const int64_t next_w = (w + 1) / 2;
      const int64_t next_h = (h + 1) / 2;
      mip_holders[level_count] = make(P{}, next_w, next_h);
      row_sum_holders[level_count] = make(Sum_Pixel{}, next_w, next_h);
      mip_layers[level_count] = layer_view<P>(*mip_holders[level_count]);
      row_sum_layers[level_count] = layer_view<Sum_Pixel>(*row_sum_holders[level_count]);
      ++level_count;
      if (w < 5 || h < 5) {
        break;
      }
      w = next_w;
      h = next_h;
    }
  }
  for (int64_t k = 1; k < level_count; ++k) {
    cpu_kernel_launch(mip_layers[k].height, &polygon_gather_downsample_row<P>, context,
                      mip_layers.data(), row_sum_layers.data(), k);
  }
  cpu_kernel_launch(source.height, &polygon_gather_prefix_row<P>, context, source,
                    row_sum_layers.data());
}

#define BREL_POLYGON_GATHER_INSTANCES(P)                                                   \
  template class PolygonGather<Layer<P>, Implementation_Cpu>;                              \
  template void polygon_gather_block<P>(const P*, const P*, int64_t, int64_t, P&,          \
                                        float(&)[Pixel_Traits<P>::channel_count]);         \
  template void polygon_gather_source_values<P>(const P&,                                  \
                                                float(&)[Pixel_Traits<P>::channel_count]); \
  template void polygon_gather_downsample_row<P>(                                          \
      const Iteration&, Render_Context, const Layer<P>*,                                   \
      const Layer<PolygonGather<Layer<P>, Implementation_Cpu>::Sum_Pixel>*, int64_t);      \
  template void polygon_gather_prefix_row<P>(                                              \
      const Iteration&, Render_Context, Layer<P>,                                          \
      const Layer<PolygonGather<Layer<P>, Implementation_Cpu>::Sum_Pixel>*);

BREL_POLYGON_GATHER_INSTANCES(RGB32f)
BREL_POLYGON_GATHER_INSTANCES(ARGB32f)
BREL_POLYGON_GATHER_INSTANCES(BGRA32f)
BREL_POLYGON_GATHER_INSTANCES(ARGB16)
BREL_POLYGON_GATHER_INSTANCES(BGRA16)
BREL_POLYGON_GATHER_INSTANCES(ARGB8)
BREL_POLYGON_GATHER_INSTANCES(BGRA8)
#undef BREL_POLYGON_GATHER_INSTANCES

}  // namespace brel
