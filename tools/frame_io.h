#pragma once

// Moving images in and out of host worlds in the pixel format the host carries them.

#include "host_api.h"
#include "image_io.h"
#include "options.h"

namespace lumbrix {

// The host's code for frames of this depth and channel order.
PF_PixelFormat pixel_format_for(Host_Kind host, int bits, Channel_Order order);

// Writes the image into a world of the same size: 8-bit channels with white 255, 16-bit with
// white 32768 (rounded, saturated), float unchanged; channels in the world's order.
void fill_world(PF_EffectWorld& world, int bits, Channel_Order order, const Image& image);

// Reads a world back into an image whose depth is the world's (8, 16 or 32 bits).
Image read_world(const PF_EffectWorld& world, int bits, Channel_Order order);

}  // namespace lumbrix
