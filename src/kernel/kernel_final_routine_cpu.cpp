#include "kernel/kernel_final_routine_cpu.h"

#include <algorithm>
#include <memory>

#include "base/exception.h"
#include "base/layer_holder.h"
#include "base/log.h"
#include "kernel/environment_coordinates.h"
#include "kernel/final_composite.h"
#include "kernel/kernel_prepare_environment_layer_cpu.h"
#include "kernel/light_shading.h"

namespace brel {

namespace {

template <class T>
bool has_source(const Environment_Gatherer<T>* gatherer) {
  return gatherer != nullptr && !gatherer->empty();
}

// The environment's colour over a pixel's footprint; the scale pair is made anew for every
// gather, since the box modes scale it in place.
template <class T>
Rgb_Value gathered_color(const Environment_Gatherer<T>* gatherer, int64_t x, int64_t y,
                         const Layer<T>& environment, const Blur_Coordinates* row,
                         const Blur_Coordinates* previous_row) {
  Footprint_Scale scale{static_cast<float>(environment.width),
                        static_cast<float>(environment.height)};
  const Shading_Color c =
      shading_color(gather_environment_footprint<T>(gatherer, x, y, scale, row, previous_row));
  return {c.r, c.g, c.b};
}

// Whether the reflections are gathered and added.
template <class T>
bool reflects(const Environment_Parameter<T>& environment,
              const Environment_Gatherer<T>* reflections) {
  return environment.reflection_amount != 0.0f && has_source(reflections);
}

// The environment's colours at pixel (x, y), each where add_gathered_environment_light uses it:
// the illumination and the reflection. Each pair of landing rows is (image row y, y - 1).
template <class T>
void gather_environment(int64_t x, int64_t y, const Blur_Coordinates* reflection_row,
                        const Blur_Coordinates* reflection_previous_row,
                        const Environment_Gatherer<T>* reflections,
                        const Blur_Coordinates* illumination_row,
                        const Blur_Coordinates* illumination_previous_row,
                        const Environment_Gatherer<T>* illumination,
                        const Environment_Parameter<T>& environment, Rgb_Value& illuminated,
                        Rgb_Value& reflected) {
  if (has_source(illumination)) {
    illuminated = gathered_color(illumination, x, y, environment.environment_texture,
                                 illumination_row, illumination_previous_row);
  }
  if (reflects(environment, reflections)) {
    reflected = gathered_color(reflections, x, y, environment.environment_texture, reflection_row,
                               reflection_previous_row);
  }
}

}  // namespace

template <class T>
void add_environment_light(
    int64_t x, int64_t y, Rgb_Value& diffuse, Rgb_Value& specular,
    const Blur_Coordinates* reflection_row, const Blur_Coordinates* reflection_previous_row,
    const Environment_Gatherer<T>* reflections, const Blur_Coordinates* illumination_row,
    const Blur_Coordinates* illumination_previous_row, const Environment_Gatherer<T>* illumination,
    const Environment_Parameter<T>& environment, const Layer<float>& occlusion) {
  Rgb_Value illuminated{0.0f, 0.0f, 0.0f};
  Rgb_Value reflected{0.0f, 0.0f, 0.0f};
  gather_environment(x, y, reflection_row, reflection_previous_row, reflections, illumination_row,
                     illumination_previous_row, illumination, environment, illuminated, reflected);
  add_environment_colors(x, y, diffuse, specular, illuminated, reflected, has_source(illumination),
                         reflects(environment, reflections), environment, occlusion);
}

namespace {

// Pixels shaded together: their lights (shade_lights_row), then their environment's colours.
constexpr int64_t shading_run = 64;

// gather_environment for pixels x .. x + n - 1 of row y (n at most a shading run) but the
// clipped ones, into illuminated[0 .. n - 1] and reflected[0 .. n - 1]: each gatherer takes a
// stretch of unclipped pixels at a time, so that one pixel's table reads overlap the next
// pixel's. Landing rows as shade_row takes them.
template <class T>
void gather_environment_run(int64_t x, int64_t n, int64_t y,
                            const Final_Routine_Parameters_In<T>& in,
                            const Environment_Gatherer<T>* reflections,
                            const Environment_Gatherer<T>* illumination,
                            const Blur_Coordinates* const* landing, Rgb_Value* illuminated,
                            Rgb_Value* reflected) {
  const Layer<T>& texture = in.environment.environment_texture;
  const float* depth = in.depth.row(y) + x;
  const auto clipped = [&](int64_t i) { return in.alpha_clipping != 0 && depth[i] == 0.0f; };
  typename gather::Gather_Pixel<T>::Result results[shading_run];
  const auto gather_stretch = [&](const Environment_Gatherer<T>* gatherer,
                                  const Blur_Coordinates* row, const Blur_Coordinates* previous_row,
                                  Rgb_Value* colors, int64_t begin, int64_t end) {
    const Footprint_Scale scale{static_cast<float>(texture.width),
                                static_cast<float>(texture.height)};
    gather_environment_footprints<T>(gatherer, y, x + begin, x + end, scale, row, previous_row,
                                     results);
    for (int64_t i = begin; i < end; ++i) {
      const Shading_Color c = shading_color(results[i - begin]);
      colors[i] = {c.r, c.g, c.b};
    }
  };
  const bool illuminate = has_source(illumination);
  const bool reflect = reflects(in.environment, reflections);
  for (int64_t begin = 0; begin < n;) {
    if (clipped(begin)) {
      ++begin;
      continue;
    }
    int64_t end = begin + 1;
    while (end < n && !clipped(end)) {
      ++end;
    }
    if (illuminate) {
      gather_stretch(illumination, landing[3], landing[2], illuminated, begin, end);
    }
    if (reflect) {
      gather_stretch(reflections, landing[1], landing[0], reflected, begin, end);
    }
    begin = end;
  }
}

// Output row y, its environment read through the landing rows of image rows y - 1 and y:
// landing[0] and landing[1] for the reflections, landing[2] and landing[3] for the
// illumination (null where that gatherer has no source).
// The direct light's colour in `in` must already be scaled by its intensity (lit_by_intensity).
template <class T>
void shade_row(int64_t y, const Final_Routine_Parameters_In<T>& in,
               const Environment_Gatherer<T>* reflections,
               const Environment_Gatherer<T>* illumination,
               const Blur_Coordinates* const* landing) {
  // The lights and the environment of a run of pixels are found together (clipped pixels' lights
  // too), then composited.
  constexpr int64_t run = shading_run;
  Rgb_Value lit_diffuse[run];
  Rgb_Value lit_specular[run];
  Rgb_Value illuminated[run];
  Rgb_Value reflected[run];
  const Lit_Run lit{lit_diffuse,
                    lit_specular,
                    illuminated,
                    reflected,
                    has_source(illumination),
                    reflects(in.environment, reflections)};
  for (int64_t x = 0; x < in.output.width; x += run) {
    const int64_t n = std::min(run, in.output.width - x);
    shade_lights_row(x, n, y, lit_diffuse, lit_specular, in);
    gather_environment_run(x, n, y, in, reflections, illumination, landing, illuminated, reflected);
    composite_run(x, n, y, in, lit);
  }
}

template <class T>
void lit_by_intensity(Final_Routine_Parameters_In<T>& in) {
  Direct_Light& direct = in.direct_light;
  direct.color = {direct.color.red * direct.intensity, direct.color.green * direct.intensity,
                  direct.color.blue * direct.intensity};
}

// The landing rows of image rows `first` - 1 to `end` - 1 (row 0 for the row above row 0) for
// the reflections into `reflection_rows` and for the illumination into `illumination_rows`,
// each only when its gatherer has a source.
template <class T>
void init_landing_rows(int64_t first, int64_t end, const Final_Routine_Parameters_In<T>& in,
                       bool reflect, bool illuminate, Blur_Coordinates* const* reflection_rows,
                       Blur_Coordinates* const* illumination_rows, int64_t width) {
  for (int64_t y = first - 1; y < end; ++y) {
    const int64_t image_row = std::max<int64_t>(y, 0);
    const size_t k = static_cast<size_t>(y - first + 1);
    if (reflect && illuminate) {
      init_environment_coordinates_rows(width, reflection_rows[k], illumination_rows[k], image_row,
                                        in.environment, in.depth, in.normals);
      continue;
    }
    if (reflect) {
      init_reflection_coordinates_row(width, reflection_rows[k], image_row, in.environment,
                                      in.depth, in.normals);
    }
    if (illuminate) {
      init_illumination_coordinates_row(width, illumination_rows[k], image_row, in.environment,
                                        in.depth, in.normals);
    }
  }
}

}  // namespace

template <class T>
void final_routine_body(const Iteration& iteration, Render_Context context,
                        Final_Routine_Parameters_In<T> in,
                        const Environment_Gatherer<T>* reflections,
                        const Environment_Gatherer<T>* illumination,
                        Array_2d<Blur_Coordinates> landing) {
  const int64_t y = iteration.index;
  const bool reflect = has_source(reflections);
  const bool illuminate = has_source(illumination);
  // This worker's rows: reflections of rows y - 1 and y, then illumination of the same rows.
  Blur_Coordinates* rows[4] = {nullptr, nullptr, nullptr, nullptr};
  if (reflect || illuminate) {
    const int64_t first = 4 * iteration.worker_index;
    BREL_ASSERT_MSG(iteration.worker_index >= 0 && first + 4 <= landing.height,
                    "landing rows for every worker");
    for (int64_t k = 0; k < 4; ++k) {
      rows[k] = landing.row(first + k);
    }
  }
  init_landing_rows(y, y + 1, in, reflect, illuminate, rows, rows + 2, landing.width);
  lit_by_intensity(in);
  shade_row(y, in, reflections, illumination, rows);
  context.check_abort();
}

template <class T>
void final_routine_rows_body(const Iteration& iteration, Render_Context context,
                             Final_Routine_Parameters_In<T> in,
                             const Environment_Gatherer<T>* reflections,
                             const Environment_Gatherer<T>* illumination,
                             Array_2d<Blur_Coordinates> landing) {
  constexpr int64_t n = final_routine_rows + 1;  // landing rows of one kind
  const int64_t first = iteration.index * final_routine_rows;
  const int64_t end = std::min(first + final_routine_rows, in.output.height);
  const bool reflect = has_source(reflections);
  const bool illuminate = has_source(illumination);
  // This worker's rows: reflections of rows first - 1 to end - 1, then illumination of them.
  Blur_Coordinates* reflection_rows[n] = {};
  Blur_Coordinates* illumination_rows[n] = {};
  if (reflect || illuminate) {
    const int64_t base = 2 * n * iteration.worker_index;
    BREL_ASSERT_MSG(iteration.worker_index >= 0 && base + 2 * n <= landing.height,
                    "landing rows for every worker");
    for (int64_t k = 0; k < n; ++k) {
      reflection_rows[k] = landing.row(base + k);
      illumination_rows[k] = landing.row(base + n + k);
    }
  }
  init_landing_rows(first, end, in, reflect, illuminate, reflection_rows, illumination_rows,
                    landing.width);
  lit_by_intensity(in);
  for (int64_t y = first; y < end; ++y) {
    const size_t k = static_cast<size_t>(y - first);
    const Blur_Coordinates* rows[4] = {reflection_rows[k], reflection_rows[k + 1],
                                       illumination_rows[k], illumination_rows[k + 1]};
    shade_row(y, in, reflections, illumination, rows);
    context.check_abort();
  }
}

template <class P>
void Kernel_Final_Routine<Layer<P>, Implementation_Cpu>::run(Render_Context context) {
  const Parameters_In& in = parameters_in;
  const Environment_Parameter<P>& environment = in.environment;
  // Declared so that they go in the reverse order: landing points, illumination, prepared
  // layer, reflections.
  Environment_Gatherer<P> reflections;
  std::unique_ptr<Layer_Holder> prepared;
  Environment_Gatherer<P> illumination;
  std::shared_ptr<Mapped_Memory_2d> landing_memory;

  if (needs_reflection_gatherer(environment)) {
    global_log().write("init reflections gatherer\n", Log::information);
    prepared = launch_prepared_environment<P>(context, environment.environment_texture,
                                              environment.reflection_amount,
                                              environment.reflection_bias, environment.gamma);
    if (prepared != nullptr) {
      reflections.set_up(context, layer_view<P>(*prepared), environment.gather_mode);
    }
  }
  if (needs_illumination_gatherer(environment)) {
    global_log().write("init environmental illumination gatherer\n", Log::information);
    illumination.set_up(context, environment.environment_texture, environment.gather_mode);
  }

  const int64_t iterations = (in.output.height + final_routine_rows - 1) / final_routine_rows;
  Array_2d<Blur_Coordinates> landing;
  if (!reflections.empty() || !illumination.empty()) {
    // The rows of every worker the loop can hand out, also when the frame has fewer
    // iterations than there are workers (the worker count bounds the worker index).
    const int64_t workers =
        std::max(context.iteration_count(iterations), context.iteration_count(0));
    landing_memory = make_blur_coordinates_array(context, in.output.width,
                                                 2 * (final_routine_rows + 1) * workers);
    landing = array_2d_view<Blur_Coordinates>(*landing_memory);
  }
  const Environment_Gatherer<P>* reflection_sampler =
      reflections_share_illumination_gatherer(environment) ? &illumination : &reflections;
  cpu_kernel_launch(iterations, &final_routine_rows_body<P>, context, in, reflection_sampler,
                    &illumination, landing);
}

#define BREL_FINAL_ROUTINE_INSTANCES(P)                                                            \
  template class Kernel_Final_Routine<Layer<P>, Implementation_Cpu>;                               \
  template void final_routine_body<P>(                                                             \
      const Iteration&, Render_Context, Final_Routine_Parameters_In<P>,                            \
      const Environment_Gatherer<P>*, const Environment_Gatherer<P>*, Array_2d<Blur_Coordinates>); \
  template void add_environment_light<P>(                                                          \
      int64_t, int64_t, Rgb_Value&, Rgb_Value&, const Blur_Coordinates*, const Blur_Coordinates*,  \
      const Environment_Gatherer<P>*, const Blur_Coordinates*, const Blur_Coordinates*,            \
      const Environment_Gatherer<P>*, const Environment_Parameter<P>&, const Layer<float>&);

BREL_FINAL_ROUTINE_INSTANCES(ARGB32f)
BREL_FINAL_ROUTINE_INSTANCES(BGRA32f)
BREL_FINAL_ROUTINE_INSTANCES(ARGB16)
BREL_FINAL_ROUTINE_INSTANCES(BGRA16)
BREL_FINAL_ROUTINE_INSTANCES(ARGB8)
BREL_FINAL_ROUTINE_INSTANCES(BGRA8)

#undef BREL_FINAL_ROUTINE_INSTANCES

}  // namespace brel
