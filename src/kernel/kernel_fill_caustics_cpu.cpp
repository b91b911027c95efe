#include "kernel/kernel_fill_caustics_cpu.h"

#include <algorithm>
#include <cmath>

#include "kernel/shading_lanes.h"

namespace brel {

namespace {

// Buffer column c shows background column c - 2 - origin x.
constexpr int64_t margin = 2;

template <class P>
RGB32f normalised(const P& pixel) {
  using Traits = Pixel_Traits<P>;
  const float scale = 1.0f / Traits::white_value;
  return {{Traits::load(pixel, Traits::red) * scale, Traits::load(pixel, Traits::green) * scale,
           Traits::load(pixel, Traits::blue) * scale}};
}

RGB32f raised(RGB32f color, float gamma) {
  for (float& c : color.channel) {
    c = std::pow(std::max(c, 0.0f), gamma);
  }
  return color;
}

#if BREL_AVX2_ROWS
// raised(normalised(pixel), gamma) for eight background pixels, the powers eight at a time: the
// power is most of the work of a row under a gamma. std::max(c, 0) keeps a NaN and -0 as
// _mm256_max_ps(0, c) does, and for such bases shading_power is std::pow.
template <class P>
__attribute__((target("avx2"))) void raised_background8(const P* pixels, float gamma,
                                                        RGB32f* colors) {
  alignas(32) float c[3][8];
  for (int32_t l = 0; l < 8; ++l) {
    const RGB32f color = normalised(pixels[l]);
    for (int32_t k = 0; k < 3; ++k) {
      c[k][l] = color.channel[k];
    }
  }
  const __m256 zero = _mm256_setzero_ps();
  shading_lanes::Rgb_8 v{_mm256_max_ps(zero, _mm256_load_ps(c[0])),
                         _mm256_max_ps(zero, _mm256_load_ps(c[1])),
                         _mm256_max_ps(zero, _mm256_load_ps(c[2]))};
  shading_lanes::raise8(v, gamma);
  _mm256_store_ps(c[0], v.red);
  _mm256_store_ps(c[1], v.green);
  _mm256_store_ps(c[2], v.blue);
  for (int32_t l = 0; l < 8; ++l) {
    colors[l] = RGB32f{{c[0][l], c[1][l], c[2][l]}};
  }
}
#endif

// The background row `row` of the buffer as colours, columns [0, width); integrates the
// differences when asked. The columns that see the background are one run, those left and
// right of it are black.
template <class P>
void fill_row(const Fill_Caustics_Parameters_In<P>& in, int64_t row) {
  const int64_t width = in.caustics_buffer.width;
  RGB32f* out = in.caustics_buffer.row(row);
  const Layer<P>& bg = in.background;
  const int64_t bg_row = row - bg.origin_y;
  int64_t shift = 0;  // background column = column - shift
  int64_t begin = 0;
  int64_t end = 0;
  const P* source = nullptr;
  if (bg.pixels != nullptr && bg_row >= 0 && bg_row < bg.height) {
    shift = margin + bg.origin_x;
    begin = std::clamp<int64_t>(shift, 0, width);
    end = std::clamp<int64_t>(shift + bg.width, begin, width);
    source = bg.row(bg_row);
  }
  const bool power = in.gamma != 1.0f;
  const RGB32f black = power ? raised(RGB32f{{0.0f, 0.0f, 0.0f}}, in.gamma) : RGB32f{{0, 0, 0}};
  float sum[3] = {0.0f, 0.0f, 0.0f};
  const auto put = [&](int64_t x, RGB32f color) {
    if (in.integrate) {
      for (int32_t c = 0; c < 3; ++c) {
        sum[c] += out[x].channel[c];
        color.channel[c] += sum[c];
      }
    }
    out[x] = color;
  };
  int64_t x = 0;
#if BREL_AVX2_ROWS
  if (power && cpu_has_avx2()) {
    for (; x < begin; ++x) {
      put(x, black);
    }
    for (; x + 8 <= end; x += 8) {
      RGB32f colors[8];
      raised_background8(source + (x - shift), in.gamma, colors);
      for (int32_t l = 0; l < 8; ++l) {
        put(x + l, colors[l]);
      }
    }
  }
#endif
  for (; x < width; ++x) {
    RGB32f color = black;
    if (x >= begin && x < end) {
      color = normalised(source[x - shift]);
      if (power) {
        color = raised(color, in.gamma);
      }
    }
    put(x, color);
  }
}

}  // namespace

template <class P>
RGB32f caustics_background(const Fill_Caustics_Parameters_In<P>& in, int64_t column, int64_t row) {
  const Layer<P>& bg = in.background;
  const int64_t i = column - margin - bg.origin_x;
  const int64_t j = row - bg.origin_y;
  RGB32f color{{0.0f, 0.0f, 0.0f}};
  if (bg.pixels != nullptr && i >= 0 && i < bg.width && j >= 0 && j < bg.height) {
    color = normalised(bg.row(j)[i]);
  }
  return in.gamma != 1.0f ? raised(color, in.gamma) : color;
}

template <class P>
void fill_caustics_body(const Iteration& iteration, Render_Context context,
                        Fill_Caustics_Parameters_In<P> in) {
  const auto [begin, end] = thread_iteration_range(iteration, in.caustics_buffer.height);
  for (int64_t y = begin; y < end; ++y) {
    fill_row(in, y);
    context.check_abort();
  }
}

template <class P>
void Kernel_Fill_Caustics<Layer<P>, Implementation_Cpu>::run(Render_Context context) {
  const Parameters_In in = parameters_in;
  const int64_t count = context.iteration_count(in.caustics_buffer.height);
  cpu_kernel_launch(count, &fill_caustics_body<P>, context, in);
}

template class Kernel_Fill_Caustics<Layer<ARGB32f>, Implementation_Cpu>;
template class Kernel_Fill_Caustics<Layer<BGRA32f>, Implementation_Cpu>;
template class Kernel_Fill_Caustics<Layer<ARGB16>, Implementation_Cpu>;
template class Kernel_Fill_Caustics<Layer<BGRA16>, Implementation_Cpu>;
template class Kernel_Fill_Caustics<Layer<ARGB8>, Implementation_Cpu>;
template class Kernel_Fill_Caustics<Layer<BGRA8>, Implementation_Cpu>;

template RGB32f caustics_background<ARGB32f>(const Fill_Caustics_Parameters_In<ARGB32f>&, int64_t,
                                             int64_t);
template RGB32f caustics_background<BGRA32f>(const Fill_Caustics_Parameters_In<BGRA32f>&, int64_t,
                                             int64_t);
template RGB32f caustics_background<ARGB16>(const Fill_Caustics_Parameters_In<ARGB16>&, int64_t,
                                            int64_t);
template RGB32f caustics_background<BGRA16>(const Fill_Caustics_Parameters_In<BGRA16>&, int64_t,
                                            int64_t);
template RGB32f caustics_background<ARGB8>(const Fill_Caustics_Parameters_In<ARGB8>&, int64_t,
                                           int64_t);
template RGB32f caustics_background<BGRA8>(const Fill_Caustics_Parameters_In<BGRA8>&, int64_t,
                                           int64_t);

}  // namespace brel
