#pragma once

// The built-in demo scene: a procedural depth pass with smooth and sharp relief, and texture
// layers that match it, so the renderer shows the effect without any input file.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

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

// The scene's settings, as names and values in the order they are set: the whole effect, with
// both lights casting shadows, reflections and illumination from the environment, and the
// background refracted through a partly transparent surface with caustics.
// bench/compare-imagemagick gives an input image the same settings through --set.
const std::vector<std::pair<std::string, std::string>>& demo_settings();

}  // namespace lumbrix
