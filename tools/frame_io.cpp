#include "frame_io.h"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace lumbrix {

namespace {

// Positions of red, green, blue and alpha inside a pixel.
struct Channel_Positions {
  int red, green, blue, alpha;
};

Channel_Positions positions_of(Channel_Order order) {
  return order == Channel_Order::argb ? Channel_Positions{1, 2, 3, 0}
                                      : Channel_Positions{2, 1, 0, 3};
}

template <class Channel>
Channel to_channel(float value, float white) {
  if (!(value > 0.0f)) {
    return 0;  // NaN too
  }
  const float scaled = std::round(value * white);
  return scaled >= white ? static_cast<Channel>(white) : static_cast<Channel>(scaled);
}

template <class Channel>
void fill_rows(PF_EffectWorld& world, Channel_Order order, const Image& image, float white) {
  const Channel_Positions at = positions_of(order);
  for (int64_t y = 0; y < image.height; ++y) {
    auto* row = reinterpret_cast<Channel*>(static_cast<char*>(world.data) + y * world.rowbytes);
    for (int64_t x = 0; x < image.width; ++x) {
      const float* p = image.pixel(x, y);
      Channel* out = row + x * 4;
      if constexpr (std::is_floating_point_v<Channel>) {
        out[at.red] = p[0];
        out[at.green] = p[1];
        out[at.blue] = p[2];
        out[at.alpha] = p[3];
      } else {
        out[at.red] = to_channel<Channel>(p[0], white);
        out[at.green] = to_channel<Channel>(p[1], white);
        out[at.blue] = to_channel<Channel>(p[2], white);
        out[at.alpha] = to_channel<Channel>(p[3], white);
      }
    }
  }
}

template <class Channel>
void read_rows(const PF_EffectWorld& world, Channel_Order order, Image& image, float white) {
  const Channel_Positions at = positions_of(order);
  for (int64_t y = 0; y < image.height; ++y) {
    const auto* row =
        reinterpret_cast<const Channel*>(static_cast<const char*>(world.data) + y * world.rowbytes);
    for (int64_t x = 0; x < image.width; ++x) {
      const Channel* in = row + x * 4;
      float* p = image.pixel(x, y);
      p[0] = static_cast<float>(in[at.red]) / white;
      p[1] = static_cast<float>(in[at.green]) / white;
      p[2] = static_cast<float>(in[at.blue]) / white;
      p[3] = static_cast<float>(in[at.alpha]) / white;
    }
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

void fill_world(PF_EffectWorld& world, int bits, Channel_Order order, const Image& image) {
  if (bits == 8) {
    fill_rows<uint8_t>(world, order, image, 255.0f);
  } else if (bits == 16) {
    fill_rows<uint16_t>(world, order, image, 32768.0f);
  } else {
    fill_rows<float>(world, order, image, 1.0f);
  }
}

Image read_world(const PF_EffectWorld& world, int bits, Channel_Order order) {
  Image image(world.width, world.height, bits);
  if (bits == 8) {
    read_rows<uint8_t>(world, order, image, 255.0f);
  } else if (bits == 16) {
    read_rows<uint16_t>(world, order, image, 32768.0f);
  } else {
    read_rows<float>(world, order, image, 1.0f);
  }
  return image;
}

}  // namespace lumbrix
