#include "kernel/kernel_prepare_environment_layer_cpu.h"

#include <algorithm>
#include <cmath>

#include "base/exception.h"
#include "kernel/shading_lanes.h"

namespace brel {

namespace {

// 1 / sqrt(3): the brightness of a colour is its length over sqrt(3).
constexpr float inverse_sqrt_3 = 0.57735026f;

template <class P>
using Parameters =
    typename Kernel_Prepare_Environment_Layer<Layer<P>, Implementation_Cpu>::Parameters_In;

struct Prepared {
  float alpha;
  float red;
  float green;
  float blue;
};

// The steps before the gamma on the white-1 scale: premultiply and bias. `p` is the bias
// exponent.
Prepared shaped(Prepared v, float bias, float p) {
  v.red = v.red * v.alpha;
  v.green = v.green * v.alpha;
  v.blue = v.blue * v.alpha;
  if (bias != 0.0f && bias > -1.0f) {
    // A black pixel has no direction to keep: it goes on to the gamma as it is.
    const float length = std::sqrt(v.red * v.red + v.green * v.green + v.blue * v.blue);
    if (length != 0.0f) {
      const float m = length * inverse_sqrt_3;
      const float factor = (1.0f / length) * (std::pow(m, p) / inverse_sqrt_3);
      v.red = v.red * factor;
      v.green = v.green * factor;
      v.blue = v.blue * factor;
    }
  }
  return v;
}

// One pixel on the white-1 scale: premultiply, bias, gamma.
Prepared prepare(Prepared v, float bias, float p, float gamma) {
  v = shaped(v, bias, p);
  if (bias == -1.0f) {
    const float black = gamma != 1.0f ? std::pow(0.0f, gamma) : 0.0f;
    return {0.0f, black, black, black};
  }
  if (gamma != 1.0f) {
    v.red = std::pow(std::max(0.0f, v.red), gamma);
    v.green = std::pow(std::max(0.0f, v.green), gamma);
    v.blue = std::pow(std::max(0.0f, v.blue), gamma);
  }
  return v;
}

// A host pixel on the white-1 scale, and back: integer types bring colour and alpha to white 1
// and store value x white + 0.5, clamped and truncated, keeping their alpha.
template <class P>
Prepared unit_pixel(const P& pixel) {
  using Traits = Pixel_Traits<P>;
  if constexpr (Traits::is_integer) {
    const float to_unit = Traits::white_reciprocal;
    return {
        Traits::load(pixel, Traits::alpha) * to_unit, Traits::load(pixel, Traits::red) * to_unit,
        Traits::load(pixel, Traits::green) * to_unit, Traits::load(pixel, Traits::blue) * to_unit};
  } else {
    return {pixel.channel[Traits::alpha], pixel.channel[Traits::red], pixel.channel[Traits::green],
            pixel.channel[Traits::blue]};
  }
}

template <class P>
P host_pixel(const P& source, const Prepared& v) {
  using Traits = Pixel_Traits<P>;
  P out;
  if constexpr (Traits::is_integer) {
    const auto store = [](float value) {
      return Traits::to_channel_truncated(
          std::min(value * Traits::white_value + 0.5f, Traits::white_value));
    };
    out.channel[Traits::alpha] = source.channel[Traits::alpha];
    out.channel[Traits::red] = store(v.red);
    out.channel[Traits::green] = store(v.green);
    out.channel[Traits::blue] = store(v.blue);
  } else {
    out.channel[Traits::alpha] = v.alpha;
    out.channel[Traits::red] = v.red;
    out.channel[Traits::green] = v.green;
    out.channel[Traits::blue] = v.blue;
  }
  return out;
}

#if BREL_AVX2_ROWS
// The bias's steps of `shaped` for eight pixels in lanes, the same operations in the same order:
// the power of a length that is not 0 (a positive number, or a NaN) is std::pow's, which
// shading_power8 gives for such bases. The one power a pixel is most of its work where a bias
// is set and no gamma.
__attribute__((target("avx2"))) void bias8(__m256& red, __m256& green, __m256& blue, float p) {
  const __m256 length = _mm256_sqrt_ps(
      _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(red, red), _mm256_mul_ps(green, green)),
                    _mm256_mul_ps(blue, blue)));
  // length != 0, a NaN included.
  const __m256 shaped = _mm256_cmp_ps(length, _mm256_setzero_ps(), _CMP_NEQ_UQ);
  if (_mm256_movemask_ps(shaped) == 0) {
    return;
  }
  const __m256 root = _mm256_set1_ps(inverse_sqrt_3);
  const __m256 power =
      shading_lanes::shading_power8(_mm256_mul_ps(length, root), _mm256_set1_ps(p), shaped);
  const __m256 factor =
      _mm256_mul_ps(_mm256_div_ps(_mm256_set1_ps(1.0f), length), _mm256_div_ps(power, root));
  red = _mm256_blendv_ps(red, _mm256_mul_ps(red, factor), shaped);
  green = _mm256_blendv_ps(green, _mm256_mul_ps(green, factor), shaped);
  blue = _mm256_blendv_ps(blue, _mm256_mul_ps(blue, factor), shaped);
}

// Pixels 0 .. 7 of `source` as the plain rule prepares them, the powers of the bias and the
// gamma eight at a time: they are most of a pixel's work. std::max(0, v) turns a NaN and -0
// into +0 as _mm256_max_ps(v, 0) does, and for bases of at least +0 shading_power is std::pow.
// Not for a bias of -1, which leaves no colour to raise.
template <class P>
__attribute__((target("avx2"))) void prepare8(const P* source, P* target, float bias, float p,
                                              float gamma) {
  alignas(32) float c[4][8];
  for (int32_t l = 0; l < 8; ++l) {
    const Prepared v = unit_pixel(source[l]);
    c[0][l] = v.alpha;
    c[1][l] = v.red;
    c[2][l] = v.green;
    c[3][l] = v.blue;
  }
  const __m256 alpha = _mm256_load_ps(c[0]);
  __m256 red = _mm256_mul_ps(_mm256_load_ps(c[1]), alpha);
  __m256 green = _mm256_mul_ps(_mm256_load_ps(c[2]), alpha);
  __m256 blue = _mm256_mul_ps(_mm256_load_ps(c[3]), alpha);
  if (bias != 0.0f && bias > -1.0f) {
    bias8(red, green, blue, p);
  }
  if (gamma != 1.0f) {
    const __m256 zero = _mm256_setzero_ps();
    shading_lanes::Rgb_8 rgb{_mm256_max_ps(red, zero), _mm256_max_ps(green, zero),
                             _mm256_max_ps(blue, zero)};
    shading_lanes::raise8(rgb, gamma);
    red = rgb.red;
    green = rgb.green;
    blue = rgb.blue;
  }
  _mm256_store_ps(c[1], red);
  _mm256_store_ps(c[2], green);
  _mm256_store_ps(c[3], blue);
  for (int32_t l = 0; l < 8; ++l) {
    target[l] = host_pixel(source[l], {c[0][l], c[1][l], c[2][l], c[3][l]});
  }
}
#endif

template <class P>
void prepare_environment_row(const Iteration& iteration, Render_Context context, Parameters<P> in) {
  const int64_t y = iteration.index;
  const P* const source = in.image.in.row(y);
  P* const target = in.image.out.row(y);
  const float p = environment_bias_exponent(in.bias);
  const int64_t width = in.image.in.width;
  int64_t x = 0;
#if BREL_AVX2_ROWS
  // Lanes wherever a pixel raises a power: under a gamma, or a bias other than -1 and 0.
  const bool powers = in.gamma != 1.0f || (in.bias != 0.0f && in.bias > -1.0f);
  if (powers && in.bias != -1.0f && cpu_has_avx2()) {
    for (; x + 8 <= width; x += 8) {
      prepare8(source + x, target + x, in.bias, p, in.gamma);
    }
  }
#endif
  for (; x < width; ++x) {
    target[x] = prepared_environment_pixel(source[x], in.bias, p, in.gamma);
  }
  context.check_abort();
}

}  // namespace

template <class P>
P prepared_environment_pixel(const P& pixel, float bias, float p, float gamma) {
  return host_pixel(pixel, prepare(unit_pixel(pixel), bias, p, gamma));
}

float environment_bias_exponent(float bias) {
  return static_cast<float>(static_cast<double>(std::log(bias * 0.5f + 0.5f)) /
                            -0.6931471805599453);
}

template <class P>
void Kernel_Prepare_Environment_Layer<Layer<P>, Implementation_Cpu>::run(Render_Context context) {
  const Parameters_In& in = parameters_in;
  if (in.image.in.width != in.image.out.width || in.image.in.height != in.image.out.height) {
    throw_assert("in.image.in.dim() == in.image.out.dim()", "ASSERT()",
                 report::prepare_environment_sizes);
  }
  cpu_kernel_launch(in.image.in.height, &prepare_environment_row<P>, context, in);
}

template <class P>
std::unique_ptr<Layer_Holder> make_prepared_environment_layer(const Render_Context& context,
                                                              const Layer<P>& environment) {
  return std::make_unique<Layer_Holder>(make_layer_memory<P>(
      context, environment.width, environment.height, environment.flag, environment.origin_x,
      environment.origin_y, environment.pixel_aspect_ratio, environment.scale_x,
      environment.scale_y));
}

template <class P>
std::unique_ptr<Layer_Holder> launch_prepared_environment(const Render_Context& context,
                                                          const Layer<P>& environment,
                                                          float reflection_amount, float bias,
                                                          float gamma) {
  if (environment.pixels == nullptr || reflection_amount == 0.0f ||
      (bias == 0.0f && gamma == 1.0f)) {
    return nullptr;
  }
  std::unique_ptr<Layer_Holder> prepared = make_prepared_environment_layer(context, environment);
  Kernel_Prepare_Environment_Layer<Layer<P>, Implementation_Cpu> kernel;
  kernel.parameters_in.image.in = environment;
  kernel.parameters_in.image.out = layer_view<P>(*prepared);
  kernel.parameters_in.bias = bias;
  kernel.parameters_in.gamma = gamma;
  kernel.execute(context);
  return prepared;
}

template class Kernel_Prepare_Environment_Layer<Layer<ARGB32f>, Implementation_Cpu>;
template class Kernel_Prepare_Environment_Layer<Layer<BGRA32f>, Implementation_Cpu>;
template class Kernel_Prepare_Environment_Layer<Layer<ARGB16>, Implementation_Cpu>;
template class Kernel_Prepare_Environment_Layer<Layer<BGRA16>, Implementation_Cpu>;
template class Kernel_Prepare_Environment_Layer<Layer<ARGB8>, Implementation_Cpu>;
template class Kernel_Prepare_Environment_Layer<Layer<BGRA8>, Implementation_Cpu>;
template ARGB32f prepared_environment_pixel<ARGB32f>(const ARGB32f&, float, float, float);
template BGRA32f prepared_environment_pixel<BGRA32f>(const BGRA32f&, float, float, float);
template ARGB16 prepared_environment_pixel<ARGB16>(const ARGB16&, float, float, float);
template BGRA16 prepared_environment_pixel<BGRA16>(const BGRA16&, float, float, float);
template ARGB8 prepared_environment_pixel<ARGB8>(const ARGB8&, float, float, float);
template BGRA8 prepared_environment_pixel<BGRA8>(const BGRA8&, float, float, float);
template std::unique_ptr<Layer_Holder> make_prepared_environment_layer<ARGB32f>(
    const Render_Context&, const Layer<ARGB32f>&);
template std::unique_ptr<Layer_Holder> launch_prepared_environment<ARGB32f>(const Render_Context&,
                                                                            const Layer<ARGB32f>&,
                                                                            float, float, float);
template std::unique_ptr<Layer_Holder> make_prepared_environment_layer<BGRA32f>(
    const Render_Context&, const Layer<BGRA32f>&);
template std::unique_ptr<Layer_Holder> launch_prepared_environment<BGRA32f>(const Render_Context&,
                                                                            const Layer<BGRA32f>&,
                                                                            float, float, float);
template std::unique_ptr<Layer_Holder> make_prepared_environment_layer<ARGB16>(
    const Render_Context&, const Layer<ARGB16>&);
template std::unique_ptr<Layer_Holder> launch_prepared_environment<ARGB16>(const Render_Context&,
                                                                           const Layer<ARGB16>&,
                                                                           float, float, float);
template std::unique_ptr<Layer_Holder> make_prepared_environment_layer<BGRA16>(
    const Render_Context&, const Layer<BGRA16>&);
template std::unique_ptr<Layer_Holder> launch_prepared_environment<BGRA16>(const Render_Context&,
                                                                           const Layer<BGRA16>&,
                                                                           float, float, float);
template std::unique_ptr<Layer_Holder> make_prepared_environment_layer<ARGB8>(const Render_Context&,
                                                                              const Layer<ARGB8>&);
template std::unique_ptr<Layer_Holder> launch_prepared_environment<ARGB8>(const Render_Context&,
                                                                          const Layer<ARGB8>&,
                                                                          float, float, float);
template std::unique_ptr<Layer_Holder> make_prepared_environment_layer<BGRA8>(const Render_Context&,
                                                                              const Layer<BGRA8>&);
template std::unique_ptr<Layer_Holder> launch_prepared_environment<BGRA8>(const Render_Context&,
                                                                          const Layer<BGRA8>&,
                                                                          float, float, float);

}  // namespace brel
