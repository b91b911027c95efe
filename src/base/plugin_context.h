#pragma once

// What the effect may ask of the host during one command besides the render context: texture
// layers by name, the working gamma and the output's geometry; and the rectangle records of the
// smart pre-render, through which the effect tells the host which areas it reads and writes.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "base/layer_description.h"

namespace brel {

struct Channel {
  enum class Category : int32_t { Depth = 0 };
  enum class Type : int32_t { Float = 0, Double = 1 };
};

// The host services of one command. The members are bound to the command's host records and
// must not outlive it; copies call the same services. Names are those of the layer map: the
// layer parameter's identifier, or "Source" for the effect's input.
struct Plugin_Context {
  std::function<std::shared_ptr<Layer_Typeless>(std::string, Channel::Category, Channel::Type)>
      layer_as_channel;
  std::function<double()> gamma;
  std::function<std::shared_ptr<Layer_Typeless>(std::string)> layer_by_name;
  std::function<Layer_Description()> output_description;
};

// A rectangle; note the order of the edges: left, right, top, bottom.
struct Rect {
  int64_t left = 0;
  int64_t right = 0;
  int64_t top = 0;
  int64_t bottom = 0;

  friend bool operator==(const Rect&, const Rect&) = default;
};

// The area of a layer as the host reports it at the smart pre-render, with the layer's
// downsample factors and pixel aspect.
struct Render_Region {
  Rect rect;
  float scale_x = 1.0f;
  float scale_y = 1.0f;
  float pixel_aspect = 1.0f;
};

// The areas of the layers of one smart pre-render, keyed by the layer parameter's name and the
// input layer under "Source".
using Region_Map = std::map<std::string, Render_Region>;

}  // namespace brel
