#pragma once

// Working layers: the intermediate images of a render (depth, shadows, caustics, refraction
// colour) and the arrays of landing points. Their pixels live in two-dimensional memory from
// the render context; a Layer_Holder owns it and hands out views.

#include <cstdint>
#include <memory>

#include "base/layer.h"
#include "base/render_context.h"
#include "util/memory_2d.h"

namespace brel {

// The owner of a working layer's pixels, with the geometry its views carry. Width and height
// are not stored: they are those of the memory.
struct Layer_Holder {
  std::shared_ptr<Mapped_Memory_2d> memory;
  uint8_t flag = 0;
  int64_t origin_x = 0;
  int64_t origin_y = 0;
  float pixel_aspect_ratio = 1.0f;
  float scale_x = 1.0f;
  float scale_y = 1.0f;
};

// The holder's layer seen as pixels of type P. The width comes from the memory's width in bytes,
// never from its padded row bytes, so a view never reaches into a row's padding. Requesting the
// pointer makes the memory come into being.
template <class P>
Layer<P> layer_view(const Layer_Holder& holder) {
  Layer<P> view;
  view.width = holder.memory->width() / static_cast<int64_t>(sizeof(P));
  view.height = holder.memory->height();
  view.origin_x = holder.origin_x;
  view.origin_y = holder.origin_y;
  view.scale_x = holder.scale_x;
  view.scale_y = holder.scale_y;
  view.pixel_aspect_ratio = holder.pixel_aspect_ratio;
  view.flag = holder.flag;
  view.pixels = reinterpret_cast<P*>(holder.memory->device_data());
  view.row_bytes = holder.memory->device_pitch();
  return view;
}

// An array view over two-dimensional memory, sized the same way as a layer view.
template <class T>
Array_2d<T> array_2d_view(Mapped_Memory_2d& memory) {
  Array_2d<T> view;
  view.width = memory.width() / static_cast<int64_t>(sizeof(T));
  view.height = memory.height();
  view.elements = reinterpret_cast<T*>(memory.device_data());
  view.row_bytes = memory.device_pitch();
  return view;
}

// A layer of width x height pixels of type P with the given geometry, its memory from the
// render context's two-dimensional allocation (rows of width x sizeof(P) bytes, not cleared).
template <class P>
Layer_Holder make_layer_memory(const Render_Context& context, int64_t width, int64_t height,
                               uint8_t flag, int64_t origin_x, int64_t origin_y,
                               float pixel_aspect_ratio, float scale_x, float scale_y) {
  Layer_Holder holder;
  holder.flag = flag;
  holder.origin_x = origin_x;
  holder.origin_y = origin_y;
  holder.pixel_aspect_ratio = pixel_aspect_ratio;
  holder.scale_x = scale_x;
  holder.scale_y = scale_y;
  holder.memory = context.allocate_memory_2d(width * static_cast<int64_t>(sizeof(P)), height);
  return holder;
}

// A `brel::Layer<float>` of width x height pixels with the given geometry. Its pixels are not
// cleared: a stage that needs zeros runs Kernel_Clear.
Layer_Holder make_temporary_float_layer(const Render_Context& context, int64_t width,
                                        int64_t height, uint8_t flag, int64_t origin_x,
                                        int64_t origin_y, float pixel_aspect_ratio, float scale_x,
                                        float scale_y);

// The same for a layer of RGB32f pixels.
Layer_Holder make_rgb32f_layer(const Render_Context& context, int64_t width, int64_t height,
                               uint8_t flag, int64_t origin_x, int64_t origin_y,
                               float pixel_aspect_ratio, float scale_x, float scale_y);

// Memory for an Array_2d<Blur_Coordinates> of width x height elements.
std::shared_ptr<Mapped_Memory_2d> make_blur_coordinates_array(const Render_Context& context,
                                                              int64_t width, int64_t height);

}  // namespace brel
