#pragma once

// The built-in demo scene: a procedural depth pass with smooth and sharp relief, and texture
// layers that match it, so the renderer shows the effect without any input file.

#include <cstdint>

#include "image_io.h"

namespace lumbrix {

enum class Demo_Layer {
  depth_pass,   // the effect's own layer: depth in every colour channel, opaque
  surface,      // surface colour texture
  environment,  // environment for reflections and illumination
  background,   // seen through transparent, refracting surfaces
};

// Row `y` of one of the scene's images at `width` x `height`, as straight RGBA floats; rows
// are independent, so any number of threads may make them.
void demo_row(Demo_Layer layer, int64_t width, int64_t height, int64_t y, float* rgba);

}  // namespace lumbrix
