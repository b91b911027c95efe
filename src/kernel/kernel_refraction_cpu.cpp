#include "kernel/kernel_refraction_cpu.h"

#include "base/exception.h"
#include "util/target_clones.h"

namespace brel {

BREL_TARGET_CLONES_AVX2 void view_rays(int64_t x, int64_t y, int64_t n, int64_t width,
                                       int64_t height, float perspective, Refraction_Run& run) {
  BREL_ASSERT(n <= refraction_run_pixels && x >= 0 && y >= 0 && x + n <= INT32_MAX &&
              y <= INT32_MAX);
  const float p = perspective;
  if (p == 0.0f) {
    std::fill_n(run.ray_x, n, 0.0f);
    std::fill_n(run.ray_y, n, 0.0f);
    std::fill_n(run.ray_z, n, -1.0f);
    return;
  }
  // view_ray's operations in its order; the row's part is the same for every pixel. Columns go
  // to float through 32-bit integers, which vector code converts: the values are the same.
  const float w = static_cast<float>(width);
  const float h = static_cast<float>(height);
  const float yc = static_cast<float>(static_cast<int32_t>(y)) + 0.5f;
  const float a = 2.0f * ((0.5f - yc / h) * p) * (h / w);
  const int32_t column = static_cast<int32_t>(x);
  for (int64_t i = 0; i < n; ++i) {
    const float xc = static_cast<float>(column + static_cast<int32_t>(i)) + 0.5f;
    const float b = (p * (xc / w - 0.5f)) * 2.0f;
    const float s = std::sqrt((b * b + a * a) + 1.0f);
    run.ray_x[i] = b / s;
    run.ray_y[i] = a / s;
    run.ray_z[i] = -1.0f / s;
  }
}

template <class P>
int64_t Kernel_Refraction<Layer<P>, Implementation_Cpu>::workload() const {
  if (refraction_layer == nullptr || refraction_layer->memory == nullptr) {
    return 0;
  }
  return refraction_layer->memory->width() / 12 * refraction_layer->memory->height() * 12;
}

template <class P>
void Kernel_Refraction<Layer<P>, Implementation_Cpu>::run(Render_Context context) {
  const Parameters_In in = parameters_in;
  if (!refraction_has_work(in)) {
    return;
  }
  const int64_t w = in.depth.width;
  const int64_t h = in.depth.height;
  // The last run's layer goes back first: a render's pool then hands its memory to this run.
  refraction_layer.reset();
  refraction_layer =
      std::make_unique<Layer_Holder>(make_rgb32f_layer(context, w, h, 0, 0, 0, 1.0f, 1.0f, 1.0f));
  const Layer<RGB32f> refraction = layer_view<RGB32f>(*refraction_layer);
  const Gatherer<Layer<RGB32f>, Implementation_Cpu> gatherer(context, in.lit_background,
                                                             in.refraction.gather_mode);
  const std::shared_ptr<Mapped_Memory_2d> coordinates_memory =
      make_blur_coordinates_array(context, w, h);
  const Array_2d<Blur_Coordinates> coordinates =
      array_2d_view<Blur_Coordinates>(*coordinates_memory);
  {
    const Layer<P>& glossiness = in.refraction.glossiness_texture;
    const int64_t bytes = glossiness.width * glossiness.height * static_cast<int64_t>(sizeof(P)) +
                          w * h * 4 +
                          (in.normals.width * in.normals.height + coordinates.width * h) * 12;
    const auto scope = context.scope_timer("init refraction coordinates", bytes);
    cpu_kernel_launch(h, &init_refraction_coordinates_row<P>, context, in.refraction, in.depth,
                      in.normals, coordinates);
  }
  const Refraction_Tiles tiles(w, h, context.iteration_count(h));
  cpu_kernel_launch(std::max<int64_t>(tiles.count(), 1), &gather_refraction_tile<P>, context, in,
                    tiles, refraction, &gatherer, coordinates);
}

template class Kernel_Refraction<Layer<ARGB32f>, Implementation_Cpu>;
template class Kernel_Refraction<Layer<BGRA32f>, Implementation_Cpu>;
template class Kernel_Refraction<Layer<ARGB16>, Implementation_Cpu>;
template class Kernel_Refraction<Layer<BGRA16>, Implementation_Cpu>;
template class Kernel_Refraction<Layer<ARGB8>, Implementation_Cpu>;
template class Kernel_Refraction<Layer<BGRA8>, Implementation_Cpu>;

}  // namespace brel
