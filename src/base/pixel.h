#pragma once

// Pixel types of the effect and the one place that knows how their channels are laid out,
// how large white is and how a float becomes a channel value again. Kernels never spell out
// channel orders or ranges themselves: they ask Pixel_Traits.

#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace brel {

// Three components: normals, light directions.
template <class T>
struct Vector_3 {
  T x;
  T y;
  T z;
};

// Positions of red, green, blue and alpha inside a pixel's channel array.
template <int32_t R, int32_t G, int32_t B, int32_t A>
struct Rgb_Layout {
  static constexpr int32_t red = R;
  static constexpr int32_t green = G;
  static constexpr int32_t blue = B;
  static constexpr int32_t alpha = A;
};

// A colour pixel: three or four channels of one type, arranged by Layout. `min` and `white` are
// the channel values of black and of full intensity (16-bit white is 32768, not 65535).
template <class Layout, class Channel, bool has_alpha, int64_t min, int64_t white>
struct Rgb_Core {
  static constexpr int32_t channel_count = has_alpha ? 4 : 3;
  Channel channel[channel_count];
};

// The six pixel types a host frame can arrive in...
using ARGB8 = Rgb_Core<Rgb_Layout<1, 2, 3, 0>, unsigned char, true, 0, 255>;
using ARGB16 = Rgb_Core<Rgb_Layout<1, 2, 3, 0>, unsigned short, true, 0, 32768>;
using ARGB32f = Rgb_Core<Rgb_Layout<1, 2, 3, 0>, float, true, 0, 1>;
using BGRA8 = Rgb_Core<Rgb_Layout<2, 1, 0, 3>, unsigned char, true, 0, 255>;
using BGRA16 = Rgb_Core<Rgb_Layout<2, 1, 0, 3>, unsigned short, true, 0, 32768>;
using BGRA32f = Rgb_Core<Rgb_Layout<2, 1, 0, 3>, float, true, 0, 1>;
// ...and the three-float colour of working layers, without alpha.
using RGB32f = Rgb_Core<Rgb_Layout<0, 1, 2, 3>, float, false, 0, 1>;
// Double cells of the gatherers' summed-area tables and row sums, in the channel order of the
// layer they sum: float running sums over a frame lose whole units of a small footprint.
using RGB64f = Rgb_Core<Rgb_Layout<0, 1, 2, 3>, double, false, 0, 1>;
using ARGB64f = Rgb_Core<Rgb_Layout<1, 2, 3, 0>, double, true, 0, 1>;
using BGRA64f = Rgb_Core<Rgb_Layout<2, 1, 0, 3>, double, true, 0, 1>;

static_assert(sizeof(Vector_3<float>) == 12);
static_assert(sizeof(ARGB8) == 4 && sizeof(BGRA8) == 4);
static_assert(sizeof(ARGB16) == 8 && sizeof(BGRA16) == 8);
static_assert(sizeof(ARGB32f) == 16 && sizeof(BGRA32f) == 16);
static_assert(sizeof(RGB32f) == 12);
static_assert(sizeof(RGB64f) == 24 && sizeof(ARGB64f) == 32 && sizeof(BGRA64f) == 32);

template <class P>
struct Pixel_Traits;

// Everything a kernel needs to know about a colour pixel type.
//
// Stores come in two roundings because kernels differ: most truncate, some round. Both first
// send NaN to 0 and saturate to the channel type's range (0 .. 255, 0 .. 65535), so no value,
// however wild, reaches an undefined float-to-integer conversion; inside the range they convert
// exactly as a plain cast (truncating) or std::round (halves away from zero) would. Values above
// white stay as they are while the type can hold them. Float channels are stored unchanged.
template <class Layout, class Channel_Type, bool alpha_present, int64_t min, int64_t white>
struct Pixel_Traits<Rgb_Core<Layout, Channel_Type, alpha_present, min, white>> {
  using Pixel = Rgb_Core<Layout, Channel_Type, alpha_present, min, white>;
  using Channel = Channel_Type;

  static constexpr bool has_alpha = alpha_present;
  static constexpr int32_t channel_count = Pixel::channel_count;
  static constexpr bool is_integer = std::is_integral_v<Channel>;
  static constexpr float white_value = static_cast<float>(white);
  static constexpr float min_value = static_cast<float>(min);
  // The float nearest 1 / white: a channel value times this is in units of white (exact for
  // the 16-bit and float types, whose white is a power of two).
  static constexpr float white_reciprocal = 1.0f / white_value;

  // Positions in Pixel::channel. `alpha` only means something when has_alpha is true.
  static constexpr int32_t red = Layout::red;
  static constexpr int32_t green = Layout::green;
  static constexpr int32_t blue = Layout::blue;
  static constexpr int32_t alpha = Layout::alpha;

  // The largest value a store can produce.
  static constexpr float channel_max = is_integer
                                           ? static_cast<float>(std::numeric_limits<Channel>::max())
                                           : std::numeric_limits<float>::infinity();

  static float load(const Pixel& pixel, int32_t position) {
    return static_cast<float>(pixel.channel[position]);
  }

  static Channel to_channel_truncated(float value) {
    if constexpr (is_integer) {
      if (!(value > 0.0f)) {  // NaN as well
        return 0;
      }
      if (value >= channel_max) {
        return std::numeric_limits<Channel>::max();
      }
      return static_cast<Channel>(value);
    } else {
      return value;
    }
  }

  static Channel to_channel_rounded(float value) {
    if constexpr (is_integer) {
      if (!(value > 0.0f)) {
        return 0;
      }
      if (value >= channel_max) {
        return std::numeric_limits<Channel>::max();
      }
      // Above 0 and below the maximum: truncation is the floor and the part it drops is exact,
      // so this rounds halves up as std::round does here, inline instead of a library call.
      const auto whole = static_cast<int32_t>(value);
      return static_cast<Channel>(whole + (value - static_cast<float>(whole) >= 0.5f ? 1 : 0));
    } else {
      return value;
    }
  }

  // An integer pixel as one unsigned word, as it lies in memory on a little-endian processor:
  // the channel at `position` takes bits 8 * sizeof(Channel) * position upwards. A row body
  // builds whole pixels in registers and stores each at once.
  using Word = std::conditional_t<sizeof(Channel) == 1, uint32_t, uint64_t>;

  // The channel at `position` of a pixel word, as load gives it.
  static float load_word(Word word, int32_t position) {
    static_assert(is_integer && sizeof(Pixel) == sizeof(Word));
    return static_cast<float>(
        static_cast<Channel>(word >> (8 * static_cast<int32_t>(sizeof(Channel)) * position)));
  }

  // to_channel_truncated, placed at its channel's bits of a pixel word. Clamps in float before
  // the conversion (NaN and everything up to 0 give 0), so it runs as vector code.
  static Word to_word_truncated(float value, int32_t position) {
    static_assert(is_integer && sizeof(Pixel) == sizeof(Word));
    const float clamped = value > 0.0f ? (value < channel_max ? value : channel_max) : 0.0f;
    return static_cast<Word>(static_cast<int32_t>(clamped))
           << (8 * static_cast<int32_t>(sizeof(Channel)) * position);
  }

  static void store_truncated(Pixel& pixel, int32_t position, float value) {
    pixel.channel[position] = to_channel_truncated(value);
  }

  static void store_rounded(Pixel& pixel, int32_t position, float value) {
    pixel.channel[position] = to_channel_rounded(value);
  }

  // to_channel_truncated over a run of values. Row bodies convert a block of computed values
  // at once and spread them over the channels afterwards; with SSE2 the integer types clamp in
  // float and convert four values an instruction, with the same results.
  static void to_channels_truncated(const float* values, Channel* channels, int64_t count) {
    int64_t i = 0;
#if defined(__SSE2__)
    if constexpr (is_integer) {
      const __m128 zero = _mm_setzero_ps();
      const __m128 largest = _mm_set1_ps(channel_max);
      // maxps returns its second operand when the first is not a number: NaN becomes 0.
      const auto convert = [&](const float* v) {
        return _mm_cvttps_epi32(_mm_min_ps(_mm_max_ps(_mm_loadu_ps(v), zero), largest));
      };
      if constexpr (sizeof(Channel) == 1) {
        for (; i + 16 <= count; i += 16) {
          const __m128i low = _mm_packs_epi32(convert(values + i), convert(values + i + 4));
          const __m128i high = _mm_packs_epi32(convert(values + i + 8), convert(values + i + 12));
          _mm_storeu_si128(reinterpret_cast<__m128i*>(channels + i), _mm_packus_epi16(low, high));
        }
      } else {
        // SSE2 packs only signed: shift 0 .. 65535 down by 32768 and back.
        const __m128i half = _mm_set1_epi32(32768);
        const __m128i sign = _mm_set1_epi16(static_cast<int16_t>(-32768));
        for (; i + 8 <= count; i += 8) {
          const __m128i low = _mm_sub_epi32(convert(values + i), half);
          const __m128i high = _mm_sub_epi32(convert(values + i + 4), half);
          _mm_storeu_si128(reinterpret_cast<__m128i*>(channels + i),
                           _mm_xor_si128(_mm_packs_epi32(low, high), sign));
        }
      }
    }
#endif
    for (; i < count; ++i) {
      channels[i] = to_channel_truncated(values[i]);
    }
  }
};

}  // namespace brel
