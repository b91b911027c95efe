#pragma once

// The built-in demo scene: a procedural depth pass with smooth and sharp relief, and texture
// layers that match it, so the renderer shows the effect without any input file.

#include <cstdint>

#include "image_io.h"

namespace lumbrix {

struct Demo_Scene {
  Image depth_pass;   // the effect's own layer: depth in every colour channel, opaque
  Image surface;      // surface colour texture
  Image environment;  // environment for reflections and illumination
  Image background;   // seen through transparent, refracting surfaces
};

Demo_Scene make_demo_scene(int64_t width, int64_t height);

}  // namespace lumbrix
