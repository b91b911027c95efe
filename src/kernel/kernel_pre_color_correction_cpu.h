#pragma once

// The first stage of every render. From the input image it makes the depth layer (one value per
// pixel, from a colour-corrected channel, inside a 3-pixel border that every later stage may
// read without bounds checks) and writes the surface colour into the output image.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "base/kernel.h"
#include "base/layer.h"
#include "base/layer_holder.h"
#include "base/parameter.h"
#include "base/pixel.h"

namespace brel {

// Depth channel choices, in the order of the "depth channel" popup.
enum Depth_Channel : int64_t {
  Depth_Channel_Luminance = 0,
  Depth_Channel_Red = 1,
  Depth_Channel_Green = 2,
  Depth_Channel_Blue = 3,
  Depth_Channel_Alpha = 4,
};

// The correction applied to the input colour before its depth is taken, and the surface colour
// settings; the same for every pixel type.
struct Pre_Color_Correction_Settings {
  int64_t depth_channel = Depth_Channel_Luminance;
  float depth_scale = 0.0f;
  float saturation = 1.0f;
  float depth_bias = 0.0f;
  float depth_gain = 0.0f;
  float back_level = 0.0f;
  float front_level = 1.0f;
  float surface_color[3] = {1.0f, 1.0f, 1.0f};
  float surface_tint_amount = 0.0f;
  float color_mix = 0.0f;
  bool additive_mix = false;
};

template <class L, class Implementation>
class Kernel_Pre_Color_Correction;

template <class P>
class Kernel_Pre_Color_Correction<Layer<P>, Implementation_Cpu>
    : public Kernel_Implementation<Implementation_Cpu> {
 public:
  struct Parameters_In {
    Layer<P> input;
    Layer<P> output;  // at least as large as the input; written at the input's pixel indices
    Layer<P> surface_color_texture;  // empty when no layer tints the surface colour
    // 0 luminance, 1 red, 2 green, 3 blue, 4 alpha; any other value gives depth 0.
    int64_t depth_channel = Depth_Channel_Luminance;
    float depth_scale = 0.0f;  // multiplier of the depth value
    float saturation = 1.0f;   // 1 leaves the colour
    float depth_bias = 0.0f;   // exponent control of the bias curve; 0 leaves the brightness
    float depth_gain = 0.0f;   // control of the gain curve; 0 leaves the brightness
    float back_level = 0.0f;   // brightness mapped to 0
    float front_level = 1.0f;  // brightness mapped to 1
    Rgb_Value surface_color{1.0f, 1.0f, 1.0f};
    float surface_tint_amount = 0.0f;  // 0: the texture does not tint, 1: it tints fully
    float color_mix = 0.0f;            // share of the corrected input colour in the surface colour
    bool additive_mix = false;         // add the corrected colour instead of multiplying by it
  };

  Parameters_In parameters_in;
  // Owner of the bordered depth layer; the pipeline takes it over after execute.
  std::unique_ptr<Layer_Holder> depth_holder;
  Layer<float> depth;              // the w × h depth values, origin of the input
  Layer<float> depth_with_border;  // the whole (w + 6) × (h + 6) allocation, origin 0

  std::string name() const override { return "pre color correction"; }
  int64_t workload() const override;
  void run(Render_Context context) override;
};

// The settings out of a kernel's parameters.
template <class Parameters>
Pre_Color_Correction_Settings pre_color_correction_settings(const Parameters& in) {
  Pre_Color_Correction_Settings s;
  s.depth_channel = in.depth_channel;
  s.depth_scale = in.depth_scale;
  s.saturation = in.saturation;
  s.depth_bias = in.depth_bias;
  s.depth_gain = in.depth_gain;
  s.back_level = in.back_level;
  s.front_level = in.front_level;
  s.surface_color[0] = in.surface_color.red;
  s.surface_color[1] = in.surface_color.green;
  s.surface_color[2] = in.surface_color.blue;
  s.surface_tint_amount = in.surface_tint_amount;
  s.color_mix = in.color_mix;
  s.additive_mix = in.additive_mix;
  return s;
}

// One pixel's results in float, before the conversion to the output's channel type: the depth
// value and the surface colour.
struct Pre_Color_Correction_Pixel {
  float depth;
  float surface[3];
};

// The stage for one pixel, step by step with every branch where it is decided; c is the input
// colour and t the texture colour, both in units of white. The row body computes the same over
// blocks of pixels with its decisions hoisted; tests compare both.
Pre_Color_Correction_Pixel pre_color_correction_pixel_reference(
    const Pre_Color_Correction_Settings& s, const float c[3], float alpha, const float t[3]);

namespace pre_color_correction_detail {

// Pixels per block: the row body runs each step over a block before the next, so the decisions
// fixed for the render are taken once per block and the loops stay free of them.
inline constexpr int64_t block = 64;

struct Block {
  float r[block];
  float g[block];
  float b[block];
  float a[block];
  float tint_r[block];  // the texture colour, then the surface colour
  float tint_g[block];
  float tint_b[block];
};

// Steps after loading: the correction and the depth value of n pixels, and their surface colour
// when `surface` is set.
void process_block(const Pre_Color_Correction_Settings& s, Block& block, int64_t n, float* depth,
                   bool surface);

// Integer pixels read and written as one word each, in loops that run as vector code: n pixels
// into the block's colour and alpha in units of white; and out of it, the alpha and the surface
// colour converted to channels, or the alpha with the channels `rgb` of a constant surface.
template <class P>
void load_integer_block(const P* input, int64_t n, Block& values);
template <class P>
void store_integer_block(const Block& values, int64_t n, P* output);
template <class P>
void store_integer_block_constant(const Block& values, int64_t n,
                                  typename Pixel_Traits<P>::Word rgb, P* output);

// 8-bit rows with neutral settings, the depth from the luminance and a constant surface, where
// the processor has AVX2 and fused multiply-add: eight pixels at a time straight from their
// input words to their depth values and output words, in one pass with no block arrays. Returns
// how many of the n pixels it wrote (a multiple of 8; 0 on other processors and settings); the
// block steps write the rest.
template <class P>
int64_t one_pass_row(const Pre_Color_Correction_Settings& s, bool constant, const P* input,
                     int64_t n, typename Pixel_Traits<P>::Word rgb, float* depth, P* output);

// The same for float pixels, whose channels are already in units of white: n pixels into the
// block, and out of it with the surface colour or with the constant surface `r`, `g`, `b`.
template <class P>
void load_float_block(const P* input, int64_t n, Block& values);
template <class P>
void store_float_block(const Block& values, int64_t n, P* output);
template <class P>
void store_float_block_constant(const Block& values, int64_t n, float r, float g, float b,
                                P* output);

// Without a texture and without colour mix every pixel has the same surface colour: the row body
// then computes it once, by the same steps as for each pixel with a white texture sample.
bool constant_surface(const Pre_Color_Correction_Settings& s, bool texture);
void constant_surface_color(const Pre_Color_Correction_Settings& s, float color[3]);

// An input channel value in units of white: integer inputs divide by white (for 16 bits the
// same as multiplying by 1/32768, for float a no-op).
template <class P>
float input_value(float value) {
  return value / Pixel_Traits<P>::white_value;
}

template <class P>
float input_channel(const P& pixel, int32_t position) {
  return input_value<P>(Pixel_Traits<P>::load(pixel, position));
}

// Texture channels in units of white: multiplied by the float nearest 1 / white (for 8 bits
// not quite a division by 255).
template <class P>
float texture_channel(const P& pixel, int32_t position) {
  using Traits = Pixel_Traits<P>;
  return Traits::load(pixel, position) * Traits::white_reciprocal;
}

// Fills the outermost ring of the bordered layer with 0 and the two rings inside it with the
// nearest image value; an empty image leaves nothing to repeat, so everything is 0.
void fill_border(const Layer<float>& depth_with_border);

}  // namespace pre_color_correction_detail

// Rows per iteration, handed out as workers come free, so that one worker that loses its
// processor for a moment does not hold up the stage as it did with one band per worker: on 8
// threads of a shared machine the UHD float stage went from 98 to 110-126 % of memcpy.
inline constexpr int64_t pre_color_correction_band_rows = 8;

template <class P>
void pre_color_correction_rows(
    const Iteration& iteration, Render_Context context,
    typename Kernel_Pre_Color_Correction<Layer<P>, Implementation_Cpu>::Parameters_In in,
    Layer<float> depth) {
  using Traits = Pixel_Traits<P>;
  using namespace pre_color_correction_detail;
  const Pre_Color_Correction_Settings settings = pre_color_correction_settings(in);
  const auto [begin, end] =
      grain_iteration_range(iteration, in.input.height, pre_color_correction_band_rows);
  const int64_t w = in.input.width;
  const Layer<P>& texture = in.surface_color_texture;
  const float white = Traits::white_value;
  Block values;
  const bool constant = constant_surface(settings, texture.pixels != nullptr);
  // The constant surface in units of white, and for integer pixels its channels as a word.
  float constant_color[3] = {};
  typename Traits::Word constant_rgb = 0;
  if (constant) {
    constant_surface_color(settings, constant_color);
    if constexpr (Traits::is_integer) {
      constant_rgb = Traits::to_word_truncated(constant_color[0] * white, Traits::red) |
                     Traits::to_word_truncated(constant_color[1] * white, Traits::green) |
                     Traits::to_word_truncated(constant_color[2] * white, Traits::blue);
    }
  }
  for (int64_t y = begin; y < end; ++y) {
    const P* input = in.input.row(y);
    P* output = in.output.row(y);
    float* depth_row = depth.row(y);
    // Columns [texture_begin, texture_end) lie inside the texture; the rest use white.
    const int64_t ty = y - texture.origin_y;
    int64_t texture_begin = 0;
    int64_t texture_end = 0;
    const P* texture_row = nullptr;
    if (texture.pixels != nullptr && ty >= 0 && ty < texture.height) {
      texture_begin = std::clamp<int64_t>(texture.origin_x, 0, w);
      texture_end = std::clamp<int64_t>(texture.origin_x + texture.width, texture_begin, w);
      texture_row = texture.row(ty);
    }
    int64_t done = 0;
    if constexpr (Traits::is_integer && sizeof(typename Traits::Channel) == 1) {
      done = one_pass_row(settings, constant, input, w, constant_rgb, depth_row, output);
    }
    for (int64_t x0 = done; x0 < w; x0 += block) {
      const int64_t n = std::min(block, w - x0);
      if constexpr (Traits::is_integer) {
        load_integer_block(input + x0, n, values);
      } else {
        load_float_block(input + x0, n, values);
      }
      if (!constant) {
        for (int64_t i = 0; i < n; ++i) {
          values.tint_r[i] = 1.0f;
          values.tint_g[i] = 1.0f;
          values.tint_b[i] = 1.0f;
        }
        const int64_t inside_begin = std::max(texture_begin, x0);
        const int64_t inside_end = std::min(texture_end, x0 + n);
        for (int64_t x = inside_begin; x < inside_end; ++x) {
          const P& pixel = texture_row[x - texture.origin_x];
          values.tint_r[x - x0] = texture_channel(pixel, Traits::red);
          values.tint_g[x - x0] = texture_channel(pixel, Traits::green);
          values.tint_b[x - x0] = texture_channel(pixel, Traits::blue);
        }
      }
      process_block(settings, values, n, depth_row + x0, !constant);
      if constexpr (Traits::is_integer) {
        if (constant) {
          store_integer_block_constant(values, n, constant_rgb, output + x0);
        } else {
          store_integer_block(values, n, output + x0);
        }
        continue;
      }
      if (constant) {
        store_float_block_constant(values, n, constant_color[0], constant_color[1],
                                   constant_color[2], output + x0);
      } else {
        store_float_block(values, n, output + x0);
      }
    }
    context.check_abort();
  }
}

template <class P>
int64_t Kernel_Pre_Color_Correction<Layer<P>, Implementation_Cpu>::workload() const {
  const Parameters_In& in = parameters_in;
  const int64_t p = static_cast<int64_t>(sizeof(P));
  int64_t bytes = p * (in.input.width * in.input.height + in.output.width * in.output.height);
  if (depth_holder != nullptr && depth_holder->memory != nullptr) {
    bytes += 4 * (depth_holder->memory->width() / 4 * depth_holder->memory->height());
  }
  if (in.surface_color_texture.pixels != nullptr) {
    bytes += p * in.surface_color_texture.width * in.surface_color_texture.height;
  }
  return bytes;
}

template <class P>
void Kernel_Pre_Color_Correction<Layer<P>, Implementation_Cpu>::run(Render_Context context) {
  const Parameters_In in = parameters_in;
  const int64_t w = in.input.width;
  const int64_t h = in.input.height;
  depth_holder = std::make_unique<Layer_Holder>(make_temporary_float_layer(
      context, w + 6, h + 6, 0, 0, 0, 1.0f, in.input.scale_x, in.input.scale_y));
  depth_with_border = layer_view<float>(*depth_holder);
  depth = depth_with_border;
  depth.width = w;
  depth.height = h;
  depth.origin_x = in.input.origin_x;
  depth.origin_y = in.input.origin_y;
  depth.pixels = advance_bytes(depth_with_border.pixels, 3 * depth_with_border.row_bytes + 3 * 4);
  const int64_t iterations = grain_iteration_count(h, pre_color_correction_band_rows);
  cpu_kernel_launch(iterations, &pre_color_correction_rows<P>, context, in, depth);
  pre_color_correction_detail::fill_border(depth_with_border);
}

extern template class Kernel_Pre_Color_Correction<Layer<ARGB32f>, Implementation_Cpu>;
extern template class Kernel_Pre_Color_Correction<Layer<BGRA32f>, Implementation_Cpu>;
extern template class Kernel_Pre_Color_Correction<Layer<ARGB16>, Implementation_Cpu>;
extern template class Kernel_Pre_Color_Correction<Layer<BGRA16>, Implementation_Cpu>;
extern template class Kernel_Pre_Color_Correction<Layer<ARGB8>, Implementation_Cpu>;
extern template class Kernel_Pre_Color_Correction<Layer<BGRA8>, Implementation_Cpu>;

}  // namespace brel
