#include "base/layer_holder.h"

namespace brel {

Layer_Holder make_temporary_float_layer(const Render_Context& context, int64_t width,
                                        int64_t height, uint8_t flag, int64_t origin_x,
                                        int64_t origin_y, float pixel_aspect_ratio, float scale_x,
                                        float scale_y) {
  return make_layer_memory<float>(context, width, height, flag, origin_x, origin_y,
                                  pixel_aspect_ratio, scale_x, scale_y);
}

Layer_Holder make_rgb32f_layer(const Render_Context& context, int64_t width, int64_t height,
                               uint8_t flag, int64_t origin_x, int64_t origin_y,
                               float pixel_aspect_ratio, float scale_x, float scale_y) {
  return make_layer_memory<RGB32f>(context, width, height, flag, origin_x, origin_y,
                                   pixel_aspect_ratio, scale_x, scale_y);
}

std::shared_ptr<Mapped_Memory_2d> make_blur_coordinates_array(const Render_Context& context,
                                                              int64_t width, int64_t height) {
  return context.allocate_memory_2d(width * static_cast<int64_t>(sizeof(Blur_Coordinates)), height);
}

}  // namespace brel
