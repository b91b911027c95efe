#include "effect/caustics_stages.h"

namespace brel {

Layer<RGB32f> caustics_image_view(const Layer_Holder& buffer, int64_t width, int64_t height) {
  Layer<RGB32f> view = layer_view<RGB32f>(buffer);
  view.width = width;
  view.height = height;
  view.origin_x = buffer.origin_x + 2;
  view.pixels = view.pixels + 2;
  return view;
}

}  // namespace brel
