#include "frame_io.h"

#include "float_rounding.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace lumbrix {

namespace {

// Positions of red, green, blue and alpha inside a pixel, known when compiling so the row loops
// vectorise.
template <Channel_Order order>
struct At;
template <>
struct At<Channel_Order::argb> {
  static constexpr int red = 1, green = 2, blue = 3, alpha = 0;
};
template <>
struct At<Channel_Order::bgra> {
  static constexpr int red = 2, green = 1, blue = 0, alpha = 3;
};

template <class Channel>
Channel to_channel(float value, float white) {
  if (!(value > 0.0f)) {
    return 0;  // NaN too
  }
  const float scaled = round_half_away(value * white);
  return scaled >= white ? static_cast<Channel>(white) : static_cast<Channel>(scaled);
}

template <class Channel, Channel_Order order>
void fill_row(Channel* out, const float* in, int64_t width, float white) {
  using at = At<order>;
  for (int64_t x = 0; x < width; ++x, in += 4, out += 4) {
    if constexpr (std::is_floating_point_v<Channel>) {
      out[at::red] = in[0];
      out[at::green] = in[1];
      out[at::blue] = in[2];
      out[at::alpha] = in[3];
    } else {
      out[at::red] = to_channel<Channel>(in[0], white);
      out[at::green] = to_channel<Channel>(in[1], white);
      out[at::blue] = to_channel<Channel>(in[2], white);
      out[at::alpha] = to_channel<Channel>(in[3], white);
    }
  }
}

template <class Channel, Channel_Order order>
void read_row(const Channel* in, float* out, int64_t width, float white) {
  using at = At<order>;
  for (int64_t x = 0; x < width; ++x, in += 4, out += 4) {
    out[0] = static_cast<float>(in[at::red]) / white;
    out[1] = static_cast<float>(in[at::green]) / white;
    out[2] = static_cast<float>(in[at::blue]) / white;
    out[3] = static_cast<float>(in[at::alpha]) / white;
  }
}

char* row_of(const PF_EffectWorld& world, int64_t y) {
  return static_cast<char*>(world.data) + y * world.rowbytes;
}

template <class Channel>
void fill_row(char* out, Channel_Order order, const float* in, int64_t width, float white) {
  auto* row = reinterpret_cast<Channel*>(out);
  if (order == Channel_Order::argb) {
    fill_row<Channel, Channel_Order::argb>(row, in, width, white);
  } else {
    fill_row<Channel, Channel_Order::bgra>(row, in, width, white);
  }
}

template <class Channel>
void read_row(const char* in, Channel_Order order, float* out, int64_t width, float white) {
  const auto* row = reinterpret_cast<const Channel*>(in);
  if (order == Channel_Order::argb) {
    read_row<Channel, Channel_Order::argb>(row, out, width, white);
  } else {
    read_row<Channel, Channel_Order::bgra>(row, out, width, white);
  }
}

}  // namespace

PF_PixelFormat pixel_format_for(Host_Kind host, int bits, Channel_Order order) {
  if (host == Host_Kind::after_effects) {
    if (order == Channel_Order::bgra) {
      return PF_PixelFormat_BGRA128;
    }
    return bits == 8    ? PF_PixelFormat_ARGB32
           : bits == 16 ? PF_PixelFormat_ARGB64
                        : PF_PixelFormat_ARGB128;
  }
  if (order == Channel_Order::argb) {
    return PrPixelFormat_ARGB_4444_8u;
  }
  return bits == 8    ? PrPixelFormat_BGRA_4444_8u
         : bits == 16 ? PrPixelFormat_BGRA_4444_16u
                      : PrPixelFormat_BGRA_4444_32f;
}

int64_t world_pixel_bytes(int bits) {
  return bits == 8 ? 4 : bits == 16 ? 8 : 16;
}

void fill_world_rows(PF_EffectWorld& world, int bits, Channel_Order order, int64_t y, int64_t count,
                     const float* rgba) {
  for (int64_t row = y; row < y + count; ++row, rgba += world.width * 4) {
    char* out = row_of(world, row);
    if (bits == 8) {
      fill_row<uint8_t>(out, order, rgba, world.width, 255.0f);
    } else if (bits == 16) {
      fill_row<uint16_t>(out, order, rgba, world.width, 32768.0f);
    } else {
      fill_row<float>(out, order, rgba, world.width, 1.0f);
    }
  }
}

void read_world_row(const PF_EffectWorld& world, int bits, Channel_Order order, int64_t y,
                    float* rgba) {
  const char* in = row_of(world, y);
  if (bits == 8) {
    read_row<uint8_t>(in, order, rgba, world.width, 255.0f);
  } else if (bits == 16) {
    read_row<uint16_t>(in, order, rgba, world.width, 32768.0f);
  } else {
    read_row<float>(in, order, rgba, world.width, 1.0f);
  }
}

void fill_world(PF_EffectWorld& world, int bits, Channel_Order order, const Image& image) {
  fill_world_rows(world, bits, order, 0, image.height, image.rgba.data());
}

Image read_world(const PF_EffectWorld& world, int bits, Channel_Order order) {
  Image image(world.width, world.height, bits);
  for (int64_t y = 0; y < image.height; ++y) {
    read_world_row(world, bits, order, y, image.pixel(0, y));
  }
  return image;
}

}  // namespace lumbrix
