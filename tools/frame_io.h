#pragma once

// Moving images in and out of host worlds in the pixel format the host carries them.

#include "host_api.h"
#include "image_io.h"
#include "options.h"

namespace lumbrix {

// The host's code for frames of this depth and channel order.
PF_PixelFormat pixel_format_for(Host_Kind host, int bits, Channel_Order order);

// Bytes a pixel of that depth takes in a world.
int64_t world_pixel_bytes(int bits);

// Writes `count` rows of straight RGBA floats into the world from row `y` on: 8-bit channels
// with white 255, 16-bit with white 32768 (rounded, saturated), float unchanged; channels in
// the world's order.
void fill_world_rows(PF_EffectWorld& world, int bits, Channel_Order order, int64_t y, int64_t count,
                     const float* rgba);

// Reads row `y` of the world as straight RGBA floats.
void read_world_row(const PF_EffectWorld& world, int bits, Channel_Order order, int64_t y,
                    float* rgba);

// The whole image, into a world of the same size.
void fill_world(PF_EffectWorld& world, int bits, Channel_Order order, const Image& image);

// Reads a world back into an image whose depth is the world's (8, 16 or 32 bits).
Image read_world(const PF_EffectWorld& world, int bits, Channel_Order order);

}  // namespace lumbrix
