#pragma once

// The records through which the host adapter hands layers to the effect: the pixel format of a
// frame, the geometry of a layer, a host layer with its pixels, and the map of texture layers
// checked out for one render. They carry no pixel type, so the effect can choose its pipeline
// instantiation at run time from the pixel description.

#include <cstdint>
#include <map>
#include <string>

#include "base/layer.h"

namespace brel {

// How the channels of a host pixel are laid out. The positions are the channel indexes inside a
// pixel: ARGB is red 1, green 2, blue 3, alpha 0; BGRA is red 2, green 1, blue 0, alpha 3.
struct Pixel_Description {
  enum Kind : int32_t {
    unknown = 0,
    packed_color = 1,    // four colour channels per pixel
    single_channel = 2,  // one channel per pixel (auxiliary channels such as depth)
  };

  int32_t kind = unknown;
  int64_t bits = -1;  // bits per channel: 8, 16, 32 (64 for double channels); -1 while unknown
  int32_t red = 0;
  int32_t green = 0;
  int32_t blue = 0;
  int32_t alpha = 0;

  friend bool operator==(const Pixel_Description&, const Pixel_Description&) = default;
};

// The geometry of a layer at the current downsampling.
struct Layer_Description {
  int64_t width = 0;
  int64_t height = 0;
  int64_t origin_x = 0;
  int64_t origin_y = 0;
  float scale_x = 1.0f;  // downsample factors, 1.0 at full resolution
  float scale_y = 1.0f;
  float pixel_aspect = 1.0f;
  uint8_t flag = 0;
};

// A host layer: the fields of a layer view over the host's pixels (the geometry, the pixel
// pointer and the row bytes, in the order a `brel::Layer` holds them), then the pixel format.
// The default value has no pixels and an unknown format.
struct Layer_Typeless {
  int64_t width = 0;
  int64_t height = 0;
  int64_t origin_x = 0;
  int64_t origin_y = 0;
  float scale_x = 1.0f;
  float scale_y = 1.0f;
  float pixel_aspect = 1.0f;
  uint8_t flag = 0;
  void* pixels = nullptr;
  int64_t row_bytes = 0;
  Pixel_Description pixel_description;

  Layer_Description description() const {
    return {width, height, origin_x, origin_y, scale_x, scale_y, pixel_aspect, flag};
  }
};

// The texture layers checked out for one render, keyed by the layer parameter's identifier
// (the input layer under "Source"). The pixels stay checked out until the render command ends.
using Layer_Map = std::map<std::string, Layer_Typeless>;

// The host layer's pixels read as T. No conversion and no check of the pixel description: the
// host adapter only hands over textures in the frame's own format.
template <class T>
Layer<T> layer_view(const Layer_Typeless& layer) {
  Layer<T> view;
  view.width = layer.width;
  view.height = layer.height;
  view.origin_x = layer.origin_x;
  view.origin_y = layer.origin_y;
  view.scale_x = layer.scale_x;
  view.scale_y = layer.scale_y;
  view.pixel_aspect_ratio = layer.pixel_aspect;
  view.flag = layer.flag;
  view.pixels = static_cast<T*>(layer.pixels);
  view.row_bytes = layer.row_bytes;
  return view;
}

}  // namespace brel
